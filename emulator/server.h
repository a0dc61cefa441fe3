// The emulator's HTTP server: one loopback port serving the SOAP endpoints
// (locator, file, XMLDB, runners), the status page, the download and upload
// services and the control endpoint for tests.
#pragma once

#include "catalogue.h"
#include "jobs.h"
#include "util.h"

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
FaultRule parseFaultRule(const std::string& query);

struct Session {
    std::string id, user, clientType, clientMachine;
};

struct Options {
    std::filesystem::path root;
    int port = 0;
    std::string certFile, keyFile;
    std::string logFile;
    std::string password = "secret";
    std::filesystem::path usersFile;
    std::filesystem::path seed;  // catalogue copied in when the root has none
    size_t maxBody = 256u << 20;
    JobSettings jobs;
    Profile profile;
    std::vector<FaultRule> faults;
};

// One HTTP request being served; reachable from the SOAP operation handlers
// through soap->user.
struct Request {
    class Server* server = nullptr;
    Endpoint endpoint = Endpoint::Locator;
    std::string path;
    std::string op;  // operation name once known
    std::string session = "-";
    std::optional<FaultRule> fault;  // the rule that matched this call
    std::string_view in;             // request body, read by the SOAP context
    std::string out;                 // reply written by the SOAP context
};

class Server {
public:
    explicit Server(Options options);
    ~Server();
    // Binds 127.0.0.1; returns the port.
    int bind();
    // Serves until stop() is called (from a signal handler's thread).
    void run();
    void requestStop();
    // Connections still being served (after run() returned: ones that did
    // not finish in time).
    int activeConnections() const { return active_; }
    static constexpr int kMaxConnections = 256;

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
    std::filesystem::path jobsDir() const { return root_ / "jobs"; }
    size_t maxBody() const { return options_.maxBody; }
    std::string validationState(const std::string& component, unsigned long counter) const;
    unsigned long nextValidationCounter() { return ++validationCounter_; }

private:
    void serveConnection(int fd);
    void handle(class Connection& c, struct HttpRequest& req);
    void handleSoap(Connection& c, HttpRequest& req, Endpoint e);
    void handleControl(Connection& c, HttpRequest& req);
    void handleStatus(Connection& c, HttpRequest& req);
    void handleDownload(Connection& c, HttpRequest& req);
    void handleUpload(Connection& c, HttpRequest& req);
    // What a plain HTTP service's body sees: the query, the fault rule taken
    // for this request, and a note for the log line. It returns the status it
    // answered (0 when the connection was dropped).
    using PlainBody = std::function<int(std::map<std::string, std::string>& query,
                                        const std::optional<FaultRule>& fault, std::string& note)>;
    // Runs one request of the download or upload service: counts it, applies
    // an injected delay, answers a Fault as a text error and logs one line.
    void plainService(Connection& c, HttpRequest& req, const std::string& name, const PlainBody& body);
    std::optional<FaultRule> takeFault(const std::string& op);
    void count(const std::string& op);
    void log(const std::string& line);
    bool applyPlainFault(Connection& c, const std::optional<FaultRule>& f, const std::string& op);

    Options options_;
    std::filesystem::path root_;
    std::unique_ptr<Catalogue> catalogue_;
    std::unique_ptr<JobEngine> jobs_;
    int listenFd_ = -1;
    int port_ = 0;
    SSL_CTX* ssl_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<int> active_{0};
    std::atomic<unsigned long> validationCounter_{0};
    std::string secret_;

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
