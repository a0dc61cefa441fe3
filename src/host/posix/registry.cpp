// The registry on POSIX: the store read from a ".reg" text file (see
// host/registry.h).
#include "host/registry.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "host/tarn_util.h"

namespace pelox::host {

namespace {

constexpr std::u16string_view kRootNames[][2] = {
    {u"HKEY_CLASSES_ROOT", u"HKCR"},
    {u"HKEY_CURRENT_USER", u"HKCU"},
    {u"HKEY_LOCAL_MACHINE", u"HKLM"},
    {u"HKEY_USERS", u"HKU"},
};

std::u16string upper(std::u16string_view text) { return tarn::util::toUpperAscii(text); }

std::u16string trim(std::u16string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == u' ' || text[b] == u'\t')) ++b;
    while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t' || text[e - 1] == u'\r')) --e;
    return std::u16string(text.substr(b, e - b));
}

// Normalises a key path: root abbreviations spelled out, no empty pieces,
// upper-cased for look-up. Returns an empty text for an unknown root.
std::u16string canonicalKey(std::u16string_view path) {
    std::vector<std::u16string> pieces;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string piece = trim(path.substr(start, end - start));
        if (!piece.empty()) pieces.push_back(upper(piece));
        start = end + 1;
    }
    if (pieces.empty()) return {};
    bool known = false;
    for (const auto& names : kRootNames) {
        if (pieces[0] == names[0] || pieces[0] == names[1]) {
            pieces[0] = std::u16string(names[0]);
            known = true;
        }
    }
    if (!known) return {};
    return tarn::util::joinStrings(pieces, u"\\");
}

// Decodes the file's bytes: UTF-16LE with BOM, else UTF-8 (BOM optional).
std::u16string decode(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::u16string text;
        text.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        return text;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return tarn::util::ConvertUTF8toString(bytes);
}

// Reads a quoted text starting at text[pos] == '"', with the escapes \\ and
// \" (any other backslash is kept as it is). pos ends after the closing quote.
bool readQuoted(std::u16string_view text, size_t& pos, std::u16string& out) {
    if (pos >= text.size() || text[pos] != u'"') return false;
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char16_t c = text[pos];
        if (c == u'\\' && pos + 1 < text.size() && (text[pos + 1] == u'\\' || text[pos + 1] == u'"')) {
            out.push_back(text[++pos]);
        } else if (c == u'"') {
            ++pos;
            return true;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// "hex(…):" byte lists: "41,00,42,00" (continuations already joined).
bool readHexBytes(std::u16string_view text, std::vector<unsigned char>& out) {
    out.clear();
    int value = -1;
    for (char16_t c : text) {
        if (c == u',' || c == u' ' || c == u'\t' || c == u'\\') {
            if (value >= 0) out.push_back(static_cast<unsigned char>(value));
            value = -1;
            continue;
        }
        int d = hexDigit(c);
        if (d < 0) return false;
        value = value < 0 ? d : value * 16 + d;
        if (value > 0xFF) return false;
    }
    if (value >= 0) out.push_back(static_cast<unsigned char>(value));
    return true;
}

std::u16string utf16leText(const std::vector<unsigned char>& bytes) {
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

// Parses the data part of a value line. False when it is malformed.
bool readValue(std::u16string_view data, RegistryValue& value) {
    if (!data.empty() && data[0] == u'"') {
        size_t pos = 0;
        value.kind = RegistryValue::Kind::String;
        return readQuoted(data, pos, value.text) && trim(data.substr(pos)).empty();
    }
    std::u16string lower;
    for (char16_t c : data.substr(0, data.find(u':'))) lower.push_back(c >= u'A' && c <= u'Z' ? c + 32 : c);
    size_t colon = data.find(u':');
    if (colon == std::u16string_view::npos) return false;
    std::u16string_view rest = data.substr(colon + 1);
    if (lower == u"dword") {
        std::u16string digits = trim(rest);
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t n = 0;
        for (char16_t c : digits) {
            int d = hexDigit(c);
            if (d < 0) return false;
            n = n * 16 + static_cast<uint32_t>(d);
        }
        value.kind = RegistryValue::Kind::Dword;
        value.number = n;
        return true;
    }
    std::vector<unsigned char> bytes;
    if (!readHexBytes(rest, bytes)) return false;
    if (lower == u"hex(2)") {  // REG_EXPAND_SZ
        value.kind = RegistryValue::Kind::String;
        value.text = utf16leText(bytes);
    } else if (lower == u"hex(7)") {  // REG_MULTI_SZ: pieces joined by "\n"
        value.kind = RegistryValue::Kind::String;
        value.text = utf16leText(bytes);
        for (char16_t& c : value.text)
            if (c == u'\0') c = u'\n';
        while (!value.text.empty() && value.text.back() == u'\n') value.text.pop_back();
    } else if (lower == u"hex(4)" && bytes.size() == 4) {  // REG_DWORD written as bytes
        value.kind = RegistryValue::Kind::Dword;
        value.number = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    } else {
        value.kind = RegistryValue::Kind::Other;
    }
    return true;
}

}  // namespace

RegistryStore RegistryStore::parse(std::string_view bytes) {
    RegistryStore store;
    std::u16string text = decode(bytes);

    // Split into logical lines: a line ending in a backslash continues on
    // the next one (regedit wraps long hex lists so).
    std::vector<std::u16string> lines;
    std::u16string current;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = trim(std::u16string_view(text).substr(start, end - start));
        bool continues = !line.empty() && line.back() == u'\\';
        current += line;
        if (continues) {
            current.pop_back();
        } else {
            lines.push_back(std::move(current));
            current.clear();
        }
        start = end + 1;
    }
    if (!current.empty()) lines.push_back(std::move(current));

    Key* key = nullptr;
    for (const std::u16string& line : lines) {
        if (line.empty() || line[0] == u';') continue;
        if (line[0] == u'[') {
            key = nullptr;
            size_t close = line.rfind(u']');
            if (close == std::u16string::npos) continue;
            std::u16string_view path = std::u16string_view(line).substr(1, close - 1);
            if (!path.empty() && path[0] == u'-') {  // deletes the key and its subkeys
                std::u16string gone = canonicalKey(path.substr(1));
                if (gone.empty()) continue;
                for (auto it = store.keys_.begin(); it != store.keys_.end();) {
                    bool below = it->first == gone || (it->first.size() > gone.size() && it->first.compare(0, gone.size(), gone) == 0 &&
                                                       it->first[gone.size()] == u'\\');
                    it = below ? store.keys_.erase(it) : std::next(it);
                }
                continue;
            }
            std::u16string canonical = canonicalKey(path);
            if (canonical.empty()) continue;
            // Like the registry, a key implies all the keys above it.
            std::vector<std::u16string> pieces;
            for (auto& piece : tarn::util::splitString(path, u"\\"))
                if (!trim(piece).empty()) pieces.push_back(trim(piece));
            std::u16string ancestor, original;
            for (size_t i = 0; i < pieces.size(); ++i) {
                original += (i ? u"\\" : u"") + pieces[i];
                ancestor = canonicalKey(original);
                Key& k = store.keys_[ancestor];
                if (k.name.empty()) k.name = original;
            }
            key = &store.keys_[canonical];
            continue;
        }
        if (!key) continue;
        std::u16string name;
        size_t pos = 0;
        if (line[0] == u'@') {
            pos = 1;
        } else if (!readQuoted(line, pos, name)) {
            continue;
        }
        while (pos < line.size() && (line[pos] == u' ' || line[pos] == u'\t')) ++pos;
        if (pos >= line.size() || line[pos] != u'=') continue;
        std::u16string data = trim(std::u16string_view(line).substr(pos + 1));
        if (data == u"-") {
            key->values.erase(upper(name));
            continue;
        }
        RegistryValue value;
        if (readValue(data, value)) key->values[upper(name)] = std::move(value);
    }
    return store;
}

std::string registryFilePath() {
    if (const char* file = std::getenv("PELOX_REGISTRY_FILE"); file && *file) return file;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        return std::string(config) + "/qorvane/registry.reg";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/qorvane/registry.reg";
}

RegistryStore RegistryStore::load() {
    std::ifstream in(registryFilePath(), std::ios::binary);
    if (!in) return {};
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return parse(bytes.str());
}

const std::map<std::u16string, RegistryValue>* RegistryStore::key(std::u16string_view fullPath) const {
    auto it = keys_.find(canonicalKey(fullPath));
    return it == keys_.end() ? nullptr : &it->second.values;
}

std::vector<std::u16string> RegistryStore::subkeys(std::u16string_view fullPath) const {
    std::vector<std::u16string> names;
    std::u16string prefix = canonicalKey(fullPath);
    if (prefix.empty()) return names;
    prefix += u'\\';
    for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        std::u16string_view rest = std::u16string_view(it->first).substr(prefix.size());
        if (rest.find(u'\\') != std::u16string_view::npos) continue;
        // Original spelling: the last piece of the key's own name.
        std::u16string_view original = it->second.name;
        size_t slash = original.rfind(u'\\');
        names.emplace_back(slash == std::u16string_view::npos ? original : original.substr(slash + 1));
    }
    return names;
}

struct vcRegistry::Platform {
    std::shared_ptr<const RegistryStore> store;
    RegistryRoot root = RegistryRoot::CurrentUser;
    bool connected = false;
    std::u16string openPath;  // full path of the open key; empty when none
};

namespace {

std::u16string_view rootName(RegistryRoot root) { return kRootNames[static_cast<int>(root)][0]; }

}  // namespace

vcRegistry::vcRegistry() : platform_(std::make_unique<Platform>()) {}
vcRegistry::~vcRegistry() = default;

bool vcRegistry::Connect(RegistryRoot root) {
    if (root < RegistryRoot::ClassesRoot || root > RegistryRoot::Users) return false;
    Platform& p = *platform_;
    p.root = root;
    p.store = std::make_shared<const RegistryStore>(RegistryStore::load());
    p.connected = true;
    p.openPath.clear();
    return true;
}

bool vcRegistry::Open(std::u16string_view keyPath, int /*access*/) {
    Platform& p = *platform_;
    p.openPath.clear();
    if (!p.connected) return false;
    std::u16string full(rootName(p.root));
    if (!keyPath.empty()) {
        full += u'\\';
        full += keyPath;
    }
    if (!p.store->key(full)) return false;
    p.openPath = std::move(full);
    return true;
}

bool vcRegistry::GetStringValue(std::u16string_view name, std::u16string& out) const {
    const Platform& p = *platform_;
    if (p.openPath.empty()) return false;
    const auto* values = p.store->key(p.openPath);
    if (!values) return false;
    auto it = values->find(upper(name));
    if (it == values->end() || it->second.kind != RegistryValue::Kind::String) return false;
    out = it->second.text;
    return true;
}

bool vcRegistry::GetValue(std::u16string_view name, uint32_t& number) const {
    const Platform& p = *platform_;
    if (p.openPath.empty()) return false;
    const auto* values = p.store->key(p.openPath);
    if (!values) return false;
    auto it = values->find(upper(name));
    if (it == values->end() || it->second.kind != RegistryValue::Kind::Dword) return false;
    number = it->second.number;
    return true;
}

std::vector<std::u16string> vcRegistry::GetSubkeys() const {
    const Platform& p = *platform_;
    return p.openPath.empty() ? std::vector<std::u16string>() : p.store->subkeys(p.openPath);
}

bool vcRegistry::GetVersionedProgID(std::u16string_view progId, std::u16string& out) const {
    const Platform& p = *platform_;
    if (!p.connected || progId.empty()) return false;
    std::u16string base = std::u16string(rootName(RegistryRoot::ClassesRoot)) + u"\\" + std::u16string(progId);
    if (!p.store->key(base)) return false;
    out.assign(progId);
    if (const auto* curVer = p.store->key(base + u"\\CurVer")) {
        auto it = curVer->find(u"");
        if (it != curVer->end() && it->second.kind == RegistryValue::Kind::String && !it->second.text.empty())
            out = it->second.text;
    }
    return true;
}

}  // namespace pelox::host
