// The Windows side of host/private_files.h: the temporary root in the user's
// own temporary folder, folders below it that are no links or junctions, and
// log files opened for appending without following a link at their name.
#include "host/private_files.h"

#include "host/win32/wide_path.h"

#include <algorithm>
#include <cwchar>
#include <string_view>
#include <vector>

#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::host {

namespace win32 {

std::string errorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length > 0 && buffer) text.assign(buffer, length);
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    if (text.empty()) return "error " + std::to_string(error);
    return tarn::util::ConvertStringtoUTF8(fromWide(text));
}

}  // namespace win32

namespace {

using win32::errorText;
using win32::fromWide;
using win32::toWide;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::string utf8(std::wstring_view wide) { return tarn::util::ConvertStringtoUTF8(fromWide(wide)); }

std::wstring wide(const std::string& utf8Text) { return toWide(tarn::util::ConvertUTF8toString(utf8Text)); }

// The system's temporary folder, with its trailing separator. The buffer is
// grown while the answer does not fit with room to spare.
std::wstring systemTempPath() {
    std::vector<wchar_t> buffer(4096);
    for (;;) {
        const DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            throw tarn::Exception("Could not read the system temporary folder: %s", errorText(::GetLastError()));
        }
        if (length < buffer.size() - 8) {
            std::wstring path(buffer.data(), length);
            if (path.empty() || !isSeparator(path.back())) path += L'\\';
            return path;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// How a path begins: with no separator, one (rooted) or two or more (share or
// device); two paths below one another begin alike.
int leadingSeparators(std::wstring_view path) {
    int count = 0;
    while (count < 2 && static_cast<size_t>(count) < path.size() && isSeparator(path[static_cast<size_t>(count)]))
        ++count;
    return count;
}

// The components of a path with "." and ".." folded, either separator.
std::vector<std::wstring> components(std::wstring_view path) {
    std::vector<std::wstring> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = pos;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        const std::wstring_view part = path.substr(pos, end - pos);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.emplace_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

// Names compare as the file system does: without regard to case.
bool sameName(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring rootPath() { return systemTempPath() + L"qorvane"; }

// The components of path below the temporary root, the root's own name
// first; false when path is not the root or below it.
bool partsFromRoot(const std::wstring& path, std::vector<std::wstring>& out) {
    if (path.empty()) return false;
    const std::wstring rootText = rootPath();
    if (leadingSeparators(path) != leadingSeparators(rootText)) return false;
    const std::vector<std::wstring> root = components(rootText);
    const std::vector<std::wstring> all = components(path);
    if (root.empty() || all.size() < root.size()) return false;
    for (size_t i = 0; i < root.size(); ++i)
        if (!sameName(all[i], root[i])) return false;
    out.assign(all.begin() + static_cast<std::ptrdiff_t>(root.size() - 1), all.end());
    return true;
}

HANDLE handleOf(const NativeFile& file) { return reinterpret_cast<HANDLE>(file.get()); }

}  // namespace

void NativeFile::close() noexcept {
    if (handle_ != kNone) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = kNone;
}

std::string privateRootPath() { return utf8(rootPath()); }

bool isBelowPrivateRoot(const std::string& path) {
    try {
        std::vector<std::wstring> parts;
        return partsFromRoot(wide(path), parts);
    } catch (const tarn::Exception&) {
        return false;  // no temporary folder: nothing is below it
    }
}

NativeFile openPrivateDirectory(const std::string& path) {
    std::vector<std::wstring> parts;
    if (!partsFromRoot(wide(path), parts))
        throw tarn::Exception("Refusing the folder '%s': it is not in this user's temporary folder '%s'", path,
                              privateRootPath());
    // The user's temporary folder itself is the system's (or, through TMP,
    // the user's own) choice and is taken as it is. Each folder below it is
    // held open, without sharing the right to delete or rename it, until the
    // next one is open: none of them can be swapped for a link meanwhile.
    std::wstring where = systemTempPath();
    where.pop_back();
    NativeFile held;
    for (const std::wstring& name : parts) {
        where += L'\\';
        where += name;
        if (!::CreateDirectoryW(where.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            throw tarn::Exception("Could not create the temporary folder '%s': %s", utf8(where),
                                  errorText(::GetLastError()));
        // FILE_FLAG_OPEN_REPARSE_POINT: a link or junction is opened itself,
        // not the folder it leads to, and is refused below.
        NativeFile next(reinterpret_cast<NativeFile::Handle>(
            ::CreateFileW(where.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
        if (!next)
            throw tarn::Exception("Refusing the temporary folder '%s': %s", utf8(where), errorText(::GetLastError()));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(handleOf(next), &info))
            throw tarn::Exception("Could not examine the temporary folder '%s': %s", utf8(where),
                                  errorText(::GetLastError()));
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            throw tarn::Exception("Refusing the temporary folder '%s': it is a link or junction (reparse point)",
                                  utf8(where));
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            throw tarn::Exception("Refusing the temporary folder '%s': it is not a folder", utf8(where));
        held = std::move(next);
    }
    return held;
}

NativeFile openPrivateAppend(const std::string& path, std::string& why) {
    why.clear();
    const std::wstring name = wide(path);
    if (name.empty() || name.find(L'\0') != std::wstring::npos) {
        why = "invalid file name";
        return {};
    }
    NativeFile dir;
    if (isBelowPrivateRoot(path)) {
        size_t slash = name.size();
        while (slash > 0 && !isSeparator(name[slash - 1])) --slash;
        try {
            dir = openPrivateDirectory(utf8(std::wstring_view(name).substr(0, slash > 0 ? slash - 1 : 0)));
        } catch (const tarn::Exception& e) {
            why = tarn::util::ConvertStringtoUTF8(e.getErrorMessage(0));
            return {};
        }
    }
    // Append-only access: every write lands at the end of the file in one
    // piece, whoever else appends. FILE_FLAG_OPEN_REPARSE_POINT: a link at
    // the name is opened itself and refused, never followed.
    NativeFile file(reinterpret_cast<NativeFile::Handle>(::CreateFileW(
        name.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (!file) {
        why = errorText(::GetLastError());
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handleOf(file), &info)) {
        why = errorText(::GetLastError());
        return {};
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        why = "it is a symbolic link";
        return {};
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ::GetFileType(handleOf(file)) != FILE_TYPE_DISK) {
        why = "it is not a regular file";
        return {};
    }
    return file;
}

bool writeAll(const NativeFile& file, const std::string& text) {
    if (!file) return false;
    size_t done = 0;
    while (done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(handleOf(file), text.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace pelox::host
