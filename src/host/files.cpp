// The parts of host/files.h that are the same on every platform: the name
// pattern of directory listings and the stored parts of vcFileName and
// vcDirectoryIterator. The file system work is in posix/files.cpp and
// win32/files.cpp.
#include "host/files.h"

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

vcFileName::vcFileName(std::u16string_view path, bool /*flag*/) : name_(path) {}

void vcFileName::SetName(std::u16string_view path) { name_.assign(path); }

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
