// The parts of host/files.h that are the same on every platform: the name
// pattern of directory listings, the stored parts of vcFileName, vcFile and
// vcDirectoryIterator, and the name helpers of host/file_names.h. The file
// system work is in posix/files.cpp and win32/files.cpp.
#include "host/files.h"

#include "host/file_names.h"
#include "host/tarn_util.h"

#include <string>
#include <vector>

namespace pelox::host {

namespace {

std::vector<char32_t> codePoints(std::u16string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

namespace filenames {

bool startsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && tarn::util::equalsIgnoreCaseAscii(text.substr(0, prefix.size()), prefix);
}

std::optional<FileUrl> parseFileUrl(std::u16string_view text) {
    if (!startsWithNoCase(text, u"file:/")) return std::nullopt;
    std::u16string_view rest = text.substr(5);
    FileUrl url;
    if (rest.substr(0, 2) == u"//") {
        rest.remove_prefix(2);
        const size_t slash = rest.find(u'/');
        url.host = rest.substr(0, slash);
        url.path = slash == std::u16string_view::npos ? std::u16string_view(u"/") : rest.substr(slash);
    } else {
        url.path = rest;
    }
    url.local = url.host.empty() || tarn::util::equalsIgnoreCaseAscii(url.host, u"localhost");
    return url;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string hexText(uint64_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kDigits[value & 15];
    return out;
}

}  // namespace filenames

vcFileName::vcFileName(std::u16string_view path, bool /*flag*/) : name_(path) {}

void vcFileName::SetName(std::u16string_view path) { name_.assign(path); }

bool vcFileName::IsRelative() const {
    const int kind = GetKind();
    return kind == kPathEmpty || kind == kPathRelative;
}

vcFile::vcFile() = default;

vcFile::~vcFile() { closeQuietly(); }

void vcFile::closeQuietly() {
    file_.close();
    writing_ = false;
}

bool MatchesWildcard(std::u16string_view pattern, std::u16string_view name) {
    if (pattern.empty() || pattern == u"*" || pattern == u"*.*") return true;
    const std::vector<char32_t> p = codePoints(pattern);
    const std::vector<char32_t> s = codePoints(name);
    // Greedy matching with back-tracking to the last '*'.
    size_t pi = 0, si = 0, starP = std::string::npos, starS = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == U'?' || p[pi] == s[si])) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == U'*') {
            starP = pi++;
            starS = si;
        } else if (starP != std::string::npos) {
            pi = starP + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == U'*') ++pi;
    return pi == p.size();
}

bool vcDirectoryIterator::GetNextItem(vcDirectoryItem& item) {
    if (next_ >= items_.size()) return false;
    item = items_[next_++];
    return true;
}

}  // namespace pelox::host
