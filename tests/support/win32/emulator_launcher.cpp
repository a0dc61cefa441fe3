// The Windows part of the test support. A Windows program under Wine cannot
// start or wait for the Linux emulator, so emulators come from the
// Linux-side broker CTest runs (tests/windows/emulator_broker.py): one
// loopback connection per emulator, held open for its lifetime, so that the
// broker stops and removes it when this program ends without the
// destructor. Raw HTTP goes over Winsock.
#include "support/emulator_launcher.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/emulator_platform.h"

namespace pelox::testsupport {

namespace {

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

SOCKET connectLoopback(int port, DWORD receiveTimeoutMs) {
    startWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveTimeoutMs),
               sizeof receiveTimeoutMs);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(u_short(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool sendAll(SOCKET s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = ::send(s, data.data() + sent, int(std::min<size_t>(data.size() - sent, 1 << 20)), 0);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// A Linux path as Windows code sees it: Wine's own mapping (which knows the
// prefix's drives), else the Z: drive a default Wine prefix maps to "/".
std::filesystem::path windowsPath(const std::string& linuxPath) {
    using ToDos = WCHAR*(CDECL*)(const char*);
    static const auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (toDos) {
        if (WCHAR* dos = toDos(linuxPath.c_str())) {
            std::filesystem::path p(dos);
            HeapFree(GetProcessHeap(), 0, dos);
            return p;
        }
    }
    std::wstring w = L"Z:" + widen(linuxPath);
    for (auto& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

// The broker's protocol: blocks of "key value" lines ended by an empty line,
// values percent-encoded.
std::string encode(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string decode(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += char(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

struct BrokerReply {
    bool ok = false;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string get(const std::string& key) const {
        for (const auto& [k, v] : fields)
            if (k == key) return v;
        return {};
    }
};

// Sends one request block and reads the one reply block; a reply that does
// not come is an error reply with the reason.
BrokerReply ask(SOCKET s, const std::vector<std::pair<std::string, std::string>>& request) {
    std::string data;
    for (const auto& [k, v] : request) data += k + " " + encode(v) + "\n";
    data += "\n";
    BrokerReply reply;
    if (!sendAll(s, data)) {
        reply.fields.emplace_back("message", "the emulator broker closed the connection");
        return reply;
    }
    std::string in;
    char buf[4096];
    while (in.find("\n\n") == std::string::npos) {
        const int n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) {
            reply.fields.emplace_back("message", "no answer from the emulator broker");
            return reply;
        }
        in.append(buf, size_t(n));
    }
    in.resize(in.find("\n\n") + 1);
    size_t pos = 0;
    bool first = true;
    while (pos < in.size()) {
        const size_t end = in.find('\n', pos);
        const std::string line = in.substr(pos, end - pos);
        pos = end + 1;
        if (first) {
            reply.ok = line == "ok";
            first = false;
            continue;
        }
        const size_t space = line.find(' ');
        reply.fields.emplace_back(line.substr(0, space),
                                  space == std::string::npos ? std::string() : decode(line.substr(space + 1)));
    }
    return reply;
}

struct BrokerAddress {
    int port = 0;
    std::string token;
};

// The broker's port and token, from the state file PELOX_EMULATOR_BROKER
// names (a Windows path, or the Linux path of the build tree).
BrokerAddress brokerAddress() {
    const wchar_t* env = _wgetenv(L"PELOX_EMULATOR_BROKER");
    if (!env || !*env)
        throw std::runtime_error(
            "pelox-emulator did not start: PELOX_EMULATOR_BROKER is not set (Windows tests get emulators "
            "from tests/windows/emulator_broker.py, which CTest starts for tests that require it)");
    const std::filesystem::path statePath = env[0] == L'/' ? windowsPath(narrow(env)) : std::filesystem::path(env);
    BrokerAddress address;
    if (FILE* f = _wfopen(statePath.c_str(), L"rb")) {
        char line[512];
        while (std::fgets(line, sizeof line, f)) {
            std::string l(line);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            if (l.starts_with("port ")) address.port = std::atoi(l.c_str() + 5);
            if (l.starts_with("token ")) address.token = l.substr(6);
        }
        std::fclose(f);
    }
    if (address.port <= 0 || address.token.empty())
        throw std::runtime_error("pelox-emulator did not start: no emulator broker state in " +
                                 narrow(statePath.wstring()));
    return address;
}

}  // namespace

bool detail::exchange(int port, const std::string& request, std::string& reply) {
    SOCKET s = connectLoopback(port, 30000);
    if (s == INVALID_SOCKET) return false;
    sendAll(s, request);
    char buf[65536];
    while (true) {
        const int n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, size_t(n));
    }
    ::closesocket(s);
    return true;
}

Emulator::Emulator(std::vector<std::string> extraArgs, bool fixedPassword) {
    const BrokerAddress broker = brokerAddress();
    // Starting an emulator takes up to 10 seconds, and the broker serves
    // one request at a time.
    SOCKET s = connectLoopback(broker.port, 120000);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("pelox-emulator did not start: no emulator broker at 127.0.0.1:" +
                                 std::to_string(broker.port));
    std::vector<std::pair<std::string, std::string>> request = {
        {"token", broker.token}, {"command", "start"}, {"keep-root", detail::keepEmulatorRoot() ? "1" : "0"}};
    if (fixedPassword) request.insert(request.end(), {{"arg", "--password"}, {"arg", "secret"}});
    for (const auto& a : extraArgs) request.emplace_back("arg", a);
    const BrokerReply reply = ask(s, request);
    port_ = reply.ok ? std::atoi(reply.get("port").c_str()) : 0;
    if (port_ <= 0) {
        ::closesocket(s);
        throw std::runtime_error("pelox-emulator did not start: " + reply.get("message"));
    }
    process_ = std::intptr_t(s);
    dir_ = windowsPath(reply.get("dir"));
    root_ = windowsPath(reply.get("root"));
    controlToken_ = reply.get("control-token");
    password_ = reply.get("password");
}

Emulator::~Emulator() {
    if (process_ == -1) return;
    const auto s = SOCKET(process_);
    // Stops the emulator if it still runs and removes its directory before
    // answering, so that the directory is gone when the destructor returns.
    ask(s, {{"command", "release"}, {"keep-root", detail::keepEmulatorRoot() ? "1" : "0"}});
    ::closesocket(s);
}

int Emulator::stop() {
    if (process_ == -1 || stopped_) return 0;
    stopped_ = true;
    const BrokerReply reply = ask(SOCKET(process_), {{"command", "stop"}});
    if (!reply.ok) throw std::runtime_error("pelox-emulator did not stop: " + reply.get("message"));
    return std::atoi(reply.get("status").c_str());
}

}  // namespace pelox::testsupport
