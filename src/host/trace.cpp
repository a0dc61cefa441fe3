#include "host/trace.h"

#include <curl/curl.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string_view>

#include "host/private_files.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::host {

namespace {

// Extra body bytes kept beyond the limit, so that a secret that straddles the
// limit is still recognised and masked before the body is cut.
constexpr size_t kMaskSlack = 4096;
// A head longer than this without its blank line is taken as a body.
constexpr size_t kHeadLimit = 64 * 1024;
// Masked values remembered to mask them elsewhere; shorter ones would mask
// ordinary words.
constexpr size_t kRememberedSecrets = 256;
constexpr size_t kShortestRemembered = 4;
constexpr const char* kMask = "***";

std::once_flag gOpenOnce;
// The trace file; it stays open while the library is loaded and is closed
// with this object when the library is unloaded.
pelox::host::NativeFile gFile;
std::mutex gMutex;                   // the file and the remembered secrets
std::deque<std::string> gSecrets;    // guarded by gMutex

// The trace file that PELOX_TRACE names, as UTF-8 (empty when unset). On
// Windows the variable is read as UTF-16, so that a name outside the ANSI code
// page arrives intact.
std::string traceFilePath() {
#ifdef _WIN32
    const wchar_t* value = ::_wgetenv(L"PELOX_TRACE");
    if (!value) return {};
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return tarn::util::ConvertStringtoUTF8(reinterpret_cast<const char16_t*>(value));
#else
    const char* value = std::getenv("PELOX_TRACE");
    return value ? std::string(value) : std::string();
#endif
}

void openTraceFile() {
    const std::string path = traceFilePath();
    if (path.empty()) return;
    // The trace holds what was sent, uploaded files included: a link planted
    // at the name is not followed and only the user's own regular file is
    // written to.
    std::string why;
    pelox::host::NativeFile file = pelox::host::openPrivateAppend(path, why);
    if (!file) {
        try {
            tarn::Exception::warn("PELOX_TRACE: refusing %s: %s", path, why);
        } catch (...) {
        }
        return;
    }
    gFile = std::move(file);
}

void writeAll(const std::string& text) { pelox::host::writeAll(gFile, text); }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool endsWithIgnoreCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && equalsIgnoreCase(text.substr(text.size() - tail.size()), tail);
}

size_t findIgnoreCase(std::string_view text, std::string_view what, size_t from) {
    for (size_t i = from; i + what.size() <= text.size(); ++i)
        if (equalsIgnoreCase(text.substr(i, what.size()), what)) return i;
    return std::string_view::npos;
}

void remember(const std::string& secret) {
    if (secret.size() < kShortestRemembered || secret == kMask) return;
    if (std::find(gSecrets.begin(), gSecrets.end(), secret) != gSecrets.end()) return;
    gSecrets.push_back(secret);
    if (gSecrets.size() > kRememberedSecrets) gSecrets.pop_front();
}

std::string xmlUnescape(std::string s) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [from, to] : kEntities)
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1))
            s.replace(at, std::strlen(from), to);
    return s;
}

std::string urlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

bool secretElementName(std::string_view local) {
    return equalsIgnoreCase(local, "sessionID") || endsWithIgnoreCase(local, "password");
}

// The text of elements named like secrets: <password>…</password>,
// <qor:sessionID>…. A value cut off by the body limit runs to the end.
void maskElements(std::string& text) {
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const size_t nameStart = at + 1;
        const size_t nameEnd = text.find_first_of(" \t\r\n/>", nameStart);
        if (nameEnd == std::string::npos) return;
        std::string_view name(text.data() + nameStart, nameEnd - nameStart);
        if (const size_t colon = name.rfind(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
        if (!secretElementName(name)) continue;
        const size_t close = text.find('>', nameEnd);
        if (close == std::string::npos) return;
        if (text[close - 1] == '/') continue;
        const size_t valueStart = close + 1;
        size_t valueEnd = text.find('<', valueStart);
        if (valueEnd == std::string::npos) valueEnd = text.size();
        const std::string value = text.substr(valueStart, valueEnd - valueStart);
        if (value.empty() || value == kMask) continue;
        remember(value);
        remember(xmlUnescape(value));
        text.replace(valueStart, valueEnd - valueStart, kMask);
        at = valueStart;
    }
}

// The values of the query parameters SID and password.
void maskQuery(std::string& text) {
    for (const char* key : {"SID=", "password="}) {
        for (size_t at = findIgnoreCase(text, key, 0); at != std::string::npos;
             at = findIgnoreCase(text, key, at + 1)) {
            if (at != 0 && text[at - 1] != '?' && text[at - 1] != '&') continue;
            const size_t start = at + std::strlen(key);
            size_t end = text.find_first_of("&# \t\r\n\"'<>", start);
            if (end == std::string::npos) end = text.size();
            const std::string value = text.substr(start, end - start);
            if (value.empty() || value == kMask) continue;
            remember(value);
            remember(urlDecode(value));
            text.replace(start, end - start, kMask);
        }
    }
}

// Header lines that carry credentials.
void maskHeaders(std::string& text) {
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        const std::string_view line(text.data() + lineStart, lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view name = line.substr(0, colon);
            if (equalsIgnoreCase(name, "Authorization") || equalsIgnoreCase(name, "Proxy-Authorization") ||
                equalsIgnoreCase(name, "Cookie") || equalsIgnoreCase(name, "Set-Cookie")) {
                size_t valueEnd = lineEnd;
                if (valueEnd > lineStart && text[valueEnd - 1] == '\r') --valueEnd;
                const size_t valueStart = lineStart + colon + 1;
                text.replace(valueStart, valueEnd - valueStart, std::string(" ") + kMask);
                lineEnd = text.find('\n', lineStart);
                if (lineEnd == std::string::npos) lineEnd = text.size();
            }
        }
        lineStart = lineEnd + 1;
    }
}

void maskRemembered(std::string& text) {
    for (const std::string& secret : gSecrets)
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + std::strlen(kMask)))
            text.replace(at, secret.size(), kMask);
}

// Caller holds gMutex.
std::string maskLocked(std::string text) {
    maskElements(text);
    maskQuery(text);
    maskHeaders(text);
    maskRemembered(text);
    return text;
}

// Binary: control characters other than tab, CR, LF, or bytes that are not
// UTF-8. A sequence cut off at the end of a cut body is not held against it.
bool looksBinary(std::string_view body) {
    size_t i = 0;
    while (i < body.size()) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return true;
            ++i;
            continue;
        }
        size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (length == 0 || c > 0xF4) return true;
        for (size_t k = 1; k < length; ++k) {
            if (i + k >= body.size()) return false;
            if ((static_cast<unsigned char>(body[i + k]) & 0xC0) != 0x80) return true;
        }
        i += length;
    }
    return false;
}

// Each line of text with a prefix; a final line break is added.
void appendLines(std::string& out, const char* prefix, std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (end == text.size() && line.empty() && start != 0) break;
        // An empty line is the prefix's mark alone, without trailing space.
        out += line.empty() ? std::string_view(prefix, 1) : std::string_view(prefix);
        out += line;
        out += '\n';
        start = end + 1;
    }
}

// The system's number of the calling thread, as tools that list threads show
// it.
unsigned long threadNumber() {
#ifdef _WIN32
    return ::GetCurrentThreadId();
#else
    return static_cast<unsigned long>(::gettid());
#endif
}

std::string timeStamp(std::chrono::system_clock::time_point when) {
    const auto since = when.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

// The operation of a SOAP request: the first element inside the Body.
std::string soapOperation(std::string_view body) {
    size_t at = body.find(":Body");
    if (at == std::string_view::npos) at = body.find("<Body");
    if (at == std::string_view::npos) return {};
    at = body.find('>', at);
    if (at == std::string_view::npos) return {};
    at = body.find('<', at);
    if (at == std::string_view::npos) return {};
    const size_t end = body.find_first_of(" \t\r\n/>", at + 1);
    if (end == std::string_view::npos) return {};
    std::string_view name = body.substr(at + 1, end - at - 1);
    if (const size_t colon = name.rfind(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
    return std::string(name);
}

void renderSide(std::string& out, const char* prefix, const std::string& head, const std::string& body,
                size_t bodyTotal) {
    if (head.empty() && bodyTotal == 0) {
        out += prefix;
        out += "(nothing)\n";
        return;
    }
    std::string_view h(head);
    while (h.ends_with("\r\n\r\n") || h.ends_with("\n\n")) h.remove_suffix(h.ends_with("\r\n\r\n") ? 2 : 1);
    if (!h.empty()) appendLines(out, prefix, h);
    if (bodyTotal == 0) return;
    out += prefix[0];
    out += '\n';
    const std::string_view shown = std::string_view(body).substr(0, std::min(body.size(), kTraceBodyLimit));
    if (looksBinary(shown)) {
        out += prefix;
        out += "[binary body, " + std::to_string(bodyTotal) + " bytes]\n";
        return;
    }
    appendLines(out, prefix, shown);
    if (bodyTotal > kTraceBodyLimit) {
        out += prefix;
        out += "[... cut: the body has " + std::to_string(bodyTotal) + " bytes]\n";
    }
}

// libcurl's debug callback: heads and bodies in both directions.
int onCurlDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* exchange = static_cast<TraceExchange*>(user);
    try {
        switch (type) {
            case CURLINFO_HEADER_OUT: exchange->sentHead(data, size); break;
            case CURLINFO_DATA_OUT: exchange->sentBody(data, size); break;
            case CURLINFO_HEADER_IN: exchange->receivedHead(data, size); break;
            case CURLINFO_DATA_IN: exchange->receivedBody(data, size); break;
            default: break;
        }
    } catch (...) {
        // The trace never disturbs a transfer.
    }
    return 0;
}

}  // namespace

bool traceEnabled() {
    std::call_once(gOpenOnce, openTraceFile);
    return gFile.isOpen();
}

TraceExchange::TraceExchange(const char* kind) : kind_(kind) {
    try {
        active_ = traceEnabled();
    } catch (...) {
        active_ = false;
    }
    if (active_) {
        startWall_ = std::chrono::system_clock::now();
        start_ = std::chrono::steady_clock::now();
    }
}

TraceExchange::~TraceExchange() {
    if (active_ && !finished_) finish("no outcome recorded");
}

void TraceExchange::appendHead(Side& side, const char* data, size_t size) {
    if (side.head.size() < kHeadLimit) side.head.append(data, std::min(size, kHeadLimit - side.head.size()));
    side.headDone = true;
}

void TraceExchange::appendBody(Side& side, const char* data, size_t size) {
    const size_t keep = kTraceBodyLimit + kMaskSlack;
    if (side.body.size() < keep) side.body.append(data, std::min(size, keep - side.body.size()));
    side.bodyTotal += size;
}

void TraceExchange::feed(Side& side, const char* data, size_t size) {
    if (!active_) return;
    try {
        while (size > 0 && !side.headDone) {
            // The head ends at the first blank line; interim answers (100
            // Continue) are heads of their own and stay in the head.
            const size_t before = side.head.size();
            side.head.append(data, size);
            const size_t end = side.head.find("\r\n\r\n", std::max(side.blockStart, before >= 3 ? before - 3 : 0));
            if (end == std::string::npos) {
                if (side.head.size() > kHeadLimit) {
                    // Not HTTP after all: everything is body.
                    std::string all = std::move(side.head);
                    side.head.clear();
                    side.headDone = true;
                    appendBody(side, all.data(), all.size());
                }
                return;
            }
            const size_t headEnd = end + 4;
            const size_t consumed = headEnd - before;
            side.head.resize(headEnd);
            data += consumed;
            size -= consumed;
            const size_t space = side.head.find(' ', side.blockStart);
            const bool interim = side.head.compare(side.blockStart, 5, "HTTP/") == 0 && space < end &&
                                 side.head[space + 1] == '1';
            if (interim)
                side.blockStart = headEnd;
            else
                side.headDone = true;
        }
        if (size > 0) appendBody(side, data, size);
    } catch (...) {
        active_ = false;
    }
}

void TraceExchange::finish(const std::string& outcome) {
    if (!active_ || finished_) return;
    finished_ = true;
    try {
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.1f ms", ms);
        std::string what = kind_;
        if (what == "SOAP") {
            const std::string operation = soapOperation(request_.body);
            if (!operation.empty()) what += " " + operation;
        }
        std::lock_guard<std::mutex> lock(gMutex);
        // Masked in this order so that secrets first seen in the request (a
        // password) or the reply (a new session ID) are masked everywhere.
        const std::string requestHead = maskLocked(request_.head);
        const std::string requestBody = maskLocked(request_.body);
        const std::string replyHead = maskLocked(reply_.head);
        const std::string replyBody = maskLocked(reply_.body);
        const std::string url = maskLocked(url_);
        std::string record = "=== " + timeStamp(startWall_) + " thread " + std::to_string(threadNumber()) + " " + what +
                             " " + url + " " + duration;
        record += outcome.empty() ? "\n" : " FAILED: " + maskLocked(outcome) + "\n";
        renderSide(record, "> ", requestHead, requestBody, request_.bodyTotal);
        renderSide(record, "< ", replyHead, replyBody, reply_.bodyTotal);
        record += '\n';
        writeAll(record);
    } catch (...) {
        // A record that cannot be written is dropped.
    }
}

void traceCurlHandle(void* curl, TraceExchange& exchange) {
    if (!exchange.active()) return;
    CURL* handle = static_cast<CURL*>(curl);
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, onCurlDebug);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
}

void traceNote(const std::string& text) {
    try {
        if (!traceEnabled()) return;
        std::lock_guard<std::mutex> lock(gMutex);
        writeAll("=== " + timeStamp(std::chrono::system_clock::now()) + " thread " + std::to_string(threadNumber()) +
                 " NOTE " + maskLocked(text) + "\n\n");
    } catch (...) {
        // A note that cannot be written is dropped, as records are.
    }
}

std::string traceMask(const std::string& text) {
    std::lock_guard<std::mutex> lock(gMutex);
    return maskLocked(text);
}

}  // namespace pelox::host
