#include "jail.h"

#include "util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

namespace fs = std::filesystem;

namespace emu {

namespace {

constexpr int kMaxLinks = 40;    // links followed in one lookup
constexpr int kMaxRetries = 16;  // lookups started again after a name changed under us
constexpr int kMaxDepth = 256;   // names in one location

std::vector<std::string> namesOf(const fs::path& p) {
    std::vector<std::string> out;
    for (const auto& part : p) {
        std::string s = part.string();
        if (s.empty() || s == "." || s == "/") continue;
        out.push_back(std::move(s));
    }
    return out;
}

// The names of p below prefix when p lies lexically inside it.
bool stripPrefix(const fs::path& prefix, const fs::path& p, fs::path& rest) {
    auto pre = namesOf(prefix.lexically_normal());
    auto all = namesOf(p.lexically_normal());
    if (all.size() < pre.size() || !std::equal(pre.begin(), pre.end(), all.begin())) return false;
    rest.clear();
    for (size_t i = pre.size(); i < all.size(); ++i) rest /= all[i];
    return true;
}

std::string display(const fs::path& rel) { return rel.empty() ? std::string(".") : rel.generic_string(); }

[[noreturn]] void outside(const fs::path& rel) { fail("path lies outside the server root: " + display(rel), 403); }

}  // namespace

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// Where a lookup ended: the folder that holds the last name (an open
// descriptor, reached without following any link) and that name; "." when
// the location is the folder itself.
struct Jail::Found {
    Fd dir;
    std::vector<std::string> at;  // the folder's names below the jail
    std::string leaf;
    bool exists = false;
    struct stat st {};
    fs::path rel() const {
        fs::path p;
        for (auto& n : at) p /= n;
        if (leaf != ".") p /= leaf;
        return p;
    }
};

Jail::Jail(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    path_ = fs::canonical(dir, ec);
    if (ec) throw std::runtime_error("cannot open the folder " + dir.string() + ": " + ec.message());
    fd_ = Fd(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd_) throw std::runtime_error("cannot open the folder " + path_.string() + ": " + std::strerror(errno));
}

void Jail::addAlias(const fs::path& alias) {
    if (alias.is_absolute()) aliases_.push_back(alias.lexically_normal());
}

Fd Jail::dupRoot() const {
    Fd d(::openat(fd_.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!d) fail(std::string("server folder cannot be opened: ") + std::strerror(errno), 500);
    return d;
}

fs::path Jail::locate(std::string_view clientPath, const fs::path& base) const {
    if (clientPath.empty()) fail("empty path", 400);
    if (clientPath.find('\0') != std::string_view::npos) fail("path holds a NUL character", 400);
    std::string p(clientPath);
    std::replace(p.begin(), p.end(), '\\', '/');
    fs::path given(p);
    fs::path rel;
    if (given.is_absolute()) {
        bool inside = stripPrefix(path_, given, rel);
        for (const auto& a : aliases_)
            if (!inside) inside = stripPrefix(a, given, rel);
        if (!inside) fail("path lies outside the server root: " + std::string(clientPath), 403);
        // ".." in an absolute path was resolved lexically by the strip; a
        // path such as <root>/../x does not strip and is refused above.
        return rel;
    }
    // "name/.." pairs cancel out here, so that a lookup never creates a
    // folder only to leave it; ".." above the jail is refused.
    std::vector<std::string> names = namesOf(base);
    for (auto& n : namesOf(given)) {
        if (n != "..") {
            names.push_back(n);
            continue;
        }
        if (names.empty()) fail("path lies outside the server root: " + std::string(clientPath), 403);
        names.pop_back();
    }
    for (auto& n : names) rel /= n;
    return rel;
}

// Reads the link `name` in f's folder and puts its target's names in front
// of the names still to walk (from the jail's folder for an absolute target,
// which must lie inside). False when the name is no longer a link.
bool Jail::followLink(Found& f, const std::string& name, std::deque<std::string>& todo, const fs::path& rel) const {
    char buf[4096];
    ssize_t n = ::readlinkat(f.dir.get(), name.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        if (errno == EINVAL) return false;
        fail("link cannot be read: " + display(rel), 403);
    }
    fs::path target(std::string(buf, size_t(n)));
    if (target.is_absolute()) {
        fs::path inner;
        if (!stripPrefix(path_, target, inner)) outside(rel);
        f.at.clear();
        f.dir = dupRoot();
        target = inner;
    }
    auto names = namesOf(target);
    todo.insert(todo.begin(), names.begin(), names.end());
    return true;
}

// Walks rel from the jail's folder. Links are read and followed here while
// they stay inside; every folder is opened with O_NOFOLLOW relative to the
// one before, so what was checked is what gets used. A name that changes
// kind under the walk (a folder replaced by a link) starts it again.
Jail::Found Jail::walk(const fs::path& rel, Walk how, bool followLast) const {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        std::deque<std::string> todo;
        for (auto& n : namesOf(rel)) todo.push_back(n);
        Found f;
        f.dir = dupRoot();
        int links = 0;
        bool retry = false;
        while (!todo.empty() && !retry) {
            std::string name = todo.front();
            todo.pop_front();
            if (name == ".") continue;
            if (name == "..") {
                if (f.at.empty()) outside(rel);
                f.at.pop_back();
                f.dir = openFolder(f.at);
                continue;
            }
            if (f.at.size() >= size_t(kMaxDepth)) fail("path is too deep: " + display(rel), 400);
            const bool last = std::none_of(todo.begin(), todo.end(), [](const std::string& n) { return n != "."; });
            struct stat st {};
            if (::fstatat(f.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) fail("path cannot be looked up: " + display(rel) + ": " + std::strerror(errno), 403);
                if (last) {
                    f.leaf = name;  // to be created
                    return f;
                }
                if (how != Walk::MakeParents) fail("not found: " + display(rel), 404);
                if (::mkdirat(f.dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
                    fail("folder cannot be created: " + display(rel) + ": " + std::strerror(errno), 500);
                todo.push_front(name);  // and look again
                continue;
            }
            if (S_ISLNK(st.st_mode) && (followLast || !last)) {
                if (++links > kMaxLinks) fail("too many symbolic links: " + display(rel), 403);
                retry = !followLink(f, name, todo, rel);
                continue;
            }
            if (last) {
                f.leaf = name;
                f.exists = true;
                f.st = st;
                return f;
            }
            if (!S_ISDIR(st.st_mode)) fail("not a folder: " + display(rel), 404);
            Fd next(::openat(f.dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                retry = errno == ELOOP || errno == ENOTDIR || errno == ENOENT;
                if (!retry) fail("folder cannot be opened: " + display(rel) + ": " + std::strerror(errno), 403);
                continue;
            }
            f.dir = std::move(next);
            f.at.push_back(name);
        }
        if (retry) continue;
        // The location is a folder reached through "..", or the jail itself.
        f.leaf = ".";
        f.exists = ::fstat(f.dir.get(), &f.st) == 0;
        return f;
    }
    fail("path keeps changing: " + display(rel), 503);
}

Fd Jail::openFolder(const std::vector<std::string>& names) const {
    Fd d = dupRoot();
    for (const auto& n : names) {
        Fd next(::openat(d.get(), n.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) fail("folder changed during the lookup: " + n, 503);
        d = std::move(next);
    }
    return d;
}

fs::path Jail::shown(const fs::path& rel) const {
    Found f = walk(rel, Walk::Lookup);
    fs::path r = f.rel();
    return r.empty() ? path_ : path_ / r;
}

bool Jail::exists(const fs::path& rel) const {
    try {
        return walk(rel, Walk::Lookup).exists;
    } catch (const Fault& e) {
        if (e.httpStatus == 404) return false;  // a folder on the way is missing
        throw;
    }
}

bool Jail::isFile(const fs::path& rel) const {
    try {
        Found f = walk(rel, Walk::Lookup);
        return f.exists && S_ISREG(f.st.st_mode);
    } catch (const Fault& e) {
        if (e.httpStatus == 404) return false;
        throw;
    }
}

bool Jail::isFolder(const fs::path& rel) const {
    try {
        Found f = walk(rel, Walk::Lookup);
        return f.exists && S_ISDIR(f.st.st_mode);
    } catch (const Fault& e) {
        if (e.httpStatus == 404) return false;
        throw;
    }
}

std::vector<DirEntry> Jail::list(const fs::path& rel) const {
    Found f = walk(rel, Walk::Lookup);
    if (!f.exists || !S_ISDIR(f.st.st_mode)) fail("folder not found: " + display(rel), 404);
    int dfd = ::openat(f.dir.get(), f.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) fail("folder cannot be read: " + display(rel), errno == ELOOP || errno == ENOTDIR ? 403 : 404);
    DIR* d = ::fdopendir(dfd);
    if (!d) {
        ::close(dfd);
        fail("folder cannot be read: " + display(rel), 500);
    }
    const fs::path here = f.rel();
    std::vector<DirEntry> out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        DirEntry entry;
        entry.name = name;
        if (S_ISLNK(st.st_mode)) {
            // Described by its target, when that lies inside; else not shown.
            try {
                Found t = walk(here / name, Walk::Lookup);
                if (!t.exists) continue;
                st = t.st;
                entry.isLink = true;
            } catch (const Fault&) {
                continue;
            }
        }
        entry.isFolder = S_ISDIR(st.st_mode);
        entry.size = entry.isFolder ? 0 : static_cast<unsigned long long>(st.st_size);
        entry.modified = st.st_mtim.tv_sec;
        out.push_back(std::move(entry));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return out;
}

Fd Jail::openRead(const fs::path& rel) const {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        Found f = walk(rel, Walk::Lookup);
        if (!f.exists || !S_ISREG(f.st.st_mode)) fail("file not found: " + display(rel), 404);
        Fd fd(::openat(f.dir.get(), f.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno == ELOOP || errno == ENOENT) continue;  // changed since the walk
            fail("file cannot be opened: " + display(rel) + ": " + std::strerror(errno), 404);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fail("file not found: " + display(rel), 404);
        ::fcntl(fd.get(), F_SETFL, 0);
        return fd;
    }
    fail("path keeps changing: " + display(rel), 503);
}

std::string Jail::read(const fs::path& rel, size_t maxBytes) const {
    Fd fd = openRead(rel);
    struct stat st {};
    ::fstat(fd.get(), &st);
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) fail("file is larger than the transfer limit", 413);
    std::string data;
    data.reserve(size_t(st.st_size));
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("file cannot be read: " + display(rel), 500);
        if (n == 0) break;
        data.append(buf, size_t(n));
        if (data.size() > maxBytes) fail("file is larger than the transfer limit", 413);
    }
    return data;
}

Fd Jail::openWrite(const fs::path& rel, bool append) const {
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        Found f = walk(rel, Walk::MakeParents);
        if (f.exists && S_ISDIR(f.st.st_mode)) fail("destination is a folder: " + display(rel), 409);
        if (f.exists && !S_ISREG(f.st.st_mode)) fail("destination is not a regular file: " + display(rel), 409);
        int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
        Fd fd(::openat(f.dir.get(), f.leaf.c_str(), flags, 0644));
        if (!fd) {
            if (errno == ELOOP) continue;  // a link appeared since the walk
            if (errno == EISDIR) fail("destination is a folder: " + display(rel), 409);
            fail("file cannot be written: " + display(rel) + ": " + std::strerror(errno), 500);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fail("destination is not a regular file: " + display(rel), 409);
        ::fcntl(fd.get(), F_SETFL, append ? O_APPEND : 0);
        return fd;
    }
    fail("path keeps changing: " + display(rel), 503);
}

static void writeAllTo(int fd, std::string_view data, const fs::path& rel) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("file cannot be written: " + display(rel) + ": " + std::strerror(errno), 500);
        data.remove_prefix(size_t(n));
    }
}

void Jail::write(const fs::path& rel, std::string_view data, bool append) const {
    Fd fd = openWrite(rel, append);
    writeAllTo(fd.get(), data, rel);
}

void Jail::replace(const fs::path& rel, const std::function<void(int)>& fill) const {
    Found f = walk(rel, Walk::MakeParents);
    if (f.leaf == "." || (f.exists && S_ISDIR(f.st.st_mode))) fail("destination is a folder: " + display(rel), 409);
    if (f.exists && !S_ISREG(f.st.st_mode)) fail("destination is not a regular file: " + display(rel), 409);
    std::string temp = "." + f.leaf + ".part-" + randomHex(8);
    Fd fd(::openat(f.dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) fail("file cannot be written: " + display(rel) + ": " + std::strerror(errno), 500);
    try {
        fill(fd.get());
    } catch (...) {
        ::unlinkat(f.dir.get(), temp.c_str(), 0);
        throw;
    }
    // renameat replaces the name itself: a link put there meanwhile is
    // replaced, never followed.
    if (::renameat(f.dir.get(), temp.c_str(), f.dir.get(), f.leaf.c_str()) != 0) {
        int err = errno;
        ::unlinkat(f.dir.get(), temp.c_str(), 0);
        fail("file cannot be written: " + display(rel) + ": " + std::strerror(err), err == EISDIR ? 409 : 500);
    }
}

void Jail::makeFolders(const fs::path& rel) const {
    Found f = walk(rel, Walk::MakeParents);
    if (f.exists) {
        if (!S_ISDIR(f.st.st_mode)) fail("not a folder: " + display(rel), 409);
        return;
    }
    if (::mkdirat(f.dir.get(), f.leaf.c_str(), 0755) != 0 && errno != EEXIST)
        fail("folder cannot be created: " + display(rel) + ": " + std::strerror(errno), 500);
}

void Jail::remove(const fs::path& rel) const {
    Found f = walk(rel, Walk::Lookup, false);
    if (!f.exists || f.leaf == ".") fail("not found: " + display(rel), 404);
    if (::unlinkat(f.dir.get(), f.leaf.c_str(), S_ISDIR(f.st.st_mode) ? AT_REMOVEDIR : 0) != 0)
        fail("cannot be removed: " + display(rel) + ": " + std::strerror(errno), 500);
}

void Jail::removeTreeAt(int dirFd, const std::string& name, int depth) const {
    if (depth > kMaxDepth) return;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            if (DIR* d = ::fdopendir(sub)) {
                std::vector<std::string> names;
                while (dirent* e = ::readdir(d))
                    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
                for (const auto& n : names) removeTreeAt(::dirfd(d), n, depth + 1);
                ::closedir(d);
            } else {
                ::close(sub);
            }
        }
        ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
    } else {
        // A link is removed itself, never what it points to.
        ::unlinkat(dirFd, name.c_str(), 0);
    }
}

void Jail::removeTree(const fs::path& rel) const {
    Found f;
    try {
        f = walk(rel, Walk::Lookup, false);
    } catch (const Fault& e) {
        if (e.httpStatus == 404) return;
        throw;
    }
    if (!f.exists) return;
    if (f.leaf == ".") fail("a folder cannot remove itself: " + display(rel), 403);
    removeTreeAt(f.dir.get(), f.leaf, 0);
}

void Jail::rename(const fs::path& from, const fs::path& to) const {
    Found a = walk(from, Walk::Lookup, false);
    if (!a.exists || a.leaf == ".") fail("not found: " + display(from), 404);
    Found b = walk(to, Walk::MakeParents);
    if (b.leaf == ".") fail("destination is a folder: " + display(to), 409);
    if (::renameat(a.dir.get(), a.leaf.c_str(), b.dir.get(), b.leaf.c_str()) != 0)
        fail("cannot be moved: " + display(from) + ": " + std::strerror(errno), 500);
}

Jail Jail::sub(const fs::path& rel) const {
    Found f = walk(rel, Walk::Lookup);
    if (!f.exists || !S_ISDIR(f.st.st_mode)) fail("folder not found: " + display(rel), 404);
    Fd d(::openat(f.dir.get(), f.leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!d) fail("folder cannot be opened: " + display(rel), 403);
    fs::path r = f.rel();
    return Jail(std::move(d), r.empty() ? path_ : path_ / r);
}

}  // namespace emu
