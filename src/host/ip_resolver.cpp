#include "host/ip_resolver.h"

#include <algorithm>
#include <cctype>

#include "host/tarn_util.h"

namespace pelox::host {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string formatHardwareAddress(const unsigned char* bytes, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i) out.push_back(':');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

namespace {

std::vector<std::string_view> splitAddresses(std::string_view text) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || text[i] == ';' || std::isspace(static_cast<unsigned char>(text[i]))))
            ++i;
        size_t j = i;
        while (j < text.size() && !(text[j] == ',' || text[j] == ';' || std::isspace(static_cast<unsigned char>(text[j]))))
            ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// The second-lowest bit of the first octet marks an address its owner
// chose rather than one the maker assigned.
bool locallyAdministered(const std::string& canonicalAddress) { return (hexValue(canonicalAddress[1]) & 2) != 0; }

}  // namespace

std::optional<std::string> CIPResolver::canonical(std::string_view address) {
    unsigned char octets[6];
    // Twelve hex digits without separators.
    if (address.size() == 12 && std::all_of(address.begin(), address.end(), [](char c) { return hexValue(c) >= 0; })) {
        for (size_t k = 0; k < 6; ++k)
            octets[k] = static_cast<unsigned char>(hexValue(address[2 * k]) * 16 + hexValue(address[2 * k + 1]));
        return formatHardwareAddress(octets, 6);
    }
    // Six groups of one or two hex digits, separated by one kind of ":" or "-".
    size_t pos = 0;
    char separator = 0;
    for (int k = 0; k < 6; ++k) {
        if (k > 0) {
            if (pos >= address.size()) return std::nullopt;
            const char s = address[pos];
            if (s != ':' && s != '-') return std::nullopt;
            if (separator && s != separator) return std::nullopt;
            separator = s;
            ++pos;
        }
        int value = 0, digits = 0;
        while (pos < address.size() && digits < 2 && hexValue(address[pos]) >= 0) {
            value = value * 16 + hexValue(address[pos]);
            ++pos;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        octets[k] = static_cast<unsigned char>(value);
    }
    if (pos != address.size()) return std::nullopt;
    return formatHardwareAddress(octets, 6);
}

bool CIPResolver::matchesAny(std::string_view address, const std::vector<std::string>& localAddresses,
                             bool locallyAdministeredCount) {
    for (std::string_view candidate : splitAddresses(address)) {
        const auto c = canonical(candidate);
        if (!c || *c == kZeroHardwareAddress) continue;
        if (!locallyAdministeredCount && locallyAdministered(*c)) continue;
        for (const auto& local : localAddresses) {
            const auto l = canonical(local);
            if (l && *l == *c) return true;
        }
    }
    return false;
}

bool CIPResolver::IsHWAddressOnLocalMachine(std::string_view address, std::string_view serverUrl) {
    if (address.empty()) return false;
    return matchesAny(address, localAddresses(), IsLoopbackUrl(serverUrl));
}

bool CIPResolver::IsHWAddressOnLocalMachine(std::u16string_view address, std::string_view serverUrl) {
    return IsHWAddressOnLocalMachine(std::string_view(tarn::util::ConvertStringtoUTF8(address)), serverUrl);
}

bool CIPResolver::IsLoopbackUrl(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return false;
    std::string_view host = url.substr(scheme + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    if (const size_t at = host.rfind('@'); at != std::string_view::npos) host = host.substr(at + 1);
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        host = close == std::string_view::npos ? std::string_view() : host.substr(1, close - 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    std::string lower(host);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "localhost" || lower == "::1") return true;
    // 127.0.0.0/8 as four decimal numbers.
    if (lower.rfind("127.", 0) != 0) return false;
    int dots = 0;
    for (char c : lower) {
        if (c == '.')
            ++dots;
        else if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return dots == 3;
}

}  // namespace pelox::host
