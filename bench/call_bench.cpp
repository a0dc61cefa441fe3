// A one-operation export, pelox_getProtocolVersion (one GetComponentVersions
// call), against what the same exchange costs without the library:
//   Stub        the generated gSOAP stub with a context made for the call
//               (soap_new .. soap_free), as the library does;
//   StubReused  the same stub on one context kept across calls;
//   Raw         the request bytes the library sends, written to a fresh TCP
//               connection and the reply read to its end.
// Each against the emulator and against the canned server (bench/
// canned_server.h), whose answers cost next to nothing, so that the server's
// own time cannot hide the client's. Goals: export <= 1.15x the stub and
// <= 1.25x the raw exchange against the canned server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "bench_util.h"
#include "peloxImp.h"
#include "soapH.h"

namespace pelox::bench {
namespace {

enum class Target { Emulator, Canned };

const char16_t* const kComponent = u"Examples/Add Numbers";

struct Endpoint {
    std::u16string session;
    std::string sessionUtf8;
    std::string xmldb;  // the XMLDB endpoint URL
    int port = 0;
    std::string rawRequest;  // the library's request bytes for this server
};

// The library's request, captured once from the canned server.
std::string capturedRequest() {
    static const std::string request = [] {
        CannedSession& c = cannedSession();
        std::mutex mutex;
        std::string seen;
        c.server.observe = [&](const std::string& op, const std::string& raw) {
            std::lock_guard<std::mutex> lock(mutex);
            if (op == "GetComponentVersions") seen = raw;
        };
        int32_t version = 0;
        pelox_getProtocolVersion(c.session.c_str(), kComponent, &version);
        c.server.observe = nullptr;
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }();
    return request;
}

// The captured request for another server: its port in the Host header and
// its session ID, with the Content-Length to match.
std::string retarget(std::string request, int port, const std::string& sessionId) {
    const size_t host = request.find("Host: ");
    if (host != std::string::npos) {
        const size_t end = request.find("\r\n", host);
        request.replace(host, end - host, "Host: 127.0.0.1:" + std::to_string(port));
    }
    const size_t headEnd = request.find("\r\n\r\n");
    std::string body = request.substr(headEnd + 4);
    const std::string from = "<sessionID>S-1</sessionID>";
    const size_t at = body.find(from);
    if (at != std::string::npos) body.replace(at, from.size(), "<sessionID>" + sessionId + "</sessionID>");
    std::string head = request.substr(0, headEnd);
    const size_t length = head.find("Content-Length: ");
    if (length != std::string::npos) {
        const size_t end = head.find("\r\n", length);
        head.replace(length, (end == std::string::npos ? head.size() : end) - length,
                     "Content-Length: " + std::to_string(body.size()));
    }
    return head + "\r\n\r\n" + body;
}

const Endpoint& endpoint(Target target) {
    static const Endpoint canned = [] {
        CannedSession& c = cannedSession();
        Endpoint e;
        e.session = c.session;
        e.sessionUtf8.assign(c.session.begin(), c.session.end());
        e.port = c.server.server.port();
        e.xmldb = c.server.server.baseUrl() + "/qorvane/xmldb";
        e.rawRequest = retarget(capturedRequest(), e.port, e.sessionUtf8);
        return e;
    }();
    static const Endpoint emulator = [] {
        EmulatorSession& s = emulatorSession();
        Endpoint e;
        e.session = s.session;
        e.sessionUtf8 = s.sessionUtf8;
        e.port = s.emulator.port();
        e.xmldb = s.emulator.baseUrl() + "/qorvane/xmldb";
        e.rawRequest = retarget(capturedRequest(), e.port, e.sessionUtf8);
        return e;
    }();
    return target == Target::Canned ? canned : emulator;
}

void BM_Version_Export(benchmark::State& state, Target target) {
    const Endpoint& e = endpoint(target);
    int32_t version = 0;
    for (auto _ : state) {
        if (pelox_getProtocolVersion(e.session.c_str(), kComponent, &version) != 0 || version <= 0) {
            state.SkipWithError("pelox_getProtocolVersion failed");
            break;
        }
    }
}

struct soap* newContext() {
    struct soap* soap = soap_new2(SOAP_IO_DEFAULT | SOAP_C_UTFSTRING, SOAP_IO_DEFAULT | SOAP_C_UTFSTRING | SOAP_XML_TREE);
    soap->connect_timeout = 2;
    soap->socket_flags = MSG_NOSIGNAL;
    return soap;
}

bool stubCall(struct soap* soap, const Endpoint& e) {
    qor__GetComponentVersionsResponse answer;
    const std::string name = "Examples/Add Numbers";
    const int rc = soap_call_qor__GetComponentVersions(soap, e.xmldb.c_str(), "", const_cast<char*>(e.sessionUtf8.c_str()),
                                                       const_cast<char*>(name.c_str()), answer);
    const bool ok = rc == SOAP_OK && answer.versions && answer.versions->__size > 0;
    soap_destroy(soap);
    soap_end(soap);
    return ok;
}

void BM_Version_Stub(benchmark::State& state, Target target) {
    const Endpoint& e = endpoint(target);
    for (auto _ : state) {
        struct soap* soap = newContext();
        const bool ok = stubCall(soap, e);
        soap_free(soap);
        if (!ok) {
            state.SkipWithError("stub call failed");
            break;
        }
    }
}

void BM_Version_StubReused(benchmark::State& state, Target target) {
    const Endpoint& e = endpoint(target);
    struct soap* soap = newContext();
    for (auto _ : state) {
        if (!stubCall(soap, e)) {
            state.SkipWithError("stub call failed");
            break;
        }
    }
    soap_free(soap);
}

// One exchange on a fresh connection; the reply's size (0 on failure).
size_t rawExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size_t received = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0 && errno != EINTR) break;
            if (n > 0) sent += static_cast<size_t>(n);
        }
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            received += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return received;
}

void BM_Version_Raw(benchmark::State& state, Target target) {
    const Endpoint& e = endpoint(target);
    for (auto _ : state) {
        if (rawExchange(e.port, e.rawRequest) < 100) {
            state.SkipWithError("raw exchange failed");
            break;
        }
    }
}

#define VERSION_BENCH(fn)                                                                                    \
    BENCHMARK_CAPTURE(fn, canned, Target::Canned)->Threads(1)->Threads(2)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond); \
    BENCHMARK_CAPTURE(fn, emulator, Target::Emulator)->Threads(1)->Threads(2)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond)

VERSION_BENCH(BM_Version_Export);
VERSION_BENCH(BM_Version_Stub);
VERSION_BENCH(BM_Version_StubReused);
VERSION_BENCH(BM_Version_Raw);

const bool kRatios = [] {
    for (const char* server : {"canned", "emulator"}) {
        for (int n : {1, 2, 8}) {
            const std::string suffix = std::string("/") + server + "/real_time/threads:" + std::to_string(n);
            const std::string where = std::string(server) + ", threads " + std::to_string(n);
            const bool goal = std::string(server) == "canned";
            addRatio("getProtocolVersion vs gSOAP stub (" + where + ")", "BM_Version_Export" + suffix,
                     "BM_Version_Stub" + suffix, goal ? "<= 1.15" : "");
            addRatio("getProtocolVersion vs raw exchange (" + where + ")", "BM_Version_Export" + suffix,
                     "BM_Version_Raw" + suffix, goal ? "<= 1.25" : "");
            addRatio("gSOAP stub, fresh vs kept context (" + where + ")", "BM_Version_Stub" + suffix,
                     "BM_Version_StubReused" + suffix);
        }
    }
    return true;
}();

}  // namespace
}  // namespace pelox::bench
