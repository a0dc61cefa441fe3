#include "canned_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace pelox::bench {

namespace {

// Reads one request: the header block and a Content-Length body. Empty when
// the peer closed first.
std::string readRequest(int fd) {
    std::string data;
    char buf[16384];
    size_t headEnd = std::string::npos;
    size_t want = 0;
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                size_t length = 0;
                const std::string head = data.substr(0, headEnd);
                for (size_t pos = 0; pos < head.size();) {
                    size_t end = head.find("\r\n", pos);
                    if (end == std::string::npos) end = head.size();
                    if (strncasecmp(head.c_str() + pos, "content-length:", 15) == 0)
                        length = std::strtoull(head.c_str() + pos + 15, nullptr, 10);
                    pos = end + 2;
                }
                want = headEnd + 4 + length;
            }
        }
        if (headEnd != std::string::npos && data.size() >= want) return data;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return data;
        data.append(buf, static_cast<size_t>(n));
    }
}

void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

CannedServer::CannedServer(Answer answer, int threads) : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 256) != 0) {
        ::close(listener_);
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { serve(); });
}

CannedServer::~CannedServer() {
    stop_ = true;
    // Wakes the threads blocked in accept().
    ::shutdown(listener_, SHUT_RDWR);
    for (auto& thread : threads_) thread.join();
    ::close(listener_);
}

std::string CannedServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void CannedServer::serve() {
    while (!stop_) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::string request = readRequest(fd);
        if (!request.empty()) {
            std::string operation;
            if (request.compare(0, 4, "GET ") == 0)
                operation = request.substr(0, request.find(' ', 4));
            else
                operation = soapOperation(request);
            writeAll(fd, answer_(operation, request));
        }
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

std::string httpOk(const std::string& body, const char* contentType) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(contentType) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string soapReply(const std::string& operation, const std::string& inner) {
    return httpOk(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:q=\"urn:qorvane:workflow-server\"><soap:Body><q:" +
        operation + "Response>" + inner + "</q:" + operation + "Response></soap:Body></soap:Envelope>\n");
}

std::string soapOperation(const std::string& request) {
    size_t body = request.find(":Body");
    if (body == std::string::npos) return {};
    size_t open = request.find('<', body);
    if (open == std::string::npos) return {};
    size_t end = request.find_first_of(" />\r\n\t", open + 1);
    if (end == std::string::npos) return {};
    std::string name = request.substr(open + 1, end - open - 1);
    const size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

CannedWorkflowServer::CannedWorkflowServer(int threads)
    : server(
          [this](const std::string& operation, const std::string& request) -> std::string {
              if (observe) observe(operation, request);
              const std::string base = server.baseUrl();
              if (operation.compare(0, 4, "GET ") == 0) return httpOk(statusPage(), "text/plain");
              if (operation == "ListMethods")
                  return soapReply(operation,
                                   "<methods>Login;GetEndpoint;CheckClientTypeCompatibility;GetComponentInfo2;"
                                   "ValidateParameters;FindParameterInfo2;GetProtocolNames;"
                                   "GetCalculablePropertiesByCategory;GetJobResults2</methods>");
              if (operation == "CheckClientTypeCompatibility" || operation == "CheckSkerrowClientVersion")
                  return soapReply("CheckSkerrowClientVersion",
                                   "<serverApiVersion>12</serverApiVersion><serverVersion>8.5.0</serverVersion>"
                                   "<versionComparisonEnum>0</versionComparisonEnum>"
                                   "<clientCompatibleEnum>CompatibilityTrue</clientCompatibleEnum>"
                                   "<clientInstallDownloadsPermitted>false</clientInstallDownloadsPermitted>");
              if (operation == "Login") return soapReply(operation, "<sessionID>S-1</sessionID>");
              if (operation == "GetHWAddress") return soapReply(operation, "<hwAddress>02:00:00:00:00:01</hwAddress>");
              if (operation == "GetComponentVersions")
                  return soapReply(operation,
                                   "<versions xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:int[3]\">"
                                   "<item>1</item><item>2</item><item>3</item></versions>");
              if (operation == "GetConfigurationSettings") {
                  std::string items;
                  auto item = [&](const char* name, const std::string& value) {
                      items += "<item><name>" + std::string(name) +
                               "</name><values soapenc:arrayType=\"xsd:string[1]\"><item>" + value +
                               "</item></values></item>";
                  };
                  item("FILEENDPOINT", base + "/qorvane/file");
                  item("XMLDBENDPOINT", base + "/qorvane/xmldb");
                  item("RUNNERENDPOINT", base + "/qorvane/runner");
                  item("SERVERVERSION", "8");
                  item("ROOT", base);
                  items += "<item><name>CLUSTERMETHOD</name></item>";
                  return soapReply(operation, "<settings soapenc:arrayType=\"q:NameValuePair[6]\">" + items + "</settings>");
              }
              return soapReply(operation, "");
          },
          threads) {}

}  // namespace pelox::bench
