#include "util.h"

#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace emu {

void fail(const std::string& text, int httpStatus) {
    Fault f(text);
    f.httpStatus = httpStatus;
    throw f;
}

namespace {

// Deflates data at level 5; windowBits chooses the framing: 15 a zlib
// stream, -15 raw deflate, 31 gzip.
Bytes deflateAll(std::string_view data, int windowBits) {
    z_stream zs{};
    if (deflateInit2(&zs, 5, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Bytes out;
    out.resize(deflateBound(&zs, data.size()) + 32);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(produced);
    return out;
}

}  // namespace

Bytes compress(std::string_view data, bool zlibHeader) { return deflateAll(data, zlibHeader ? 15 : -15); }

static Bytes inflateWith(std::string_view data, int windowBits, size_t maxOutput) {
    z_stream zs{};
    if (inflateInit2(&zs, windowBits) != Z_OK) throw std::runtime_error("inflateInit2 failed");
    Bytes out;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    char buf[65536];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = reinterpret_cast<Bytef*>(buf);
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&zs);
            fail("compressed data is damaged");
        }
        out.append(buf, sizeof buf - zs.avail_out);
        if (out.size() > maxOutput) {
            inflateEnd(&zs);
            fail("decompressed data exceeds the size limit", 413);
        }
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) {
            inflateEnd(&zs);
            fail("compressed data is truncated");
        }
    }
    inflateEnd(&zs);
    return out;
}

Bytes decompress(std::string_view data, size_t maxOutput) {
    if (data.empty()) return {};
    auto b0 = static_cast<unsigned char>(data[0]);
    bool zlibHeader = data.size() >= 2 && (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 &&
                      ((b0 << 8) | static_cast<unsigned char>(data[1])) % 31 == 0;
    if (zlibHeader) {
        try {
            return inflateWith(data, 15, maxOutput);
        } catch (const Fault& f) {
            if (f.httpStatus == 413) throw;
            // A raw stream can start with bytes that look like a zlib header.
        }
    }
    return inflateWith(data, -15, maxOutput);
}

Bytes gzip(std::string_view data) { return deflateAll(data, 31); }

static void writeOut(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail(std::string("file cannot be written: ") + std::strerror(errno), 500);
        data += w;
        n -= size_t(w);
    }
}

// Inflates with the given window bits (15 zlib, -15 raw), starting with the
// bytes of first, then reading source. Returns false when the data proved
// damaged before anything was written or read beyond first, so that the
// other form can be tried.
static bool inflateStream(const ByteSource& source, const std::string& first, int windowBits, int outFd,
                          unsigned long long maxOutput, unsigned long long& written) {
    z_stream zs{};
    if (inflateInit2(&zs, windowBits) != Z_OK) fail("inflateInit2 failed", 500);
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&zs};
    std::string in = first;
    zs.next_in = reinterpret_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    bool sourceDone = false, readMore = false;
    char out[65536];
    while (true) {
        if (zs.avail_in == 0 && !sourceDone) {
            in.resize(65536);
            in.resize(source(in.data(), in.size()));
            sourceDone = in.empty();
            readMore = true;
            zs.next_in = reinterpret_cast<Bytef*>(in.data());
            zs.avail_in = static_cast<uInt>(in.size());
        }
        zs.next_out = reinterpret_cast<Bytef*>(out);
        zs.avail_out = sizeof out;
        int rc = inflate(&zs, Z_NO_FLUSH);
        size_t produced = sizeof out - zs.avail_out;
        if (written + produced > maxOutput) fail("decompressed data exceeds the size limit", 413);
        if (produced) writeOut(outFd, out, produced);
        written += produced;
        if (rc == Z_STREAM_END) return true;
        if (rc == Z_BUF_ERROR) {
            if (sourceDone && zs.avail_in == 0) fail("compressed data is truncated");
            continue;
        }
        if (rc != Z_OK) {
            if (written == 0 && !readMore) return false;
            fail("compressed data is damaged");
        }
    }
}

unsigned long long inflateToFile(const ByteSource& source, int outFd, unsigned long long maxOutput) {
    std::string first(65536, '\0');
    size_t got = 0;
    while (got < first.size()) {
        size_t n = source(first.data() + got, first.size() - got);
        if (n == 0) break;
        got += n;
    }
    first.resize(got);
    if (first.empty()) return 0;
    auto b0 = static_cast<unsigned char>(first[0]);
    bool zlibHeader = first.size() >= 2 && (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 &&
                      ((b0 << 8) | static_cast<unsigned char>(first[1])) % 31 == 0;
    unsigned long long written = 0;
    // A raw stream can start with bytes that look like a zlib header: when
    // the zlib reading fails at once, the same bytes are read as raw deflate.
    if (zlibHeader && inflateStream(source, first, 15, outFd, maxOutput, written)) return written;
    if (written != 0) fail("compressed data is damaged");
    if (!inflateStream(source, first, -15, outFd, maxOutput, written)) fail("compressed data is damaged");
    return written;
}

unsigned long long copyToFile(const ByteSource& source, int outFd) {
    char buf[65536];
    unsigned long long total = 0;
    while (size_t n = source(buf, sizeof buf)) {
        writeOut(outFd, buf, n);
        total += n;
    }
    return total;
}

unsigned long long gzipToFile(const ByteSource& source, int outFd) {
    z_stream zs{};
    if (deflateInit2(&zs, 5, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2 failed", 500);
    struct End {
        z_stream* z;
        ~End() { deflateEnd(z); }
    } end{&zs};
    char in[65536], out[65536];
    unsigned long long total = 0;
    int flush = Z_NO_FLUSH;
    do {
        size_t n = source(in, sizeof in);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = reinterpret_cast<Bytef*>(in);
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = reinterpret_cast<Bytef*>(out);
            zs.avail_out = sizeof out;
            deflate(&zs, flush);
            size_t produced = sizeof out - zs.avail_out;
            writeOut(outFd, out, produced);
            total += produced;
        } while (zs.avail_out == 0);
    } while (flush != Z_FINISH);
    return total;
}

static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8) | uint8_t(data[i + 2]);
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (i + 1 == data.size()) {
        uint32_t v = uint8_t(data[i]) << 16;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8);
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    Bytes out;
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : text) {
        if (c == '=') {
            ++pad;
            continue;
        }
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (pad) return std::nullopt;
        const char* p = std::strchr(kB64, c);
        if (!p || c == 0) return std::nullopt;
        acc = (acc << 6) | uint32_t(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    if (pad > 2) return std::nullopt;
    return out;
}

static const char kXorKey[] = "qorvane";

std::string encodeCredentials(const std::map<std::string, std::string>& values) {
    std::string text;
    for (const auto& [k, v] : values) {
        if (!text.empty()) text += '\n';
        text += k + "=" + v;
    }
    for (size_t i = 0; i < text.size(); ++i) text[i] = char(text[i] ^ kXorKey[i % 7]);
    return base64Encode(text);
}

std::map<std::string, std::string> decodeCredentials(std::string_view body) {
    std::map<std::string, std::string> out;
    auto bytes = base64Decode(body);
    if (!bytes) return out;
    for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = char((*bytes)[i] ^ kXorKey[i % 7]);
    for (const auto& line : split(*bytes, '\n')) {
        auto eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

std::string randomHex(size_t digits) {
    static thread_local std::mt19937_64 rng(std::random_device{}() ^
                                            uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < digits; ++i) s += hex[rng() & 15];
    return s;
}

std::string secretHex(size_t digits) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    while (s.size() < digits) {
        unsigned char bytes[32];
        const ssize_t n = ::getrandom(bytes, sizeof bytes, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "no random bytes for a secret");
        }
        for (ssize_t i = 0; i < n && s.size() < digits; ++i) s += hex[bytes[i] & 15];
    }
    return s;
}

static std::atomic<int> gLiveThreads{0}, gThreadLimit{0};

void setThreadLimit(int limit) { gThreadLimit = limit; }
int threadsStarted() { return gLiveThreads; }

void startThread(std::function<void()> fn) {
    if (gThreadLimit > 0 && gLiveThreads >= gThreadLimit)
        throw std::system_error(EAGAIN, std::generic_category(), "the thread limit is reached");
    ++gLiveThreads;
    try {
        std::thread([f = std::move(fn)] {
            f();
            --gLiveThreads;
        }).detach();
    } catch (...) {
        --gLiveThreads;
        throw;
    }
}

std::string urlDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += char(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string urlEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> parseQueryList(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& part : split(query, '&')) {
        if (part.empty()) continue;
        auto eq = part.find('=');
        if (eq == std::string::npos)
            out.emplace_back(urlDecode(part), "");
        else
            out.emplace_back(urlDecode(part.substr(0, eq)), urlDecode(part.substr(eq + 1)));
    }
    return out;
}

long long parseInteger(const std::string& text, const std::string& what, long long min, long long max) {
    const std::string range = " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || (text[0] == '-' && text.size() > 1)))
        throw std::invalid_argument(what + range + ", not '" + text + "'");
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || !end || *end != '\0' || v < min || v > max)
        throw std::invalid_argument(what + range + ", not '" + text + "'");
    return v;
}

// Decodes one UTF-8 character at s[i]; returns its length, 0 when the bytes
// there are not UTF-8 (overlong forms included).
static size_t utf8Char(std::string_view s, size_t i, uint32_t& cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char c = b(0);
    size_t len;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF) return 0;
    return len;
}

static bool xmlAllowed(uint32_t cp) {
    if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

std::string xmlSafe(std::string_view s) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '&' && i + 2 < s.size() && s[i + 1] == '#') {
            // A character reference: kept unless it names a forbidden character.
            size_t k = i + 2;
            bool hex = s[k] == 'x' || s[k] == 'X';
            if (hex) ++k;
            size_t digits = k;
            uint32_t v = 0;
            while (k < s.size() && (hex ? std::isxdigit(static_cast<unsigned char>(s[k])) : std::isdigit(static_cast<unsigned char>(s[k])))) {
                if (v < 0x110000) v = v * (hex ? 16 : 10) + uint32_t(std::isdigit(static_cast<unsigned char>(s[k])) ? s[k] - '0' : (std::tolower(s[k]) - 'a' + 10));
                ++k;
            }
            if (k > digits && k < s.size() && s[k] == ';') {
                out += xmlAllowed(v) ? std::string(s.substr(i, k + 1 - i)) : std::string("&#xFFFD;");
                i = k + 1;
                continue;
            }
        }
        uint32_t cp = 0;
        size_t len = utf8Char(s, i, cp);
        if (len == 0 || !xmlAllowed(cp)) {
            out += kReplacement;
            i += len ? len : 1;
            continue;
        }
        out.append(s.data() + i, len);
        i += len;
    }
    return out;
}

std::string xmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return xmlSafe(out);
}

std::map<std::string, std::string> parseQuery(std::string_view query) {
    std::map<std::string, std::string> out;
    for (const auto& part : split(query, '&')) {
        if (part.empty()) continue;
        auto eq = part.find('=');
        if (eq == std::string::npos)
            out[urlDecode(part)] = "";
        else
            out[urlDecode(part.substr(0, eq))] = urlDecode(part.substr(eq + 1));
    }
    return out;
}

std::string isoTime(fs::file_time_type t) {
    return isoTime(std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(t)));
}

std::string isoTime(std::time_t tt) {
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string nowStamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t tt = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, int(ms));
    return out;
}

std::string localHardwareAddress() {
    std::error_code ec;
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/sys/class/net", ec)) {
        std::ifstream in(entry.path() / "address");
        std::string addr;
        if (in >> addr) {
            addr = trim(addr);
            if (addr.size() == 17 && addr != "00:00:00:00:00:00") found.push_back(addr);
        }
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.front();
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

std::vector<std::string> split(std::string_view s, char delimiter) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t pos = s.find(delimiter, start);
        if (pos == std::string_view::npos) {
            out.emplace_back(s.substr(start));
            break;
        }
        out.emplace_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view delimiter) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += delimiter;
        out += parts[i];
    }
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

Bytes readFile(const fs::path& p, size_t maxBytes) {
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) fail("file not found: " + p.generic_string(), 404);
    auto size = fs::file_size(p, ec);
    if (ec) fail("file cannot be read: " + p.generic_string(), 404);
    if (size > maxBytes) fail("file is larger than the transfer limit", 413);
    std::ifstream in(p, std::ios::binary);
    if (!in) fail("file cannot be opened: " + p.generic_string(), 404);
    Bytes data(size, '\0');
    in.read(data.data(), std::streamsize(size));
    data.resize(size_t(in.gcount()));
    return data;
}

}  // namespace emu
