#include "wire/loopback_server.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "support/test_platform.h"

namespace pelox::test {

namespace {

using testsupport::Socket;

Socket listenOn(int& port) {
    const Socket s = testsupport::listenOnLoopback(port);
    if (s == testsupport::kNoSocket) throw std::runtime_error("socket/bind/listen");
    return s;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Reads one HTTP request (headers and Content-Length body) from a socket.
std::string readHttpRequest(Socket socket) {
    std::string data;
    char buffer[4096];
    size_t headerEnd = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                std::string length = headerValue(data, "Content-Length");
                wanted = headerEnd + 4 + (length == "\x01" ? 0 : std::stoul(length));
            }
        }
        if (headerEnd != std::string::npos && data.size() >= wanted) break;
        if (!testsupport::waitReadable(socket, 5000)) break;
        const long n = testsupport::receiveSome(socket, buffer, sizeof buffer);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

}  // namespace

LoopbackServer::LoopbackServer(std::function<std::string(const std::string&)> reply) : reply_(std::move(reply)) {
    listener_ = static_cast<std::uintptr_t>(listenOn(port_));
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::LoopbackServer(std::string reply)
    : LoopbackServer(std::function<std::string(const std::string&)>([reply](const std::string&) { return reply; })) {}

LoopbackServer::~LoopbackServer() {
    stop_ = true;
    thread_.join();
    testsupport::closeSocket(static_cast<Socket>(listener_));
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackServer::run() {
    const auto listener = static_cast<Socket>(listener_);
    while (!stop_) {
        if (!testsupport::waitReadable(listener, 20)) continue;
        const Socket client = testsupport::acceptClient(listener);
        if (client == testsupport::kNoSocket) continue;
        std::string request = readHttpRequest(client);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        testsupport::sendAll(client, reply_(request));
        testsupport::shutdownWrite(client);
        // Let the client read everything before the socket goes away.
        char sink[256];
        while (testsupport::waitReadable(client, 200) && testsupport::receiveSome(client, sink, sizeof sink) > 0) {
        }
        testsupport::closeSocket(client);
    }
}

std::string httpReply(const std::string& body, int status) {
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Internal Server Error") +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

int closedPort() {
    int port = 0;
    testsupport::closeSocket(listenOn(port));
    return port;
}

std::string headerOf(const std::string& message) {
    size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? message : message.substr(0, end + 2);
}

std::string bodyOf(const std::string& message) {
    size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : message.substr(end + 4);
}

std::string headerValue(const std::string& message, const std::string& name) {
    std::string headers = headerOf(message);
    std::string wanted = lower(name) + ":";
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find("\r\n", pos);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(pos, end - pos);
        if (lower(line.substr(0, wanted.size())) == wanted) {
            std::string value = line.substr(wanted.size());
            size_t b = value.find_first_not_of(' ');
            return b == std::string::npos ? std::string() : value.substr(b);
        }
        pos = end + 2;
    }
    return "\x01";
}

}  // namespace pelox::test
