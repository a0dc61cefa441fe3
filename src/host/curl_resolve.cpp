#include "host/curl_resolve.h"

// getaddrinfo and inet_pton/inet_ntop: POSIX headers, or Winsock's (whose
// functions libcurl's own start-up has made usable by the time a transfer
// is set up).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif
#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <set>

namespace pelox::host {

namespace {

// Port libcurl uses for a proxy named without one.
constexpr long kDefaultProxyPort = 1080;

bool isAddressLiteral(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

struct UrlHandle {
    CURLU* url = curl_url();
    ~UrlHandle() { curl_url_cleanup(url); }
};

std::string part(CURLU* url, CURLUPart which, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, flags) != CURLUE_OK || !text) return {};
    std::string out = text;
    curl_free(text);
    return out;
}

std::string unbracketed(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host;
}

// The proxy libcurl takes from the environment for a scheme: "http_proxy"
// (lower case only) for http, "<scheme>_proxy" or its upper-case form for
// others, then "all_proxy"/"ALL_PROXY".
const char* proxyFor(const std::string& scheme) {
    std::string lower = scheme + "_proxy";
    if (const char* v = std::getenv(lower.c_str()); v && *v) return v;
    if (scheme != "http") {
        std::string upper;
        for (char c : lower) upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
        if (const char* v = std::getenv(upper.c_str()); v && *v) return v;
    }
    for (const char* name : {"all_proxy", "ALL_PROXY"})
        if (const char* v = std::getenv(name); v && *v) return v;
    return nullptr;
}

}  // namespace

CallerThreadResolve::CallerThreadResolve(CURL* curl, const std::string& url, Proxy proxies) {
    UrlHandle target;
    if (!target.url || curl_url_set(target.url, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return;  // libcurl says why
    const std::string scheme = part(target.url, CURLUPART_SCHEME);
    const std::string port = part(target.url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    add(unbracketed(part(target.url, CURLUPART_HOST)), std::strtol(port.c_str(), nullptr, 10));
    if (const char* proxy = proxies == Proxy::FromEnvironment ? proxyFor(scheme) : nullptr; proxy && ok()) {
        UrlHandle named;
        if (named.url && curl_url_set(named.url, CURLUPART_URL, proxy, CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) ==
                             CURLUE_OK) {
            const std::string proxyPort = part(named.url, CURLUPART_PORT);
            add(unbracketed(part(named.url, CURLUPART_HOST)),
                proxyPort.empty() ? kDefaultProxyPort : std::strtol(proxyPort.c_str(), nullptr, 10));
        }
    }
    if (entries_) curl_easy_setopt(curl, CURLOPT_RESOLVE, entries_);
}

CallerThreadResolve::~CallerThreadResolve() { curl_slist_free_all(entries_); }

void CallerThreadResolve::add(const std::string& host, long port) {
    if (host.empty() || isAddressLiteral(host) || port <= 0 || port > 65535) return;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        error_ = "Could not resolve host: " + host;
        return;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> hold(found, freeaddrinfo);
    std::set<std::string> seen;
    std::string addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {0};
        const void* raw = a->ai_family == AF_INET
                              ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
                          : a->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                              : nullptr;
        if (!raw || !inet_ntop(a->ai_family, raw, text, sizeof text) || !seen.insert(text).second) continue;
        if (!addresses.empty()) addresses += ',';
        const bool six = a->ai_family == AF_INET6;
        if (six) addresses += '[';
        addresses += text;
        if (six) addresses += ']';
    }
    if (addresses.empty()) {
        error_ = "Could not resolve host: " + host;
        return;
    }
    const std::string entry = host + ":" + std::to_string(port) + ":" + addresses;
    if (curl_slist* grown = curl_slist_append(entries_, entry.c_str())) entries_ = grown;
}

}  // namespace pelox::host
