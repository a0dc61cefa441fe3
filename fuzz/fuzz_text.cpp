// UTF-8 <-> UTF-16 conversion and the text-to-number readers of the core
// library. Checked properties:
//  - UTF-8 read as UTF-16 and written back reads the same again (the first
//    reading's replacement characters are themselves valid);
//  - UTF-8 that reads without a replacement character is written back byte
//    for byte;
//  - the input read as UTF-16 units is written as UTF-8 that reads back to
//    the same units, lone surrogates replaced.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/tarn_util.h"

using namespace tarn::util;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string utf8(reinterpret_cast<const char*>(data), size);
    const std::u16string wide = ConvertUTF8toString(utf8);
    const std::string back = ConvertStringtoUTF8(wide);
    if (ConvertUTF8toString(back) != wide) std::abort();
    if (wide.find(u'\uFFFD') == std::u16string::npos && back != utf8) std::abort();
    // The zero-terminated form stops at the first NUL.
    const std::u16string terminated = ConvertUTF8toString(utf8.c_str(), -1);
    if (terminated != ConvertUTF8toString(std::string_view(utf8.c_str()))) std::abort();

    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    const std::u16string again = ConvertUTF8toString(ConvertStringtoUTF8(units));
    if (again.size() != units.size()) std::abort();
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        const bool paired = (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) ||
                            (low && i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF);
        if (again[i] != ((high || low) && !paired ? u'\uFFFD' : c)) std::abort();
    }

    // Number and flag readers on the same text.
    const std::u16string zeroTerminated = wide;
    const char16_t* end = nullptr;
    stringToInteger(zeroTerminated.c_str(), &end, true);
    if (end < zeroTerminated.c_str() || end > zeroTerminated.c_str() + zeroTerminated.size()) std::abort();
    stringToInt64(zeroTerminated.c_str(), &end);
    const char* end8 = nullptr;
    stringToInteger(utf8.c_str(), &end8, false);
    stringToBoolean(zeroTerminated.c_str(), &end);
    canCoerceToBoolean(zeroTerminated.c_str());
    // Splitting at a delimiter taken from the text itself.
    if (!wide.empty()) {
        const std::u16string delimiter = wide.substr(0, 1 + wide.size() % 3);
        const auto pieces = splitString(wide, delimiter);
        if (joinStrings(pieces, delimiter) != wide) std::abort();
    }
    urlEncode(wide);
    return 0;
}
