#include "host/credentials.h"

#include <algorithm>
#include <array>
#include <utility>

#include "host/tarn_util.h"

namespace pelox::host {

namespace {

constexpr std::string_view kXorKey = "qorvane";
constexpr std::string_view kXmldbKey = "XmldbEndPoint";
// A body larger than this is not a credentials body; refusing it keeps a
// hostile session ID from making us allocate without bound.
constexpr size_t kMaxBodyLength = 64 * 1024;

// The body of a session ID: everything after its first ".". The prefix
// ("S" and 32 hex digits) is the server's business and is not checked, so a
// server that varies it still has its body read.
std::string_view bodyOf(std::string_view id) {
    const size_t dot = id.find('.');
    return dot == std::string_view::npos ? std::string_view() : id.substr(dot + 1);
}

// Standard base64 (RFC 4648, section 4). The codec is written out here, the
// same on every platform: OpenSSL, which the Linux build once used for it,
// is not part of the Windows build, and gSOAP's codec needs a SOAP context,
// which the host layer does not reach.
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each base64 digit, -1 for any other byte.
constexpr std::array<int, 256> base64Values() {
    std::array<int, 256> values{};
    for (int& v : values) v = -1;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kBase64Digits[i])] = i;
    return values;
}
constexpr std::array<int, 256> kBase64Values = base64Values();

// Strict: a non-empty text of whole four-digit groups, digits of the standard
// alphabet only, '=' only as one or two characters of trailing padding. Bits
// below the last whole byte are ignored.
bool decodeBase64(std::string_view text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxBodyLength) return false;
    size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text[text.size() - 2] == '=') ++padding;
    const std::string_view digits = text.substr(0, text.size() - padding);
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    unsigned long bits = 0;
    int count = 0;
    for (char c : digits) {
        const int value = kBase64Values[static_cast<unsigned char>(c)];
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<unsigned long>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    out = std::move(bytes);
    return true;
}

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned long group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kBase64Digits[(group >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

void xorWithKey(std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ kXorKey[i % kXorKey.size()]);
}

}  // namespace

void CCredentials::SetCredentialsString(std::u16string_view credentials) {
    credentials_ = tarn::util::ConvertStringtoUTF8(credentials);
    values_.clear();
}

bool CCredentials::DecryptBody() {
    values_.clear();
    std::string text;
    if (!decodeBase64(bodyOf(credentials_), text)) return false;
    xorWithKey(text);
    std::map<std::string, std::string, std::less<>> values;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) {
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos || eq == 0) return false;
            values[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
        }
        start = end + 1;
    }
    values_ = std::move(values);
    return true;
}

std::string CCredentials::GetValue(std::string_view key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

std::string CCredentials::GetXMLDBEndPoint() const { return GetValue(kXmldbKey); }

std::string encodeCredentialsBody(std::string_view text) {
    std::string bytes(text);
    xorWithKey(bytes);
    return encodeBase64(bytes);
}

}  // namespace pelox::host
