// Platform services on POSIX: GUID texts from the kernel's random source.
#include <cstdio>
#include <random>

#include "host/platform.h"

namespace pelox::host {

std::u16string createGuidText() {
    unsigned char bytes[16];
    bool filled = false;
    if (FILE* f = std::fopen("/dev/urandom", "rb")) {
        filled = std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
        std::fclose(f);
    }
    if (!filled) {
        std::random_device rd;
        for (auto& b : bytes) b = static_cast<unsigned char>(rd());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char16_t* hex = u"0123456789ABCDEF";
    std::u16string out = u"{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += u'-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 0x0F];
    }
    out += u'}';
    return out;
}

}  // namespace pelox::host
