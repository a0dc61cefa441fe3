// Text conversions and small utilities of the core library.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::util {

// UTF-16 -> UTF-8. Surrogate pairs are combined; a lone surrogate becomes
// U+FFFD. A null pointer converts to the empty text.
std::string ConvertStringtoUTF8(std::u16string_view wide);
std::string ConvertStringtoUTF8(const char16_t* wide);
// UTF-8 -> UTF-16. Invalid or truncated sequences, overlong forms and encoded
// surrogates become U+FFFD (one per maximal invalid subpart); code points
// above U+FFFF become surrogate pairs. length -1 reads up to the terminator.
std::u16string ConvertUTF8toString(std::string_view utf8);
std::u16string ConvertUTF8toString(const char* utf8, long long length = -1);

// Text bound for an XML document. XML 1.0 allows no control characters other
// than tab, line feed and carriage return, and neither U+FFFE nor U+FFFF, not
// even as character references: a conforming parser refuses the whole
// document for one of them. Both functions put U+FFFD in their place (a NUL
// included, so the text after it is kept).
// UTF-16 -> UTF-8, as ConvertStringtoUTF8 with that replacement.
std::string ConvertStringtoXmlUTF8(std::u16string_view wide);
// UTF-8 -> UTF-8 with that replacement; bytes that are not UTF-8 become
// U+FFFD as in ConvertUTF8toString. Returns false, leaving out untouched, when
// the text needs no change.
bool makeXmlSafeUTF8(std::string_view utf8, std::string& out);

// Length of the incomplete multi-byte sequence at the end of UTF-8 bytes (0
// when they end on a whole sequence or on bytes that are invalid anyway), for
// text that arrives in pieces: cutting it off before converting, and putting
// it in front of the next piece, never changes what the conversion makes of
// the rest, since a byte that is not a continuation byte always starts a new
// sequence.
size_t incompleteUtf8Tail(std::string_view bytes);

// Length of a zero-terminated UTF-16 text (0 for null).
size_t length(const char16_t* text);
// Zero-terminated UTF-16 text as a view (empty for null).
std::u16string_view view(const char16_t* text);

// Reads an optionally signed decimal integer after leading white space.
// "0x"/"0X" prefixed text reads as hexadecimal. Text that is not a number
// reads as 0. Values beyond the range are clamped to it. end, when not null,
// receives the position after the digits (the start when nothing was read).
int32_t stringToInteger(const char16_t* text, const char16_t** end, bool allowSign = true);
int32_t stringToInteger(const char* text, const char** end, bool allowSign = true);
int64_t stringToInt64(const char16_t* text, const char16_t** end);

// Booleans: "true", "yes", "on", "t", "y" and any non-zero integer are true;
// "false", "no", "off", "f", "n", "0" and everything else are false.
// Letters compare without regard to case; white space around is ignored.
bool stringToBoolean(const char16_t* text, const char16_t** end);
// True when the text is one of the boolean words above or an integer.
bool canCoerceToBoolean(const char16_t* text);

// Splits at every occurrence of delimiter (not at single characters of it).
// An empty text gives no pieces; "a;;b" gives "a", "", "b".
std::vector<std::u16string> splitString(std::u16string_view text, std::u16string_view delimiter);
std::vector<std::string> splitString(std::string_view text, std::string_view delimiter);
std::u16string joinStrings(const std::vector<std::u16string>& pieces, std::u16string_view delimiter);

// Percent-encodes everything but the unreserved characters A-Z a-z 0-9 - _ . ~
// (the text is first converted to UTF-8).
std::string urlEncode(std::u16string_view text);

// Upper-cases the letters a to z only.
std::u16string toUpperAscii(std::u16string_view text);
std::string toUpperAscii(std::string_view text);
// Compares with the letters A to Z folded to a to z.
bool equalsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b);

// The platform parts (src/host/posix/tarn_util.cpp, src/host/win32/tarn_util.cpp):

// This computer's host name. POSIX: gethostname ("localhost" when it fails).
// Windows: the DNS host name (GetComputerNameExW, ComputerNameDnsHostname),
// else the NetBIOS name (GetComputerNameW), else "localhost".
std::u16string getHostName();

// The system temporary directory, always ending with the path separator.
// POSIX: the first of the environment variables TMPDIR, TMP, TEMP, TEMPDIR
// that is set and not empty (the rule of std::filesystem::temp_directory_path),
// and "/tmp" when none is set or the one that is set names no directory.
// Windows: GetTempPathW (TMP, TEMP, USERPROFILE, the Windows folder), asked
// with a 4096-character buffer that doubles while the answer may not fit.
// The error log's default location and the library's temporary root both
// follow it.
std::u16string getTempPath();

// The broken-down UTC time of a count of seconds since 1970 (gmtime_r,
// gmtime_s). False, out untouched, for a null pointer or a time the system
// cannot break down.
bool gmtime(const int64_t* seconds, std::tm& out);

}  // namespace tarn::util
