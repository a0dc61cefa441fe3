// Minimal HTTP/1.1 server side: a request parser fed with bytes as they
// arrive (the server's poll loop reads every connection without a thread of
// its own), request bodies kept in memory up to a limit and spooled to an
// unlinked temporary file beyond it, and writing responses over a plain or a
// TLS socket.
#pragma once

#include "jail.h"
#include "util.h"

#include <map>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace emu {

// The writing side of a connection whose request has been read; blocking,
// with the send time-out set by the server.
class Connection {
public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool writeAll(std::string_view data);
    // Sends length bytes of the file fd from its current offset.
    bool sendFile(int fd, unsigned long long length);
    void close();

private:
    int fd_;
    SSL* ssl_;
};

struct HttpRequest {
    std::string method, target, path, query, version;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;                            // the body, unless spooled
    Fd bodyFile;                                 // the body when spooled (an unlinked file)
    unsigned long long bodySize = 0;

    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
    // The whole body as bytes; Fault 413 when it is larger than maxBytes.
    std::string bodyText(size_t maxBytes) const;
    // Reads the body from its start, piece by piece.
    ByteSource bodySource() const;
};

// Builds one request from the bytes of a connection, in whatever pieces they
// come. Heads are limited to 64 KiB, bodies to maxBody (Content-Length or
// chunked); bodies beyond memoryLimit go to a temporary file.
class RequestParser {
public:
    enum class Status { More, Done, Bad, TooLarge, Failed };
    RequestParser(unsigned long long maxBody, size_t memoryLimit) : maxBody_(maxBody), memoryLimit_(memoryLimit) {}
    Status feed(const char* data, size_t n);
    // The request line was read, so method and path are known (also when
    // the request was then refused, e.g. for a bad header or its size).
    bool requestLineRead() const { return headRead_; }
    bool receivedAnything() const { return received_; }
    // The head is read, asks for "100-continue" and no body byte came yet.
    bool wantsContinue() const;
    HttpRequest& request() { return req_; }
    const std::string& failure() const { return failure_; }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };
    Status parseHead();
    Status feedHead(const char*& data, size_t& n);
    Status feedBody(const char*& data, size_t& n, State next);
    Status feedChunkSize(const char*& data, size_t& n);
    Status feedLineEnd(const char*& data, size_t& n);  // after a chunk, and the trailers
    Status takeBody(const char*& data, size_t& n, unsigned long long want);
    Status appendBody(const char* data, size_t n);
    Status line(const char*& data, size_t& n, std::string& out, bool& complete);

    unsigned long long maxBody_;
    size_t memoryLimit_;
    State state_ = State::Head;
    bool received_ = false, headRead_ = false;
    std::string head_, lineBuf_;
    unsigned long long remaining_ = 0;
    std::string failure_;
    HttpRequest req_;
};

const char* reasonPhrase(int status);
std::string responseHead(int status, const std::string& contentType, unsigned long long length,
                         const std::map<std::string, std::string>& extra = {});
bool sendResponse(Connection& c, int status, const std::string& contentType, std::string_view body,
                  const std::map<std::string, std::string>& extra = {});

// An unlinked temporary file for spooling; Fault 500 when none can be made.
Fd temporaryFile();

}  // namespace emu
