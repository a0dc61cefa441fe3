// This machine's hardware addresses on Windows: GetAdaptersAddresses.
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "host/ip_resolver.h"

namespace pelox::host {

std::vector<std::string> CIPResolver::localAddresses() {
    std::vector<std::string> out;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_SKIP_FRIENDLY_NAME | GAA_FLAG_INCLUDE_ALL_INTERFACES;
    // The list's size is known only by asking; it may grow between the calls.
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return out;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        if (adapter->PhysicalAddressLength != 6) continue;
        const std::string a = formatHardwareAddress(adapter->PhysicalAddress, 6);
        if (a != kZeroHardwareAddress && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    }
    return out;
}

}  // namespace pelox::host
