// Class registrations read from the registry store (HKEY_CLASSES_ROOT),
// standing in for the COM registration functions of the platform.
#pragma once

#include <string>
#include <string_view>

namespace pelox::host {

// The class identifier registered for a ProgID: the default value of the key
// "<ProgID>\CLSID", in braced upper-case text form. False (clsid untouched)
// when the key or value is absent or the value is not a class identifier
// (32 hex digits grouped 8-4-4-4-12, braces optional).
bool CLSIDFromProgID(std::u16string_view progId, std::u16string& clsid);

// Braced text form "{...}" of a class identifier: letters a to z upper-cased,
// a missing opening or closing brace added.
std::u16string StringFromCLSID(std::u16string_view clsid);

}  // namespace pelox::host
