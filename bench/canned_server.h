// A minimal server on 127.0.0.1 that answers every HTTP request with bytes
// chosen by the caller and does no work of its own, so that a measurement
// against it shows the client's cost alone. The fuzz target of the status page
// uses it too, to serve the page and a login.
//
// Each request is read whole (header block and Content-Length body), answered
// and the connection closed, on one of a few accepting threads.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace pelox::bench {

class CannedServer {
public:
    // answer(operation, request) gives the raw HTTP reply. operation is the
    // local name of the SOAP operation element of a POST (for example
    // "GetComponentVersions"), or "GET <target>" for a GET.
    using Answer = std::function<std::string(const std::string& operation, const std::string& request)>;

    explicit CannedServer(Answer answer, int threads = 4);
    ~CannedServer();
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string baseUrl() const;

private:
    void serve();

    Answer answer_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// An HTTP 200 reply carrying body as text/xml with its Content-Length.
std::string httpOk(const std::string& body, const char* contentType = "text/xml; charset=utf-8");

// A SOAP 1.1 reply envelope around the operation's response element, as an
// HTTP 200 reply: <q:OPResponse>inner</q:OPResponse>.
std::string soapReply(const std::string& operation, const std::string& inner);

// The operation element's local name in a SOAP request ("" when none).
std::string soapOperation(const std::string& request);

// A canned server that behaves as a whole workflow server for a login and
// for GetComponentVersions (versions 1, 2, 3): configuration with all
// endpoints at itself, a compatible client, session "S-1". Other operations
// answer with an empty response element; a GET answers statusPage().
struct CannedWorkflowServer {
    explicit CannedWorkflowServer(int threads = 4);
    std::string locatorUrl() const { return server.baseUrl() + "/qorvane/locator"; }
    std::function<std::string()> statusPage = [] { return std::string("Status: available\n"); };
    // Called with each SOAP operation's name and raw request before the answer.
    std::function<void(const std::string& operation, const std::string& request)> observe;
    CannedServer server;
};

}  // namespace pelox::bench
