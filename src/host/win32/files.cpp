// The Windows side of host/files.h: files through the wide Win32 calls, names
// handed over as UTF-16 unchanged.
#include "host/files.h"
#include "host/file_names.h"

#include "host/win32/wide_path.h"

#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

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
using win32::errorText;
using win32::fromWide;
using win32::toWide;

bool isSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

HANDLE handleOf(const NativeFile& file) { return reinterpret_cast<HANDLE>(file.get()); }

NativeFile adopt(HANDLE handle) { return NativeFile(reinterpret_cast<NativeFile::Handle>(handle)); }

// "\\.\" or "\\?\", either separator: the Win32 device and file namespaces.
bool isDeviceForm(std::u16string_view p) {
    return p.size() >= 4 && isSeparator(p[0]) && isSeparator(p[1]) && (p[2] == u'.' || p[2] == u'?') &&
           isSeparator(p[3]);
}

// Two separators and a host name: "\\host\share".
bool isShareForm(std::u16string_view p) {
    return p.size() > 2 && isSeparator(p[0]) && isSeparator(p[1]) && !isSeparator(p[2]) && !isDeviceForm(p);
}

bool isDriveForm(std::u16string_view p) { return p.size() >= 2 && isDriveLetter(p[0]) && p[1] == u':'; }

// The end of a run of characters other than separators, from pos.
size_t componentEnd(std::u16string_view p, size_t pos) {
    while (pos < p.size() && !isSeparator(p[pos])) ++pos;
    return pos;
}

// "host\share" from pos, with the separator after it: the root of a share.
size_t shareRootEnd(std::u16string_view p, size_t pos) {
    size_t end = componentEnd(p, pos);
    if (end < p.size()) end = componentEnd(p, end + 1);
    if (end < p.size()) ++end;
    return end;
}

// The length of the root of a path: "C:\" (3), "C:" (2), "\" (1),
// "\\host\share\", "\\?\C:\", "\\?\UNC\host\share\", "\\.\device\"; 0 for a
// relative path.
size_t rootLength(std::u16string_view p) {
    if (isDeviceForm(p)) {
        const std::u16string_view rest = p.substr(4);
        if (rest.size() >= 4 && startsWithNoCase(rest, u"UNC") && isSeparator(rest[3])) return shareRootEnd(p, 8);
        if (isDriveForm(rest)) return rest.size() > 2 && isSeparator(rest[2]) ? 7 : 6;
        size_t end = componentEnd(p, 4);
        if (end < p.size()) ++end;
        return end;
    }
    if (isShareForm(p)) return shareRootEnd(p, 2);
    if (isDriveForm(p)) return p.size() > 2 && isSeparator(p[2]) ? 3 : 2;
    if (!p.empty() && isSeparator(p[0])) return 1;
    return 0;
}

int kindOf(std::u16string_view name) {
    if (name.empty()) return kPathEmpty;
    if (auto url = parseFileUrl(name)) return url->local ? kPathLocalFileUrl : kPathNetworkFileUrl;
    if (isDeviceForm(name)) return kPathDevice;
    if (isShareForm(name)) return kPathNetworkShare;
    if (isDriveForm(name) && name.size() > 2 && isSeparator(name[2])) return kPathAbsolute;
    return kPathRelative;  // also "\x" (current drive) and "C:x" (current folder of C:)
}

std::wstring withBackslashes(std::u16string_view text) {
    std::wstring out = toWide(text);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

// The path handed to the file system: file URLs become the path they name
// ("file:///C:/x" is "C:\x", "file://host/share/x" is "\\host\share\x"); '/'
// becomes '\' except in a "\\?\" path, which the system takes literally.
// Empty when there is nothing to open (empty text, or a NUL inside, which
// would silently cut the name short).
std::wstring localPath(std::u16string_view name) {
    std::wstring path;
    if (auto url = parseFileUrl(name)) {
        std::u16string decoded = ConvertUTF8toString(percentDecode(ConvertStringtoUTF8(url->path)));
        if (!url->local) {
            path = L"\\\\" + withBackslashes(url->host) + withBackslashes(decoded);
        } else {
            // "/C:/dir" names the drive path "C:\dir".
            std::u16string_view local = decoded;
            if (local.size() >= 3 && isSeparator(local[0]) && isDriveForm(local.substr(1))) local.remove_prefix(1);
            path = withBackslashes(local);
        }
    } else if (name.size() >= 4 && name.substr(0, 4) == u"\\\\?\\") {
        path = toWide(name);
    } else {
        path = withBackslashes(name);
    }
    if (path.find(L'\0') != std::wstring::npos) return {};
    return path;
}

std::string utf8(const std::wstring& path) { return ConvertStringtoUTF8(fromWide(path)); }

// The folder of a file path: "C:\d" of "C:\d\x", "C:\" of "C:\x", "C:" of
// "C:x", "." of "x".
std::wstring parentOf(const std::wstring& path) {
    const std::u16string text = fromWide(path);
    const size_t root = rootLength(text);
    size_t slash = text.size();
    while (slash > root && !isSeparator(text[slash - 1])) --slash;
    if (slash <= root) return root > 0 ? path.substr(0, root) : std::wstring(L".");
    size_t end = slash - 1;
    while (end > root && isSeparator(text[end - 1])) --end;
    return path.substr(0, std::max(end, root));
}

// Whether the user may create a file in the folder: the folder opens with the
// right to add a file (the access list decides, as it will for the create).
bool mayAddFile(const std::wstring& folder) {
    HANDLE h = ::CreateFileW(folder.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

bool isDirectoryPath(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens a file for reading, sharing it with every other reader and writer.
HANDLE openForReading(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A regular file: on disk, not a folder (not a pipe, console or device).
bool isRegularFile(HANDLE h) {
    if (::GetFileType(h) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t randomNumber() {
    uint64_t value = 0;
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        // No random source: time and address still make a name that the
        // exclusive create then proves unused.
        value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (reinterpret_cast<uintptr_t>(&value) << 16) ^ static_cast<uint64_t>(::GetCurrentProcessId());
    }
    return value;
}

// Writes all bytes; false with the error left for GetLastError on failure.
bool writeAll(HANDLE h, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(h, p, chunk, &written, nullptr)) return false;
        if (written == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

// Reads up to size bytes; 0 at the end; false with GetLastError on failure.
bool readSome(HANDLE h, void* buffer, size_t size, size_t& got) {
    DWORD n = 0;
    got = 0;
    if (!::ReadFile(h, buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &n, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return true;  // the end
        return false;
    }
    got = n;
    return true;
}

// Upper case as the file system compares names (invariant, whole Unicode).
std::u16string upperCase(std::u16string_view text) {
    if (text.empty()) return {};
    const std::wstring in = toWide(text);
    std::wstring out(in.size() * 2 + 8, L'\0');
    const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, in.c_str(), static_cast<int>(in.size()),
                                  out.data(), static_cast<int>(out.size()), nullptr, nullptr, 0);
    if (n <= 0) return tarn::util::toUpperAscii(text);
    out.resize(static_cast<size_t>(n));
    return fromWide(out);
}

// Folds "." and ".." and drops empty components of a URL path (either
// separator in, '/' out); the result begins with '/' and has no trailing
// separator (except "/" itself).
std::u16string normaliseUrlPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        const size_t end = componentEnd(path, pos);
        const std::u16string_view part = path.substr(pos, end - pos);
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

// The text without trailing separators, keeping the root whole.
std::u16string_view withoutTrailingSeparators(std::u16string_view text) {
    const size_t root = rootLength(text);
    while (text.size() > root && isSeparator(text.back())) text.remove_suffix(1);
    return text;
}

// The position of the last separator after the root, or npos.
size_t lastSeparator(std::u16string_view text) {
    const size_t root = rootLength(text);
    for (size_t i = text.size(); i > root; --i)
        if (isSeparator(text[i - 1])) return i - 1;
    return std::u16string_view::npos;
}

}  // namespace

// ---------------------------------------------------------------- vcFileName

std::u16string vcFileName::GetName() const {
    const std::u16string_view text = withoutTrailingSeparators(name_);
    const size_t slash = lastSeparator(text);
    if (slash == std::u16string_view::npos) return std::u16string(text.substr(rootLength(text)));
    return std::u16string(text.substr(slash + 1));
}

std::u16string vcFileName::GetPath() const {
    const std::u16string_view text = withoutTrailingSeparators(name_);
    const size_t slash = lastSeparator(text);
    if (slash != std::u16string_view::npos) return std::u16string(withoutTrailingSeparators(text.substr(0, slash)));
    std::u16string_view root = text.substr(0, rootLength(text));
    // A share's root is named without its closing separator.
    if (isShareForm(root) && isSeparator(root.back())) root.remove_suffix(1);
    return std::u16string(root);
}

std::u16string vcFileName::GetCanonicalName() const {
    switch (kindOf(name_)) {
        case kPathEmpty:
            return {};
        case kPathLocalFileUrl:
        case kPathNetworkFileUrl: {
            const auto url = parseFileUrl(name_);
            return u"file://" + std::u16string(url->host) + normaliseUrlPath(url->path);
        }
        case kPathDevice:
            return name_;
        default: {
            const std::wstring in = toWide(name_);
            if (in.find(L'\0') != std::wstring::npos) return name_;
            std::vector<wchar_t> buffer(MAX_PATH + 1);
            DWORD length = 0;
            for (;;) {
                length = ::GetFullPathNameW(in.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
                if (length == 0)
                    throw tarn::Exception("Could not read the current directory to complete '%ls': %s", name_,
                                          errorText(::GetLastError()));
                if (length < buffer.size()) break;
                buffer.resize(length + 1);
            }
            std::u16string out = fromWide(std::wstring_view(buffer.data(), length));
            // Trailing separators go, down to the root; a share's root is
            // named without its closing one ("\\host\share").
            size_t keep = rootLength(out);
            if (isShareForm(out) && keep > 0 && keep <= out.size() && isSeparator(out[keep - 1])) --keep;
            while (out.size() > keep && out.size() > 1 && isSeparator(out.back())) out.pop_back();
            return out;
        }
    }
}

int vcFileName::GetKind() const { return kindOf(name_); }

// ---------------------------------------------------------------- vcFile

bool vcFile::Open(std::u16string_view name, int mode, int /*encoding*/, bool /*flag*/) {
    closeQuietly();
    error_.clear();
    name_.assign(name);
    const std::wstring path = localPath(name);
    if (path.empty()) {
        error_ = tarn::format("Could not open '%ls': invalid file name", name_);
        return false;
    }
    HANDLE h;
    if (mode & 2) {
        // Opened, then emptied: the file keeps its identity, access list and
        // attributes (CREATE_ALWAYS would refuse a hidden file).
        h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE && ::GetFileType(h) == FILE_TYPE_DISK && !::SetEndOfFile(h)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(h);
            ::SetLastError(error);
            h = INVALID_HANDLE_VALUE;
        }
    } else {
        h = openForReading(path);
    }
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        error_ = tarn::format("Could not open '%ls': %s", name_,
                              isDirectoryPath(path) ? std::string("it is a directory") : errorText(error));
        return false;
    }
    file_ = adopt(h);
    writing_ = (mode & 2) != 0;
    return true;
}

size_t vcFile::Read(void* buffer, size_t size) {
    if (!file_) throw tarn::Exception("Could not read '%ls': the file is not open", name_);
    auto* p = static_cast<unsigned char*>(buffer);
    size_t got = 0;
    while (got < size) {
        size_t n = 0;
        if (!readSome(handleOf(file_), p + got, size - got, n))
            throw tarn::Exception("Could not read '%ls': %s", name_, errorText(::GetLastError()));
        if (n == 0) break;
        got += n;
    }
    return got;
}

void vcFile::Write(const void* data, size_t size) {
    if (!file_) throw tarn::Exception("Could not write '%ls': the file is not open", name_);
    if (!writeAll(handleOf(file_), data, size))
        throw tarn::Exception("Could not write '%ls': %s", name_, errorText(::GetLastError()));
}

void vcFile::Close() {
    if (!file_) return;
    const bool wrote = writing_;
    writing_ = false;
    if (!::CloseHandle(reinterpret_cast<HANDLE>(file_.release())) && wrote)
        throw tarn::Exception("Could not close '%ls': %s", name_, errorText(::GetLastError()));
}

bool vcFile::CanOpen(std::u16string_view name, int mode) {
    if (mode & 2) {
        const std::wstring path = localPath(name);
        if (path.empty()) return false;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
            // Opening for writing asks the access list and the read-only
            // attribute; nothing is changed.
            HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) return false;
            ::CloseHandle(h);
            return true;
        }
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        return mayAddFile(parentOf(path));
    }
    vcFile file;
    return file.Open(name, kFileRead);
}

bool vcFile::CopyFileW(std::u16string_view from, std::u16string_view to) {
    const std::wstring source = localPath(from);
    if (source.empty() || localPath(to).empty()) return false;
    NativeFile in = adopt(openForReading(source));
    if (!in) return false;
    // Only regular files: a pipe or a device could block or never end.
    if (!isRegularFile(handleOf(in))) return false;
    try {
        InPlaceFileWriter writer{std::u16string(to)};
        std::vector<unsigned char> buffer(128 * 1024);
        for (;;) {
            size_t n = 0;
            if (!readSome(handleOf(in), buffer.data(), buffer.size(), n)) return false;
            if (n == 0) break;
            writer.Write(buffer.data(), n);
        }
        writer.Commit();
        return true;
    } catch (const tarn::Exception&) {
        return false;
    }
}

bool vcFile::MakeDirectory(std::u16string_view path) {
    const std::wstring local = localPath(path);
    if (local.empty()) return false;
    if (isBelowPrivateRoot(utf8(local))) {
        try {
            openPrivateDirectory(utf8(local));
            return true;
        } catch (const tarn::Exception&) {
            return false;
        }
    }
    // Each missing folder from the root down; one that cannot be made shows
    // in the final test.
    const std::u16string text = fromWide(local);
    for (size_t i = rootLength(text); i < text.size(); ++i) {
        if (isSeparator(text[i]) && i > 0 && !isSeparator(text[i - 1]))
            ::CreateDirectoryW(local.substr(0, i).c_str(), nullptr);
    }
    ::CreateDirectoryW(local.c_str(), nullptr);
    return isDirectoryPath(local);
}

std::u16string vcFile::GetTempFileNameW(std::u16string_view directory, std::u16string_view prefix,
                                        std::u16string_view extension) {
    const std::u16string dirText(directory);
    if (prefix.find_first_of(u"/\\") != std::u16string_view::npos ||
        extension.find_first_of(u"/\\") != std::u16string_view::npos)
        throw tarn::Exception("Could not create a temporary file in '%ls': prefix or extension holds a separator", dirText);
    // In the temporary root the folder is checked and held open while the
    // file is made in it.
    NativeFile privateDir;
    const std::wstring localDir = localPath(directory);
    if (!localDir.empty() && isBelowPrivateRoot(utf8(localDir))) {
        privateDir = openPrivateDirectory(utf8(localDir));
    } else if (!MakeDirectory(directory)) {
        throw tarn::Exception("Could not create the temporary file directory '%ls'", dirText);
    }
    std::u16string base(withoutTrailingSeparators(directory));
    if (base.empty() || !isSeparator(base.back())) base += u'\\';
    std::u16string suffix(extension);
    if (!suffix.empty() && suffix.front() != u'.') suffix.insert(suffix.begin(), u'.');
    DWORD lastError = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::u16string candidate =
            base + std::u16string(prefix) + ConvertUTF8toString(hexText(randomNumber(), 16)) + suffix;
        const std::wstring path = localPath(candidate);
        if (path.empty()) break;
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
            return candidate;
        }
        lastError = ::GetLastError();
        if (lastError != ERROR_FILE_EXISTS && lastError != ERROR_ALREADY_EXISTS) break;
    }
    throw tarn::Exception("Could not create a temporary file in '%ls': %s", dirText, errorText(lastError));
}

// ---------------------------------------------------------------- directories

vcDirectoryIterator::vcDirectoryIterator(std::u16string_view pattern) {
    const std::wstring local = localPath(pattern);
    if (local.empty()) return;
    const std::u16string text = fromWide(local);
    const size_t root = rootLength(text);
    size_t slash = text.size();
    while (slash > 0 && !isSeparator(text[slash - 1])) --slash;
    // The folder keeps its closing separator ("C:\d\", "C:\"); "C:x" lists the
    // current folder of drive C, "x" the current folder.
    std::u16string folder;
    size_t nameStart = slash;
    if (slash > 0) {
        folder = text.substr(0, slash);
    } else if (root == 2) {
        folder = text.substr(0, 2);
        nameStart = 2;
    } else {
        folder = u".\\";
    }
    const std::u16string namePattern = upperCase(std::u16string_view(text).substr(std::max(nameStart, root)));
    const std::wstring search = toWide(folder) + L"*";
    WIN32_FIND_DATAW data{};
    // Long names only (FindExInfoBasic): a short 8.3 name never stands in.
    HANDLE find = ::FindFirstFileExW(search.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::u16string name = fromWide(data.cFileName);
        if (name == u"." || name == u"..") continue;
        if (!MatchesWildcard(namePattern, upperCase(name))) continue;
        vcDirectoryItem item;
        item.Name = name;
        item.IsDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        items_.push_back(std::move(item));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

bool PathExists(std::u16string_view path, bool* isDirectory) {
    if (isDirectory) *isDirectory = false;
    const std::wstring local = localPath(path);
    if (local.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(local.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: what it leads to decides (nothing, when it leads nowhere).
        NativeFile target = adopt(::CreateFileW(local.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!target || !::GetFileInformationByHandle(handleOf(target), &info)) return false;
        attributes = info.dwFileAttributes;
    }
    if (isDirectory) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// ---------------------------------------------------------------- InPlaceFileWriter

InPlaceFileWriter::InPlaceFileWriter(const std::u16string& target) : target_(target) {
    const std::wstring targetPath = localPath(target_);
    if (targetPath.empty()) throw tarn::Exception("Could not write '%ls': invalid file name", target_);
    auto fail = [&](const std::string& why) { throw tarn::Exception("Could not write '%ls': %s", target_, why); };
    // A target in the temporary root: its folders are checked first.
    const std::wstring folder = parentOf(targetPath);
    if (isBelowPrivateRoot(utf8(folder))) openPrivateDirectory(utf8(folder));

    // An existing target is opened for writing now (links followed, nothing
    // emptied), shared with every other reader and writer as a program
    // writing in place would: a file the user may not write, or that another
    // program holds open without sharing it, is refused before any data are
    // fetched, and the file written at the end is the one checked here.
    targetFile_ = adopt(::CreateFileW(targetPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (targetFile_) {
        if (!isRegularFile(handleOf(targetFile_))) {
            discard();
            fail("it is not a regular file");
        }
    } else {
        const DWORD error = ::GetLastError();
        if (isDirectoryPath(targetPath)) fail("it is not a regular file");
        if (error != ERROR_FILE_NOT_FOUND) fail(errorText(error));
        if (!mayAddFile(folder)) fail(errorText(::GetLastError()));
    }

    // The data are collected in a hidden file of the user's temporary root
    // that nobody else may open and that the system removes when it is
    // closed, or when the process ends.
    NativeFile rootDir;
    try {
        rootDir = openPrivateDirectory(privateRootPath());
    } catch (tarn::Exception& e) {
        discard();
        e.appendMessage(u"Could not write '%ls'", target_);
        throw;
    }
    const std::wstring root = toWide(ConvertUTF8toString(privateRootPath()));
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && !data_; ++attempt) {
        const std::wstring name = root + L"\\.pelox-" + toWide(ConvertUTF8toString(hexText(randomNumber(), 16))) + L".part";
        data_ = adopt(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                    nullptr));
        if (!data_) {
            error = ::GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
        }
    }
    if (!data_) {
        discard();
        fail("no temporary file for its data: " + errorText(error));
    }
}

void InPlaceFileWriter::Write(const unsigned char* data, size_t size) {
    if (!data_) throw tarn::Exception("Could not write '%ls': the file is already complete", target_);
    if (!writeAll(handleOf(data_), data, size)) {
        const DWORD error = ::GetLastError();
        discard();
        throw tarn::Exception("Could not write '%ls': %s", target_, errorText(error));
    }
}

void InPlaceFileWriter::Commit() {
    if (!data_) throw tarn::Exception("Could not write '%ls': the file is already complete", target_);
    auto fail = [&](const std::string& why) {
        discard();
        throw tarn::Exception("Could not write '%ls': %s", target_, why);
    };
    auto failLast = [&] { fail(errorText(::GetLastError())); };
    if (!targetFile_) {
        // Made now, so that a transfer that fails leaves no file behind.
        targetFile_ = adopt(::CreateFileW(localPath(target_).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!targetFile_) failLast();
        if (!isRegularFile(handleOf(targetFile_))) fail("it is not a regular file");
    }
    const HANDLE out = handleOf(targetFile_);
    const HANDLE in = handleOf(data_);
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(out, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(out)) failLast();
    if (!::SetFilePointerEx(in, start, nullptr, FILE_BEGIN)) failLast();
    std::vector<unsigned char> buffer(128 * 1024);
    for (;;) {
        size_t n = 0;
        if (!readSome(in, buffer.data(), buffer.size(), n)) failLast();
        if (n == 0) break;
        if (!writeAll(out, buffer.data(), n)) failLast();
    }
    // A file system that cannot flush says so; that is no failure.
    if (!::FlushFileBuffers(out) && ::GetLastError() != ERROR_INVALID_FUNCTION) failLast();
    if (!::CloseHandle(reinterpret_cast<HANDLE>(targetFile_.release()))) failLast();
    discard();
}

void InPlaceFileWriter::discard() noexcept {
    data_.close();
    targetFile_.close();
}

InPlaceFileWriter::~InPlaceFileWriter() { discard(); }

}  // namespace pelox::host
