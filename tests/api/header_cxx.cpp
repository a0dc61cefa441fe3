// The public header on its own, compiled as C++ with strict warnings.
#include "peloxImp.h"

#include <cstdio>

int main() {
    const int32_t h = peloxImp_createObject(PELOX_OBJECT_STRING);
    const pelox_char* text = string_getText(h);
    const int32_t rc = pelox_setPeloxOptions(PELOX_OPTION_RESERVED, u"ignored");
    peloxImp_removeObject(PELOX_OBJECT_STRING, h);
    if (h <= 0 || !text || text[0] != 0 || rc != PELOX_OK) {
        std::printf("header_cxx: unexpected results\n");
        return 1;
    }
    return 0;
}
