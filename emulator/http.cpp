#include "http.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

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

bool Connection::sendFile(int fd, unsigned long long length) {
    if (fd_ < 0) return false;
    if (!ssl_) {
        while (length > 0) {
            ssize_t r = ::sendfile(fd_, fd, nullptr, size_t(std::min<unsigned long long>(length, 1u << 30)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;  // not supported here, or failed: try plain copies
            length -= static_cast<unsigned long long>(r);
        }
        if (length == 0) return true;
    }
    char buf[65536];
    while (length > 0) {
        ssize_t n = ::read(fd, buf, size_t(std::min<unsigned long long>(length, sizeof buf)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!writeAll(std::string_view(buf, size_t(n)))) return false;
        length -= static_cast<unsigned long long>(n);
    }
    return true;
}

std::string HttpRequest::bodyText(size_t maxBytes) const {
    if (bodySize > maxBytes) fail("request body is too large", 413);
    if (!bodyFile) return body;
    std::string out(size_t(bodySize), '\0');
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::pread(bodyFile.get(), out.data() + got, out.size() - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("request body cannot be read back", 500);
        got += size_t(n);
    }
    return out;
}

ByteSource HttpRequest::bodySource() const {
    auto offset = std::make_shared<unsigned long long>(0);
    return [this, offset](char* buf, size_t n) -> size_t {
        if (*offset >= bodySize) return 0;
        n = size_t(std::min<unsigned long long>(n, bodySize - *offset));
        if (!bodyFile) {
            std::memcpy(buf, body.data() + *offset, n);
            *offset += n;
            return n;
        }
        while (true) {
            ssize_t r = ::pread(bodyFile.get(), buf, n, off_t(*offset));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) fail("request body cannot be read back", 500);
            *offset += static_cast<unsigned long long>(r);
            return size_t(r);
        }
    };
}

Fd temporaryFile() {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) dir = "/tmp";
    Fd fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd) return fd;
    std::string pattern = (dir / "pelox-emulator-spool-XXXXXX").string();
    fd = Fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) fail(std::string("no temporary file for the request body: ") + std::strerror(errno), 500);
    ::unlink(pattern.c_str());
    return fd;
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

static constexpr size_t kMaxHead = 64 * 1024;
static constexpr size_t kMaxLine = 1024;  // chunk size lines and trailers

bool RequestParser::wantsContinue() const {
    return state_ != State::Head && state_ != State::Done && req_.bodySize == 0 &&
           lower(req_.header("expect")) == "100-continue";
}

RequestParser::Status RequestParser::parseHead() {
    size_t lineEnd = head_.find("\r\n");
    std::string first = head_.substr(0, lineEnd);
    auto sp1 = first.find(' ');
    auto sp2 = first.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return Status::Bad;
    req_.method = first.substr(0, sp1);
    req_.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    req_.version = first.substr(sp2 + 1);
    auto q = req_.target.find('?');
    req_.path = req_.target.substr(0, q);
    req_.query = q == std::string::npos ? std::string() : req_.target.substr(q + 1);
    if (!req_.version.starts_with("HTTP/")) return Status::Bad;
    headRead_ = true;  // method and path are known from here on
    size_t pos = lineEnd == std::string::npos ? head_.size() : lineEnd + 2;
    while (pos < head_.size()) {
        size_t e = head_.find("\r\n", pos);
        if (e == std::string::npos) e = head_.size();
        std::string text = head_.substr(pos, e - pos);
        pos = e + 2;
        auto colon = text.find(':');
        if (colon == std::string::npos || colon == 0) return Status::Bad;
        req_.headers[lower(trimmed(text.substr(0, colon)))] = trimmed(text.substr(colon + 1));
    }
    if (lower(req_.header("transfer-encoding")).find("chunked") != std::string::npos) {
        state_ = State::ChunkSize;
        return Status::More;
    }
    std::string cl = req_.header("content-length");
    if (cl.empty()) {
        state_ = State::Done;
        return Status::Done;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(cl.c_str(), &end, 10);
    if (end == cl.c_str() || *end != '\0' || errno || cl[0] == '-') return Status::Bad;
    if (n > maxBody_) return Status::TooLarge;
    remaining_ = n;
    state_ = n == 0 ? State::Done : State::Body;
    return n == 0 ? Status::Done : Status::More;
}

RequestParser::Status RequestParser::appendBody(const char* data, size_t n) {
    if (req_.bodySize + n > maxBody_) return Status::TooLarge;
    if (!req_.bodyFile && req_.body.size() + n > memoryLimit_) {
        try {
            req_.bodyFile = temporaryFile();
        } catch (const Fault& f) {
            failure_ = f.what();
            return Status::Failed;
        }
        std::string_view held(req_.body);
        while (!held.empty()) {
            ssize_t w = ::write(req_.bodyFile.get(), held.data(), held.size());
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                failure_ = std::string("request body cannot be stored: ") + std::strerror(errno);
                return Status::Failed;
            }
            held.remove_prefix(size_t(w));
        }
        std::string().swap(req_.body);
    }
    if (req_.bodyFile) {
        while (n > 0) {
            ssize_t w = ::write(req_.bodyFile.get(), data, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                failure_ = std::string("request body cannot be stored: ") + std::strerror(errno);
                return Status::Failed;
            }
            data += w;
            n -= size_t(w);
            req_.bodySize += static_cast<unsigned long long>(w);
        }
    } else {
        req_.body.append(data, n);
        req_.bodySize += n;
    }
    return Status::More;
}

RequestParser::Status RequestParser::takeBody(const char*& data, size_t& n, unsigned long long want) {
    size_t k = size_t(std::min<unsigned long long>(want, n));
    Status s = appendBody(data, k);
    data += k;
    n -= k;
    remaining_ -= k;
    return s;
}

// Collects one CRLF-terminated line into out; complete tells whether it ended.
RequestParser::Status RequestParser::line(const char*& data, size_t& n, std::string& out, bool& complete) {
    complete = false;
    while (n > 0) {
        char c = *data++;
        --n;
        out += c;
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) {
            out.resize(out.size() - 2);
            complete = true;
            return Status::More;
        }
        if (out.size() > kMaxLine) return Status::Bad;
    }
    return Status::More;
}

// Each state takes what it needs of the bytes and says how to go on: More
// with bytes left means "the next state continues with them".

RequestParser::Status RequestParser::feedHead(const char*& data, size_t& n) {
    size_t from = head_.size() >= 3 ? head_.size() - 3 : 0;
    size_t take = std::min(n, kMaxHead + 4 - std::min(head_.size(), kMaxHead + 4));
    head_.append(data, take);
    size_t end = head_.find("\r\n\r\n", from);
    if (end == std::string::npos) {
        data += take;
        n -= take;
        return head_.size() > kMaxHead ? Status::TooLarge : Status::More;
    }
    // What followed the head belongs to the body.
    size_t used = end + 4 - (head_.size() - take);
    data += used;
    n -= used;
    head_.resize(end);
    return parseHead();
}

RequestParser::Status RequestParser::feedBody(const char*& data, size_t& n, State next) {
    Status s = takeBody(data, n, remaining_);
    if (s != Status::More) return s;
    if (remaining_ == 0) state_ = next;
    return state_ == State::Done ? Status::Done : Status::More;
}

RequestParser::Status RequestParser::feedChunkSize(const char*& data, size_t& n) {
    bool complete;
    if (line(data, n, lineBuf_, complete) != Status::More) return Status::Bad;
    if (!complete) return Status::More;
    char* end = nullptr;
    errno = 0;
    unsigned long long size = std::strtoull(lineBuf_.c_str(), &end, 16);
    if (end == lineBuf_.c_str() || errno || lineBuf_[0] == '-') return Status::Bad;
    lineBuf_.clear();
    if (size > maxBody_ || req_.bodySize + size > maxBody_) return Status::TooLarge;
    remaining_ = size;
    state_ = size == 0 ? State::Trailers : State::ChunkData;
    return Status::More;
}

RequestParser::Status RequestParser::feedLineEnd(const char*& data, size_t& n) {
    bool complete;
    if (line(data, n, lineBuf_, complete) != Status::More) return Status::Bad;
    if (!complete) return Status::More;
    bool empty = lineBuf_.empty();
    lineBuf_.clear();
    if (state_ == State::ChunkEnd) {
        // The CRLF after a chunk's data.
        if (!empty) return Status::Bad;
        state_ = State::ChunkSize;
        return Status::More;
    }
    // Trailers end with an empty line.
    if (!empty) return Status::More;
    state_ = State::Done;
    return Status::Done;
}

RequestParser::Status RequestParser::feed(const char* data, size_t n) {
    if (n > 0) received_ = true;
    while (true) {
        Status s = Status::More;
        switch (state_) {
            case State::Head: s = feedHead(data, n); break;
            case State::Body: s = n ? feedBody(data, n, State::Done) : Status::More; break;
            case State::ChunkSize: s = feedChunkSize(data, n); break;
            case State::ChunkData: s = n ? feedBody(data, n, State::ChunkEnd) : Status::More; break;
            case State::ChunkEnd:
            case State::Trailers: s = feedLineEnd(data, n); break;
            case State::Done: return Status::Done;
        }
        if (s != Status::More || n == 0) return s;
    }
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

std::string responseHead(int status, const std::string& contentType, unsigned long long length,
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
