// A tiny HTTP server on 127.0.0.1 for wire tests: it records each raw request
// and answers with bytes the test chooses, one connection at a time, on a
// thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelox::test {

class LoopbackServer {
public:
    // reply(request) gives the raw bytes to send back; the connection is
    // closed after them.
    explicit LoopbackServer(std::function<std::string(const std::string& request)> reply);
    // Always answers with the same bytes.
    explicit LoopbackServer(std::string reply);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port><path>"
    std::string url(const std::string& path = "/qorvane/locator") const;
    std::vector<std::string> requests() const;

private:
    void run();

    std::function<std::string(const std::string&)> reply_;
    // The listening socket (a descriptor on Linux, a SOCKET on Windows:
    // support/test_platform.h), kept in a neutral type so that this header
    // brings no system header along.
    std::uintptr_t listener_ = 0;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A 200 reply carrying body as text/xml with a correct Content-Length.
std::string httpReply(const std::string& body, int status = 200);

// A port on 127.0.0.1 that nothing listens on (bound, then closed).
int closedPort();

// The header block and the body of a raw HTTP message.
std::string headerOf(const std::string& message);
std::string bodyOf(const std::string& message);
// Value of a header (case-insensitive name), or "\x01" when absent.
std::string headerValue(const std::string& message, const std::string& name);

}  // namespace pelox::test
