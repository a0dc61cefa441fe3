// Confinement of client-supplied paths to a directory (the server root, the
// catalogue, a job directory), safe against symbolic links.
//
// Every lookup walks the path one name at a time from an open descriptor of
// the directory. The kernel is never asked to follow a symbolic link: each
// name is opened with O_NOFOLLOW, and a link met on the way is read and
// followed here, only while its target stays inside. A link that leads out,
// dangling or not, is refused; a link swapped in between a check and the open
// makes the open fail (ELOOP) and the lookup starts again. So no operation
// can read, write, list, move or delete anything outside the directory.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Owns a file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset();

private:
    int fd_ = -1;
};

struct DirEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;  // a symbolic link whose target lies inside (metadata: the target's)
    unsigned long long size = 0;
    std::time_t modified = 0;
};

class Jail {
public:
    // Opens dir (created when missing). Throws std::runtime_error when it
    // cannot be opened.
    explicit Jail(const std::filesystem::path& dir);
    // The canonical absolute path of the directory.
    const std::filesystem::path& path() const { return path_; }
    // Another absolute spelling of the directory that client paths may use
    // (e.g. the root as given on the command line, before links resolved).
    void addAlias(const std::filesystem::path& alias);

    // A client path as a path relative to the jail: absolute paths must start
    // with the jail's path (or an alias), relative ones are taken relative to
    // base (itself relative to the jail). Backslashes count as separators;
    // "." and empty names are dropped; ".." is kept for the walk. Throws Fault
    // 400 for an empty path or one holding NUL, 403 for an absolute path
    // elsewhere.
    std::filesystem::path locate(std::string_view clientPath, const std::filesystem::path& base = {}) const;
    // The absolute path of a location, with every link on the way resolved
    // (for messages, logs and paths handed to clients).
    std::filesystem::path shown(const std::filesystem::path& rel) const;

    // --- queries (links inside followed; a path leading out: Fault 403; a
    // missing folder on the way: false)
    bool exists(const std::filesystem::path& rel) const;
    bool isFile(const std::filesystem::path& rel) const;
    bool isFolder(const std::filesystem::path& rel) const;
    // Entries of a folder, sorted by name. Entries that are links leading
    // outside, or dangling, are left out. Fault 404 when rel is no folder.
    std::vector<DirEntry> list(const std::filesystem::path& rel) const;

    // --- reading and writing (Fault 404 missing, 409 a folder, 413 too large)
    Fd openRead(const std::filesystem::path& rel) const;  // a regular file
    std::string read(const std::filesystem::path& rel, size_t maxBytes) const;
    // Creates missing parent folders; the file is created, truncated or
    // appended to.
    Fd openWrite(const std::filesystem::path& rel, bool append) const;
    void write(const std::filesystem::path& rel, std::string_view data, bool append) const;
    // Writes a new file beside the destination with fill(fd), then renames it
    // over the destination, so readers never see a half-written file and a
    // failed fill leaves the destination as it was.
    void replace(const std::filesystem::path& rel, const std::function<void(int fd)>& fill) const;

    // --- folders, moves and removal
    void makeFolders(const std::filesystem::path& rel) const;
    // A link named last is removed or moved itself, never what it points to.
    void remove(const std::filesystem::path& rel) const;     // a file; Fault 404 when missing
    void removeTree(const std::filesystem::path& rel) const;  // missing: nothing happens
    void rename(const std::filesystem::path& from, const std::filesystem::path& to) const;
    // A jail of a folder inside this one.
    Jail sub(const std::filesystem::path& rel) const;

private:
    Jail(Fd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}
    struct Found;
    enum class Walk { Lookup, MakeParents };
    // followLast false: a link as the last name is the location itself (for
    // removing or moving it), not followed.
    Found walk(const std::filesystem::path& rel, Walk how, bool followLast = true) const;
    bool followLink(Found& f, const std::string& name, std::deque<std::string>& todo,
                    const std::filesystem::path& rel) const;
    Fd openFolder(const std::vector<std::string>& names) const;
    Fd dupRoot() const;
    void removeTreeAt(int dirFd, const std::string& name, int depth) const;

    Fd fd_;
    std::filesystem::path path_;
    std::vector<std::filesystem::path> aliases_;
};

}  // namespace emu
