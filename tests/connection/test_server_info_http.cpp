// The HTTP page reader behind the status page, against a one-shot loopback
// server that answers each connection with a canned response.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/http_reader.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "support/test_platform.h"

namespace testsupport = pelox::testsupport;

namespace {

// Serves the given responses, one per accepted connection, then stops.
class CannedServer {
public:
    CannedServer() { fd_ = testsupport::listenOnLoopback(port_, 4); }
    explicit CannedServer(std::vector<std::string> responses) : CannedServer() { start(std::move(responses)); }
    void start(std::vector<std::string> responses) {
        responses_ = std::move(responses);
        thread_ = std::thread([this] {
            for (const std::string& response : responses_) {
                const testsupport::Socket c = testsupport::acceptClient(fd_);
                if (c == testsupport::kNoSocket) return;
                std::string request;
                char buf[1024];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    const long n = testsupport::receiveSome(c, buf, sizeof buf);
                    if (n <= 0) break;
                    request.append(buf, static_cast<size_t>(n));
                }
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    requests_.push_back(request.substr(0, request.find("\r\n")));
                }
                testsupport::sendAll(c, response);
                testsupport::closeSocket(c);
            }
        });
    }
    ~CannedServer() {
        // Wakes the accept (on Windows the close does).
        testsupport::shutdownBoth(fd_);
        testsupport::closeSocket(fd_);
        if (thread_.joinable()) thread_.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::string> responses_;
    testsupport::Socket fd_ = testsupport::kNoSocket;
    int port_ = 0;
    std::thread thread_;
};

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string failureText(const std::string& url, const pelox::host::HttpReadLimits& limits = {}) {
    try {
        pelox::host::HttpReader(limits).readLines(url);
    } catch (const tarn::Exception& e) {
        return tarn::util::ConvertStringtoUTF8(e.joined(u" | "));
    }
    return "no exception";
}

}  // namespace

TEST(HttpReader, SplitsTheBodyIntoLines) {
    CannedServer server({ok("a:1\r\nb:2\n\nlast"), ok("")});
    const auto lines = pelox::host::HttpReader().readLines(server.url("/page?x=1"));
    EXPECT_EQ(lines, (std::vector<std::string>{"a:1", "b:2", "", "last"}));
    EXPECT_TRUE(pelox::host::HttpReader().readLines(server.url("/empty")).empty());
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0], "GET /page?x=1 HTTP/1.1");
}

TEST(HttpReader, FailuresNameTheUrlAndTheCause) {
    CannedServer server({"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                         "HTTP/1.1 302 Found\r\nLocation: http://elsewhere.invalid/x\r\nContent-Length: 0\r\n\r\n",
                         ok(std::string(5000, 'x'))});
    const std::string missing = server.url("/missing");
    std::string text = failureText(missing);
    EXPECT_NE(text.find(missing), std::string::npos) << text;
    EXPECT_NE(text.find("404"), std::string::npos) << text;

    text = failureText(server.url("/moved"));
    EXPECT_NE(text.find("another host"), std::string::npos) << text;

    pelox::host::HttpReadLimits small;
    small.maxBodyBytes = 1000;
    text = failureText(server.url("/big"), small);
    EXPECT_NE(text.find("larger than 1000"), std::string::npos) << text;
}

TEST(HttpReader, RefusedConnectionIsAnError) {
    // A port that was just released: nothing listens there.
    int port;
    {
        CannedServer probe;
        port = std::stoi(probe.url("").substr(17));
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
    const std::string text = failureText(url);
    EXPECT_NE(text.find(url), std::string::npos) << text;
}

TEST(HttpReader, RedirectOnTheSameServerIsFollowed) {
    CannedServer server;
    server.start({"HTTP/1.1 301 Moved\r\nLocation: " + server.url("/new") + "\r\nContent-Length: 0\r\n\r\n",
                  ok("after:redirect\n")});
    EXPECT_EQ(pelox::host::HttpReader().readLines(server.url("/old")), std::vector<std::string>{"after:redirect"});
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1], "GET /new HTTP/1.1");
}

// libcurl as Debian builds it resolves host names on a thread of its own; the
// library starts no threads, so the name is resolved on the caller's thread.
// The machine's own name is used ("localhost" libcurl answers without a
// look-up); it must lead to the loopback server.
TEST(HttpReader, ResolvesHostNamesOnTheCallersThread) {
    char name[256] = {0};
    ASSERT_TRUE(testsupport::socketsReady());
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) GTEST_SKIP() << "the machine's name " << name << " does not resolve";
    const bool loopback = (ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr) >> 24) == 127;
    freeaddrinfo(found);
    if (!loopback) GTEST_SKIP() << "the machine's name " << name << " is not a loopback address";

    const auto tasks = testsupport::threadCount;
    CannedServer server({ok("by:name\n")});
    std::atomic<bool> stop{false};
    std::atomic<size_t> highest{0};
    std::thread watch([&] {
        while (!stop) highest = std::max(highest.load(), tasks());
    });
    while (highest == 0) std::this_thread::yield();
    const size_t baseline = tasks();
    const std::string url = server.url("/by-name").replace(7, 9, name);
    EXPECT_EQ(pelox::host::HttpReader().readLines(url), std::vector<std::string>{"by:name"});
    stop = true;
    watch.join();
    EXPECT_EQ(highest.load(), baseline) << "a thread was started to resolve " << name;

    const std::string unknown = failureText("http://no-such-host.invalid:1/x");
    EXPECT_NE(unknown.find("Could not resolve host: no-such-host.invalid"), std::string::npos) << unknown;
}
