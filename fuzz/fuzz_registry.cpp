// The .reg store reader: any bytes (UTF-8 or UTF-16LE text, or neither), then
// a look-up of every key the text names and of its subkeys.
#include <cstdint>
#include <string>
#include <string_view>

#include "host/registry.h"
#include "host/tarn_util.h"

using pelox::host::RegistryStore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const RegistryStore store = RegistryStore::parse(text);
    // Key names as written in the text (UTF-8 form), with and without the
    // brackets' content trimmed of a leading '-'.
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t open = line.find('[');
        const size_t close = line.rfind(']');
        if (open == std::string_view::npos || close == std::string_view::npos || close <= open) continue;
        const std::u16string path = tarn::util::ConvertUTF8toString(line.substr(open + 1, close - open - 1));
        if (const auto* values = store.key(path))
            for (const auto& [name, value] : *values) {
                volatile size_t sink = name.size() + value.text.size() + value.number;
                (void)sink;
            }
        store.subkeys(path);
        if (!path.empty() && path.size() > 1) store.subkeys(path.substr(0, path.size() / 2));
    }
    store.key(u"HKEY_CURRENT_USER\\SOFTWARE\\Qorvane");
    store.subkeys(u"HKEY_CLASSES_ROOT");
    return 0;
}
