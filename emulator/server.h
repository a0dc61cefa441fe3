// The emulator's HTTP server: one loopback port serving the SOAP endpoints
// (locator, file, XMLDB, runners), the status page, the download and upload
// services and the control endpoint for tests.
#pragma once

#include "catalogue.h"
#include "jail.h"
#include "jobs.h"
#include "util.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct soap;
typedef struct ssl_ctx_st SSL_CTX;

namespace emu {

enum class Endpoint { Locator, File, Xmldb, Runner, Runner2 };
const char* endpointName(Endpoint e);

// What the server pretends to be. Presets and single settings are applied
// with the same names on the command line and through the control endpoint.
struct Profile {
    std::string name = "modern";
    std::string serverVersion = "8.0.0.0";
    std::set<std::string> withoutMethods;
    int compatibility = 1;      // VersionCompatibility
    int versionComparison = 1;  // VersionComparison
    std::string compatServerVersion;  // ServerInfo.serverVersion; empty: serverVersion
    bool cluster = false;
    bool sessionCredentials = false;
    std::set<std::string> omitConfig;
    int extraConfig = 0;  // settings Extra1..ExtraN after the table
    bool hwLocal = true;
    bool uploadUrl = true, downloadUrl = true;
    int blockingTimeoutSeconds = 30;
    std::string status = "available";
    int major() const;
};

// Applies a preset ("modern", "v8", "v7", "v6", "legacy5", "cluster",
// "credentials"). Returns false for an unknown name.
bool applyPreset(Profile& p, const std::string& name);
// Applies one setting (command-line name without "--"). Throws
// std::invalid_argument for an unknown name or a bad value.
void applySetting(Profile& p, const std::string& key, const std::string& value);
std::string describeProfile(const Profile& p);

struct FaultRule {
    std::string op;    // operation name, "download", "upload", "serverstatus", or "*"
    std::string kind;  // soap-fault, delay, http-500, malformed, truncated, drop
    std::string faultString = "Injected fault";
    std::vector<std::string> detail;
    std::string code = "Server";
    int ms = 0;
    int remaining = -1;  // calls still affected; -1: every call
};
// Parses "op=Login&kind=soap-fault&detail=a%7C%23%7Cb&count=2&ms=100".
// Throws std::invalid_argument for a missing op, an unknown kind, code or
// parameter, and a count or ms that is not a whole number in range.
FaultRule parseFaultRule(const std::string& query);

struct Session {
    std::string id, user, clientType, clientMachine;
};

struct Options {
    std::filesystem::path root;
    int port = 0;
    std::string certFile, keyFile;
    std::string logFile;
    std::string password;  // empty: a random one is made at start
    std::filesystem::path usersFile;
    std::filesystem::path seed;  // catalogue copied in when the root has none
    size_t maxBody = 256u << 20;
    int requestTimeoutMs = 30000;  // whole request: head and body
    int maxThreads = 0;            // request and job threads at once; 0: as many as the system gives
    JobSettings jobs;
    Profile profile;
    std::vector<FaultRule> faults;
};

struct HttpRequest;
class Connection;

// One SOAP call being served; reachable from the operation handlers through
// soap->user.
struct Request {
    class Server* server = nullptr;
    Endpoint endpoint = Endpoint::Locator;
    std::string path;
    std::string op;  // operation name once known
    std::string session = "-";
    std::optional<FaultRule> fault;  // the rule that matched this call
    const HttpRequest* http = nullptr;  // the body, read by the SOAP context
    unsigned long long bodyOffset = 0;
    std::string out;                 // reply written by the SOAP context
    // A fault raised by an operation handler (else the SOAP layer's own).
    bool handlerFault = false, clientFault = false;
    std::string faultString, faultDetail;
    // Character references seen in the body: a NUL one (&#0;) is refused,
    // since the SOAP layer would silently cut the text at it.
    int refState = 0;
    unsigned long refValue = 0;
    bool refHex = false, refDigits = false, nulInBody = false;
};

// Limits of the HTTP side (documented in docs/server-contract.md).
struct Limits {
    static constexpr int kMaxRequests = 256;       // requests being served at once
    static constexpr int kControlReserve = 16;     // further ones for the control endpoint
    static constexpr int kMaxPending = 1024;       // connections still sending their request
    static constexpr size_t kMemoryBody = 1u << 20;  // request bodies beyond this are spooled to a file
};

class Server {
public:
    explicit Server(Options options);
    ~Server();
    // Binds 127.0.0.1; returns the port.
    int bind();
    // Serves until requestStop() (from a signal handler).
    void run();
    void requestStop();
    // Requests still being served (after run() returned: ones that did not
    // finish in time).
    int activeConnections() const { return inFlight_; }

    // --- used by the SOAP handlers
    Request& begin(::soap* soap, const char* op);
    Profile profile();
    std::string baseUrl() const;
    std::string endpointUrl(Endpoint e) const;
    std::vector<std::string> methodsOf(Endpoint e);
    const Session& session(const char* id);  // throws Fault for unknown sessions
    Session login(const std::string& user, const std::string& password, const std::string& clientType,
                  const std::string& machine);
    std::string nextRunner();
    std::vector<std::pair<std::string, std::vector<std::string>>> configuration();
    Catalogue& catalogue() { return *catalogue_; }
    JobEngine& jobs() { return *jobs_; }
    const std::filesystem::path& root() const { return root_; }
    // The password every user logs in with (unless a users file is given),
    // and the token the control endpoint requires.
    const std::string& password() const { return options_.password; }
    const std::string& controlToken() const { return controlToken_; }
    // Every client path of the file operations and services goes through it.
    const Jail& rootJail() const { return *rootJail_; }
    std::filesystem::path jobsDir() const { return root_ / "jobs"; }
    size_t maxBody() const { return options_.maxBody; }
    std::string validationState(const std::string& component, unsigned long counter) const;
    unsigned long nextValidationCounter() { return ++validationCounter_; }

private:
    struct Pending;  // a connection whose request is still arriving
    void loadUsers();
    using Query = std::vector<std::pair<std::string, std::string>>;

    // --- the poll loop: accepting, reading requests, handing them on
    void acceptConnections();
    enum class Turn { Keep, Close, Dispatch };
    Turn readFrom(Pending& p);  // reads what arrived; Dispatch once the request is complete
    void dispatch(std::unique_ptr<Pending> p);
    void refuse(Pending& p, int status, const std::string& reason);

    // --- serving one request (in its own thread)
    void serve(Connection& c, HttpRequest& req);
    void handleSoap(Connection& c, HttpRequest& req, Endpoint e);
    void handleControl(Connection& c, HttpRequest& req);
    void handleStatus(Connection& c, HttpRequest& req);
    void handleDownload(Connection& c, HttpRequest& req);
    void handleUpload(Connection& c, HttpRequest& req);
    // What a plain HTTP service's body sees: the query, the fault rule taken
    // for this request, and notes for the log line. It returns the status it
    // answered (0 when the connection was dropped).
    using PlainBody = std::function<int(std::map<std::string, std::string>& query,
                                        const std::optional<FaultRule>& fault, std::string& note)>;
    // Runs one request of a plain service: counts it, checks the method and
    // that the service is on (405, 404, before any fault rule is taken),
    // applies an injected delay, answers a Fault as a text error and logs.
    void plainService(Connection& c, HttpRequest& req, const std::string& name, const char* method, bool enabled,
                      const PlainBody& body);
    // Sends an injected transport fault instead of the reply; returns the
    // status sent (0: dropped), or -1 when the rule does not replace replies.
    int applyPlainFault(Connection& c, const std::optional<FaultRule>& f, const std::string& op);

    // --- control commands: each answers its text or throws
    // std::invalid_argument (answered with 400)
    std::string controlCounts(const Query& q);
    std::string controlResetCounts(const Query& q);
    std::string controlFault(const Query& q, const std::string& raw);
    std::string controlClearFaults(const Query& q);
    std::string controlProfile(const Query& q);
    std::string controlJobSettings(const Query& q);
    std::string controlLog(const Query& q);
    std::string controlJobs(const Query& q);
    std::string controlSessions(const Query& q);
    std::string controlStats(const Query& q);

    std::optional<FaultRule> takeFault(const std::string& op);
    void count(const std::string& op);
    // One line of the request log: "<time> <method> <path> <operation>
    // session=<sid> status=<n><notes> <ms>ms".
    void logRequest(const std::string& method, const std::string& path, const std::string& op,
                    const std::string& session, int status, const std::string& notes,
                    std::chrono::steady_clock::time_point started);
    void log(const std::string& line);

    Options options_;
    std::filesystem::path root_;
    std::unique_ptr<Jail> rootJail_;
    std::unique_ptr<Catalogue> catalogue_;
    std::unique_ptr<JobEngine> jobs_;
    int listenFd_ = -1;
    int port_ = 0;
    SSL_CTX* ssl_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<int> inFlight_{0};
    std::vector<std::unique_ptr<Pending>> pending_;  // owned by the poll loop
    std::atomic<int> pendingCount_{0};
    std::atomic<unsigned long> validationCounter_{0};
    std::string secret_;
    std::string controlToken_;

    std::mutex mutex_;  // guards everything below
    Profile profile_;
    std::vector<FaultRule> faults_;
    std::map<std::string, unsigned long> counts_;
    std::map<std::string, Session> sessions_;
    std::map<std::string, std::string> users_;
    unsigned long runnerTurn_ = 0;
    std::deque<std::string> recentLog_;
    std::ofstream logFile_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace emu
