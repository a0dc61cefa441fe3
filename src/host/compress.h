// The compressed form used by the zipped service operations, ClearJob
// settings and old-protocol uploads (docs/server-contract.md, "Compressed
// form"): a zlib stream (RFC 1950) for servers of version 7 or later, raw
// deflate (RFC 1951) for older ones. Readers accept both: a first byte pair
// forming a valid zlib header (CM 8, window at most 32 KiB, check bits) is
// read as zlib, anything else as raw deflate.
//
// Compress runs in one shot with libdeflate (several times faster than zlib
// at the same level, output a few per cent larger); the streaming writer and
// every reader use zlib.
//
// Decompression is safe against hostile input: damaged or truncated data and
// output beyond the limit throw tarn::Exception, and the in-memory form never
// holds more than the limit.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace pelox::host {

using Bytes = std::vector<unsigned char>;

class vcCompress {
public:
    // level: compression level (-1 default, 0 to 9; 5 everywhere in this
    // library). zlibForm: write a zlib stream, else raw deflate. reserved:
    // unused.
    vcCompress(int level, bool zlibForm, bool reserved);
    ~vcCompress();
    vcCompress(const vcCompress&) = delete;
    vcCompress& operator=(const vcCompress&) = delete;

    // Compresses the whole input into one stream; out is replaced. The
    // compressor's working memory is made at the first call and kept for
    // later ones, so one object compresses many chunks cheaply.
    void Compress(Bytes& out, const unsigned char* data, size_t size);
    void Compress(Bytes& out, const Bytes& in);

    // Decompresses one stream in either form into out (replaced; left
    // unchanged when an exception is thrown). Empty input gives empty output.
    // Bytes after the end of the stream are ignored. Throws tarn::Exception
    // on damaged or truncated data and when the output would pass maxOutput.
    void Decompress(Bytes& out, const Bytes& in, size_t maxOutput = size_t(1) << 30);
    // Streaming form: hands the output to sink in pieces of at most 64 KiB
    // (no size limit); same errors. An exception thrown by sink passes through.
    void Decompress(const unsigned char* data, size_t size,
                    const std::function<void(const unsigned char*, size_t)>& sink);

    // True when the first two bytes form a valid zlib header.
    static bool HasZlibHeader(const unsigned char* data, size_t size);

private:
    struct Deflater;
    int level_;
    bool zlibForm_;
    std::unique_ptr<Deflater> deflater_;
};

// Incremental compressor for streaming uploads: one stream of the chosen
// form, fed in pieces.
class CompressStream {
public:
    CompressStream(int level, bool zlibForm);
    ~CompressStream();
    CompressStream(const CompressStream&) = delete;
    CompressStream& operator=(const CompressStream&) = delete;

    // Appends the compressed output produced so far to out.
    void Feed(const unsigned char* data, size_t size, Bytes& out);
    // Appends the rest and ends the stream; Feed and Finish throw afterwards.
    void Finish(Bytes& out);

private:
    struct State;
    std::unique_ptr<State> state_;
    bool finished_ = false;
};

}  // namespace pelox::host
