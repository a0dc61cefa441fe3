#include "host/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::host {

namespace {

std::string errnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The components of an absolute path with "." and ".." folded.
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

// The components of path below the temporary root, the root's own name
// first; false when path is not the root or below it.
bool partsFromRoot(const std::string& path, std::vector<std::string>& out) {
    if (path.empty() || path[0] != '/') return false;
    const std::vector<std::string> root = components(privateRootPath());
    const std::vector<std::string> all = components(path);
    if (root.empty() || all.size() < root.size()) return false;
    for (size_t i = 0; i < root.size(); ++i)
        if (all[i] != root[i]) return false;
    out.assign(all.begin() + static_cast<std::ptrdiff_t>(root.size() - 1), all.end());
    return true;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        const int out = fd;
        fd = -1;
        return out;
    }
};

// What is wrong with the entry name in dir that could not be opened as a
// folder without following links.
std::string whyNotOpened(int dir, const std::string& name, int error) {
    struct stat info {};
    if ((error == ELOOP || error == ENOTDIR) && ::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(info.st_mode)) return "it is a symbolic link";
        if (!S_ISDIR(info.st_mode)) return "it is not a folder";
    }
    return errnoText(error);
}

// What is wrong with an opened folder, or "" when it is this user's own and
// closed to everyone else's writing.
std::string whyNotPrivate(const struct stat& info) {
    if (!S_ISDIR(info.st_mode)) return "it is not a folder";
    if (info.st_uid != ::geteuid())
        return "it belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
               std::to_string(::geteuid()) + ")";
    if (info.st_mode & (S_IWGRP | S_IWOTH)) return "group or others may write to it (mode " + octal(info.st_mode) + ")";
    return {};
}

}  // namespace

void NativeFile::close() noexcept {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

std::string privateRootPath() {
    std::string temp = tarn::util::ConvertStringtoUTF8(tarn::util::getTempPath());
    while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
    if (temp != "/") temp += '/';
    return temp + "qorvane-" + std::to_string(::geteuid());
}

bool isBelowPrivateRoot(const std::string& path) {
    std::vector<std::string> parts;
    return partsFromRoot(path, parts);
}

NativeFile openPrivateDirectory(const std::string& path) {
    std::vector<std::string> parts;
    if (!partsFromRoot(path, parts))
        throw tarn::Exception("Refusing the folder '%s': it is not in this user's temporary folder '%s'", path,
                              privateRootPath());
    const std::string root = privateRootPath();
    const size_t slash = root.rfind('/');
    std::string where = slash != std::string::npos && slash > 0 ? root.substr(0, slash) : std::string(1, '/');
    // The system's temporary folder itself is the administrator's (or, through
    // TMPDIR, the user's own) choice and is opened as it is.
    Fd dir{::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0)
        throw tarn::Exception("Could not open the temporary folder '%s': %s", where, errnoText(errno));
    for (const std::string& name : parts) {
        where += (where.back() == '/' ? "" : "/") + name;
        if (::mkdirat(dir.fd, name.c_str(), 0700) != 0 && errno != EEXIST)
            throw tarn::Exception("Could not create the temporary folder '%s': %s", where, errnoText(errno));
        Fd next{::openat(dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (next.fd < 0)
            throw tarn::Exception("Refusing the temporary folder '%s': %s", where, whyNotOpened(dir.fd, name, errno));
        struct stat info {};
        if (::fstat(next.fd, &info) != 0)
            throw tarn::Exception("Could not examine the temporary folder '%s': %s", where, errnoText(errno));
        if (const std::string why = whyNotPrivate(info); !why.empty())
            throw tarn::Exception("Refusing the temporary folder '%s': %s", where, why);
        std::swap(dir.fd, next.fd);
    }
    return NativeFile(dir.release());
}

NativeFile openPrivateAppend(const std::string& path, std::string& why) {
    // O_NONBLOCK: a FIFO planted at the name fails at once instead of
    // blocking the caller until it has a reader (it is refused below).
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    why.clear();
    Fd file;
    if (isBelowPrivateRoot(path)) {
        const size_t slash = path.rfind('/');
        NativeFile dir;
        try {
            dir = openPrivateDirectory(path.substr(0, slash == 0 ? 1 : slash));
        } catch (const tarn::Exception& e) {
            why = tarn::util::ConvertStringtoUTF8(e.getErrorMessage(0));
            return {};
        }
        file.fd = ::openat(static_cast<int>(dir.get()), path.c_str() + slash + 1, kFlags, 0600);
    } else {
        file.fd = ::open(path.c_str(), kFlags, 0600);
    }
    if (file.fd < 0) {
        why = errno == ELOOP ? std::string("it is a symbolic link") : errnoText(errno);
        return {};
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) {
        why = errnoText(errno);
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        why = "it is not a regular file";
        return {};
    }
    if (info.st_uid != ::geteuid()) {
        why = "it belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
              std::to_string(::geteuid()) + ")";
        return {};
    }
    const int flags = ::fcntl(file.fd, F_GETFL);
    if (flags >= 0) ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
    return NativeFile(file.release());
}

bool writeAll(const NativeFile& file, const std::string& text) {
    if (!file) return false;
    const int fd = static_cast<int>(file.get());
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace pelox::host
