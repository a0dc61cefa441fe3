#include "frame/containers/wide_string.h"

namespace pelox {

void assignNarrow(WString& out, std::string_view bytes) {
    if (bytes.size() > 0xFFFFFFFEu) throw tarn::MemoryException(bytes.size(), sizeof(char16_t));
    const auto n = static_cast<uint32_t>(bytes.size());
    char16_t* b = out.makeRoom(n, true);
    for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
    if (n) out.setLength(n);
}

std::string toNarrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c > 255) throw tarn::Exception("Unable to convert character 0x%x", static_cast<unsigned>(c));
        out.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    }
    return out;
}

void assignWide(NString& out, std::u16string_view text) {
    const std::string narrow = toNarrow(text);
    out.assign(narrow);
}

}  // namespace pelox
