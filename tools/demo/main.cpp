// pelox-demo: loads the library, creates one object of each kind, prints the
// library version and the objects' sizes, and removes them again.
#include <cstdio>
#include <string>

#include "peloxImp.h"

namespace {

// UTF-16 -> UTF-8 for printing.
std::string utf8(const pelox_char* text) {
    std::string out;
    if (!text) return out;
    for (const pelox_char* p = text; *p; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

int main() {
    struct Kind {
        int32_t type;
        const char* name;
        int32_t handle;
    } kinds[] = {
        {PELOX_OBJECT_STRING, "string", 0},
        {PELOX_OBJECT_STRING_ARRAY, "string array", 0},
        {PELOX_OBJECT_PROTOCOL_INFO, "protocol info", 0},
        {PELOX_OBJECT_RESULT_INFO, "result info", 0},
    };
    for (Kind& k : kinds) {
        k.handle = peloxImp_createObject(k.type);
        if (k.handle == 0) {
            std::fprintf(stderr, "pelox-demo: could not create a %s\n", k.name);
            return 1;
        }
    }

    const int32_t version = kinds[0].handle;
    int32_t rc = pelox_getPeloxInfo(PELOX_INFO_VERSION, version);
    if (rc != PELOX_OK) {
        std::fprintf(stderr, "pelox-demo: pelox_getPeloxInfo failed with %d\n", rc);
        return 1;
    }
    std::printf("peloxImp library version %s\n", utf8(string_getText(version)).c_str());
    std::printf("interface 8.5 served: %s\n", peloxImp_checkVersion("8.5") == 0 ? "yes" : "no");

    for (const Kind& k : kinds) {
        int32_t size = -1;
        rc = peloxImp_getObjectSize(k.type, k.handle, &size);
        if (rc != PELOX_OK) {
            std::fprintf(stderr, "pelox-demo: size of the %s failed with %d\n", k.name, rc);
            return 1;
        }
        std::printf("%-13s handle %d, size %d\n", k.name, k.handle, size);
    }
    for (const Kind& k : kinds) peloxImp_removeObject(k.type, k.handle);
    std::printf("objects removed\n");
    return 0;
}
