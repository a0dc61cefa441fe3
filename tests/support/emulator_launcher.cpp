#include "support/emulator_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#ifndef PELOX_EMULATOR_PATH
#define PELOX_EMULATOR_PATH "pelox-emulator"
#endif

namespace fs = std::filesystem;

namespace pelox::testsupport {

const char* emulatorPath() { return PELOX_EMULATOR_PATH; }

HttpResponse httpRequest(int port, const std::string& method, const std::string& target, const std::string& body,
                         const std::vector<std::pair<std::string, std::string>>& headers) {
    HttpResponse r;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return r;
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return r;
    }
    const bool ownHost = std::any_of(headers.begin(), headers.end(), [](const auto& h) { return h.first == "Host"; });
    std::string req = method + " " + target + " HTTP/1.1\r\n" +
                      (ownHost ? std::string() : "Host: 127.0.0.1:" + std::to_string(port) + "\r\n") +
                      "Connection: close\r\n";
    bool hasLength = false;
    for (const auto& [k, v] : headers) {
        req += k + ": " + v + "\r\n";
        std::string lk = k;
        std::transform(lk.begin(), lk.end(), lk.begin(), ::tolower);
        if (lk == "content-length" || lk == "transfer-encoding") hasLength = true;
    }
    if (!hasLength && (!body.empty() || method == "POST")) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n";
    req += body;
    size_t sent = 0;
    while (sent < req.size()) {
        ssize_t n = ::send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    std::string in;
    char buf[65536];
    while (true) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, size_t(n));
    }
    ::close(fd);
    // Interim answers (100 Continue) come before the real one.
    while (in.starts_with("HTTP/1.1 1") || in.starts_with("HTTP/1.0 1")) {
        auto end = in.find("\r\n\r\n");
        if (end == std::string::npos) break;
        in.erase(0, end + 4);
    }
    auto headEnd = in.find("\r\n\r\n");
    if (headEnd == std::string::npos || !in.starts_with("HTTP/1.")) return r;
    std::string head = in.substr(0, headEnd);
    size_t sp = head.find(' ');
    int status = std::atoi(head.c_str() + sp + 1);
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos < head.size()) {
        size_t e = head.find("\r\n", pos + 2);
        std::string line = head.substr(pos + 2, e == std::string::npos ? std::string::npos : e - pos - 2);
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string k = line.substr(0, colon);
            std::transform(k.begin(), k.end(), k.begin(), ::tolower);
            std::string v = line.substr(colon + 1);
            while (!v.empty() && v.front() == ' ') v.erase(v.begin());
            r.headers[k] = v;
        }
        pos = e;
    }
    r.body = in.substr(headEnd + 4);
    auto cl = r.headers.find("content-length");
    if (cl != r.headers.end() && r.body.size() < size_t(std::atoll(cl->second.c_str()))) {
        r.status = 0;  // truncated reply
        return r;
    }
    r.status = status;
    return r;
}

std::string soapEnvelope(const std::string& bodyXml) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:qor=\"urn:qorvane:workflow-server\">"
           "<SOAP-ENV:Body>" +
           bodyXml + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// Finds the element <tag ...> or <prefix:tag ...>; returns the position after
// its start tag, npos when absent. selfClosing tells "<tag/>".
static size_t findElement(const std::string& xml, const std::string& tag, size_t from, bool& selfClosing,
                          size_t* startOut = nullptr) {
    size_t pos = from;
    while ((pos = xml.find('<', pos)) != std::string::npos) {
        size_t nameStart = pos + 1;
        size_t nameEnd = xml.find_first_of(" />\t\r\n", nameStart);
        if (nameEnd == std::string::npos) return std::string::npos;
        std::string name = xml.substr(nameStart, nameEnd - nameStart);
        auto colon = name.find(':');
        std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
        if (local == tag && !name.starts_with("/")) {
            size_t close = xml.find('>', nameEnd);
            if (close == std::string::npos) return std::string::npos;
            selfClosing = xml[close - 1] == '/';
            if (startOut) *startOut = pos;
            return close + 1;
        }
        pos = nameEnd;
    }
    return std::string::npos;
}

static std::string unescape(std::string s) {
    const std::pair<const char*, const char*> ents[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (auto [from, to] : ents) {
        size_t p = 0;
        while ((p = s.find(from, p)) != std::string::npos) {
            s.replace(p, std::strlen(from), to);
            p += std::strlen(to);
        }
    }
    return s;
}

// The raw content of the element that starts at contentStart (nesting of the
// same local name is not expected in the replies this helper reads).
static std::string contentOf(const std::string& xml, size_t contentStart, const std::string& tag) {
    size_t pos = contentStart;
    int depth = 1;
    while ((pos = xml.find('<', pos)) != std::string::npos) {
        bool closing = xml[pos + 1] == '/';
        size_t nameStart = pos + (closing ? 2 : 1);
        size_t nameEnd = xml.find_first_of(" />\t\r\n", nameStart);
        std::string name = xml.substr(nameStart, nameEnd - nameStart);
        auto colon = name.find(':');
        std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
        size_t close = xml.find('>', nameEnd);
        if (close == std::string::npos) break;
        if (local == tag) {
            if (closing) {
                if (--depth == 0) return xml.substr(contentStart, pos - contentStart);
            } else if (xml[close - 1] != '/') {
                ++depth;
            }
        }
        pos = close + 1;
    }
    return {};
}

std::string xmlValue(const std::string& xml, const std::string& tag) {
    bool selfClosing = false;
    size_t start = findElement(xml, tag, 0, selfClosing);
    if (start == std::string::npos || selfClosing) return {};
    return unescape(contentOf(xml, start, tag));
}

std::vector<std::string> xmlItems(const std::string& xml, const std::string& tag) {
    std::vector<std::string> out;
    bool selfClosing = false;
    size_t start = findElement(xml, tag, 0, selfClosing);
    if (start == std::string::npos || selfClosing) return out;
    std::string inner = contentOf(xml, start, tag);
    size_t pos = 0;
    while (true) {
        bool sc = false;
        size_t itemStart = findElement(inner, "item", pos, sc);
        if (itemStart == std::string::npos) break;
        if (sc) {
            out.emplace_back();
            pos = itemStart;
            continue;
        }
        std::string content = contentOf(inner, itemStart, "item");
        out.push_back(unescape(content));
        pos = itemStart + content.size();
    }
    return out;
}

Emulator::Emulator(std::vector<std::string> extraArgs, bool fixedPassword) {
    std::string pattern = (fs::temp_directory_path() / "pelox-emu-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    root_ = dir_ / "root";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {emulatorPath(), "--root", root_.string(), "--port", "0", "--log",
                                     logPath().string()};
    if (fixedPassword) args.insert(args.end(), {"--password", "secret"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::string errPath = (dir_ / "stderr.txt").string();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    // The port, then (a password made at start, and) the control token.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto announced = [&] {
        const size_t token = line.find("control-token=");
        return token != std::string::npos && line.find('\n', token) != std::string::npos;
    };
    while (!announced() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c[256];
        ssize_t n = ::read(out[0], c, sizeof c);
        if (n <= 0) break;
        line.append(c, size_t(n));
    }
    ::close(out[0]);
    port_ = announced() ? std::atoi(line.c_str()) : 0;
    if (port_ > 0) {
        const size_t token = line.find("control-token=") + 14;
        controlToken_ = line.substr(token, line.find('\n', token) - token);
        const size_t password = line.find("password=");
        if (password != std::string::npos && password < token)
            password_ = line.substr(password + 9, line.find('\n', password) - password - 9);
    }
    if (port_ <= 0) {
        stop();
        std::string why;
        if (FILE* f = std::fopen(errPath.c_str(), "r")) {
            char b[1024];
            size_t n = std::fread(b, 1, sizeof b - 1, f);
            why.assign(b, n);
            std::fclose(f);
        }
        const char* keep = std::getenv("PELOX_KEEP_EMULATOR_ROOT");
        if (!keep || std::string(keep) != "1") {
            std::error_code ec;
            fs::remove_all(dir_, ec);  // the destructor does not run for a failed start
        }
        throw std::runtime_error("pelox-emulator did not start: " + why);
    }
}

Emulator::~Emulator() {
    stop();
    const char* keep = std::getenv("PELOX_KEEP_EMULATOR_ROOT");
    if (!keep || std::string(keep) != "1") {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

int Emulator::stop() {
    if (pid_ <= 0) return 0;
    ::kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || r < 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return status;
}

std::string Emulator::control(const std::string& commandAndQuery) const {
    auto r = httpRequest(port_, "GET", "/qorvane-control/" + commandAndQuery, {},
                         {{"X-Pelox-Control-Token", controlToken_}});
    if (r.status != 200) throw std::runtime_error("control " + commandAndQuery + " failed: " + r.body);
    return r.body;
}

unsigned long Emulator::count(const std::string& op) const {
    return std::strtoul(control("counts?op=" + op).c_str(), nullptr, 10);
}

HttpResponse Emulator::soap(const std::string& path, const std::string& bodyXml) const {
    return httpRequest(port_, "POST", path, soapEnvelope(bodyXml),
                       {{"Content-Type", "text/xml; charset=utf-8"}, {"SOAPAction", "\"\""}});
}

std::string Emulator::login(const std::string& user, const std::string& password) const {
    auto r = soap("/qorvane/locator", "<qor:Login><name>" + user + "</name><password>" + password +
                                          "</password><clientType>{pelox} test</clientType>"
                                          "<clientVersion>8.5.0.0</clientVersion><clientMachine>test</clientMachine>"
                                          "</qor:Login>");
    std::string sid = xmlValue(r.body, "sessionID");
    if (r.status != 200 || sid.empty()) throw std::runtime_error("login failed: " + r.body);
    return sid;
}

}  // namespace pelox::testsupport
