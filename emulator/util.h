// Small helpers of the emulator: compression in the two forms the service
// uses, credentials in session IDs, safe path resolution under the root,
// URL query decoding, time stamps and the machine's hardware address.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

using Bytes = std::string;  // byte buffers are kept in std::string

// A failure that is answered with a SOAP fault (or an HTTP error in the plain
// services). pieces become the fault's detail, joined with "|#|".
struct Fault : std::runtime_error {
    explicit Fault(const std::string& text, std::vector<std::string> detailPieces = {})
        : std::runtime_error(text), pieces(std::move(detailPieces)) {}
    std::vector<std::string> pieces;
    int httpStatus = 0;  // for the plain services: 403, 404, 400 ...
    // SOAP operations answer every failure as a Server fault (the operation
    // failed on the server, and the client shows the message); only an
    // injected rule with code=Client sends a Client fault.
    bool clientFault = false;
};
[[noreturn]] void fail(const std::string& text, int httpStatus = 400);

// Compressed form: a zlib stream (RFC 1950) when zlibHeader is true, raw
// deflate (RFC 1951) otherwise; level 5.
Bytes compress(std::string_view data, bool zlibHeader);
// Accepts both forms (a zlib header is detected). Refuses output beyond
// maxOutput bytes. Throws Fault on damaged input.
Bytes decompress(std::string_view data, size_t maxOutput);
// gzip member, for HTTP Content-Encoding.
Bytes gzip(std::string_view data);
// Streaming forms, so that transfers need no memory in proportion to their
// size. read(buf, n) returns the bytes it put into buf, 0 at the end.
using ByteSource = std::function<size_t(char* buf, size_t n)>;
// Inflates either compressed form from source into the file outFd; Fault on
// damaged or truncated data (400) or more than maxOutput bytes (413).
// Returns the bytes written.
unsigned long long inflateToFile(const ByteSource& source, int outFd, unsigned long long maxOutput);
// Copies source into the file outFd; returns the bytes written.
unsigned long long copyToFile(const ByteSource& source, int outFd);
// Writes a gzip member of source into the file outFd; returns its size.
unsigned long long gzipToFile(const ByteSource& source, int outFd);

std::string base64Encode(std::string_view data);
std::optional<Bytes> base64Decode(std::string_view text);

// Session credentials: lines "key=value" joined with "\n", XORed with the
// repeating bytes of "qorvane", base64.
std::string encodeCredentials(const std::map<std::string, std::string>& values);
std::map<std::string, std::string> decodeCredentials(std::string_view body);

std::string randomHex(size_t digits);
// Hex digits from the system's random source, for passwords and tokens.
std::string secretHex(size_t digits);

// Runs fn in a detached thread of its own. Throws std::system_error when no
// thread can be started: the system has none to give, or as many threads
// started here as the limit allows are still running (0: no limit).
void startThread(std::function<void()> fn);
void setThreadLimit(int limit);
int threadsStarted();  // started here and still running

std::string urlDecode(std::string_view text);
std::string urlEncode(std::string_view text);
// "a=1&b=2" -> map (later duplicates win).
std::map<std::string, std::string> parseQuery(std::string_view query);
// "a=1&b=2" -> the pairs in the order given.
std::vector<std::pair<std::string, std::string>> parseQueryList(std::string_view query);
// A whole decimal integer in [min, max]; throws std::invalid_argument naming
// what for ("count takes a whole number from 1 to ...").
long long parseInteger(const std::string& text, const std::string& what, long long min, long long max);

// Text made safe for XML 1.0 content: characters XML forbids (control
// characters other than tab, line feed and carriage return, U+FFFE, U+FFFF,
// surrogates) and bytes that are not UTF-8 become U+FFFD; character
// references to forbidden characters become "&#xFFFD;". Markup is kept.
std::string xmlSafe(std::string_view xml);
// Text escaped for an XML element or attribute, made safe as above.
std::string xmlEscape(std::string_view text);

std::string isoTime(std::filesystem::file_time_type t);
std::string isoTime(std::time_t t);  // "2026-12-08T17:53:08Z"
std::string nowStamp();

// The first non-zero hardware address of this machine's network interfaces,
// as "aa:bb:cc:dd:ee:ff"; empty when there is none.
std::string localHardwareAddress();

std::string trim(std::string_view s);
std::vector<std::string> split(std::string_view s, char delimiter);
std::string join(const std::vector<std::string>& parts, std::string_view delimiter);
bool iequals(std::string_view a, std::string_view b);

// A local file the server itself names (never a client path: those go
// through a Jail).
Bytes readFile(const std::filesystem::path& p, size_t maxBytes);

}  // namespace emu
