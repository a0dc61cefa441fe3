#include "host/credentials.h"

#include <openssl/evp.h>

#include <cctype>
#include <vector>

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

bool decodeBase64(std::string_view text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxBodyLength) return false;
    for (char c : text) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
        if (!ok) return false;
    }
    size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    // '=' is only allowed as trailing padding.
    if (text.substr(0, text.size() - padding).find('=') != std::string_view::npos) return false;
    std::vector<unsigned char> buffer(text.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(buffer.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < padding) return false;
    out.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n) - padding);
    return true;
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
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

}  // namespace pelox::host
