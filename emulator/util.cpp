#include "util.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

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

static bool isInside(const fs::path& jail, const fs::path& p) {
    auto j = jail.lexically_normal().generic_string();
    auto s = p.lexically_normal().generic_string();
    while (j.size() > 1 && j.back() == '/') j.pop_back();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s == j) return true;
    return s.size() > j.size() && s.compare(0, j.size(), j) == 0 && (j == "/" || s[j.size()] == '/');
}

fs::path resolveInside(const fs::path& jail, const fs::path& base, std::string_view clientPath) {
    if (clientPath.empty()) fail("empty path", 400);
    if (clientPath.find('\0') != std::string_view::npos) fail("path holds a NUL character", 400);
    std::string p(clientPath);
    std::replace(p.begin(), p.end(), '\\', '/');
    fs::path candidate = fs::path(p).is_absolute() ? fs::path(p) : base / p;
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(candidate, ec);
    if (ec) fail("path cannot be resolved: " + std::string(clientPath), 403);
    fs::path jailCanon = fs::weakly_canonical(jail, ec);
    if (ec) jailCanon = jail;
    if (!isInside(jailCanon, resolved)) fail("path lies outside the server root: " + std::string(clientPath), 403);
    return resolved;
}

std::string isoTime(fs::file_time_type t) {
    auto sys = std::chrono::file_clock::to_sys(t);
    std::time_t tt = std::chrono::system_clock::to_time_t(sys);
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

void writeFile(const fs::path& p, std::string_view data, bool append) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) fail("destination is a folder: " + p.generic_string(), 409);
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    if (!out) fail("file cannot be written: " + p.generic_string(), 500);
    out.write(data.data(), std::streamsize(data.size()));
    if (!out) fail("file cannot be written: " + p.generic_string(), 500);
}

}  // namespace emu
