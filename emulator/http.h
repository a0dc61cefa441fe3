// Minimal HTTP/1.1 server side: reading one request (Content-Length or
// chunked body, with size limits) and writing a response, over a plain or a
// TLS socket.
#pragma once

#include <map>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace emu {

class Connection {
public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Reads up to n bytes; 0 at end of stream or on error.
    size_t read(char* buf, size_t n);
    bool writeAll(std::string_view data);
    void close();

private:
    int fd_;
    SSL* ssl_;
};

struct HttpRequest {
    std::string method, target, path, query, version;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

enum class ReadResult { Ok, Closed, Bad, TooLarge };
ReadResult readRequest(Connection& c, HttpRequest& req, size_t maxBody, std::string& carry);

const char* reasonPhrase(int status);
std::string responseHead(int status, const std::string& contentType, size_t length,
                         const std::map<std::string, std::string>& extra = {});
bool sendResponse(Connection& c, int status, const std::string& contentType, std::string_view body,
                  const std::map<std::string, std::string>& extra = {});

}  // namespace emu
