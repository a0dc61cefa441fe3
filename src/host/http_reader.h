// Reads a web page over HTTP or HTTPS (libcurl) and hands it back line by
// line. Used for the server's plain-text status page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pelox::host {

struct HttpReadLimits {
    long connectTimeoutSeconds = 10;  // to open the connection
    long totalTimeoutSeconds = 60;    // for the whole transfer
    size_t maxBodyBytes = 16 * 1024 * 1024;  // a larger body is an error, not a truncation
    int maxRedirects = 5;             // redirects followed on the same scheme, host and port only
};

class HttpReader {
public:
    explicit HttpReader(HttpReadLimits limits = {}) : limits_(limits) {}

    // Fetches url and returns its body split into lines (at "\n"; a "\r"
    // before it is dropped; a last line without "\n" is kept; an empty body
    // gives no lines). Throws tarn::Exception naming the URL with the HTTP
    // status (any status other than 2xx) or the transport error, so that a
    // page that cannot be fetched is never mistaken for an empty one.
    // Redirects are followed only to the same scheme, host and port. https
    // certificates are verified (system trust store, or the PEM bundle named
    // by the environment variable PELOX_CA_BUNDLE) and must name the host.
    std::vector<std::string> readLines(const std::string& url) const;

    // The same, the body as one block.
    std::string readBody(const std::string& url) const;

private:
    HttpReadLimits limits_;
};

}  // namespace pelox::host
