// Small helpers of the emulator: compression in the two forms the service
// uses, credentials in session IDs, safe path resolution under the root,
// URL query decoding, time stamps and the machine's hardware address.
#pragma once

#include <cstdint>
#include <filesystem>
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

std::string base64Encode(std::string_view data);
std::optional<Bytes> base64Decode(std::string_view text);

// Session credentials: lines "key=value" joined with "\n", XORed with the
// repeating bytes of "qorvane", base64.
std::string encodeCredentials(const std::map<std::string, std::string>& values);
std::map<std::string, std::string> decodeCredentials(std::string_view body);

std::string randomHex(size_t digits);

std::string urlDecode(std::string_view text);
std::string urlEncode(std::string_view text);
// "a=1&b=2" -> map (later duplicates win).
std::map<std::string, std::string> parseQuery(std::string_view query);

// Resolves a client-supplied path against base (relative paths) and makes
// sure the result stays inside jail, following symbolic links of the parts
// that exist. Backslashes count as separators. Throws Fault (403) for paths
// outside the jail and for empty or NUL-containing paths.
std::filesystem::path resolveInside(const std::filesystem::path& jail, const std::filesystem::path& base,
                                    std::string_view clientPath);

std::string isoTime(std::filesystem::file_time_type t);
std::string nowStamp();

// The first non-zero hardware address of this machine's network interfaces,
// as "aa:bb:cc:dd:ee:ff"; empty when there is none.
std::string localHardwareAddress();

std::string trim(std::string_view s);
std::vector<std::string> split(std::string_view s, char delimiter);
std::string join(const std::vector<std::string>& parts, std::string_view delimiter);
bool iequals(std::string_view a, std::string_view b);

Bytes readFile(const std::filesystem::path& p, size_t maxBytes);
void writeFile(const std::filesystem::path& p, std::string_view data, bool append);

}  // namespace emu
