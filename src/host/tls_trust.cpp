// The platform-neutral part of the TLS trust rules (host/tls_trust.h): the
// name rule the Windows check applies itself, and the host of a transfer.
#include "host/tls_trust.h"

#include <curl/curl.h>

namespace pelox::host {

namespace {

bool isLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal without regard to the case of ASCII letters; a NUL in the pattern
// never matches.
bool equalNoCase(std::string_view pattern, std::string_view subject) {
    if (pattern.size() != subject.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\0' || lower(pattern[i]) != lower(subject[i])) return false;
    }
    return true;
}

// A wildcard name: "*" as the whole first label, then at least two labels
// of letters, digits and inner "-" (so "*.example.com", never "*.com",
// "f*.example.com" or "*").
bool isWildcardName(std::string_view pattern) {
    if (pattern.size() < 2 || pattern[0] != '*' || pattern[1] != '.') return false;
    int dots = 0;
    bool labelStart = true;
    bool afterHyphen = false;
    for (size_t i = 1; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '.') {
            if (i > 1 && (labelStart || afterHyphen)) return false;
            ++dots;
            labelStart = true;
            afterHyphen = false;
        } else if (c == '-') {
            if (labelStart) return false;
            afterHyphen = true;
        } else if (isLetterOrDigit(c)) {
            labelStart = false;
            afterHyphen = false;
        } else {
            return false;  // a second "*" or any other character
        }
    }
    return !labelStart && !afterHyphen && dots >= 2;
}

}  // namespace

bool certificateNameMatches(std::string_view pattern, std::string_view host) {
    if (host.empty() || host.front() == '.') return false;
    if (!isWildcardName(pattern)) return equalNoCase(pattern, host);
    const std::string_view suffix = pattern.substr(1);  // ".example.com"
    if (host.size() <= suffix.size()) return false;     // the wildcard stands for at least one character
    const std::string_view label = host.substr(0, host.size() - suffix.size());
    if (!equalNoCase(suffix, host.substr(label.size()))) return false;
    if (label == "*") return true;
    for (char c : label)
        if (!isLetterOrDigit(c) && c != '-') return false;
    return true;
}

std::string transferHost(CURL* curl) {
    char* url = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url) return {};
    CURLU* parsed = curl_url();
    if (!parsed) return {};
    std::string host;
    char* part = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
        host = part;
        curl_free(part);
    }
    curl_url_cleanup(parsed);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return host;
}

}  // namespace pelox::host
