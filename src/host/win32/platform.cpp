// Platform services on Windows: GUID texts from CoCreateGuid, written by
// StringFromGUID2 ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case).
#include <objbase.h>
#include <windows.h>

#include "host/platform.h"
#include "host/tarn_exception.h"

namespace pelox::host {

std::u16string createGuidText() {
    GUID guid;
    HRESULT result = CoCreateGuid(&guid);
    if (FAILED(result)) throw tarn::Exception("A GUID could not be made (error 0x%x)", static_cast<unsigned long>(result));
    wchar_t text[39];
    const int length = StringFromGUID2(guid, text, 39);  // characters written, the terminating zero included
    if (length != 39) throw tarn::Exception("A GUID could not be written as text");
    return std::u16string(reinterpret_cast<const char16_t*>(text), 38);
}

}  // namespace pelox::host
