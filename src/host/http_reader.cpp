#include "host/http_reader.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "host/curl_resolve.h"
#include "host/tarn_exception.h"
#include "host/tls_trust.h"
#include "host/trace.h"

namespace pelox::host {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    std::string data;
    size_t limit = 0;
    bool tooLarge = false;
};

size_t onData(char* ptr, size_t size, size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const size_t n = size * count;
    if (body->data.size() + n > body->limit) {
        body->tooLarge = true;
        return 0;  // aborts the transfer with CURLE_WRITE_ERROR
    }
    body->data.append(ptr, n);
    return n;
}

struct UrlParts {
    std::string scheme, host, port;
};

bool splitUrl(const std::string& url, UrlParts& parts) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> h(curl_url(), curl_url_cleanup);
    if (!h || curl_url_set(h.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    auto get = [&](CURLUPart what, std::string& out, unsigned flags) {
        char* s = nullptr;
        if (curl_url_get(h.get(), what, &s, flags) != CURLUE_OK) return false;
        out = s;
        curl_free(s);
        return true;
    };
    return get(CURLUPART_SCHEME, parts.scheme, 0) && get(CURLUPART_HOST, parts.host, 0) &&
           get(CURLUPART_PORT, parts.port, CURLU_DEFAULT_PORT);
}

bool sameOrigin(const std::string& a, const std::string& b) {
    UrlParts pa, pb;
    if (!splitUrl(a, pa) || !splitUrl(b, pb)) return false;
    return curl_strequal(pa.scheme.c_str(), pb.scheme.c_str()) && curl_strequal(pa.host.c_str(), pb.host.c_str()) &&
           pa.port == pb.port;
}

}  // namespace

std::string HttpReader::readBody(const std::string& url) const {
    globalInit();
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
        if (!curl) throw tarn::Exception("Could not read %s: the HTTP client could not be set up", url);
        Body body;
        body.limit = limits_.maxBodyBytes;
        char errorText[CURL_ERROR_SIZE] = {0};
        curl_easy_setopt(curl.get(), CURLOPT_URL, current.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, limits_.connectTimeoutSeconds);
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, limits_.totalTimeoutSeconds);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, onData);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errorText);
        // https pages are verified like the service endpoints.
        setCurlTrust(curl.get());
        TraceExchange trace("HTTP");
        trace.setUrl(current);
        traceCurlHandle(curl.get(), trace);
        const CallerThreadResolve resolved(curl.get(), current);
        if (!resolved.ok()) std::snprintf(errorText, sizeof errorText, "%s", resolved.error().c_str());
        const CURLcode rc = resolved.ok() ? curl_easy_perform(curl.get()) : CURLE_COULDNT_RESOLVE_HOST;
        trace.finish(rc == CURLE_OK ? std::string() : curlFailureText(curl.get(), rc, errorText));
        if (body.tooLarge)
            throw tarn::Exception("Could not read %s: the page is larger than %llu bytes", url,
                                  static_cast<unsigned long long>(limits_.maxBodyBytes));
        if (rc != CURLE_OK)
            throw tarn::Exception("Could not read %s: %s", url, curlFailureText(curl.get(), rc, errorText));
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300 && status < 400) {
            char* location = nullptr;
            curl_easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &location);
            if (!location) throw tarn::Exception("Could not read %s: HTTP status %ld without a location", url, status);
            const std::string next = location;
            if (!sameOrigin(current, next))
                throw tarn::Exception("Could not read %s: HTTP status %ld redirects to another host (%s)", url, status,
                                      next);
            if (redirects >= limits_.maxRedirects)
                throw tarn::Exception("Could not read %s: too many redirects", url);
            current = next;
            continue;
        }
        if (status < 200 || status >= 300) throw tarn::Exception("Could not read %s: HTTP status %ld", url, status);
        return std::move(body.data);
    }
}

std::vector<std::string> HttpReader::readLines(const std::string& url) const {
    const std::string body = readBody(url);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        const bool last = end == std::string::npos;
        if (last) end = body.size();
        size_t stop = end;
        if (stop > start && body[stop - 1] == '\r') --stop;
        lines.emplace_back(body, start, stop - start);
        start = end + 1;
    }
    return lines;
}

}  // namespace pelox::host
