#include "server.h"

#include "http.h"
#include "soapH.h"
#include "wire/namespaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
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

void applySetting(Profile& p, const std::string& key, const std::string& value) {
    if (key == "profile") {
        if (!applyPreset(p, value)) throw std::invalid_argument("unknown profile '" + value + "'");
    } else if (key == "server-version") {
        std::string v = value;
        if (v.find('.') == std::string::npos) v += ".0";
        while (std::count(v.begin(), v.end(), '.') < 3) v += ".0";
        if (std::atoi(v.c_str()) <= 0) throw std::invalid_argument("bad server version '" + value + "'");
        p.serverVersion = v;
    } else if (key == "without-method" || key == "with-method") {
        for (auto& m : split(value, ',')) {
            m = trim(m);
            if (m.empty()) continue;
            if (std::find(kOptionalOps.begin(), kOptionalOps.end(), m) == kOptionalOps.end())
                throw std::invalid_argument("'" + m + "' is not an operation a profile can leave out");
            if (key == "without-method")
                p.withoutMethods.insert(m);
            else
                p.withoutMethods.erase(m);
        }
    } else if (key == "compatibility") {
        if (value == "true") p.compatibility = 1;
        else if (value == "false") p.compatibility = 2;
        else if (value == "unknown") p.compatibility = 0;
        else throw std::invalid_argument("--compatibility takes true, false or unknown");
    } else if (key == "version-comparison") {
        if (value == "not-checked") p.versionComparison = 0;
        else if (value == "same") p.versionComparison = 1;
        else if (value == "server-newer") p.versionComparison = 2;
        else if (value == "client-newer") p.versionComparison = 3;
        else throw std::invalid_argument("--version-comparison takes not-checked, same, server-newer or client-newer");
    } else if (key == "compat-server-version") {
        p.compatServerVersion = value;
    } else if (key == "cluster") {
        p.cluster = onOff(key, value);
    } else if (key == "session-credentials") {
        p.sessionCredentials = onOff(key, value);
    } else if (key == "omit-config") {
        for (auto& k : split(value, ','))
            if (!trim(k).empty()) p.omitConfig.insert(trim(k));
    } else if (key == "include-config") {
        for (auto& k : split(value, ',')) p.omitConfig.erase(trim(k));
    } else if (key == "hw-address") {
        if (value == "local") p.hwLocal = true;
        else if (value == "foreign") p.hwLocal = false;
        else throw std::invalid_argument("--hw-address takes local or foreign");
    } else if (key == "upload-url") {
        p.uploadUrl = onOff(key, value);
    } else if (key == "download-url") {
        p.downloadUrl = onOff(key, value);
    } else if (key == "blocking-timeout") {
        p.blockingTimeoutSeconds = std::max(0, std::atoi(value.c_str()));
    } else if (key == "status") {
        p.status = value;
    } else {
        throw std::invalid_argument("unknown setting '" + key + "'");
    }
}

std::string describeProfile(const Profile& p) {
    std::ostringstream o;
    o << "profile: " << p.name << "\nserver-version: " << p.serverVersion << "\nwithout-method: ";
    bool first = true;
    for (auto& m : p.withoutMethods) o << (first ? "" : ",") << m, first = false;
    o << "\ncompatibility: " << (p.compatibility == 1 ? "true" : p.compatibility == 2 ? "false" : "unknown")
      << "\nversion-comparison: " << p.versionComparison << "\ncluster: " << (p.cluster ? "on" : "off")
      << "\nsession-credentials: " << (p.sessionCredentials ? "on" : "off") << "\nomit-config: ";
    first = true;
    for (auto& m : p.omitConfig) o << (first ? "" : ",") << m, first = false;
    o << "\nhw-address: " << (p.hwLocal ? "local" : "foreign") << "\nupload-url: " << (p.uploadUrl ? "on" : "off")
      << "\ndownload-url: " << (p.downloadUrl ? "on" : "off") << "\nblocking-timeout: " << p.blockingTimeoutSeconds
      << "\nstatus: " << p.status << "\n";
    return o.str();
}

FaultRule parseFaultRule(const std::string& query) {
    auto q = parseQuery(query);
    FaultRule r;
    r.op = q["op"];
    r.kind = q["kind"];
    if (r.op.empty()) throw std::invalid_argument("a fault needs op=<operation>");
    static const std::set<std::string> kinds = {"soap-fault", "delay", "http-500", "malformed", "truncated", "drop"};
    if (!kinds.count(r.kind)) throw std::invalid_argument("unknown fault kind '" + r.kind + "'");
    if (q.count("string")) r.faultString = q["string"];
    if (q.count("detail")) {
        std::string d = q["detail"];
        size_t start = 0;
        while (true) {
            size_t pos = d.find("|#|", start);
            r.detail.push_back(d.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
            if (pos == std::string::npos) break;
            start = pos + 3;
        }
    }
    if (q.count("code")) r.code = q["code"];
    if (q.count("ms")) r.ms = std::max(0, std::atoi(q["ms"].c_str()));
    if (q.count("count")) r.remaining = std::max(1, std::atoi(q["count"].c_str()));
    return r;
}

// ------------------------------------------------------------------ server

Server::Server(Options options) : options_(std::move(options)) {
    std::error_code ec;
    fs::create_directories(options_.root, ec);
    if (ec) throw std::runtime_error("cannot create the root " + options_.root.string() + ": " + ec.message());
    root_ = fs::canonical(options_.root);
    fs::create_directories(root_ / "jobs", ec);
    fs::create_directories(root_ / "users", ec);
    if (!fs::exists(root_ / "catalogue") && !options_.seed.empty()) {
        fs::copy(options_.seed, root_ / "catalogue", fs::copy_options::recursive, ec);
        if (ec) throw std::runtime_error("cannot copy the catalogue from " + options_.seed.string() + ": " + ec.message());
    }
    catalogue_ = std::make_unique<Catalogue>(root_ / "catalogue");
    jobs_ = std::make_unique<JobEngine>(*catalogue_, root_ / "jobs", root_);
    jobs_->setSettings(options_.jobs);
    profile_ = options_.profile;
    faults_ = options_.faults;
    secret_ = randomHex(32);
    if (!options_.usersFile.empty()) {
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
}

Server::~Server() {
    jobs_->shutdown();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (ssl_) SSL_CTX_free(ssl_);
}

int Server::bind() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket() failed");
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(options_.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(options_.port) + ": " + std::strerror(errno));
    if (::listen(listenFd_, 128) != 0) throw std::runtime_error("listen() failed");
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return port_;
}

void Server::requestStop() { stopping_ = true; }

void Server::run() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        if (r <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (active_ >= kMaxConnections) {
            // Too many requests in flight: refuse rather than exhaust threads.
            Connection c(fd, nullptr);
            sendResponse(c, 503, "text/plain; charset=utf-8", "too many connections\n");
            continue;
        }
        ++active_;
        std::thread([this, fd] {
            try {
                serveConnection(fd);
            } catch (...) {
            }
            --active_;
        }).detach();
    }
    // Let requests in flight finish (they are short; jobs are stopped below).
    jobs_->shutdown();
    for (int i = 0; i < 250 && active_ > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

Request& Server::begin(::soap* soap, const char* op) {
    Request& r = *static_cast<Request*>(soap->user);
    r.op = op;
    count(op);
    r.fault = takeFault(op);
    if (r.fault && r.fault->ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.fault->ms));
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
    std::vector<std::pair<std::string, std::vector<std::string>>> all = {
        {"FILEENDPOINT", {endpointUrl(Endpoint::File)}},
        {"XMLDBENDPOINT", {endpointUrl(Endpoint::Xmldb)}},
        {"RUNNERENDPOINT", {endpointUrl(Endpoint::Runner)}},
        {"UPLOADENDPOINT", {p.uploadUrl ? baseUrl() + "/qorvane/upload" : std::string()}},
        {"DOWNLOADENDPOINT", {p.downloadUrl ? baseUrl() + "/qorvane/download" : std::string()}},
        {"LOCALROOT", {root_.generic_string()}},
        {"JobsDirectory", {jobsDir().generic_string()}},
        {"CLUSTERMETHOD", {p.cluster ? std::string("roundrobin") : std::string()}},
        {"SERVERVERSION", {std::to_string(p.major())}},
        {"ROOT", {baseUrl()}},
        {"SSLROOT", {ssl_ ? baseUrl() : std::string()}},
        {"BLOCKINGJOBTIMEOUT", {std::to_string(p.blockingTimeoutSeconds)}},
        {"ServerOS", {"Linux"}},
        {"USEAUTHENTICATION", {"true"}},
        {"UsersDirectory", {(root_ / "users").generic_string()}},
        {"GridEngineType", {p.cluster ? std::string("roundrobin") : std::string()}},
        {"GridEngineNames", p.cluster ? std::vector<std::string>{"runner", "runner2"} : std::vector<std::string>{}},
    };
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

// ------------------------------------------------------------------ HTTP

void Server::serveConnection(int fd) {
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = nullptr;
    if (ssl_) {
        ssl = SSL_new(ssl_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            ::close(fd);
            return;
        }
    }
    Connection c(fd, ssl);
    std::string carry;
    HttpRequest req;
    switch (readRequest(c, req, options_.maxBody, carry)) {
        case ReadResult::Ok: break;
        case ReadResult::Closed: return;
        case ReadResult::Bad:
            sendResponse(c, 400, "text/plain; charset=utf-8", "malformed HTTP request\n");
            log(nowStamp() + " ? ? - session=- status=400 malformed-request");
            return;
        case ReadResult::TooLarge:
            sendResponse(c, 413, "text/plain; charset=utf-8", "request too large\n");
            log(nowStamp() + " ? ? - session=- status=413 too-large");
            return;
    }
    handle(c, req);
}

void Server::handle(Connection& c, HttpRequest& req) {
    const std::string& p = req.path;
    if (p == "/qorvane/locator") return handleSoap(c, req, Endpoint::Locator);
    if (p == "/qorvane/file") return handleSoap(c, req, Endpoint::File);
    if (p == "/qorvane/xmldb" || p == "/qorvane/xmldb-session") return handleSoap(c, req, Endpoint::Xmldb);
    if (p == "/qorvane/runner") return handleSoap(c, req, Endpoint::Runner);
    if (p == "/qorvane/runner2") return handleSoap(c, req, Endpoint::Runner2);
    if (p == "/qorvane/serverstatus") return handleStatus(c, req);
    if (p == "/qorvane/download") return handleDownload(c, req);
    if (p == "/qorvane/upload") return handleUpload(c, req);
    if (p.starts_with("/qorvane-control/")) return handleControl(c, req);
    sendResponse(c, 404, "text/plain; charset=utf-8", "no such endpoint: " + p + "\n");
    log(nowStamp() + " " + req.method + " " + p + " - session=- status=404");
}

static size_t soapRecv(::soap* soap, char* buf, size_t n) {
    auto* io = static_cast<Request*>(soap->user);
    size_t k = std::min(n, io->in.size());
    std::memcpy(buf, io->in.data(), k);
    io->in.remove_prefix(k);
    return k;
}

static int soapSend(::soap* soap, const char* buf, size_t n) {
    auto* io = static_cast<Request*>(soap->user);
    io->out.append(buf, n);
    return SOAP_OK;
}

// Applies an injected transport fault to a reply about to be sent. Returns
// true when the fault replaced the reply.
bool Server::applyPlainFault(Connection& c, const std::optional<FaultRule>& f, const std::string& op) {
    if (!f) return false;
    if (f->kind == "http-500") {
        sendResponse(c, 500, "text/plain; charset=utf-8", "Injected HTTP 500 for " + op + "\n");
        return true;
    }
    if (f->kind == "malformed") {
        sendResponse(c, 200, "text/xml; charset=utf-8", "<?xml version=\"1.0\"?><SOAP-ENV:Envelope><broken");
        return true;
    }
    if (f->kind == "drop") {
        c.close();
        return true;
    }
    return false;
}

void Server::handleSoap(Connection& c, HttpRequest& req, Endpoint e) {
    auto t0 = std::chrono::steady_clock::now();
    if (req.method != "POST") {
        sendResponse(c, 405, "text/plain; charset=utf-8", "SOAP endpoints take POST\n", {{"Allow", "POST"}});
        log(nowStamp() + " " + req.method + " " + req.path + " - session=- status=405");
        return;
    }
    Request io;
    io.server = this;
    io.endpoint = e;
    io.path = req.path;
    io.in = req.body;
    ::soap* s = soap_new2(SOAP_C_UTFSTRING | SOAP_ENC_PLAIN, SOAP_C_UTFSTRING | SOAP_ENC_PLAIN | SOAP_XML_TREE);
    // The library's namespace table: SOAP 1.1 written, SOAP 1.2 accepted.
    pelox::wire::installNamespaces(s);
    s->user = &io;
    s->frecv = soapRecv;
    s->fsend = soapSend;
    s->socket = SOAP_INVALID_SOCKET;
    s->maxlevel = 200;
    s->length = req.body.size();
    int rc = soap_serve(s);
    soap_destroy(s);
    soap_end(s);
    soap_free(s);
    int status = rc == SOAP_OK ? 200 : 500;
    std::string op = io.op.empty() ? "?" : io.op;
    std::string note;
    if (io.fault) note = " fault=" + io.fault->kind;
    if (!applyPlainFault(c, io.fault, op)) {
        if (io.fault && io.fault->kind == "truncated") {
            std::string head = responseHead(status, "text/xml; charset=utf-8", io.out.size());
            c.writeAll(head + io.out.substr(0, io.out.size() / 2));
            c.close();
        } else {
            sendResponse(c, status, "text/xml; charset=utf-8", io.out);
        }
    } else if (io.fault->kind == "http-500") {
        status = 500;
    } else if (io.fault->kind == "drop") {
        status = 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    log(nowStamp() + " POST " + req.path + " " + op + " session=" + io.session + " status=" + std::to_string(status) +
        note + " " + std::to_string(ms) + "ms");
}

void Server::handleStatus(Connection& c, HttpRequest& req) {
    auto t0 = std::chrono::steady_clock::now();
    count("serverstatus");
    auto f = takeFault("serverstatus");
    if (f && f->ms) std::this_thread::sleep_for(std::chrono::milliseconds(f->ms));
    Profile p = profile();
    std::ostringstream o;
    size_t sessions;
    {
        std::lock_guard lock(mutex_);
        sessions = sessions_.size();
    }
    auto up = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
    o << "Server: Qorvane workflow server emulator\n"
      << "Version: " << p.serverVersion << "\n"
      << "Status: " << p.status << "\n"
      << "Availability: " << (p.status == "available" ? "100" : "0") << "\n"
      << "Sessions: " << sessions << "\n"
      << "RunningJobs: " << jobs_->runningCount() << "\n"
      << "Uptime: " << up << "\n";
    int status = 200;
    if (!applyPlainFault(c, f, "serverstatus")) {
        sendResponse(c, 200, "text/plain; charset=utf-8", o.str());
    } else {
        status = f->kind == "http-500" ? 500 : 0;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    log(nowStamp() + " GET " + req.path + " serverstatus session=- status=" + std::to_string(status) + " " +
        std::to_string(ms) + "ms");
}

static bool acceptsGzip(const std::string& acceptEncoding) {
    for (auto& part : split(acceptEncoding, ',')) {
        auto t = trim(part);
        auto semi = t.find(';');
        std::string coding = trim(t.substr(0, semi));
        if (iequals(coding, "gzip")) return t.find("q=0") == std::string::npos || t.find("q=0.") != std::string::npos;
    }
    return false;
}

void Server::plainService(Connection& c, HttpRequest& req, const std::string& name, const PlainBody& body) {
    auto t0 = std::chrono::steady_clock::now();
    count(name);
    auto q = parseQuery(req.query);
    std::string sid = q["SID"];
    int status = 200;
    std::string note;
    auto f = takeFault(name);
    if (f && f->ms) std::this_thread::sleep_for(std::chrono::milliseconds(f->ms));
    try {
        status = body(q, f, note);
    } catch (const Fault& e) {
        status = e.httpStatus ? e.httpStatus : 400;
        sendResponse(c, status, "text/plain; charset=utf-8", std::string(e.what()) + "\n");
        note = std::string(" error=\"") + e.what() + "\"";
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    log(nowStamp() + " " + req.method + " " + req.path + " " + name + " session=" + (sid.empty() ? "-" : sid) +
        " status=" + std::to_string(status) + note + " " + std::to_string(ms) + "ms");
}

void Server::handleDownload(Connection& c, HttpRequest& req) {
    plainService(c, req, "download", [&](auto& q, const auto& f, std::string& note) -> int {
        if (req.method != "GET") fail("the download service takes GET", 405);
        if (!profile().downloadUrl) fail("the download service is switched off", 404);
        session(q["SID"].c_str());
        auto path = resolveInside(root_, root_, q["filename"]);
        Bytes data = readFile(path, options_.maxBody);
        note = " file=" + path.generic_string() + " bytes=" + std::to_string(data.size());
        if (q["compress"] == "1") note += " compress=1";
        if (f && f->kind == "truncated") {
            c.writeAll(responseHead(200, "application/octet-stream", data.size()) + data.substr(0, data.size() / 2));
            c.close();
        } else if (!applyPlainFault(c, f, "download")) {
            if (q["compress"] == "1" && acceptsGzip(req.header("accept-encoding"))) {
                sendResponse(c, 200, "application/octet-stream", gzip(data), {{"Content-Encoding", "gzip"}});
                note += " gzip";
            } else {
                sendResponse(c, 200, "application/octet-stream", data);
            }
        } else {
            return f->kind == "http-500" ? 500 : 0;
        }
        return 200;
    });
}

void Server::handleUpload(Connection& c, HttpRequest& req) {
    plainService(c, req, "upload", [&](auto& q, const auto& f, std::string& note) -> int {
        if (req.method != "POST") fail("the upload service takes POST", 405);
        if (!profile().uploadUrl) fail("the upload service is switched off", 404);
        const Session& s = session(q["SID"].c_str());
        std::string user = s.user;
        fs::path base = root_;
        if (!q["jobID"].empty()) base = jobs_->find(user, q["jobID"], "")->dir;
        auto path = resolveInside(root_, base, q["filename"]);
        Bytes data = q["compress"] == "1" ? decompress(req.body, options_.maxBody) : req.body;
        note = " file=" + path.generic_string() + " bytes=" + std::to_string(data.size());
        if (q["compress"] == "1") note += " compress=1";
        if (applyPlainFault(c, f, "upload")) return f->kind == "http-500" ? 500 : 0;
        writeFile(path, data, false);
        sendResponse(c, 200, "text/plain; charset=utf-8", "OK");
        return 200;
    });
}

void Server::handleControl(Connection& c, HttpRequest& req) {
    std::string cmd = req.path.substr(std::strlen("/qorvane-control/"));
    std::string query = req.query;
    if (req.method == "POST" && !req.body.empty()) query += (query.empty() ? "" : "&") + req.body;
    auto q = parseQuery(query);
    std::ostringstream out;
    int status = 200;
    try {
        if (cmd == "counts") {
            std::lock_guard lock(mutex_);
            if (q.count("op")) {
                out << counts_[q["op"]] << "\n";
            } else {
                for (auto& [op, n] : counts_) out << op << ": " << n << "\n";
            }
        } else if (cmd == "reset-counts") {
            std::lock_guard lock(mutex_);
            counts_.clear();
            out << "OK\n";
        } else if (cmd == "fault") {
            FaultRule r = parseFaultRule(query);
            std::lock_guard lock(mutex_);
            faults_.push_back(r);
            out << "OK\n";
        } else if (cmd == "clear-faults") {
            std::lock_guard lock(mutex_);
            faults_.clear();
            out << "OK\n";
        } else if (cmd == "profile") {
            std::lock_guard lock(mutex_);
            Profile p = profile_;
            if (q.count("preset") && !applyPreset(p, q["preset"]))
                throw std::invalid_argument("unknown profile '" + q["preset"] + "'");
            for (auto& [k, v] : q)
                if (k != "preset") applySetting(p, k, v);
            profile_ = p;
            out << describeProfile(profile_);
        } else if (cmd == "job-settings") {
            JobSettings js = jobs_->settings();
            if (q.count("queue-ms")) js.queueMs = std::max(0, std::atoi(q["queue-ms"].c_str()));
            if (q.count("client-timeout-ms")) js.clientTimeoutMs = std::max(0, std::atoi(q["client-timeout-ms"].c_str()));
            jobs_->setSettings(js);
            out << "queue-ms: " << js.queueMs << "\nclient-timeout-ms: " << js.clientTimeoutMs << "\n";
        } else if (cmd == "log") {
            std::lock_guard lock(mutex_);
            for (auto& line : recentLog_) out << line << "\n";
            if (q.count("clear")) recentLog_.clear();
        } else if (cmd == "jobs") {
            std::set<std::string> users;
            {
                std::lock_guard lock(mutex_);
                for (auto& [id, s] : sessions_) users.insert(s.user);
            }
            for (auto& u : users)
                for (auto& j : jobs_->jobsOf(u))
                    out << j->id << " " << u << " " << jobs_->status(*j) << " " << j->endpointPath << " " << j->protocol
                        << "\n";
        } else if (cmd == "sessions") {
            std::lock_guard lock(mutex_);
            for (auto& [id, s] : sessions_) out << id << " " << s.user << " " << s.clientType << "\n";
        } else {
            status = 404;
            out << "unknown control command '" << cmd << "'\n";
        }
    } catch (const std::exception& e) {
        status = 400;
        out.str("");
        out << e.what() << "\n";
    }
    sendResponse(c, status, "text/plain; charset=utf-8", out.str());
    if (cmd != "log") log(nowStamp() + " " + req.method + " " + req.path + " control session=- status=" + std::to_string(status));
}

}  // namespace emu
