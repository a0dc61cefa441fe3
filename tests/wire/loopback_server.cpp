#include "wire/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace pelox::test {

namespace {

int listenOnLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string readHttpRequest(int socket) {
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
        pollfd p{socket, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

LoopbackServer::LoopbackServer(std::function<std::string(const std::string&)> reply) : reply_(std::move(reply)) {
    listener_ = listenOnLoopback(port_);
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::LoopbackServer(std::string reply)
    : LoopbackServer(std::function<std::string(const std::string&)>([reply](const std::string&) { return reply; })) {}

LoopbackServer::~LoopbackServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackServer::run() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        std::string request = readHttpRequest(client);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        std::string answer = reply_(request);
        size_t sent = 0;
        while (sent < answer.size()) {
            ssize_t n = ::send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(client, SHUT_WR);
        // Let the client read everything before the socket goes away.
        char sink[256];
        pollfd q{client, POLLIN, 0};
        while (::poll(&q, 1, 200) > 0 && ::recv(client, sink, sizeof sink, 0) > 0) {
        }
        ::close(client);
    }
}

std::string httpReply(const std::string& body, int status) {
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Internal Server Error") +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

int closedPort() {
    int port = 0;
    int fd = listenOnLoopback(port);
    ::close(fd);
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
