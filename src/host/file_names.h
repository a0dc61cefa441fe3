// Pieces of file-name handling that every platform's files layer uses the
// same way (host/posix/files.cpp, host/win32/files.cpp): file URLs, percent
// decoding and the hexadecimal part of random names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelox::host::filenames {

// Whether text begins with prefix, ASCII letters compared without case.
bool startsWithNoCase(std::u16string_view text, std::u16string_view prefix);

// A file URL split into its host (empty for a local one) and its path (still
// percent-encoded, always beginning with '/').
struct FileUrl {
    std::u16string_view host;
    std::u16string_view path;
    bool local = true;  // no host, or "localhost"
};

// "file:/…", "file:///…" or "file://host/…" (scheme in any case); nothing
// for any other text. The views point into text.
std::optional<FileUrl> parseFileUrl(std::u16string_view text);

// Each "%XX" with two hexadecimal digits becomes its byte; anything else,
// a lone or malformed '%' included, stays as it is.
std::string percentDecode(const std::string& text);

// value as exactly digits lower-case hexadecimal digits (the low ones).
std::string hexText(uint64_t value, int digits);

}  // namespace pelox::host::filenames
