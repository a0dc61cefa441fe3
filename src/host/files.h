// Files, path names and directory listings of the platform library. Paths
// come in as UTF-16. The POSIX build hands them to the file system as UTF-8
// (src/host/posix/files.cpp), the Windows build as UTF-16 to the wide Win32
// calls (src/host/win32/files.cpp).
//
// POSIX. The separator is '/'; a backslash is an ordinary file-name
// character. Path kinds (vcFileName::GetKind):
//   0  empty text
//   1  relative path: does not begin with '/' and is none of the forms below
//      ("a/b", "C:\dir\x" and "\\host\share" are relative file names here)
//   2  network share path: exactly two slashes followed by a host name,
//      "//host/share/dir/file" (POSIX leaves a leading "//" to the system;
//      the path is handed to the file system as it is)
//   3  local file URL: "file:///dir/file", "file://localhost/dir/file" or
//      "file:/dir/file" (scheme in any case); opened as the percent-decoded
//      path "/dir/file"
//   4  network file URL: "file://host/share/file" with a host other than
//      localhost; opened as the share path "//host/share/file"
//   5  device path: at or below "/dev" ("/dev/shm/x", "/dev/fd/3")
//   6  any other absolute path ("/srv/data/a.txt")
// Kinds 5 and 6 are told apart on the lexically normalised path, so
// "/dev/../etc/x" is kind 6.
//
// Windows. '\' and '/' are both separators (PATHSEP, the one the library
// writes, is '\'). Path kinds:
//   0  empty text
//   1  relative path, and also the two forms that depend on state of the
//      process rather than naming one file: "\dir\x" (rooted, but on the
//      current drive) and "C:x" (relative to the current folder of drive C)
//   2  network share path: two separators, then a host: "\\host\share\x",
//      "//host/share/x"
//   3  local file URL: "file:///C:/dir/x", "file://localhost/C:/dir/x",
//      "file:/C:/dir/x"; opened as the percent-decoded path "C:\dir\x"
//   4  network file URL: "file://host/share/x" with a host other than
//      localhost; opened as the share path "\\host\share\x"
//   5  device path: the Win32 device and file namespaces "\\.\" and "\\?\"
//      ("\\.\pipe\x", "\\?\C:\very\long\path", "\\?\UNC\host\share"),
//      with either separator
//   6  a drive path: "C:\dir\x", "C:/dir/x"
//
// On both: kinds 2 to 5 are forms that only make sense on this machine, so a
// client reads them straight from its own file system. Kind 6 is deliberately
// a kind of its own: an ordinary absolute path may just as well name a file on
// a remote server, and is never taken to be local because of its form alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/private_files.h"

namespace pelox::host {

inline constexpr int kFileRead = 17;          // Open/CanOpen mode: read
inline constexpr int kFileReadShared = 1;     // CanOpen mode 1: read
inline constexpr int kFileCreateWrite = 26;   // Open mode: create or empty, write

// The path kinds listed above.
inline constexpr int kPathEmpty = 0;
inline constexpr int kPathRelative = 1;
inline constexpr int kPathNetworkShare = 2;
inline constexpr int kPathLocalFileUrl = 3;
inline constexpr int kPathNetworkFileUrl = 4;
inline constexpr int kPathDevice = 5;
inline constexpr int kPathAbsolute = 6;

class vcFileName {
public:
    vcFileName() = default;
    // flag: accepted and ignored.
    explicit vcFileName(std::u16string_view path, bool flag = false);
    void SetName(std::u16string_view path);
    // Last component ("c.txt" of "/a/b/c.txt"); trailing separators are
    // ignored ("b" of "/a/b/"). Empty for a root ("/", "C:\").
    std::u16string GetName() const;
    // Directory part without trailing separator ("/a/b"); the root itself for
    // a name in a root directory ("/"; on Windows "C:\", "\\host\share",
    // "C:" for "C:x"), empty for a name without a directory.
    std::u16string GetPath() const;
    // Lexically normalised absolute form: "." and ".." folded (".." never
    // climbs above the root, nor above the host of a share path), repeated
    // and trailing separators dropped. Relative paths are made absolute from
    // the current directory. Links are not resolved. A share path keeps its
    // two leading slashes; a file URL stays a file URL ("file://" + host +
    // normalised path with '/', the scheme in lower case). Throws
    // tarn::Exception when a relative path meets an unreadable current
    // directory.
    // Windows: GetFullPathNameW does the work (either separator in, '\'
    // out; a share keeps "\\host\share" as its root; "\x" and "C:x" are
    // completed from the current drive and the drive's current folder; as
    // everywhere on Windows, trailing dots and spaces of a name are dropped);
    // a trailing separator is dropped except after a root ("C:\"). Device
    // paths ("\\?\") are returned as they are.
    std::u16string GetCanonicalName() const;
    bool IsRelative() const;  // kinds 0 and 1
    int GetKind() const;

private:
    std::u16string name_;
};

class vcFile {
public:
    vcFile();
    ~vcFile();  // closes (never throws)
    vcFile(const vcFile&) = delete;
    vcFile& operator=(const vcFile&) = delete;

    // Modes: a mode with bit value 2 (26) creates or empties the file and
    // opens it for writing; every other mode (17, 1) opens for reading.
    // A directory never opens. encoding and flag are accepted and ignored
    // (files are read and written as bytes). False on failure; ErrorText()
    // then says why. An open file is closed first.
    bool Open(std::u16string_view name, int mode, int encoding = 2, bool flag = true);
    // Fills the buffer as far as the file goes: a count below size means the
    // end was reached; 0 at the end. Throws tarn::Exception naming the file
    // on a read error or when no file is open.
    size_t Read(void* buffer, size_t size);
    // Writes everything; throws naming the file on failure (disk full, ...).
    void Write(const void* data, size_t size);
    // Closes the file. Throws naming the file when closing a written file
    // fails (data may not have reached the disk); the file is closed anyway.
    void Close();
    bool IsOpen() const { return file_.isOpen(); }
    const std::u16string& ErrorText() const { return error_; }

    // Whether the file opens in the mode (reading: opens and is not a
    // directory; writing: an existing file is writable, or a missing one
    // could be created in its directory). Nothing is created.
    static bool CanOpen(std::u16string_view name, int mode);
    // Copies a regular file, overwriting the target in place through
    // InPlaceFileWriter (below): an existing target keeps its identity and is
    // left as it was when the source cannot be read whole. A new target gets
    // mode 0666 less the umask (Windows: the access list its folder passes
    // on). False on any failure (missing or non-regular source, target is a
    // folder or read-only, missing target folder, write error). Windows: not
    // the system's CopyFileW, which replaces the target's attributes and
    // fails on a target that another program holds open for writing; the
    // target is written in place like any program writing to it would.
    static bool CopyFileW(std::u16string_view from, std::u16string_view to);
    // Creates the directory and missing parents; true when it exists as a
    // directory afterwards. In the user's temporary root folders are made
    // 0700 and checked on the way down (host/private_files.h); false when one
    // is refused.
    static bool MakeDirectory(std::u16string_view path);
    // Creates the directory (with parents, as MakeDirectory) when missing,
    // then an empty file <directory>/<prefix><16 random hex digits><extension>
    // with an exclusive create (POSIX: mode 0600; Windows: CREATE_NEW, the
    // folder's access list) and returns its path (on Windows with PATHSEP
    // before the file name). A dot is
    // put before an extension that lacks one. Throws tarn::Exception naming
    // the directory on failure (in the temporary root: the folder refused
    // and why).
    static std::u16string GetTempFileNameW(std::u16string_view directory, std::u16string_view prefix,
                                           std::u16string_view extension);

private:
    void closeQuietly();
    NativeFile file_;
    bool writing_ = false;
    std::u16string name_;
    std::u16string error_;
};

struct vcDirectoryItem {
    std::u16string Name;
    bool IsDirectory = false;
};

// Lists the entries of a directory whose names match a pattern: "dir/*.txt"
// is the directory "dir" and the name pattern "*.txt"; a pattern without a
// separator lists the current directory; an empty name pattern ("dir/")
// lists all. In the name pattern '*' matches any run of characters (also
// none, also a leading dot), '?' exactly one character; everything else, '['
// included, matches itself (see MatchesWildcard). The pattern "*.*" matches
// every name, with or without a dot. Links are followed to tell directories.
// POSIX: names match with case; '\' is an ordinary character.
// Windows: the folder is walked with FindFirstFileExW/FindNextFileW (long
// names only, so an 8.3 short name never matches in place of the real one)
// and names match without regard to case, as the file system treats them.
class vcDirectoryIterator {
public:
    explicit vcDirectoryIterator(std::u16string_view pattern);
    // False at the end; "." and ".." never; a missing or unreadable directory
    // gives no items.
    // POSIX: entries in name order (by their UTF-8 bytes), so that listings
    // repeat; a name that is not UTF-8 is given so that it opens again (each
    // byte outside a UTF-8 character as a lone surrogate U+DC80 to U+DCFF).
    // Windows: entries in the order FindNextFileW gives them (on NTFS,
    // roughly by upper-cased name; on other file systems, as stored).
    bool GetNextItem(vcDirectoryItem& item);

private:
    std::vector<vcDirectoryItem> items_;
    size_t next_ = 0;
};

// Whether a name matches a name pattern of vcDirectoryIterator, with case
// (the Windows listing hands both over in upper case).
bool MatchesWildcard(std::u16string_view pattern, std::u16string_view name);

// The existence test: whether the path exists (links followed) and whether it
// is a directory (isDirectory may be null). Never throws.
bool PathExists(std::u16string_view path, bool* isDirectory);

// Writes a file in place once its whole content is known. The data first go
// to a private temporary file in the user's temporary root
// (host/private_files.h; POSIX: unnamed, O_TMPFILE; Windows: a hidden name
// with FILE_FLAG_DELETE_ON_CLOSE); Commit() then writes them into the target,
// created or truncated, as any program writing to that path would. So an
// existing target keeps its inode (file ID), owner, mode (access list and
// attributes), hard links and, when it is a symbolic link, the link (the file
// it names receives the data); a folder that the
// user may not write to is no obstacle for a file that the user may write;
// and a transfer that fails or is cut short before Commit() leaves the target
// untouched (a missing target stays missing).
// The target is checked when the writer is made, before any data are
// fetched: an existing target is opened for writing there (a read-only file
// is refused), a missing one needs a folder the user may write to; a folder
// or any other non-regular file is refused. A failure while Commit() writes
// the target (disk full) leaves it incomplete, as with any in-place write.
// Throws tarn::Exception naming the target on failure.
class InPlaceFileWriter {
public:
    explicit InPlaceFileWriter(const std::u16string& target);
    InPlaceFileWriter(const InPlaceFileWriter&) = delete;
    InPlaceFileWriter& operator=(const InPlaceFileWriter&) = delete;
    void Write(const unsigned char* data, size_t size);
    void Commit();
    ~InPlaceFileWriter();

private:
    void discard() noexcept;
    std::u16string target_;
    NativeFile data_;        // the collected data; none once committed or discarded
    NativeFile targetFile_;  // an existing target, opened for writing
};

}  // namespace pelox::host
