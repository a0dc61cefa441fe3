// Class registrations: the COM registration functions of the platform.
// Windows (src/host/win32/com_registration.cpp): ole32's CLSIDFromProgID
// and StringFromCLSID. POSIX (src/host/posix/com_registration.cpp): the
// same look-up in the registry store (host/registry.h, HKEY_CLASSES_ROOT).
#pragma once

#include <string>
#include <string_view>

namespace pelox::host {

// The class identifier registered for a ProgID, in braced upper-case text
// form. False (clsid untouched) when the ProgID is not registered.
// POSIX: the default value of the key "<ProgID>\CLSID", which must be a
// class identifier (32 hex digits grouped 8-4-4-4-12, braces optional).
// Windows: CLSIDFromProgID of ole32 (the same key, as the system reads it),
// the identifier's text from StringFromCLSID.
bool CLSIDFromProgID(std::u16string_view progId, std::u16string& clsid);

// Braced text form "{...}" of a class identifier: letters a to z upper-cased,
// a missing opening or closing brace added.
std::u16string StringFromCLSID(std::u16string_view clsid);

}  // namespace pelox::host
