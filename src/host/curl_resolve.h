// Host names of HTTP transfers resolved on the caller's thread.
//
// libcurl as Debian builds it resolves a host name on a thread of its own
// (its threaded resolver). The library starts no threads, so each transfer
// looks its host up here, on the thread that called the export, and hands
// the addresses to libcurl (CURLOPT_RESOLVE): libcurl then finds the name in
// its cache and starts no resolver. Address literals need no look-up.
#pragma once

#include <string>

typedef void CURL;
struct curl_slist;

namespace pelox::host {

class CallerThreadResolve {
public:
    // Whether the transfer may go through the proxy the environment names
    // (libcurl's http_proxy, https_proxy, all_proxy), or connects directly
    // (CURLOPT_PROXY set to "").
    enum class Proxy { FromEnvironment, None };

    // Resolves the host of url, and with Proxy::FromEnvironment the host of
    // the proxy the environment names for its scheme, and installs the
    // addresses on curl. Must outlive the transfer.
    CallerThreadResolve(CURL* curl, const std::string& url, Proxy proxy = Proxy::FromEnvironment);
    ~CallerThreadResolve();
    CallerThreadResolve(const CallerThreadResolve&) = delete;
    CallerThreadResolve& operator=(const CallerThreadResolve&) = delete;

    // False when a name could not be resolved: the transfer must not be
    // started (libcurl would try again on its own thread); error() says why,
    // as libcurl would ("Could not resolve host: NAME").
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    void add(const std::string& host, long port);

    curl_slist* entries_ = nullptr;
    std::string error_;
};

}  // namespace pelox::host
