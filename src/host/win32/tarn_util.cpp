// The core library's platform utilities on Windows: host name, temporary
// directory, broken-down time.
#include <windows.h>

#include <ctime>
#include <vector>

#include "host/tarn_util.h"
#include "host/win32/wide_path.h"

namespace tarn::util {

namespace {

using pelox::host::win32::fromWide;

std::u16string computerName(COMPUTER_NAME_FORMAT format) {
    DWORD size = 0;
    // The first call only measures: it fails with ERROR_MORE_DATA and sets
    // size to the length with the terminator.
    GetComputerNameExW(format, nullptr, &size);
    if (size == 0) return {};
    std::vector<wchar_t> buffer(size + 1);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!GetComputerNameExW(format, buffer.data(), &length)) return {};
    return fromWide(std::wstring_view(buffer.data(), length));
}

}  // namespace

std::u16string getHostName() {
    std::u16string name = computerName(ComputerNameDnsHostname);
    if (name.empty()) name = computerName(ComputerNameNetBIOS);
    return name.empty() ? u"localhost" : name;
}

std::u16string getTempPath() {
    // Asked with 4096 characters, then twice as many while the answer comes
    // within 8 characters of the buffer's end (it may not have fitted).
    std::vector<wchar_t> buffer(4096);
    DWORD length = 0;
    for (;;) {
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length < buffer.size() - 8) break;
        buffer.resize(buffer.size() * 2);
    }
    std::u16string path = fromWide(std::wstring_view(buffer.data(), length));
    if (path.empty()) path = u"C:\\Windows\\Temp\\";  // GetTempPathW failed: where the system keeps its own
    if (path.back() != u'\\' && path.back() != u'/') path += u'\\';
    return path;
}

bool gmtime(const int64_t* seconds, std::tm& out) {
    if (!seconds) return false;
    const __time64_t t = static_cast<__time64_t>(*seconds);
    std::tm result{};
    if (_gmtime64_s(&result, &t) != 0) return false;
    out = result;
    return true;
}

}  // namespace tarn::util
