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
    // letters in any case; several addresses may be given separated by ","
    // or ";" or white space) equals the address of one of this machine's
    // network interfaces. The all-zero address (loopback) never matches.
    static bool IsHWAddressOnLocalMachine(std::u16string_view address);
    static bool IsHWAddressOnLocalMachine(std::string_view address);

    // The pure part: the same test against a given list of local addresses.
    static bool matchesAny(std::string_view address, const std::vector<std::string>& localAddresses);
    // Six octets of an address text, or nothing when it is not one.
    static std::optional<std::string> canonical(std::string_view address);
    // This machine's interface hardware addresses, canonical form.
    static std::vector<std::string> localAddresses();
};

}  // namespace pelox::host
