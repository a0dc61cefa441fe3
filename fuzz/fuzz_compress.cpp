// The compressed-form reader (zlib stream or raw deflate, told apart by the
// header), bounded and streaming, plus the writers' round trip:
//  - where the bounded reader succeeds, the streaming reader gives the same
//    bytes, and where the streaming reader succeeds within the bound, so
//    does the bounded one;
//  - the input compressed in either form, whole or in pieces, reads back as
//    the input; so does every piece compressed one after another by one
//    compressor (as the zipped upload does with its chunks), at a level
//    the input picks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "host/compress.h"
#include "host/tarn_exception.h"

using namespace pelox::host;

namespace {
constexpr size_t kLimit = size_t(1) << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes input(data, data + size);
    vcCompress reader(5, true, false);

    Bytes bounded;
    bool boundedOk = true;
    try {
        reader.Decompress(bounded, input, kLimit);
    } catch (const tarn::Exception&) {
        boundedOk = false;
    }
    Bytes streamed;
    bool streamedOk = true;
    try {
        reader.Decompress(input.data(), input.size(), [&](const unsigned char* piece, size_t n) {
            if (n > 64 * 1024) std::abort();
            if (streamed.size() + n > 4 * kLimit) throw tarn::Exception("too large");
            streamed.insert(streamed.end(), piece, piece + n);
        });
    } catch (const tarn::Exception&) {
        streamedOk = false;
    }
    if (boundedOk && (!streamedOk || streamed != bounded)) std::abort();
    if (streamedOk && streamed.size() <= kLimit && !boundedOk) std::abort();

    for (bool zlibForm : {true, false}) {
        vcCompress writer(5, zlibForm, false);
        Bytes packed, unpacked;
        writer.Compress(packed, input);
        if (zlibForm != vcCompress::HasZlibHeader(packed.data(), packed.size()) && zlibForm) std::abort();
        writer.Decompress(unpacked, packed, input.size() + 1);
        if (unpacked != input) std::abort();

        CompressStream stream(5, zlibForm);
        Bytes pieces;
        const size_t step = 1 + (size > 0 ? data[0] : 0);
        for (size_t at = 0; at < size; at += step) stream.Feed(data + at, std::min(step, size - at), pieces);
        stream.Finish(pieces);
        Bytes fromPieces;
        writer.Decompress(fromPieces, pieces, input.size() + 1);
        if (fromPieces != input) std::abort();

        // One compressor, many chunks, at a level from 0 to 9.
        vcCompress chunked(size > 1 ? data[1] % 10 : 5, zlibForm, false);
        for (size_t at = 0; at < size || at == 0; at += step) {
            const size_t n = std::min(step, size - at);
            Bytes zipped, back;
            chunked.Compress(zipped, data + at, n);
            writer.Decompress(back, zipped, n + 1);
            if (back != Bytes(data + at, data + at + n)) std::abort();
            if (size == 0) break;
        }
    }
    return 0;
}
