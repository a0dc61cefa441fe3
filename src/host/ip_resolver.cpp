#include "host/ip_resolver.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fstream>

#include "host/tarn_util.h"

namespace pelox::host {

namespace {

constexpr std::string_view kZero = "00:00:00:00:00:00";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string formatOctets(const unsigned char* bytes, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i) out.push_back(':');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

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

}  // namespace

std::optional<std::string> CIPResolver::canonical(std::string_view address) {
    // Six groups of one or two hex digits, separated by one kind of ":" or "-".
    unsigned char octets[6];
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
    return formatOctets(octets, 6);
}

bool CIPResolver::matchesAny(std::string_view address, const std::vector<std::string>& localAddresses) {
    for (std::string_view candidate : splitAddresses(address)) {
        const auto c = canonical(candidate);
        if (!c || *c == kZero) continue;
        for (const auto& local : localAddresses) {
            const auto l = canonical(local);
            if (l && *l == *c) return true;
        }
    }
    return false;
}

std::vector<std::string> CIPResolver::localAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* it = list; it; it = it->ifa_next) {
            if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
            if (ll->sll_halen != 6) continue;
            const std::string a = formatOctets(ll->sll_addr, 6);
            if (a != kZero && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
        }
        freeifaddrs(list);
    }
    // Interfaces without a packet address (some containers) still show theirs here.
    if (DIR* dir = opendir("/sys/class/net")) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::ifstream in("/sys/class/net/" + name + "/address");
            std::string line;
            if (!std::getline(in, line)) continue;
            const auto a = canonical(line);
            if (a && *a != kZero && std::find(out.begin(), out.end(), *a) == out.end()) out.push_back(*a);
        }
        closedir(dir);
    }
    return out;
}

bool CIPResolver::IsHWAddressOnLocalMachine(std::string_view address) {
    if (address.empty()) return false;
    return matchesAny(address, localAddresses());
}

bool CIPResolver::IsHWAddressOnLocalMachine(std::u16string_view address) {
    return IsHWAddressOnLocalMachine(std::string_view(tarn::util::ConvertStringtoUTF8(address)));
}

}  // namespace pelox::host
