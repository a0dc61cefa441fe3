#include "http.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace emu {

Connection::~Connection() { close(); }

void Connection::close() {
    if (ssl_) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
}

size_t Connection::read(char* buf, size_t n) {
    if (fd_ < 0) return 0;
    if (ssl_) {
        int r = SSL_read(ssl_, buf, int(std::min<size_t>(n, 1 << 30)));
        return r > 0 ? size_t(r) : 0;
    }
    while (true) {
        ssize_t r = ::recv(fd_, buf, n, 0);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 ? size_t(r) : 0;
    }
}

bool Connection::writeAll(std::string_view data) {
    if (fd_ < 0) return false;
    while (!data.empty()) {
        if (ssl_) {
            int r = SSL_write(ssl_, data.data(), int(std::min<size_t>(data.size(), 1 << 30)));
            if (r <= 0) return false;
            data.remove_prefix(size_t(r));
        } else {
            ssize_t r = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            data.remove_prefix(size_t(r));
        }
    }
    return true;
}

static std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

static std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return std::string(s);
}

// Reads until carry holds at least n bytes; false at end of stream.
static bool fill(Connection& c, std::string& carry, size_t n) {
    char buf[65536];
    if (carry.capacity() < n) carry.reserve(n);
    while (carry.size() < n) {
        size_t r = c.read(buf, sizeof buf);
        if (r == 0) return false;
        carry.append(buf, r);
    }
    return true;
}

ReadResult readRequest(Connection& c, HttpRequest& req, size_t maxBody, std::string& carry) {
    const size_t maxHead = 64 * 1024;
    size_t headEnd;
    char buf[16384];
    while ((headEnd = carry.find("\r\n\r\n")) == std::string::npos) {
        if (carry.size() > maxHead) return ReadResult::TooLarge;
        size_t r = c.read(buf, sizeof buf);
        if (r == 0) return carry.empty() ? ReadResult::Closed : ReadResult::Bad;
        carry.append(buf, r);
    }
    if (headEnd > maxHead) return ReadResult::TooLarge;
    std::string head = carry.substr(0, headEnd);
    carry.erase(0, headEnd + 4);
    size_t lineEnd = head.find("\r\n");
    std::string first = head.substr(0, lineEnd);
    auto sp1 = first.find(' ');
    auto sp2 = first.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return ReadResult::Bad;
    req.method = first.substr(0, sp1);
    req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = first.substr(sp2 + 1);
    if (!req.version.starts_with("HTTP/")) return ReadResult::Bad;
    auto q = req.target.find('?');
    req.path = req.target.substr(0, q);
    req.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        if (e == std::string::npos) e = head.size();
        std::string line = head.substr(pos, e - pos);
        pos = e + 2;
        auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return ReadResult::Bad;
        req.headers[lower(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    }
    // Clients such as libcurl announce larger bodies and wait for this.
    if (lower(req.header("expect")) == "100-continue" && carry.empty()) c.writeAll("HTTP/1.1 100 Continue\r\n\r\n");
    if (lower(req.header("transfer-encoding")).find("chunked") != std::string::npos) {
        while (true) {
            size_t e;
            while ((e = carry.find("\r\n")) == std::string::npos) {
                if (carry.size() > 1024) return ReadResult::Bad;
                if (!fill(c, carry, carry.size() + 1)) return ReadResult::Bad;
            }
            std::string sizeText = carry.substr(0, e);
            carry.erase(0, e + 2);
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(sizeText.c_str(), &end, 16);
            if (end == sizeText.c_str() || errno) return ReadResult::Bad;
            if (n > maxBody || req.body.size() + n > maxBody) return ReadResult::TooLarge;
            if (n == 0) {
                // Trailers end with an empty line.
                while (carry.find("\r\n") != 0) {
                    size_t t = carry.find("\r\n");
                    if (t == std::string::npos) {
                        if (!fill(c, carry, carry.size() + 1)) return ReadResult::Bad;
                        continue;
                    }
                    carry.erase(0, t + 2);
                }
                carry.erase(0, 2);
                break;
            }
            if (!fill(c, carry, size_t(n) + 2)) return ReadResult::Bad;
            req.body.append(carry, 0, size_t(n));
            carry.erase(0, size_t(n) + 2);
        }
        return ReadResult::Ok;
    }
    std::string cl = req.header("content-length");
    if (!cl.empty()) {
        char* end = nullptr;
        errno = 0;
        unsigned long long n = std::strtoull(cl.c_str(), &end, 10);
        if (end == cl.c_str() || *end != '\0' || errno || cl[0] == '-') return ReadResult::Bad;
        if (n > maxBody) return ReadResult::TooLarge;
        if (!fill(c, carry, size_t(n))) return ReadResult::Bad;
        req.body = carry.substr(0, size_t(n));
        carry.erase(0, size_t(n));
    }
    return ReadResult::Ok;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

std::string responseHead(int status, const std::string& contentType, size_t length,
                         const std::map<std::string, std::string>& extra) {
    std::string h = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    h += "Server: pelox-emulator\r\n";
    h += "Content-Type: " + contentType + "\r\n";
    h += "Content-Length: " + std::to_string(length) + "\r\n";
    for (const auto& [k, v] : extra) h += k + ": " + v + "\r\n";
    h += "Connection: close\r\n\r\n";
    return h;
}

bool sendResponse(Connection& c, int status, const std::string& contentType, std::string_view body,
                  const std::map<std::string, std::string>& extra) {
    std::string head = responseHead(status, contentType, body.size(), extra);
    if (body.size() < 65536) return c.writeAll(head.append(body));
    return c.writeAll(head) && c.writeAll(body);
}

}  // namespace emu
