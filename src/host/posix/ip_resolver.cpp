// This machine's hardware addresses on Linux: the packet addresses of the
// interfaces, and /sys/class/net for interfaces that show none.
#include "host/ip_resolver.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <dirent.h>

#include <algorithm>
#include <fstream>

namespace pelox::host {

std::vector<std::string> CIPResolver::localAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* it = list; it; it = it->ifa_next) {
            if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
            if (ll->sll_halen != 6) continue;
            const std::string a = formatHardwareAddress(ll->sll_addr, 6);
            if (a != kZeroHardwareAddress && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
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
            if (a && *a != kZeroHardwareAddress && std::find(out.begin(), out.end(), *a) == out.end()) out.push_back(*a);
        }
        closedir(dir);
    }
    return out;
}

}  // namespace pelox::host
