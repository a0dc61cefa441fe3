// Tells whether a hardware (MAC) address belongs to this machine, so that the
// library knows when the server runs on the caller's own computer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelox::host {

class CIPResolver {
public:
    // True when the address (six hexadecimal octets separated by ":" or "-",
    // or twelve hexadecimal digits without separators, letters in any case;
    // several addresses may be given separated by "," or ";" or white space)
    // equals the address of one of this machine's network interfaces. The
    // all-zero address (loopback) never matches.
    //
    // A locally administered address (the second-lowest bit of the first
    // octet set) is not unique: containers and virtual machines reuse the
    // same ones on every host (02:42:ac:11:00:02 is the first Docker
    // container everywhere). It counts only when serverUrl, the URL the
    // address was asked from, names this machine's loopback interface, so
    // that a server elsewhere is never taken for one on this machine; without
    // that, the worst case is that a server here is treated as remote.
    static bool IsHWAddressOnLocalMachine(std::u16string_view address, std::string_view serverUrl = {});
    static bool IsHWAddressOnLocalMachine(std::string_view address, std::string_view serverUrl = {});

    // The pure part: the same test against a given list of local addresses.
    static bool matchesAny(std::string_view address, const std::vector<std::string>& localAddresses,
                           bool locallyAdministeredCount = false);
    // Six octets of an address text, or nothing when it is not one.
    static std::optional<std::string> canonical(std::string_view address);
    // Whether the host of a URL is the loopback interface ("localhost",
    // 127.x.x.x or ::1); no name is looked up.
    static bool IsLoopbackUrl(std::string_view url);
    // This machine's interface hardware addresses, canonical form
    // (getifaddrs and /sys/class/net on Linux, GetAdaptersAddresses on
    // Windows).
    static std::vector<std::string> localAddresses();
};

// The all-zero address (loopback interfaces have it).
inline constexpr std::string_view kZeroHardwareAddress = "00:00:00:00:00:00";
// n octets as lower-case hex pairs separated by ":".
std::string formatHardwareAddress(const unsigned char* bytes, size_t n);

}  // namespace pelox::host
