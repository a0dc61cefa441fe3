// The registry on Windows: the system registry, read only (host/registry.h).
#include <windows.h>

#include <vector>

#include "host/registry.h"
#include "host/tarn_util.h"
#include "host/win32/wide_path.h"

namespace pelox::host {

using win32::fromWide;
using win32::toWide;

struct vcRegistry::Platform {
    HKEY root = nullptr;
    HKEY key = nullptr;  // the open key; null when none

    ~Platform() { close(); }
    void close() {
        if (key) RegCloseKey(key);
        key = nullptr;
    }
};

namespace {

// Opens path below root for reading: in this program's view of the registry,
// else in the 32-bit view, where 32-bit programs register their classes and
// local servers (a 64-bit library sees them only there).
HKEY openForReading(HKEY root, std::u16string_view path) {
    const std::wstring name = toWide(path);
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) status = RegOpenKeyExW(root, name.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

// A value of an open key read as the given types; false when it is absent,
// of another type or cannot be read.
bool readValue(HKEY key, std::u16string_view name, DWORD flags, std::vector<unsigned char>& data, DWORD& type) {
    const std::wstring valueName = toWide(name);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LSTATUS status = RegGetValueW(key, nullptr, valueName.c_str(), flags, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) return false;
        data.assign(size + sizeof(wchar_t), 0);
        size = static_cast<DWORD>(data.size());
        status = RegGetValueW(key, nullptr, valueName.c_str(), flags, &type, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            data.resize(size);
            return true;
        }
        if (status != ERROR_MORE_DATA) return false;  // else the value grew meanwhile: measure again
    }
    return false;
}

std::u16string textOf(const std::vector<unsigned char>& data) {
    std::u16string text(data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return text;
}

}  // namespace

vcRegistry::vcRegistry() : platform_(std::make_unique<Platform>()) {}
vcRegistry::~vcRegistry() = default;

bool vcRegistry::Connect(RegistryRoot root) {
    Platform& p = *platform_;
    p.close();
    switch (root) {
    case RegistryRoot::ClassesRoot:
        p.root = HKEY_CLASSES_ROOT;
        return true;
    case RegistryRoot::CurrentUser:
        p.root = HKEY_CURRENT_USER;
        return true;
    case RegistryRoot::LocalMachine:
        p.root = HKEY_LOCAL_MACHINE;
        return true;
    case RegistryRoot::Users:
        p.root = HKEY_USERS;
        return true;
    }
    p.root = nullptr;
    return false;
}

bool vcRegistry::Open(std::u16string_view keyPath, int /*access*/) {
    Platform& p = *platform_;
    p.close();
    if (!p.root || keyPath.find(u'\0') != std::u16string_view::npos) return false;
    p.key = openForReading(p.root, keyPath);
    return p.key != nullptr;
}

bool vcRegistry::GetStringValue(std::u16string_view name, std::u16string& out) const {
    const Platform& p = *platform_;
    if (!p.key || name.find(u'\0') != std::u16string_view::npos) return false;
    std::vector<unsigned char> data;
    DWORD type = 0;
    // Read unexpanded and of any type, then checked here: REG_EXPAND_SZ is
    // expanded with this process's environment; REG_MULTI_SZ pieces are
    // joined by "\n", as the POSIX store does.
    if (!readValue(p.key, name, RRF_RT_ANY | RRF_NOEXPAND, data, type)) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return false;
    std::u16string text = textOf(data);
    if (type == REG_MULTI_SZ) {
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        for (char16_t& c : text)
            if (c == u'\0') c = u'\n';
    } else {
        text.resize(tarn::util::length(text.c_str()));  // up to the terminator
    }
    if (type == REG_EXPAND_SZ) {
        const std::wstring raw = toWide(text);
        const DWORD needed = ExpandEnvironmentStringsW(raw.c_str(), nullptr, 0);
        if (needed == 0) return false;
        std::vector<wchar_t> expanded(needed + 1);
        const DWORD written = ExpandEnvironmentStringsW(raw.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        if (written == 0 || written > expanded.size()) return false;
        text = fromWide(expanded.data());
    }
    out = std::move(text);
    return true;
}

bool vcRegistry::GetValue(std::u16string_view name, uint32_t& number) const {
    const Platform& p = *platform_;
    if (!p.key || name.find(u'\0') != std::u16string_view::npos) return false;
    std::vector<unsigned char> data;
    DWORD type = 0;
    if (!readValue(p.key, name, RRF_RT_REG_DWORD, data, type) || data.size() < 4) return false;
    number = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return true;
}

std::vector<std::u16string> vcRegistry::GetSubkeys() const {
    std::vector<std::u16string> names;
    const Platform& p = *platform_;
    if (!p.key) return names;
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyW(p.key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return names;
    std::vector<wchar_t> buffer(longest + 1 > 256 ? longest + 1 : 256);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const LSTATUS status = RegEnumKeyExW(p.key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {  // a longer name was added meanwhile
            buffer.resize(buffer.size() * 2);
            --index;
            continue;
        }
        if (status != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS, or the key went away
        names.push_back(fromWide(std::wstring_view(buffer.data(), length)));
    }
    return names;
}

bool vcRegistry::GetVersionedProgID(std::u16string_view progId, std::u16string& out) const {
    const Platform& p = *platform_;
    if (!p.root || progId.empty() || progId.find(u'\0') != std::u16string_view::npos) return false;
    HKEY base = openForReading(HKEY_CLASSES_ROOT, progId);
    if (!base) return false;
    RegCloseKey(base);
    out.assign(progId);
    vcRegistry curVer;
    std::u16string versioned;
    if (curVer.Connect(RegistryRoot::ClassesRoot) && curVer.Open(std::u16string(progId) + u"\\CurVer") &&
        curVer.GetStringValue(u"", versioned) && !versioned.empty())
        out = std::move(versioned);
    return true;
}

}  // namespace pelox::host
