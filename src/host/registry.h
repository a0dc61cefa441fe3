// The registry, read through the platform library's registry class.
//
// Windows (src/host/win32/registry.cpp): the system registry, through
// RegOpenKeyExW, RegGetValueW and RegEnumKeyExW. A key that is missing from
// this program's view of the registry is looked for in the 32-bit view as
// well (KEY_WOW64_32KEY), where 32-bit programs register their classes and
// local servers. The class only reads: whatever access is asked for, keys
// are opened for reading (KEY_READ), so that a key the user may read but
// not change (a locked-down machine's policy) still counts.
//
// POSIX (src/host/posix/registry.cpp): the registry store, a text file in
// the Windows ".reg" export format:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\SOFTWARE\Qorvane]
//   "SoapConnectTimeOut"=dword:0000000a
//
//   [HKEY_CLASSES_ROOT\Qorvane.Viewer\CurVer]
//   @="Qorvane.Viewer.2"
//
// The file is PELOX_REGISTRY_FILE when that environment variable is set and
// not empty, else $XDG_CONFIG_HOME/qorvane/registry.reg, else
// ~/.config/qorvane/registry.reg. It is read, never written. UTF-8 (with or
// without BOM) and UTF-16LE with BOM (what regedit writes) are accepted.
// Key paths and value names compare without regard to ASCII case.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelox::host {

// The root keys HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE and
// HKEY_USERS (named so as not to meet the Windows headers' macros of those
// names).
enum class RegistryRoot {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
};

// Access rights asked for by Open (kept for the callers' sake; keys are only
// read, so every access is granted on a key that exists and can be read).
inline constexpr int kRegistryReadAccess = 1;
inline constexpr int kRegistryAllAccess = 0xF003F;

// One value of a key.
struct RegistryValue {
    enum class Kind { String, Dword, Other };
    Kind kind = Kind::Other;
    std::u16string text;  // String (also REG_EXPAND_SZ / REG_MULTI_SZ, joined by "\n")
    uint32_t number = 0;  // Dword
};

#ifndef _WIN32
// The parsed store: key path (upper-cased, with root name) -> values by
// upper-cased name ("" for the default value).
class RegistryStore {
public:
    // Parses .reg text (UTF-8 or UTF-16LE bytes). Malformed lines are skipped.
    static RegistryStore parse(std::string_view bytes);
    // Reads the store from registryFilePath(); a missing file is an empty store.
    static RegistryStore load();

    const std::map<std::u16string, RegistryValue>* key(std::u16string_view fullPath) const;
    // Direct subkey names (original spelling) of a key.
    std::vector<std::u16string> subkeys(std::u16string_view fullPath) const;

private:
    struct Key {
        std::u16string name;  // original spelling of the full path
        std::map<std::u16string, RegistryValue> values;
    };
    std::map<std::u16string, Key> keys_;
};

// Where the store is read from (see above).
std::string registryFilePath();
#endif

// Reads one key of the store, shaped like the platform library's registry
// class: Connect(root), Open(path, access), then Get… per value.
class vcRegistry {
public:
    vcRegistry();
    ~vcRegistry();
    vcRegistry(const vcRegistry&) = delete;
    vcRegistry& operator=(const vcRegistry&) = delete;

    // Chooses the root key (POSIX: loads the store). False for an unknown root.
    bool Connect(RegistryRoot root);
    // Opens a key below the root ("SOFTWARE\\Qorvane"). False when absent.
    bool Open(std::u16string_view keyPath, int access = kRegistryReadAccess);
    // A string value; an empty name reads the key's default value ("@").
    bool GetStringValue(std::u16string_view name, std::u16string& out) const;
    // A DWORD value.
    bool GetValue(std::u16string_view name, uint32_t& number) const;
    // The subkey names of the open key.
    std::vector<std::u16string> GetSubkeys() const;
    // For a ProgID under HKEY_CLASSES_ROOT: the versioned ProgID named by its
    // CurVer key, or the ProgID itself when it has none. False when the
    // ProgID is not registered.
    bool GetVersionedProgID(std::u16string_view progId, std::u16string& out) const;

private:
    // The platform's state: the store and open key path, or the open HKEY.
    struct Platform;
    std::unique_ptr<Platform> platform_;
};

}  // namespace pelox::host
