// Platform services on Windows: GUID texts from CoCreateGuid.
#include <objbase.h>
#include <windows.h>

#include "host/platform.h"
#include "host/tarn_exception.h"

namespace pelox::host {

std::u16string createGuidText() {
    GUID guid;
    const HRESULT result = CoCreateGuid(&guid);
    if (FAILED(result)) throw tarn::Exception("A GUID could not be made (error 0x%x)", static_cast<unsigned long>(result));
    unsigned char bytes[16];
    // The text form shows the first three fields as numbers, then the last
    // eight bytes in order.
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(guid.Data1 >> (24 - 8 * i));
    bytes[4] = static_cast<unsigned char>(guid.Data2 >> 8);
    bytes[5] = static_cast<unsigned char>(guid.Data2);
    bytes[6] = static_cast<unsigned char>(guid.Data3 >> 8);
    bytes[7] = static_cast<unsigned char>(guid.Data3);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = guid.Data4[i];
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
