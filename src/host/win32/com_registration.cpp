// Class registrations on Windows: ole32's CLSIDFromProgID and StringFromCLSID.
#include <objbase.h>
#include <windows.h>

#include "host/com_registration.h"
#include "host/tarn_util.h"
#include "host/win32/wide_path.h"

namespace pelox::host {

bool CLSIDFromProgID(std::u16string_view progId, std::u16string& clsid) {
    if (progId.empty() || progId.find(u'\0') != std::u16string_view::npos) return false;
    // Neither function needs COM to be initialised on this thread: both
    // only read the class registrations.
    const std::wstring name = win32::toWide(progId);
    CLSID id;
    if (FAILED(::CLSIDFromProgID(name.c_str(), &id))) return false;
    LPOLESTR text = nullptr;
    if (FAILED(::StringFromCLSID(id, &text)) || !text) return false;
    clsid = StringFromCLSID(win32::fromWide(text));  // braced, upper case
    CoTaskMemFree(text);
    return true;
}

}  // namespace pelox::host
