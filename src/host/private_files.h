// Files and folders that belong to the user alone, on a machine other users
// share.
//
// POSIX: the temporary root is <system temp>/qorvane-<uid>, one per user: the
// system's temporary folder is writable by everybody, so a fixed shared name
// there could be made first by someone else (as a folder of theirs or as a
// link to one) and would then receive this user's files. Everything the
// library keeps there (client-step folders and files, the default error log,
// data collected before a file is overwritten) is reached through
// openPrivateDirectory, which walks from the root down without following
// links and accepts only folders of this user that nobody else may write to.
// A root that fails is refused with an error naming it; nothing is written
// into it.
//
// Windows: the temporary root is <GetTempPathW()>qorvane. The system gives
// every user a temporary folder of their own (in the user's profile, closed
// to other users by its access list), so the root needs no user number in its
// name and its folders are not checked for owner or access list: they inherit
// the private access list of the user's temporary folder. What
// openPrivateDirectory does refuse there is a link or junction (a reparse
// point) at any folder from the root down. Each folder is opened without
// sharing the right to delete it, and NTFS refuses to rename a folder below
// which a handle is open, so while the returned folder is held open neither it
// nor a folder above it can be swapped for a link. A
// temporary folder that the user pointed at a shared place (TMP=C:\Temp) is
// the user's own choice and is not second-guessed.
//
// Log files (the error log, the wire trace) are opened with
// openPrivateAppend: a link planted at the name is not followed, and only a
// regular file (POSIX: of this user) is written to.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace pelox::host {

// An open file or folder of the platform, closed with the object: a
// descriptor on POSIX, a HANDLE on Windows, kept as an integer so that this
// header needs no system header. -1 (also the value of INVALID_HANDLE_VALUE)
// means none.
class NativeFile {
public:
    using Handle = std::intptr_t;
    static constexpr Handle kNone = -1;

    NativeFile() = default;
    explicit NativeFile(Handle handle) : handle_(handle) {}
    NativeFile(NativeFile&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
    NativeFile& operator=(NativeFile&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, kNone);
        }
        return *this;
    }
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;
    ~NativeFile() { close(); }

    bool isOpen() const { return handle_ != kNone; }
    explicit operator bool() const { return isOpen(); }
    Handle get() const { return handle_; }
    Handle release() { return std::exchange(handle_, kNone); }
    // Closes the file (never throws; a failure is ignored).
    void close() noexcept;

private:
    Handle handle_ = kNone;
};

// The user's temporary root, UTF-8, without a trailing separator. POSIX:
// <system temp>/qorvane-<effective uid>; Windows: <GetTempPathW()>qorvane.
// Nothing is created.
std::string privateRootPath();

// Whether the path (UTF-8, absolute) is the temporary root or lies below it,
// compared after folding "." and ".." (on Windows with either separator and
// without regard to case).
bool isBelowPrivateRoot(const std::string& path);

// Opens the folder at path (the temporary root or a folder below it),
// creating missing folders (POSIX: with mode 0700). POSIX: every folder from
// the root down is opened without following links and must be a folder owned
// by this user that neither group nor others may write to; the result is a
// descriptor (O_DIRECTORY, close-on-exec) for the *at() calls. Windows: every
// folder from the root down must be a folder and no reparse point; the result
// is the folder's handle, which (on NTFS) keeps it and the folders above it
// from being renamed while it is open. Throws tarn::Exception naming the folder and what
// is wrong with it.
NativeFile openPrivateDirectory(const std::string& path);

// Opens a file for appending, created when missing (POSIX: O_WRONLY |
// O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode 0600 when made; Windows:
// append-only access, so that every write lands at the end, with the reparse
// point at the name itself opened, not followed). Only a regular file (POSIX:
// owned by this user) is accepted. A file in the temporary root (the default
// error log) has its folders checked by openPrivateDirectory first. Returns
// the open file, or none with why saying what was wrong.
NativeFile openPrivateAppend(const std::string& path, std::string& why);

// Writes all of text to the file in as few writes as the system allows (one,
// for a log line: appended in one piece, lines of several processes do not
// interleave), retrying after a signal. False when a write fails.
bool writeAll(const NativeFile& file, const std::string& text);

}  // namespace pelox::host
