// Small helpers of the Windows file code: UTF-16 texts of the library as the
// wide strings of the Win32 calls (both 16-bit code units, so the conversion
// copies code units unchanged, a lone surrogate of a file name included), and
// the system's text for an error code.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace pelox::host::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

inline std::wstring toWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

inline std::u16string fromWide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// The system's message for a Win32 error code, in the user's language, as
// UTF-8 without the closing full stop and line end; "error N" when the system
// has no text for it.
std::string errorText(DWORD error);

}  // namespace pelox::host::win32
