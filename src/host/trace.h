// The wire trace: with the environment variable PELOX_TRACE naming a file,
// every HTTP exchange the library makes (SOAP calls, the status page, the
// upload and download services) is appended to that file as one record:
// time stamp (UTC), thread, kind, URL, duration, outcome, then the request
// and the reply with their headers and bodies. Bodies are cut after
// kTraceBodyLimit bytes and binary bodies are summarised by their size.
//
// Secrets never reach the file: the text of XML elements whose name is
// "password" or "sessionID" (any prefix, any letter case, also names ending
// in "password"), the values of the query parameters "SID" and "password",
// and the values of the Authorization and Cookie headers are replaced by
// "***"; a value masked once is also masked wherever else it shows up later
// (a session ID quoted in a server's error text, for example).
//
// PELOX_TRACE is read once, when the library first sends a request. The
// file is opened for appending (created with mode 0600) and stays open; a
// file that cannot be opened is reported once in the error log and tracing
// stays off. Tracing never changes the outcome of a call.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace pelox::host {

inline constexpr size_t kTraceBodyLimit = 64 * 1024;

// True when PELOX_TRACE names a file that could be opened.
bool traceEnabled();

// One request and its reply. Construct it before the request goes out; feed
// it what is sent and received; finish() writes the record. An exchange
// made while tracing is off does nothing (active() is false).
class TraceExchange {
public:
    // kind: "SOAP" or "HTTP".
    explicit TraceExchange(const char* kind);
    ~TraceExchange();  // writes the record when finish() was not called
    TraceExchange(const TraceExchange&) = delete;
    TraceExchange& operator=(const TraceExchange&) = delete;

    bool active() const { return active_; }

    // The URL of the exchange (masked when written).
    void setUrl(const std::string& url) { url_ = url; }

    // A raw HTTP stream, head and body as they go over the connection.
    void sent(const char* data, size_t size) { feed(request_, data, size); }
    void received(const char* data, size_t size) { feed(reply_, data, size); }

    // Head and body delivered separately (libcurl's view).
    void sentHead(const char* data, size_t size) { appendHead(request_, data, size); }
    void sentBody(const char* data, size_t size) { appendBody(request_, data, size); }
    void receivedHead(const char* data, size_t size) { appendHead(reply_, data, size); }
    void receivedBody(const char* data, size_t size) { appendBody(reply_, data, size); }

    // Writes the record; outcome is empty for success, else what went wrong.
    void finish(const std::string& outcome);

private:
    struct Side {
        std::string head;       // header lines, interim answers included
        bool headDone = false;  // the blank line after the head was seen
        size_t blockStart = 0;  // where the head of the current answer starts
        std::string body;       // the first bytes of the body
        size_t bodyTotal = 0;   // every body byte
    };
    void feed(Side& side, const char* data, size_t size);
    static void appendHead(Side& side, const char* data, size_t size);
    static void appendBody(Side& side, const char* data, size_t size);

    bool active_ = false;
    bool finished_ = false;
    const char* kind_;
    std::string url_;
    std::chrono::system_clock::time_point startWall_;
    std::chrono::steady_clock::time_point start_;
    Side request_, reply_;
};

// Records the exchange of a libcurl easy handle (CURL*): request and reply
// heads and bodies through its debug callback. Does nothing when the
// exchange is not active. The exchange must outlive the transfer.
void traceCurlHandle(void* curl, TraceExchange& exchange);

// Writes a record of its own, "=== <time> thread <n> NOTE <text>", for an
// event the reader of the trace must see next to the exchanges (a session
// whose endpoints are not encrypted, for example). Masked like the rest;
// nothing when tracing is off.
void traceNote(const std::string& text);

// Masks the secrets of a text as the trace does (for tests and for texts
// quoted in the trace).
std::string traceMask(const std::string& text);

}  // namespace pelox::host
