// Small stand-ins for the platform services that the library frame needs at
// start-up: the HTTP reader's client marker, GUID texts and the temporary
// directory root.
#pragma once

#include <atomic>
#include <string>

namespace pelox::host {

// The HTTP reader of the platform libraries. Only the process-wide marker
// that tells it it runs inside a client lives here so far.
class CHttp {
public:
    // Set once at start-up, as the platform contract asks; nothing in this
    // build reads it (the library's HTTP code always acts as a client).
    static std::atomic<bool> m_isClient;
};

// The directories of the platform libraries.
class vcQorDir {
public:
    // The temporary root.
    static constexpr int kTemporaryRoot = 12;

    static void SetRootTempDirectory(const std::u16string& path);
    // Directory kind 12 is the temporary root (empty until set); other kinds
    // are not known here and give an empty text.
    static std::u16string GetDirectory(int kind);
    // root + PATHSEP + user (no separator doubled, none added to an empty
    // root; on Windows a root ending in "/" has its separator too).
    static void GetUserDirectory(const std::u16string& root, const std::u16string& user, std::u16string& out);
};

// The library's temporary directory: <root>, the path separator, <name>, in
// the user's own root (host/private_files.h): <system temp>/qorvane-<uid> on
// POSIX, the folder "qorvane" of GetTempPathW on Windows.
class CClientTempFiles {
public:
    // Sets the temporary root to <root><separator><name>; a null or
    // empty name is replaced by a fresh GUID text. Nothing is created on disk:
    // folders there are made, and checked, when files are put in them.
    static void InitializeQorDirectory(const char16_t* name);
    // The temporary root, set up with a GUID name first when nobody set it.
    static void GetTemporaryFilePath(std::u16string& out);
    static bool IsInitialized();
};

// The platform's path separator text: the separator the library puts between
// the folders and names it joins ("/"; on Windows "\", where "/" is read as a
// separator too).
#ifdef _WIN32
inline constexpr const char16_t* PATHSEP = u"\\";
#else
inline constexpr const char16_t* PATHSEP = u"/";
#endif
// A new random (version 4) GUID in registry text form:
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case hex digits.
std::u16string createGuidText();

}  // namespace pelox::host
