// The emulator's HTTP request parser (emulator/http.h): the input is fed in
// pieces, as a connection's bytes arrive, until the parser has a request or
// refuses; a request's body is then read back both ways (whole, and piece by
// piece from its source), which must agree with each other and with its size.
// A small in-memory limit makes larger bodies go to the spool file.
//
// Input: one byte choosing the piece size (1 to 256), then the bytes sent.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    emu::RequestParser parser(64 * 1024, 1024);
    emu::RequestParser::Status status = emu::RequestParser::Status::More;
    for (size_t at = 0; at < length && status == emu::RequestParser::Status::More; at += piece) {
        status = parser.feed(bytes + at, std::min(piece, length - at));
        (void)parser.wantsContinue();
    }
    if (status != emu::RequestParser::Status::Done) return 0;

    emu::HttpRequest& request = parser.request();
    (void)request.header("content-type");
    std::string whole;
    try {
        whole = request.bodyText(1 << 20);
    } catch (const emu::Fault&) {
        std::abort();  // every body the parser accepted (at most 64 KiB) is readable
    }
    if (whole.size() != request.bodySize) std::abort();
    std::string streamed;
    const emu::ByteSource source = request.bodySource();
    char buffer[777];
    for (size_t n; (n = source(buffer, sizeof buffer)) > 0;) streamed.append(buffer, n);
    if (streamed != whole) std::abort();
    return 0;
}
