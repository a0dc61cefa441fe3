#include "server.h"

#include "http.h"
#include "soapH.h"
#include "wire/namespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace emu {

const char* endpointName(Endpoint e) {
    switch (e) {
        case Endpoint::Locator: return "locator";
        case Endpoint::File: return "file";
        case Endpoint::Xmldb: return "xmldb";
        case Endpoint::Runner: return "runner";
        case Endpoint::Runner2: return "runner2";
    }
    return "?";
}

// ------------------------------------------------------------------ profile

int Profile::major() const { return std::atoi(serverVersion.c_str()); }

static const std::vector<std::string> kLocatorOps = {"Login", "GetEndpoint", "GetConfigurationSettings", "GetAllJobs",
                                                     "CheckSkerrowClientVersion", "CheckClientTypeCompatibility",
                                                     "ListMethods"};
static const std::vector<std::string> kFileOps = {"GetFolderContents", "DoesFileExist", "UploadFile",
                                                  "UploadFileZipped", "DownloadFile", "DownloadFileZipped",
                                                  "GetHWAddress", "ListMethods"};
static const std::vector<std::string> kRunnerOps = {
    "LaunchBlockingJob", "CreateJob", "ClearJob", "LaunchJob", "SetJobStatus", "StopJob", "GetJobStatus",
    "GetJobStatistics", "GetJobErrors", "GetJobResults", "GetJobResults2", "ReleaseJob", "GetJobData", "PutJobData",
    "ListMethods"};
static const std::vector<std::string> kXmldbOps = {
    "MoveComponent", "GetComponentVersionZipped", "GetComponentVersions", "RegisterComponentZipped",
    "UnRegisterComponent", "GetComponentNames", "GetProtocolNames", "GetFolderNames", "GetCalculableProperties",
    "GetCalculablePropertiesByCategory", "GetComponentInfo", "FindParameterInfo2", "GetComponentInfo2",
    "ValidateParameters", "ListMethods"};

// Operations that a profile may leave out (older servers lack them).
static const std::vector<std::string> kOptionalOps = {
    "CheckClientTypeCompatibility", "GetComponentInfo2", "ValidateParameters", "FindParameterInfo2",
    "GetProtocolNames", "GetJobResults2", "GetCalculablePropertiesByCategory"};

bool applyPreset(Profile& p, const std::string& name) {
    Profile fresh;
    if (name == "modern" || name == "v8") {
    } else if (name == "v7") {
        fresh.serverVersion = "7.2.0.0";
        fresh.withoutMethods = {"GetJobResults2", "GetCalculablePropertiesByCategory"};
    } else if (name == "v6") {
        fresh.serverVersion = "6.1.0.0";
        fresh.withoutMethods = {"GetJobResults2", "GetCalculablePropertiesByCategory", "FindParameterInfo2",
                                "GetProtocolNames", "GetComponentInfo2", "ValidateParameters"};
    } else if (name == "legacy5") {
        fresh.serverVersion = "5.0.3.0";
        fresh.withoutMethods = {"CheckClientTypeCompatibility", "GetJobResults2", "GetCalculablePropertiesByCategory",
                                "FindParameterInfo2", "GetProtocolNames", "GetComponentInfo2", "ValidateParameters"};
        fresh.compatibility = 0;
        fresh.versionComparison = 0;
        fresh.uploadUrl = fresh.downloadUrl = false;
    } else if (name == "cluster") {
        fresh.cluster = true;
    } else if (name == "credentials") {
        fresh.sessionCredentials = true;
    } else {
        return false;
    }
    fresh.name = name;
    p = fresh;
    return true;
}

static bool onOff(const std::string& key, const std::string& v) {
    if (v == "on" || v == "true" || v == "1" || v == "yes" || v.empty()) return true;
    if (v == "off" || v == "false" || v == "0" || v == "no") return false;
    throw std::invalid_argument("--" + key + " takes on or off, not '" + v + "'");
}

// Adds (without) or removes (with) the operations of a comma list.
static void leaveOut(Profile& p, const std::string& value, bool without) {
    for (auto& m : split(value, ',')) {
        m = trim(m);
        if (m.empty()) continue;
        if (std::find(kOptionalOps.begin(), kOptionalOps.end(), m) == kOptionalOps.end())
            throw std::invalid_argument("'" + m + "' is not an operation a profile can leave out");
        if (without)
            p.withoutMethods.insert(m);
        else
            p.withoutMethods.erase(m);
    }
}

// The value's index among the names, for the enumerated settings.
static int oneOf(const std::string& key, const std::string& value, std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* n : names) {
        if (value == n) return i;
        ++i;
    }
    std::string all;
    for (const char* n : names) all += (all.empty() ? "" : ", ") + std::string(n);
    throw std::invalid_argument("--" + key + " takes " + all + ", not '" + value + "'");
}

void applySetting(Profile& p, const std::string& key, const std::string& value) {
    using Setter = void (*)(Profile&, const std::string& key, const std::string& value);
    static const std::map<std::string, Setter> setters = {
        {"profile", [](Profile& p, const std::string&, const std::string& v) {
             if (!applyPreset(p, v)) throw std::invalid_argument("unknown profile '" + v + "'");
         }},
        {"server-version", [](Profile& p, const std::string&, const std::string& value) {
             std::string v = value;
             if (v.find('.') == std::string::npos) v += ".0";
             while (std::count(v.begin(), v.end(), '.') < 3) v += ".0";
             if (std::atoi(v.c_str()) <= 0) throw std::invalid_argument("bad server version '" + value + "'");
             p.serverVersion = v;
         }},
        {"without-method", [](Profile& p, const std::string&, const std::string& v) { leaveOut(p, v, true); }},
        {"with-method", [](Profile& p, const std::string&, const std::string& v) { leaveOut(p, v, false); }},
        // VersionCompatibility: 0 unknown, 1 true, 2 false.
        {"compatibility", [](Profile& p, const std::string& k, const std::string& v) {
             p.compatibility = std::array<int, 3>{1, 2, 0}[size_t(oneOf(k, v, {"true", "false", "unknown"}))];
         }},
        {"version-comparison", [](Profile& p, const std::string& k, const std::string& v) {
             p.versionComparison = oneOf(k, v, {"not-checked", "same", "server-newer", "client-newer"});
         }},
        {"compat-server-version", [](Profile& p, const std::string&, const std::string& v) { p.compatServerVersion = v; }},
        {"cluster", [](Profile& p, const std::string& k, const std::string& v) { p.cluster = onOff(k, v); }},
        {"session-credentials",
         [](Profile& p, const std::string& k, const std::string& v) { p.sessionCredentials = onOff(k, v); }},
        {"omit-config", [](Profile& p, const std::string&, const std::string& v) {
             for (auto& k : split(v, ','))
                 if (!trim(k).empty()) p.omitConfig.insert(trim(k));
         }},
        {"extra-config", [](Profile& p, const std::string& k, const std::string& v) {
             p.extraConfig = int(parseInteger(v, "--" + k, 0, 1000));
         }},
        {"include-config", [](Profile& p, const std::string&, const std::string& v) {
             for (auto& k : split(v, ',')) p.omitConfig.erase(trim(k));
         }},
        {"hw-address",
         [](Profile& p, const std::string& k, const std::string& v) { p.hwLocal = oneOf(k, v, {"local", "foreign"}) == 0; }},
        {"upload-url", [](Profile& p, const std::string& k, const std::string& v) { p.uploadUrl = onOff(k, v); }},
        {"download-url", [](Profile& p, const std::string& k, const std::string& v) { p.downloadUrl = onOff(k, v); }},
        {"blocking-timeout", [](Profile& p, const std::string& k, const std::string& v) {
             p.blockingTimeoutSeconds = int(parseInteger(v, "--" + k, 0, 86400));
         }},
        {"status", [](Profile& p, const std::string&, const std::string& v) { p.status = v; }},
    };
    auto it = setters.find(key);
    if (it == setters.end()) throw std::invalid_argument("unknown setting '" + key + "'");
    it->second(p, key, value);
}

static const char* versionComparisonName(int v) {
    switch (v) {
        case 0: return "not-checked";
        case 1: return "same";
        case 2: return "server-newer";
        case 3: return "client-newer";
    }
    return "same";
}

std::string describeProfile(const Profile& p) {
    std::ostringstream o;
    o << "profile: " << p.name << "\nserver-version: " << p.serverVersion << "\nwithout-method: ";
    bool first = true;
    for (auto& m : p.withoutMethods) o << (first ? "" : ",") << m, first = false;
    o << "\ncompatibility: " << (p.compatibility == 1 ? "true" : p.compatibility == 2 ? "false" : "unknown")
      << "\nversion-comparison: " << versionComparisonName(p.versionComparison)
      << "\ncluster: " << (p.cluster ? "on" : "off")
      << "\nsession-credentials: " << (p.sessionCredentials ? "on" : "off") << "\nomit-config: ";
    first = true;
    for (auto& m : p.omitConfig) o << (first ? "" : ",") << m, first = false;
    o << "\nextra-config: " << p.extraConfig;
    o << "\nhw-address: " << (p.hwLocal ? "local" : "foreign") << "\nupload-url: " << (p.uploadUrl ? "on" : "off")
      << "\ndownload-url: " << (p.downloadUrl ? "on" : "off") << "\nblocking-timeout: " << p.blockingTimeoutSeconds
      << "\nstatus: " << p.status << "\n";
    return o.str();
}

FaultRule parseFaultRule(const std::string& query) {
    static const std::set<std::string> keys = {"op", "kind", "string", "detail", "code", "ms", "count"};
    static const std::set<std::string> kinds = {"soap-fault", "delay", "http-500", "malformed", "truncated", "drop",
                                               "no-job-id"};
    FaultRule r;
    for (const auto& [k, v] : parseQueryList(query)) {
        if (!keys.count(k)) throw std::invalid_argument("unknown fault rule parameter '" + k + "'");
        if (k == "op") {
            r.op = v;
        } else if (k == "kind") {
            r.kind = v;
        } else if (k == "string") {
            r.faultString = v;
        } else if (k == "detail") {
            r.detail.clear();
            size_t start = 0;
            while (true) {
                size_t pos = v.find("|#|", start);
                r.detail.push_back(v.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
                if (pos == std::string::npos) break;
                start = pos + 3;
            }
        } else if (k == "code") {
            if (v != "Server" && v != "Client") throw std::invalid_argument("code takes Server or Client, not '" + v + "'");
            r.code = v;
        } else if (k == "ms") {
            r.ms = int(parseInteger(v, "ms", 0, 600000));
        } else {
            r.remaining = int(parseInteger(v, "count", 1, 1000000000));
        }
    }
    if (r.op.empty()) throw std::invalid_argument("a fault needs op=<operation>");
    if (!kinds.count(r.kind)) throw std::invalid_argument("unknown fault kind '" + r.kind + "'");
    return r;
}

// ------------------------------------------------------------------ server

namespace {

// The root holds the catalogue whose protocols run as jobs, so nobody but
// the user running the server may be able to change it: an existing root
// must belong to that user and must not be writable by group or others. A
// missing root is made private.
void prepareRoot(const fs::path& root) {
    const std::string name = root.string();
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) {
        if (errno != ENOENT) throw std::runtime_error("cannot look at the root " + name + ": " + std::strerror(errno));
        std::error_code ec;
        const fs::path parent = root.parent_path();
        if (!parent.empty()) fs::create_directories(parent, ec);
        if (ec) throw std::runtime_error("cannot create the root " + name + ": " + ec.message());
        if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create the root " + name + ": " + std::strerror(errno));
        if (::stat(name.c_str(), &st) != 0)
            throw std::runtime_error("cannot look at the root " + name + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) throw std::runtime_error("the root " + name + " is not a directory");
    if (st.st_uid != ::geteuid())
        throw std::runtime_error("the root " + name + " belongs to another user (uid " + std::to_string(st.st_uid) +
                                 "); give a directory of your own, e.g. one made with mktemp -d");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        throw std::runtime_error("the root " + name + " is writable by group or others (mode " + mode +
                                 "); make it private with: chmod go-w " + name);
    }
}

// Whether a Host header names this server by a loopback name or address.
// A web page can reach a loopback server under a name of its own (DNS
// rebinding), but the browser then sends that name, never a loopback one.
// Clients other than browsers may leave the header out.
bool loopbackHost(std::string host) {
    if (host.empty()) return true;
    auto portOk = [](const std::string& port) {
        return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    };
    if (host.front() == '[') {
        const size_t end = host.find(']');
        if (end == std::string::npos) return false;
        const std::string rest = host.substr(end + 1);
        if (!rest.empty() && !(rest[0] == ':' && portOk(rest.substr(1)))) return false;
        in6_addr a{};
        return inet_pton(AF_INET6, host.substr(1, end - 1).c_str(), &a) == 1 && IN6_IS_ADDR_LOOPBACK(&a);
    }
    if (const size_t colon = host.find(':'); colon != std::string::npos) {
        if (!portOk(host.substr(colon + 1))) return false;
        host.erase(colon);
    }
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (host == "localhost") return true;
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

Server::Server(Options options) : options_(std::move(options)) {
    std::error_code ec;
    prepareRoot(options_.root);
    if (options_.password.empty()) options_.password = secretHex(32);
    controlToken_ = secretHex(32);
    root_ = fs::canonical(options_.root);
    rootJail_ = std::make_unique<Jail>(root_);
    rootJail_->addAlias(fs::absolute(options_.root, ec));
    rootJail_->makeFolders("jobs");
    rootJail_->makeFolders("users");
    if (!fs::exists(root_ / "catalogue") && !options_.seed.empty()) {
        fs::copy(options_.seed, root_ / "catalogue", fs::copy_options::recursive, ec);
        if (ec) throw std::runtime_error("cannot copy the catalogue from " + options_.seed.string() + ": " + ec.message());
    }
    catalogue_ = std::make_unique<Catalogue>(root_ / "catalogue");
    jobs_ = std::make_unique<JobEngine>(*catalogue_, *rootJail_);
    jobs_->setSettings(options_.jobs);
    profile_ = options_.profile;
    faults_ = options_.faults;
    setThreadLimit(options_.maxThreads);
    secret_ = randomHex(32);
    if (!options_.usersFile.empty()) loadUsers();
    if (!options_.logFile.empty()) {
        logFile_.open(options_.logFile, std::ios::app);
        if (!logFile_) throw std::runtime_error("cannot open the log file " + options_.logFile);
    }
    if (!options_.certFile.empty()) {
        ssl_ = SSL_CTX_new(TLS_server_method());
        if (!ssl_ || SSL_CTX_use_certificate_chain_file(ssl_, options_.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ssl_, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("cannot load the TLS certificate or key");
    }
    // Every waiting connection holds a descriptor: allow as many as the
    // system lets this process have.
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// The users file: lines "user:password", "#" comments.
void Server::loadUsers() {
    std::ifstream in(options_.usersFile);
    if (!in) throw std::runtime_error("cannot read the users file " + options_.usersFile.string());
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        users_[line.substr(0, colon)] = line.substr(colon + 1);
    }
}

Server::~Server() {
    jobs_->shutdown();
    pending_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (ssl_) SSL_CTX_free(ssl_);
}

int Server::bind() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket() failed");
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(options_.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(options_.port) + ": " + std::strerror(errno));
    if (::listen(listenFd_, 512) != 0) throw std::runtime_error("listen() failed");
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return port_;
}

void Server::requestStop() { stopping_ = true; }

// ------------------------------------------------------------------ poll loop
//
// One thread (run()) accepts connections and reads every request while it
// arrives, without a thread per connection: a client that sends slowly holds
// a descriptor and a buffer, never a thread, and is cut off at its deadline.
// Only a complete request gets a thread of its own, which answers it and
// ends.

struct Server::Pending {
    int fd = -1;
    SSL* ssl = nullptr;
    bool wantWrite = false;  // TLS needs the socket writable to go on
    bool continueSent = false;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now(), deadline;
    RequestParser parser;
    Pending(int f, unsigned long long maxBody) : fd(f), parser(maxBody, Limits::kMemoryBody) {}
    ~Pending() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
    // Hands fd and TLS state over to a Connection.
    std::pair<int, SSL*> release() {
        auto out = std::make_pair(fd, ssl);
        fd = -1;
        ssl = nullptr;
        return out;
    }
};

// A short answer written at once from the poll loop (the socket buffer takes
// it; a client that does not read it loses it).
static void sendNow(int fd, SSL* ssl, int status, const std::string& text) {
    std::string reply = responseHead(status, "text/plain; charset=utf-8", text.size()) + text;
    if (ssl)
        SSL_write(ssl, reply.data(), int(reply.size()));
    else
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// What a refused request's log line names as its operation.
static std::string serviceOf(const std::string& path) {
    if (path.starts_with("/qorvane-control/")) return "control";
    if (path == "/qorvane/download") return "download";
    if (path == "/qorvane/upload") return "upload";
    if (path == "/qorvane/serverstatus") return "serverstatus";
    return "?";
}

void Server::refuse(Pending& p, int status, const std::string& reason) {
    static const std::map<int, std::string> texts = {
        {400, "malformed HTTP request\n"}, {408, "request not received in time\n"},
        {413, "request too large\n"},      {500, "request cannot be stored\n"},
        {503, "server busy: too many requests\n"}};
    auto it = texts.find(status);
    sendNow(p.fd, p.ssl, status, it == texts.end() ? reason + "\n" : it->second);
    const HttpRequest& r = p.parser.request();
    bool known = p.parser.requestLineRead();
    logRequest(known ? r.method : "?", known ? r.path : "?", known ? serviceOf(r.path) : "?", "-", status,
               " refused=" + reason, p.started);
}

void Server::acceptConnections() {
    while (true) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the waiting connection stays in the
                // backlog until one frees up (a short pause, not a busy loop).
                static std::atomic<bool> said{false};
                if (!said.exchange(true)) std::cerr << "pelox-emulator: out of file descriptors\n";
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            return;
        }
        auto p = std::make_unique<Pending>(fd, options_.maxBody);
        p->deadline = p->started + std::chrono::milliseconds(options_.requestTimeoutMs);
        if (int(pending_.size()) >= Limits::kMaxPending) {
            refuse(*p, 503, "too-many-connections");
            continue;
        }
        if (ssl_) {
            p->ssl = SSL_new(ssl_);
            if (!p->ssl) continue;
            SSL_set_fd(p->ssl, fd);
            SSL_set_accept_state(p->ssl);
        }
        pending_.push_back(std::move(p));
    }
}

// Reads what the connection has (TLS decrypted); 0 when it closed or
// failed, -1 when nothing is there yet.
static ssize_t receive(int fd, SSL* ssl, bool& wantWrite, char* buf, size_t n) {
    if (!ssl) {
        while (true) {
            ssize_t r = ::recv(fd, buf, n, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
            return r < 0 ? 0 : r;
        }
    }
    ERR_clear_error();
    int r = SSL_read(ssl, buf, int(n));
    if (r > 0) {
        wantWrite = false;
        return r;
    }
    int err = SSL_get_error(ssl, r);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return 0;  // closed, or not TLS at all
    wantWrite = err == SSL_ERROR_WANT_WRITE;
    return -1;
}

Server::Turn Server::readFrom(Pending& p) {
    char buf[65536];
    // At most 1 MiB per turn, so that one fast upload does not starve others.
    for (int turn = 0; turn < 16; ++turn) {
        ssize_t n = receive(p.fd, p.ssl, p.wantWrite, buf, sizeof buf);
        if (n < 0) return Turn::Keep;
        if (n == 0) {
            // The client closed before its request was complete (a TLS
            // client that never sent a request gets no answer).
            if (p.parser.receivedAnything()) refuse(p, 400, "incomplete-request");
            return Turn::Close;
        }
        switch (p.parser.feed(buf, size_t(n))) {
            case RequestParser::Status::More:
                if (!p.continueSent && p.parser.wantsContinue()) {
                    // Clients such as libcurl announce larger bodies and wait for this.
                    p.continueSent = true;
                    static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                    if (p.ssl)
                        SSL_write(p.ssl, kContinue.data(), int(kContinue.size()));
                    else
                        ::send(p.fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                continue;
            case RequestParser::Status::Done: return Turn::Dispatch;
            case RequestParser::Status::Bad: refuse(p, 400, "malformed-request"); return Turn::Close;
            case RequestParser::Status::TooLarge: refuse(p, 413, "too-large"); return Turn::Close;
            case RequestParser::Status::Failed:
                std::cerr << "pelox-emulator: " << p.parser.failure() << "\n";
                refuse(p, 500, "cannot-store-body");
                return Turn::Close;
        }
    }
    return Turn::Keep;
}

void Server::dispatch(std::unique_ptr<Pending> owned) {
    std::shared_ptr<Pending> p(std::move(owned));
    const HttpRequest& r = p->parser.request();
    // The control endpoint has a reserve of its own, so that a test can
    // always look at and steer a server that is busy.
    const bool control = r.path.starts_with("/qorvane-control/");
    const int limit = Limits::kMaxRequests + (control ? Limits::kControlReserve : 0);
    if (inFlight_ >= limit) {
        refuse(*p, 503, "too-many-requests");
        return;
    }
    ++inFlight_;
    try {
        startThread([this, p] {
            auto [fd, ssl] = p->release();
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            timeval tv{30, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            {
                Connection c(fd, ssl);
                try {
                    serve(c, p->parser.request());
                } catch (const std::exception& e) {
                    std::cerr << "pelox-emulator: request failed: " << e.what() << "\n";
                } catch (...) {
                    std::cerr << "pelox-emulator: request failed\n";
                }
            }
            --inFlight_;  // the last use of the server by this thread
        });
    } catch (const std::system_error& e) {
        --inFlight_;
        std::cerr << "pelox-emulator: cannot start a thread for a request: " << e.what() << "\n";
        refuse(*p, 503, "no-thread");
    }
}

void Server::run() {
    while (!stopping_) {
        std::vector<pollfd> fds;
        fds.reserve(pending_.size() + 1);
        fds.push_back({listenFd_, POLLIN, 0});
        auto now = std::chrono::steady_clock::now();
        long long timeout = 100;
        for (const auto& p : pending_) {
            fds.push_back({p->fd, short(p->wantWrite ? POLLOUT : POLLIN), 0});
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p->deadline - now).count() + 1;
            timeout = std::clamp<long long>(left, 0, timeout);
            if (p->ssl && SSL_pending(p->ssl) > 0) timeout = 0;  // decrypted bytes wait in the TLS buffer
        }
        int r = ::poll(fds.data(), fds.size(), int(timeout));
        if (r < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        now = std::chrono::steady_clock::now();
        std::vector<std::unique_ptr<Pending>> keep;
        keep.reserve(pending_.size());
        for (size_t i = 0; i < pending_.size(); ++i) {
            auto& p = pending_[i];
            bool ready = (r > 0 && fds[i + 1].revents != 0) || (p->ssl && SSL_pending(p->ssl) > 0);
            Turn t = ready ? readFrom(*p) : Turn::Keep;
            if (t == Turn::Keep && now >= p->deadline) {
                refuse(*p, 408, "timeout");
                t = Turn::Close;
            }
            if (t == Turn::Keep)
                keep.push_back(std::move(p));
            else if (t == Turn::Dispatch)
                dispatch(std::move(p));
        }
        pending_.swap(keep);
        pendingCount_ = int(pending_.size());
        if (r > 0 && (fds[0].revents & POLLIN)) acceptConnections();
        pendingCount_ = int(pending_.size());
    }
    pending_.clear();
    pendingCount_ = 0;
    // Let requests in flight finish (they are short; jobs are stopped below).
    jobs_->shutdown();
    for (int i = 0; i < 250 && inFlight_ > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string Server::baseUrl() const {
    return std::string(ssl_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string Server::endpointUrl(Endpoint e) const {
    switch (e) {
        case Endpoint::Locator: return baseUrl() + "/qorvane/locator";
        case Endpoint::File: return baseUrl() + "/qorvane/file";
        case Endpoint::Xmldb: return baseUrl() + "/qorvane/xmldb";
        case Endpoint::Runner: return baseUrl() + "/qorvane/runner";
        case Endpoint::Runner2: return baseUrl() + "/qorvane/runner2";
    }
    return baseUrl();
}

Profile Server::profile() {
    std::lock_guard lock(mutex_);
    return profile_;
}

std::vector<std::string> Server::methodsOf(Endpoint e) {
    const auto& all = e == Endpoint::Locator ? kLocatorOps
                      : e == Endpoint::File  ? kFileOps
                      : e == Endpoint::Xmldb ? kXmldbOps
                                             : kRunnerOps;
    Profile p = profile();
    std::vector<std::string> out;
    for (const auto& m : all)
        if (!p.withoutMethods.count(m)) out.push_back(m);
    return out;
}

void Server::count(const std::string& op) {
    std::lock_guard lock(mutex_);
    ++counts_[op];
}

std::optional<FaultRule> Server::takeFault(const std::string& op) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->op != op && it->op != "*") continue;
        FaultRule r = *it;
        if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
        return r;
    }
    return std::nullopt;
}

void Server::log(const std::string& line) {
    std::lock_guard lock(mutex_);
    recentLog_.push_back(line);
    while (recentLog_.size() > 2000) recentLog_.pop_front();
    if (logFile_.is_open()) {
        logFile_ << line << '\n';
        logFile_.flush();
    }
}

// A field of a log line: bytes that would break the line's shape (spaces,
// control characters) are percent-encoded.
static std::string logField(const std::string& text) {
    if (text.empty()) return "?";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

void Server::logRequest(const std::string& method, const std::string& path, const std::string& op,
                        const std::string& session, int status, const std::string& notes,
                        std::chrono::steady_clock::time_point started) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    std::string safeNotes = notes;
    for (auto& c : safeNotes)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    log(nowStamp() + " " + logField(method) + " " + logField(path) + " " + op + " session=" +
        (session.empty() ? std::string("-") : logField(session)) + " status=" + std::to_string(status) + safeNotes +
        " " + std::to_string(ms) + "ms");
}

Request& Server::begin(::soap* soap, const char* op) {
    Request& r = *static_cast<Request*>(soap->user);
    r.op = op;
    count(op);
    auto offered = methodsOf(r.endpoint);
    if (std::find(offered.begin(), offered.end(), op) == offered.end()) {
        bool elsewhere = false;
        for (Endpoint e : {Endpoint::Locator, Endpoint::File, Endpoint::Xmldb, Endpoint::Runner}) {
            auto m = methodsOf(e);
            if (std::find(m.begin(), m.end(), op) != m.end()) elsewhere = true;
        }
        fail(elsewhere ? std::string("Operation ") + op + " is not offered at " + r.path
                       : std::string("Operation ") + op + " is not offered by this server");
    }
    // Only a call that this endpoint serves uses up a fault rule.
    r.fault = takeFault(op);
    if (r.fault && r.fault->ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.fault->ms));
    if (r.fault && r.fault->kind == "soap-fault") {
        Fault f(r.fault->faultString, r.fault->detail);
        f.clientFault = r.fault->code == "Client";
        f.httpStatus = f.clientFault ? 400 : 500;
        throw f;
    }
    return r;
}

const Session& Server::session(const char* id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id ? id : "");
    if (it == sessions_.end() && id && std::strchr(id, ' ')) {
        // A query string decoded "+" (base64 in the credentials) as a space.
        std::string fixed = id;
        std::replace(fixed.begin(), fixed.end(), ' ', '+');
        it = sessions_.find(fixed);
    }
    if (it == sessions_.end()) fail(std::string("Unknown session ID '") + (id ? id : "") + "'", 403);
    return it->second;
}

Session Server::login(const std::string& user, const std::string& password, const std::string& clientType,
                      const std::string& machine) {
    std::string shortName = user;
    auto cut = shortName.find_last_of("/\\");
    if (cut != std::string::npos) shortName = shortName.substr(cut + 1);
    if (shortName.empty() || shortName[0] == '.' || shortName.find('\0') != std::string::npos)
        fail("Login failed: invalid user name '" + user + "'", 403);
    Profile p = profile();
    std::lock_guard lock(mutex_);
    bool ok;
    if (!users_.empty()) {
        auto it = users_.find(shortName);
        if (it == users_.end()) it = users_.find(user);
        ok = it != users_.end() && it->second == password;
    } else {
        ok = password == options_.password;
    }
    if (!ok) fail("Login failed: wrong user name or password for '" + user + "'", 403);
    Session s;
    s.id = "S" + randomHex(32);
    if (p.sessionCredentials)
        s.id += "." + encodeCredentials({{"User", shortName}, {"XmldbEndPoint", baseUrl() + "/qorvane/xmldb-session"}});
    s.user = shortName;
    s.clientType = clientType;
    s.clientMachine = machine;
    sessions_[s.id] = s;
    return s;
}

std::string Server::nextRunner() {
    Profile p = profile();
    if (!p.cluster) return endpointUrl(Endpoint::Runner);
    std::lock_guard lock(mutex_);
    return endpointUrl(runnerTurn_++ % 2 == 0 ? Endpoint::Runner : Endpoint::Runner2);
}

std::vector<std::pair<std::string, std::vector<std::string>>> Server::configuration() {
    Profile p = profile();
    // In the order of the contract's table.
    std::vector<std::pair<std::string, std::vector<std::string>>> all = {
        {"FILEENDPOINT", {endpointUrl(Endpoint::File)}},
        {"XMLDBENDPOINT", {endpointUrl(Endpoint::Xmldb)}},
        {"RUNNERENDPOINT", {endpointUrl(Endpoint::Runner)}},
        {"UPLOADENDPOINT", {p.uploadUrl ? baseUrl() + "/qorvane/upload" : std::string()}},
        {"DOWNLOADENDPOINT", {p.downloadUrl ? baseUrl() + "/qorvane/download" : std::string()}},
        {"LOCALROOT", {root_.generic_string()}},
        {"JobsDirectory", {jobsDir().generic_string()}},
        {"UsersDirectory", {(root_ / "users").generic_string()}},
        {"CLUSTERMETHOD", {p.cluster ? std::string("roundrobin") : std::string()}},
        {"GridEngineType", {p.cluster ? std::string("roundrobin") : std::string()}},
        {"GridEngineNames", p.cluster ? std::vector<std::string>{"runner", "runner2"} : std::vector<std::string>{}},
        {"SERVERVERSION", {std::to_string(p.major())}},
        {"ROOT", {baseUrl()}},
        {"SSLROOT", {ssl_ ? baseUrl() : std::string()}},
        {"BLOCKINGJOBTIMEOUT", {std::to_string(p.blockingTimeoutSeconds)}},
        {"ServerOS", {"Linux"}},
        {"USEAUTHENTICATION", {"true"}},
    };
    for (int i = 1; i <= p.extraConfig; ++i)
        all.push_back({"Extra" + std::to_string(i), {"extra " + std::to_string(i)}});
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (auto& [k, v] : all) {
        bool omitted = false;
        for (auto& o : p.omitConfig)
            if (iequals(o, k)) omitted = true;
        if (omitted) continue;
        if (v.size() == 1 && v[0].empty()) v.clear();  // unset: no values
        out.emplace_back(k, v);
    }
    return out;
}

std::string Server::validationState(const std::string& component, unsigned long counter) const {
    // FNV-1a over the secret, the component and the counter.
    uint64_t h = 1469598103934665603ull;
    for (char c : secret_ + "|" + component + "|" + std::to_string(counter)) {
        h ^= uint8_t(c);
        h *= 1099511628211ull;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return "QVS1;" + std::to_string(counter) + ";" + buf;
}

// ------------------------------------------------------------------ requests

void Server::serve(Connection& c, HttpRequest& req) {
    const std::string& p = req.path;
    if (!loopbackHost(req.header("host"))) {
        auto t0 = std::chrono::steady_clock::now();
        sendResponse(c, 403, "text/plain; charset=utf-8",
                     "this server answers only requests for a loopback name or address (localhost, 127.0.0.1, [::1])\n");
        logRequest(req.method, p, "-", "-", 403, " refused=foreign-host", t0);
        return;
    }
    if (p == "/qorvane/locator") return handleSoap(c, req, Endpoint::Locator);
    if (p == "/qorvane/file") return handleSoap(c, req, Endpoint::File);
    if (p == "/qorvane/xmldb" || p == "/qorvane/xmldb-session") return handleSoap(c, req, Endpoint::Xmldb);
    if (p == "/qorvane/runner") return handleSoap(c, req, Endpoint::Runner);
    if (p == "/qorvane/runner2") return handleSoap(c, req, Endpoint::Runner2);
    if (p == "/qorvane/serverstatus") return handleStatus(c, req);
    if (p == "/qorvane/download") return handleDownload(c, req);
    if (p == "/qorvane/upload") return handleUpload(c, req);
    if (p.starts_with("/qorvane-control/")) return handleControl(c, req);
    auto t0 = std::chrono::steady_clock::now();
    sendResponse(c, 404, "text/plain; charset=utf-8", "no such endpoint: " + p + "\n");
    logRequest(req.method, p, "-", "-", 404, "", t0);
}

// Looks for NUL character references (&#0;, &#x00;) and NUL bytes in the
// body as the SOAP context reads it.
static void scanForNul(Request& io, const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == '\0') io.nulInBody = true;
        switch (io.refState) {
            case 0:
                if (c == '&') io.refState = 1;
                break;
            case 1:
                if (c == '#') {
                    io.refState = 2;
                    io.refHex = io.refDigits = false;
                    io.refValue = 0;
                } else {
                    io.refState = c == '&' ? 1 : 0;
                }
                break;
            default: {
                if (io.refState == 2 && (c == 'x' || c == 'X')) {
                    io.refHex = true;
                    io.refState = 3;
                    break;
                }
                const bool digit = io.refHex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                             : std::isdigit(static_cast<unsigned char>(c)) != 0;
                if (digit) {
                    unsigned long d = std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0')
                                                                                  : unsigned(std::tolower(c) - 'a' + 10);
                    if (io.refValue < 0x110000) io.refValue = io.refValue * (io.refHex ? 16 : 10) + d;
                    io.refDigits = true;
                    io.refState = 3;
                } else {
                    if (c == ';' && io.refDigits && io.refValue == 0) io.nulInBody = true;
                    io.refState = c == '&' ? 1 : 0;
                }
            }
        }
    }
}

static size_t soapRecv(::soap* soap, char* buf, size_t n) {
    auto* io = static_cast<Request*>(soap->user);
    const HttpRequest& h = *io->http;
    if (io->nulInBody || io->bodyOffset >= h.bodySize) return 0;
    size_t k = size_t(std::min<unsigned long long>(n, h.bodySize - io->bodyOffset));
    if (!h.bodyFile) {
        std::memcpy(buf, h.body.data() + io->bodyOffset, k);
    } else {
        ssize_t r;
        do r = ::pread(h.bodyFile.get(), buf, k, off_t(io->bodyOffset));
        while (r < 0 && errno == EINTR);
        if (r <= 0) return 0;
        k = size_t(r);
    }
    io->bodyOffset += k;
    scanForNul(*io, buf, k);
    // The SOAP layer would cut the text at the NUL and go on: stop it here.
    return io->nulInBody ? 0 : k;
}

static int soapSend(::soap* soap, const char* buf, size_t n) {
    auto* io = static_cast<Request*>(soap->user);
    io->out.append(buf, n);
    return SOAP_OK;
}

// A fault envelope written here rather than by the SOAP layer, so that every
// fault has a detail (at least the fault string) and only characters XML
// allows.
static std::string faultEnvelope(::soap* s, bool client, const std::string& text, const std::string& detail) {
    std::string env = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope";
    for (const Namespace* n = s->namespaces; n && n->id; ++n)
        if (n->ns) env += std::string(" xmlns:") + n->id + "=\"" + xmlEscape(n->ns) + "\"";
    env += "><SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>";
    env += client ? "SOAP-ENV:Client" : "SOAP-ENV:Server";
    env += "</faultcode><faultstring>" + xmlEscape(text) + "</faultstring><detail>" + xmlEscape(detail) +
           "</detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
    return env;
}

// Replaces what XML 1.0 forbids, only when something needs it (replies of
// file operations can be large).
static void makeXmlSafe(std::string& xml) {
    for (size_t i = 0; i < xml.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(xml[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x80 ||
            (c == '&' && i + 1 < xml.size() && xml[i + 1] == '#')) {
            xml = xmlSafe(xml);
            return;
        }
    }
}

int Server::applyPlainFault(Connection& c, const std::optional<FaultRule>& f, const std::string& op) {
    if (!f) return -1;
    if (f->kind == "http-500") {
        sendResponse(c, 500, "text/plain; charset=utf-8", "Injected HTTP 500 for " + op + "\n");
        return 500;
    }
    if (f->kind == "malformed") {
        sendResponse(c, 200, "text/xml; charset=utf-8", "<?xml version=\"1.0\"?><SOAP-ENV:Envelope><broken");
        return 200;
    }
    if (f->kind == "drop") {
        c.close();
        return 0;
    }
    return -1;
}

// Runs the SOAP layer over the request body; io.out receives the reply (a
// fault envelope written here when the call failed). Returns whether the
// call succeeded.
static bool runSoap(Request& io) {
    ::soap* s = soap_new2(SOAP_C_UTFSTRING | SOAP_ENC_PLAIN, SOAP_C_UTFSTRING | SOAP_ENC_PLAIN | SOAP_XML_TREE);
    // The library's namespace table: SOAP 1.1 written, SOAP 1.2 accepted.
    pelox::wire::installNamespaces(s);
    s->user = &io;
    s->frecv = soapRecv;
    s->fsend = soapSend;
    s->socket = SOAP_INVALID_SOCKET;
    s->maxlevel = 200;
    s->length = size_t(io.http->bodySize);
    const bool ok = soap_serve(s) == SOAP_OK && !io.nulInBody;
    if (io.nulInBody) {
        io.handlerFault = io.clientFault = true;
        io.faultString = io.faultDetail = "The request holds a NUL character (&#0;), which XML does not allow";
    }
    if (!ok && !io.handlerFault) {
        // A fault of the SOAP layer itself (no body, broken XML, unknown
        // operation, a value out of range).
        const char** code = soap_faultcode(s);
        const char** text = soap_faultstring(s);
        std::string codeText = code && *code ? *code : "";
        io.clientFault = codeText.find("Client") != std::string::npos || codeText.find("Sender") != std::string::npos;
        io.faultString = io.faultDetail = text && *text ? *text : "The request could not be read";
    }
    if (!ok)
        io.out = faultEnvelope(s, io.clientFault, io.faultString, io.faultDetail);
    else
        makeXmlSafe(io.out);
    soap_destroy(s);
    soap_end(s);
    soap_free(s);
    return ok;
}

void Server::handleSoap(Connection& c, HttpRequest& req, Endpoint e) {
    auto t0 = std::chrono::steady_clock::now();
    if (req.method != "POST") {
        sendResponse(c, 405, "text/plain; charset=utf-8", "SOAP endpoints take POST\n", {{"Allow", "POST"}});
        logRequest(req.method, req.path, "?", "-", 405, "", t0);
        return;
    }
    Request io;
    io.server = this;
    io.endpoint = e;
    io.path = req.path;
    io.http = &req;
    int status = runSoap(io) ? 200 : 500;
    std::string op = io.op.empty() ? "?" : io.op;
    std::string note = io.fault ? " fault=" + io.fault->kind : std::string();
    if (io.fault && io.fault->kind == "truncated") {
        c.writeAll(responseHead(status, "text/xml; charset=utf-8", io.out.size()) + io.out.substr(0, io.out.size() / 2));
        c.close();
    } else if (int sent = applyPlainFault(c, io.fault, op); sent >= 0) {
        status = sent;
    } else {
        sendResponse(c, status, "text/xml; charset=utf-8", io.out);
    }
    logRequest("POST", req.path, op, io.session, status, note, t0);
}

void Server::plainService(Connection& c, HttpRequest& req, const std::string& name, const char* method, bool enabled,
                          const PlainBody& body) {
    auto t0 = std::chrono::steady_clock::now();
    count(name);
    auto q = parseQuery(req.query);
    std::string sid = q["SID"];
    int status = 200;
    std::string note;
    std::optional<FaultRule> f;
    try {
        if (method && req.method != method) fail("the " + name + " service takes " + method, 405);
        if (!enabled) fail("the " + name + " service is switched off", 404);
        f = takeFault(name);
        if (f && f->ms) std::this_thread::sleep_for(std::chrono::milliseconds(f->ms));
        status = body(q, f, note);
    } catch (const Fault& e) {
        status = e.httpStatus ? e.httpStatus : 400;
        std::map<std::string, std::string> extra;
        if (status == 405) extra["Allow"] = method;
        sendResponse(c, status, "text/plain; charset=utf-8", std::string(e.what()) + "\n", extra);
        note += std::string(" error=\"") + e.what() + "\"";
    } catch (const std::exception& e) {
        status = 500;
        sendResponse(c, status, "text/plain; charset=utf-8", std::string("internal error: ") + e.what() + "\n");
        note += std::string(" error=\"") + e.what() + "\"";
    }
    if (f) note = " fault=" + f->kind + note;
    logRequest(req.method, req.path, name, sid, status, note, t0);
}

void Server::handleStatus(Connection& c, HttpRequest& req) {
    plainService(c, req, "serverstatus", nullptr, true, [&](auto&, const auto& f, std::string&) -> int {
        Profile p = profile();
        size_t sessions;
        {
            std::lock_guard lock(mutex_);
            sessions = sessions_.size();
        }
        auto up = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
        std::ostringstream o;
        o << "Server: Qorvane workflow server emulator\n"
          << "Version: " << p.serverVersion << "\n"
          << "Status: " << p.status << "\n"
          << "Availability: " << (p.status == "available" ? "100" : "0") << "\n"
          << "Sessions: " << sessions << "\n"
          << "RunningJobs: " << jobs_->runningCount() << "\n"
          << "Uptime: " << up << "\n";
        if (int sent = applyPlainFault(c, f, "serverstatus"); sent >= 0) return sent;
        sendResponse(c, 200, "text/plain; charset=utf-8", o.str());
        return 200;
    });
}

// Whether an Accept-Encoding header lets the reply use gzip: gzip (or, when
// gzip is not named, "*") listed with a quality above 0.
static bool acceptsGzip(const std::string& acceptEncoding) {
    double gzipQ = -1, anyQ = -1;
    for (const auto& part : split(acceptEncoding, ',')) {
        auto pieces = split(part, ';');
        std::string coding = trim(pieces[0]);
        std::transform(coding.begin(), coding.end(), coding.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
        double q = 1;
        for (size_t i = 1; i < pieces.size(); ++i) {
            std::string param = trim(pieces[i]);
            if (param.size() < 2 || (param[0] != 'q' && param[0] != 'Q') || param[1] != '=') continue;
            char* end = nullptr;
            q = std::strtod(param.c_str() + 2, &end);
            if (end == param.c_str() + 2 || *end != '\0' || !(q >= 0 && q <= 1)) q = 0;  // unreadable: not acceptable
        }
        if (coding == "gzip" || coding == "x-gzip")
            gzipQ = q;
        else if (coding == "*")
            anyQ = q;
    }
    return gzipQ >= 0 ? gzipQ > 0 : anyQ > 0;
}

static ByteSource fileSource(int fd) {
    return [fd](char* buf, size_t n) -> size_t {
        while (true) {
            ssize_t r = ::read(fd, buf, n);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) fail("file cannot be read", 500);
            return size_t(r);
        }
    };
}

void Server::handleDownload(Connection& c, HttpRequest& req) {
    plainService(c, req, "download", "GET", profile().downloadUrl, [&](auto& q, const auto& f, std::string& note) -> int {
        session(q["SID"].c_str());
        if (q["filename"].empty()) fail("the download service needs filename=<server path>", 400);
        auto rel = rootJail_->locate(q["filename"]);
        Fd file = rootJail_->openRead(rel);
        struct stat st {};
        ::fstat(file.get(), &st);
        const auto size = static_cast<unsigned long long>(st.st_size);
        if (size > options_.maxBody) fail("file is larger than the transfer limit", 413);
        const bool compress = q["compress"] == "1";
        note = " file=" + (rootJail_->path() / rel).generic_string() + " bytes=" + std::to_string(size);
        if (compress) note += " compress=1";
        const std::string octets = "application/octet-stream";
        if (f && f->kind == "truncated") {
            c.writeAll(responseHead(200, octets, size));
            c.sendFile(file.get(), size / 2);
            c.close();
            return 200;
        }
        if (int sent = applyPlainFault(c, f, "download"); sent >= 0) return sent;
        if (compress && acceptsGzip(req.header("accept-encoding"))) {
            // Compressed into a spool file first: the length goes ahead.
            Fd spool = temporaryFile();
            auto packed = gzipToFile(fileSource(file.get()), spool.get());
            ::lseek(spool.get(), 0, SEEK_SET);
            c.writeAll(responseHead(200, octets, packed, {{"Content-Encoding", "gzip"}}));
            c.sendFile(spool.get(), packed);
            note += " gzip";
        } else {
            c.writeAll(responseHead(200, octets, size));
            c.sendFile(file.get(), size);
        }
        return 200;
    });
}

void Server::handleUpload(Connection& c, HttpRequest& req) {
    plainService(c, req, "upload", "POST", profile().uploadUrl, [&](auto& q, const auto& f, std::string& note) -> int {
        const std::string user = session(q["SID"].c_str()).user;
        fs::path base;
        if (!q["jobID"].empty()) base = jobs_->find(user, q["jobID"], "")->rel;
        if (q["filename"].empty()) fail("the upload service needs filename=<server path>", 400);
        auto rel = rootJail_->locate(q["filename"], base);
        const bool compress = q["compress"] == "1";
        note = " file=" + (rootJail_->path() / rel).generic_string();
        if (int sent = applyPlainFault(c, f, "upload"); sent >= 0) return sent;
        // Streamed from the received body (memory or spool file) into a new
        // file that replaces the destination once complete.
        unsigned long long written = 0;
        rootJail_->replace(rel, [&](int fd) {
            written = compress ? inflateToFile(req.bodySource(), fd, options_.maxBody) : copyToFile(req.bodySource(), fd);
        });
        note += " bytes=" + std::to_string(written) + (compress ? " compress=1" : "");
        sendResponse(c, 200, "text/plain; charset=utf-8", "OK");
        return 200;
    });
}

// ------------------------------------------------------------------ control

// Refuses query parameters a command does not know.
static void onlyKeys(const std::vector<std::pair<std::string, std::string>>& q, const std::string& command,
                     std::initializer_list<const char*> allowed) {
    for (const auto& [k, v] : q) {
        bool known = false;
        for (const char* a : allowed) known = known || k == a;
        if (!known) throw std::invalid_argument(command + " takes no parameter '" + k + "'");
    }
}

std::string Server::controlCounts(const Query& q) {
    onlyKeys(q, "counts", {"op"});
    std::ostringstream out;
    std::lock_guard lock(mutex_);
    if (!q.empty()) {
        auto it = counts_.find(q.back().second);  // looked up, never added
        out << (it == counts_.end() ? 0ul : it->second) << "\n";
    } else {
        for (auto& [op, n] : counts_) out << op << ": " << n << "\n";
    }
    return out.str();
}

std::string Server::controlResetCounts(const Query& q) {
    onlyKeys(q, "reset-counts", {});
    std::lock_guard lock(mutex_);
    counts_.clear();
    return "OK\n";
}

std::string Server::controlFault(const Query&, const std::string& raw) {
    FaultRule r = parseFaultRule(raw);
    std::lock_guard lock(mutex_);
    faults_.push_back(r);
    return "OK\n";
}

std::string Server::controlClearFaults(const Query& q) {
    onlyKeys(q, "clear-faults", {});
    std::lock_guard lock(mutex_);
    faults_.clear();
    return "OK\n";
}

std::string Server::controlProfile(const Query& q) {
    std::lock_guard lock(mutex_);
    Profile p = profile_;
    // The preset first (it resets everything), then the settings in the
    // order given; nothing changes unless all of them apply.
    for (const auto& [k, v] : q)
        if (k == "preset" && !applyPreset(p, v)) throw std::invalid_argument("unknown profile '" + v + "'");
    for (const auto& [k, v] : q)
        if (k != "preset") applySetting(p, k, v);
    profile_ = p;
    return describeProfile(profile_);
}

std::string Server::controlJobSettings(const Query& q) {
    onlyKeys(q, "job-settings", {"queue-ms", "client-timeout-ms"});
    JobSettings js = jobs_->settings();
    for (const auto& [k, v] : q) {
        int ms = int(parseInteger(v, k, 0, 86400000));
        (k == "queue-ms" ? js.queueMs : js.clientTimeoutMs) = ms;
    }
    jobs_->setSettings(js);
    return "queue-ms: " + std::to_string(js.queueMs) + "\nclient-timeout-ms: " + std::to_string(js.clientTimeoutMs) + "\n";
}

std::string Server::controlLog(const Query& q) {
    onlyKeys(q, "log", {"clear"});
    std::ostringstream out;
    std::lock_guard lock(mutex_);
    for (auto& line : recentLog_) out << line << "\n";
    if (!q.empty()) recentLog_.clear();
    return out.str();
}

std::string Server::controlJobs(const Query& q) {
    onlyKeys(q, "jobs", {});
    std::set<std::string> users;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, s] : sessions_) users.insert(s.user);
    }
    std::ostringstream out;
    for (auto& u : users)
        for (auto& j : jobs_->jobsOf(u))
            out << j->id << " " << u << " " << jobs_->status(*j) << " " << j->endpointPath << " " << j->protocol << "\n";
    return out.str();
}

std::string Server::controlSessions(const Query& q) {
    onlyKeys(q, "sessions", {});
    std::ostringstream out;
    std::lock_guard lock(mutex_);
    for (auto& [id, s] : sessions_) out << id << " " << s.user << " " << s.clientType << "\n";
    return out.str();
}

// Figures of the process, for tests and abuse runs: threads and memory from
// /proc/self, requests and connections from the server.
std::string Server::controlStats(const Query& q) {
    onlyKeys(q, "stats", {});
    std::map<std::string, std::string> status;
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon != std::string::npos) status[line.substr(0, colon)] = trim(line.substr(colon + 1));
    }
    auto kb = [&](const char* key) {
        std::string v = status[key];
        return v.substr(0, v.find(' '));
    };
    size_t maps = 0;
    std::ifstream m("/proc/self/maps");
    while (std::getline(m, line)) ++maps;
    std::ostringstream out;
    out << "pid: " << ::getpid() << "\nthreads: " << status["Threads"] << "\nmaps: " << maps
        << "\nrss-kb: " << kb("VmRSS") << "\npeak-rss-kb: " << kb("VmHWM") << "\nvm-kb: " << kb("VmSize")
        << "\nrequests-in-flight: " << inFlight_ << "\nconnections-pending: " << pendingCount_
        << "\nthreads-started: " << threadsStarted() << "\njobs: " << jobs_->jobCount() << "\njob-threads: " << jobs_->workerCount() << "\n";
    return out.str();
}

void Server::handleControl(Connection& c, HttpRequest& req) {
    auto t0 = std::chrono::steady_clock::now();
    std::string cmd = req.path.substr(std::strlen("/qorvane-control/"));
    using Command = std::string (Server::*)(const Query&);
    static const std::map<std::string, Command> commands = {
        {"counts", &Server::controlCounts},     {"reset-counts", &Server::controlResetCounts},
        {"clear-faults", &Server::controlClearFaults}, {"profile", &Server::controlProfile},
        {"job-settings", &Server::controlJobSettings}, {"log", &Server::controlLog},
        {"jobs", &Server::controlJobs},         {"sessions", &Server::controlSessions},
        {"stats", &Server::controlStats}};
    int status = 200;
    std::string text;
    try {
        std::string given = req.query;
        if (req.method == "POST" && req.bodySize > 0) given += (given.empty() ? "" : "&") + req.bodyText(1u << 20);
        // The token comes in a header or as the parameter "token"; the
        // commands see the other parameters only.
        std::string token = req.header("x-pelox-control-token"), raw;
        for (size_t start = 0; start <= given.size();) {
            size_t end = given.find('&', start);
            if (end == std::string::npos) end = given.size();
            const std::string part = given.substr(start, end - start);
            if (part.starts_with("token="))
                token = part.substr(6);
            else if (!part.empty())
                raw += (raw.empty() ? "" : "&") + part;
            start = end + 1;
        }
        const bool tokenOk = token.size() == controlToken_.size() &&
                             CRYPTO_memcmp(token.data(), controlToken_.data(), token.size()) == 0;
        Query q = tokenOk ? parseQueryList(raw) : Query{};
        if (!tokenOk) {
            status = 403;
            text = "the control endpoint needs the token printed at start (header X-Pelox-Control-Token or "
                   "parameter token)\n";
        } else if (cmd == "fault") {
            text = controlFault(q, raw);
        } else if (auto it = commands.find(cmd); it != commands.end()) {
            text = (this->*it->second)(q);
        } else {
            status = 404;
            text = "unknown control command '" + cmd + "'\n";
        }
    } catch (const std::exception& e) {
        status = 400;
        text = std::string(e.what()) + "\n";
    }
    sendResponse(c, status, "text/plain; charset=utf-8", text);
    if (cmd != "log") logRequest(req.method, req.path, "control", "-", status, "", t0);
}

}  // namespace emu
