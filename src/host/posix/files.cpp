// The POSIX side of host/files.h: files through POSIX descriptors, names
// handed to the file system as UTF-8 bytes.
#include "host/files.h"
#include "host/file_names.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "host/private_files.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::host {

namespace {

using filenames::hexText;
using filenames::parseFileUrl;
using filenames::percentDecode;
using filenames::startsWithNoCase;
using tarn::util::ConvertStringtoUTF8;
using tarn::util::ConvertUTF8toString;

std::string errnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

bool isShareForm(std::u16string_view text) { return text.size() > 2 && text[0] == u'/' && text[1] == u'/' && text[2] != u'/'; }

// Folds "." and ".." and drops empty components of an absolute path; the
// result begins with '/' and has no trailing separator (except "/" itself).
std::u16string normaliseAbsolute(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find(u'/', pos);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view part = path.substr(pos, end - pos);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::u16string out;
    for (auto part : parts) {
        out += u'/';
        out += part;
    }
    return out.empty() ? std::u16string(u"/") : out;
}

int kindOf(std::u16string_view name) {
    if (name.empty()) return kPathEmpty;
    if (auto url = parseFileUrl(name)) return url->local ? kPathLocalFileUrl : kPathNetworkFileUrl;
    if (name[0] != u'/') return kPathRelative;
    if (isShareForm(name)) return kPathNetworkShare;
    const std::u16string normal = normaliseAbsolute(name);
    if (normal == u"/dev" || normal.compare(0, 5, u"/dev/") == 0) return kPathDevice;
    return kPathAbsolute;
}

// File names are bytes, mostly but not always UTF-8 (an old Latin-1 name,
// say). A name read from the file system keeps each byte that is no part of
// a UTF-8 character as the lone surrogate U+DC80 + (byte - 0x80), which no
// UTF-8 text converts to; toFileName turns such surrogates back into their
// bytes. So a file found by a directory listing opens by the name the listing
// gave; in text for people or for the server the byte shows as U+FFFD.
std::u16string fromFileName(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const size_t length = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (length && i + length <= bytes.size()) {
            const std::string_view character = bytes.substr(i, length);
            const std::u16string wide = ConvertUTF8toString(character);
            if (ConvertStringtoUTF8(wide) == character) {
                out += wide;
                i += length;
                continue;
            }
        }
        out.push_back(static_cast<char16_t>(0xDC00 + b));
        ++i;
    }
    return out;
}

std::string toFileName(std::u16string_view name) {
    std::string out;
    size_t start = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool afterHighSurrogate = i > 0 && name[i - 1] >= 0xD800 && name[i - 1] <= 0xDBFF;
        if (name[i] < 0xDC80 || name[i] > 0xDCFF || afterHighSurrogate) continue;
        out += ConvertStringtoUTF8(name.substr(start, i - start));
        out.push_back(static_cast<char>(name[i] - 0xDC00));
        start = i + 1;
    }
    out += ConvertStringtoUTF8(name.substr(start));
    return out;
}

// The path handed to the file system: file URLs become the path they name.
// Empty when there is nothing to open (empty text, or a NUL inside, which
// would silently cut the name short).
std::string localPath(std::u16string_view name) {
    std::string path;
    if (auto url = parseFileUrl(name)) {
        path = percentDecode(ConvertStringtoUTF8(url->path));
        if (!url->local) path = "//" + ConvertStringtoUTF8(url->host) + path;
    } else {
        path = toFileName(name);
    }
    if (path.find('\0') != std::string::npos) return {};
    return path;
}

uint64_t randomNumber() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        // No entropy available yet: time and address still make a name that
        // the exclusive create then proves unused.
        value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (reinterpret_cast<uintptr_t>(&value) << 16) ^ static_cast<uint64_t>(getpid());
    }
    return value;
}

// Writes all bytes; false with errno set on failure.
bool writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Opens for reading without hanging on a FIFO that has no writer; refuses
// directories. -1 with errno set on failure.
int openForReading(const std::string& path, struct stat& info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

// ---------------------------------------------------------------- vcFileName

namespace {

// The text without trailing separators, keeping a lone root "/".
std::u16string_view withoutTrailingSeparators(std::u16string_view text) {
    while (text.size() > 1 && text.back() == u'/') text.remove_suffix(1);
    return text;
}

}  // namespace

std::u16string vcFileName::GetName() const {
    const std::u16string_view text = withoutTrailingSeparators(name_);
    const size_t slash = text.rfind(u'/');
    if (slash == std::u16string_view::npos) return std::u16string(text);
    return std::u16string(text.substr(slash + 1));
}

std::u16string vcFileName::GetPath() const {
    const std::u16string_view text = withoutTrailingSeparators(name_);
    const size_t slash = text.rfind(u'/');
    if (slash == std::u16string_view::npos) return {};
    if (slash == 0) return u"/";
    return std::u16string(withoutTrailingSeparators(text.substr(0, slash)));
}

std::u16string vcFileName::GetCanonicalName() const {
    switch (kindOf(name_)) {
        case kPathEmpty:
            return {};
        case kPathRelative: {
            std::error_code ec;
            const std::filesystem::path cwd = std::filesystem::current_path(ec);
            if (ec) throw tarn::Exception("Could not read the current directory to complete '%ls': %s", name_, ec.message());
            return normaliseAbsolute(ConvertUTF8toString(cwd.native()) + u"/" + name_);
        }
        case kPathNetworkShare: {
            const std::u16string_view rest = std::u16string_view(name_).substr(2);
            const size_t slash = rest.find(u'/');
            const std::u16string_view host = rest.substr(0, slash);
            std::u16string out = u"//" + std::u16string(host);
            if (slash != std::u16string_view::npos) {
                const std::u16string tail = normaliseAbsolute(rest.substr(slash));
                if (tail != u"/") out += tail;
            }
            return out;
        }
        case kPathLocalFileUrl:
        case kPathNetworkFileUrl: {
            const auto url = parseFileUrl(name_);
            return u"file://" + std::u16string(url->host) + normaliseAbsolute(url->path);
        }
        default:
            return normaliseAbsolute(name_);
    }
}

int vcFileName::GetKind() const { return kindOf(name_); }

// ---------------------------------------------------------------- vcFile

bool vcFile::Open(std::u16string_view name, int mode, int /*encoding*/, bool /*flag*/) {
    closeQuietly();
    error_.clear();
    name_.assign(name);
    const std::string path = localPath(name);
    if (path.empty()) {
        error_ = tarn::format("Could not open '%ls': invalid file name", name_);
        return false;
    }
    int fd;
    if (mode & 2) {
        // O_NONBLOCK: a FIFO without a reader fails at once instead of
        // blocking the caller; regular files ignore the flag.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (fd >= 0) {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
    } else {
        struct stat info {};
        fd = openForReading(path, info);
    }
    if (fd < 0) {
        error_ = tarn::format("Could not open '%ls': %s", name_, errnoText(errno));
        return false;
    }
    file_ = NativeFile(fd);
    writing_ = (mode & 2) != 0;
    return true;
}

size_t vcFile::Read(void* buffer, size_t size) {
    if (!file_) throw tarn::Exception("Could not read '%ls': the file is not open", name_);
    const int fd = static_cast<int>(file_.get());
    auto* p = static_cast<unsigned char*>(buffer);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, p + got, size - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            throw tarn::Exception("Could not read '%ls': %s", name_, errnoText(errno));
        }
    }
    return got;
}

void vcFile::Write(const void* data, size_t size) {
    if (!file_) throw tarn::Exception("Could not write '%ls': the file is not open", name_);
    if (!writeAll(static_cast<int>(file_.get()), data, size)) throw tarn::Exception("Could not write '%ls': %s", name_, errnoText(errno));
}

void vcFile::Close() {
    if (!file_) return;
    const bool wrote = writing_;
    const int result = ::close(static_cast<int>(file_.release()));
    const int error = errno;
    writing_ = false;
    // EINTR: Linux has closed the descriptor all the same.
    if (result != 0 && wrote && error != EINTR)
        throw tarn::Exception("Could not close '%ls': %s", name_, errnoText(error));
}

bool vcFile::CanOpen(std::u16string_view name, int mode) {
    if (mode & 2) {
        const std::string path = localPath(name);
        if (path.empty()) return false;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0)
            return !S_ISDIR(info.st_mode) && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
        if (errno != ENOENT) return false;
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
        return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    }
    vcFile file;
    return file.Open(name, kFileRead);
}

bool vcFile::CopyFileW(std::u16string_view from, std::u16string_view to) {
    const std::string source = localPath(from);
    if (source.empty() || localPath(to).empty()) return false;

    struct stat info {};
    const int in = openForReading(source, info);
    if (in < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closeIn{in};
    // Only regular files: a FIFO or a device could block or never end.
    if (!S_ISREG(info.st_mode)) return false;
    try {
        InPlaceFileWriter writer{std::u16string(to)};
        std::vector<unsigned char> buffer(128 * 1024);
        for (;;) {
            const ssize_t n = ::read(in, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            writer.Write(buffer.data(), static_cast<size_t>(n));
        }
        writer.Commit();
        return true;
    } catch (const tarn::Exception&) {
        return false;
    }
}

bool vcFile::MakeDirectory(std::u16string_view path) {
    const std::string local = localPath(path);
    if (local.empty()) return false;
    if (!local.empty() && local[0] == '/' && isBelowPrivateRoot(local)) {
        try {
            openPrivateDirectory(local);
            return true;
        } catch (const tarn::Exception&) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(local, ec);
    return std::filesystem::is_directory(local, ec);
}

std::u16string vcFile::GetTempFileNameW(std::u16string_view directory, std::u16string_view prefix,
                                        std::u16string_view extension) {
    const std::u16string dirText(directory);
    if (prefix.find(u'/') != std::u16string_view::npos || extension.find(u'/') != std::u16string_view::npos)
        throw tarn::Exception("Could not create a temporary file in '%ls': prefix or extension holds a separator", dirText);
    // In the temporary root the folder is opened through the checked walk and
    // the file made inside the descriptor it gives.
    NativeFile privateDir;
    int dirFd = AT_FDCWD;
    const std::string localDir = localPath(directory);
    if (!localDir.empty() && localDir[0] == '/' && isBelowPrivateRoot(localDir)) {
        privateDir = openPrivateDirectory(localDir);
        dirFd = static_cast<int>(privateDir.get());
    } else if (!MakeDirectory(directory)) {
        throw tarn::Exception("Could not create the temporary file directory '%ls'", dirText);
    }
    std::u16string base(directory);
    while (!base.empty() && base.back() == u'/') base.pop_back();
    base += u'/';
    std::u16string suffix(extension);
    if (!suffix.empty() && suffix.front() != u'.') suffix.insert(suffix.begin(), u'.');
    int lastError = EEXIST;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::u16string leaf = std::u16string(prefix) + ConvertUTF8toString(hexText(randomNumber(), 16)) + suffix;
        const std::u16string candidate = base + leaf;
        const std::string path = localPath(dirFd == AT_FDCWD ? candidate : leaf);
        if (path.empty()) break;
        // Temporary files are the user's alone.
        const int fd = ::openat(dirFd, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        lastError = errno;
        if (lastError != EEXIST) break;
    }
    throw tarn::Exception("Could not create a temporary file in '%ls': %s", dirText, errnoText(lastError));
}

// ---------------------------------------------------------------- directories

vcDirectoryIterator::vcDirectoryIterator(std::u16string_view pattern) {
    const std::string local = localPath(pattern);
    if (local.empty()) return;
    const size_t slash = local.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : local.substr(0, slash == 0 ? 1 : slash);
    const std::u16string namePattern = fromFileName(slash == std::string::npos ? local : local.substr(slash + 1));

    struct Entry {
        std::string key;
        vcDirectoryItem item;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    namespace fs = std::filesystem;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().native();
        std::u16string name16 = fromFileName(name);
        if (!MatchesWildcard(namePattern, name16)) continue;
        std::error_code typeError;
        Entry entry;
        entry.item.Name = std::move(name16);
        entry.item.IsDirectory = it->is_directory(typeError);
        entry.key = std::move(name);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    items_.reserve(entries.size());
    for (auto& entry : entries) items_.push_back(std::move(entry.item));
}

bool PathExists(std::u16string_view path, bool* isDirectory) {
    if (isDirectory) *isDirectory = false;
    const std::string local = localPath(path);
    if (local.empty()) return false;
    struct stat info {};
    if (::stat(local.c_str(), &info) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
    return true;
}

// ---------------------------------------------------------------- InPlaceFileWriter

InPlaceFileWriter::InPlaceFileWriter(const std::u16string& target) : target_(target) {
    const std::string targetPath = localPath(target_);
    if (targetPath.empty()) throw tarn::Exception("Could not write '%ls': invalid file name", target_);
    auto fail = [&](const std::string& why) { throw tarn::Exception("Could not write '%ls': %s", target_, why); };
    // A target in the temporary root: its folders are checked first, so a
    // root planted by someone else receives nothing.
    const size_t slash = targetPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : targetPath.substr(0, slash == 0 ? 1 : slash);
    if (targetPath[0] == '/' && isBelowPrivateRoot(folder)) openPrivateDirectory(folder);

    // An existing target is opened for writing now (links followed, nothing
    // truncated): a file the user may not write is refused before any data
    // are fetched, and the file written at the end is the one checked here.
    // O_NONBLOCK: a FIFO without a reader fails at once (refused below).
    const int targetFd = ::open(targetPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (targetFd >= 0) {
        targetFile_ = NativeFile(targetFd);
        struct stat info {};
        if (::fstat(targetFd, &info) != 0 || !S_ISREG(info.st_mode)) {
            discard();
            fail("it is not a regular file");
        }
        const int flags = ::fcntl(targetFd, F_GETFL);
        if (flags >= 0) ::fcntl(targetFd, F_SETFL, flags & ~O_NONBLOCK);
    } else if (errno == ENOENT) {
        if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) fail(errnoText(errno));
    } else {
        fail(errno == ENXIO ? std::string("it is not a regular file") : errnoText(errno));
    }

    // The data are collected in an unnamed file of the user's temporary root:
    // nobody else can open it, and it vanishes with the process.
    NativeFile rootDir;
    try {
        rootDir = openPrivateDirectory(privateRootPath());
    } catch (tarn::Exception& e) {
        discard();
        e.appendMessage(u"Could not write '%ls'", target_);
        throw;
    }
    const int root = static_cast<int>(rootDir.get());
    int data = ::openat(root, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (data < 0) {
        // File systems without unnamed files: a named one, removed at once.
        for (int attempt = 0; attempt < 100 && data < 0; ++attempt) {
            const std::string name = ".pelox-" + hexText(randomNumber(), 16) + ".part";
            data = ::openat(root, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (data >= 0) ::unlinkat(root, name.c_str(), 0);
            else if (errno != EEXIST) break;
        }
    }
    const int error = errno;
    rootDir.close();
    data_ = NativeFile(data);
    if (!data_) {
        discard();
        fail("no temporary file for its data: " + errnoText(error));
    }
}

void InPlaceFileWriter::Write(const unsigned char* data, size_t size) {
    if (!data_) throw tarn::Exception("Could not write '%ls': the file is already complete", target_);
    if (!writeAll(static_cast<int>(data_.get()), data, size)) {
        const int error = errno;
        discard();
        throw tarn::Exception("Could not write '%ls': %s", target_, errnoText(error));
    }
}

void InPlaceFileWriter::Commit() {
    if (!data_) throw tarn::Exception("Could not write '%ls': the file is already complete", target_);
    auto fail = [&](int error) {
        discard();
        throw tarn::Exception("Could not write '%ls': %s", target_, errnoText(error));
    };
    if (!targetFile_) {
        // Made now, so that a transfer that fails leaves no file behind.
        const int made = ::open(localPath(target_).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (made < 0) fail(errno);
        targetFile_ = NativeFile(made);
        struct stat info {};
        if (::fstat(made, &info) != 0 || !S_ISREG(info.st_mode)) fail(EINVAL);
        const int flags = ::fcntl(made, F_GETFL);
        if (flags >= 0) ::fcntl(made, F_SETFL, flags & ~O_NONBLOCK);
    }
    const int targetFd = static_cast<int>(targetFile_.get());
    const int data = static_cast<int>(data_.get());
    if (::ftruncate(targetFd, 0) != 0) fail(errno);
    if (::lseek(data, 0, SEEK_SET) != 0) fail(errno);
    std::vector<unsigned char> buffer(128 * 1024);
    for (;;) {
        const ssize_t n = ::read(data, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno);
        if (n == 0) break;
        if (!writeAll(targetFd, buffer.data(), static_cast<size_t>(n))) fail(errno);
    }
    // File systems without fsync support report EINVAL; that is no failure.
    if (::fsync(targetFd) != 0 && errno != EINVAL && errno != ENOTSUP) fail(errno);
    const int closed = ::close(static_cast<int>(targetFile_.release()));
    if (closed != 0 && errno != EINTR) fail(errno);
    discard();
}

void InPlaceFileWriter::discard() noexcept {
    data_.close();
    targetFile_.close();
}

InPlaceFileWriter::~InPlaceFileWriter() { discard(); }

}  // namespace pelox::host
