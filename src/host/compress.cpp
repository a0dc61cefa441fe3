#include "host/compress.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>

#include "host/tarn_exception.h"

namespace pelox::host {

namespace {

// Output is produced in pieces of this size; input is handed to zlib in
// pieces that fit its 32-bit counters.
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxInputPiece = size_t(1) << 30;

int windowBitsFor(bool zlibForm) { return zlibForm ? MAX_WBITS : -MAX_WBITS; }

const char* zlibMessage(const z_stream& zs, int rc) {
    if (zs.msg) return zs.msg;
    switch (rc) {
        case Z_NEED_DICT: return "a preset dictionary is required";
        case Z_DATA_ERROR: return "invalid data";
        case Z_MEM_ERROR: return "out of memory";
        case Z_STREAM_ERROR: return "invalid stream state";
        default: return "unknown error";
    }
}

void initDeflate(z_stream& zs, int level, bool zlibForm) {
    zs = z_stream{};
    const int rc = deflateInit2(&zs, level, Z_DEFLATED, windowBitsFor(zlibForm), 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK)
        throw tarn::Exception("Could not start the compression (level %d): %s", level, zlibMessage(zs, rc));
}

// Runs data through the deflate stream and appends what it produces to out;
// finish ends the stream.
void pumpDeflate(z_stream& zs, const unsigned char* data, size_t size, bool finish, Bytes& out) {
    size_t offset = 0;
    for (;;) {
        const size_t piece = std::min(size - offset, kMaxInputPiece);
        zs.next_in = data ? const_cast<Bytef*>(data + offset) : nullptr;
        zs.avail_in = static_cast<uInt>(piece);
        offset += piece;
        const bool last = offset == size;
        const int flush = finish && last ? Z_FINISH : Z_NO_FLUSH;
        int rc = Z_OK;
        do {
            const size_t old = out.size();
            out.resize(old + kChunk);
            zs.next_out = out.data() + old;
            zs.avail_out = static_cast<uInt>(kChunk);
            rc = deflate(&zs, flush);
            out.resize(old + kChunk - zs.avail_out);
            if (rc == Z_STREAM_ERROR || (rc == Z_BUF_ERROR && flush == Z_FINISH && zs.avail_out == kChunk))
                throw tarn::Exception("Compression failed: %s", zlibMessage(zs, rc));
        } while (flush == Z_FINISH ? rc != Z_STREAM_END : zs.avail_out == 0);
        if (last) return;
    }
}

struct InflateEnd {
    z_stream* zs;
    ~InflateEnd() { inflateEnd(zs); }
};

// Inflates one stream of either form, handing the output to emit.
template <class Emit>
void inflateAll(const unsigned char* data, size_t size, Emit&& emit) {
    if (size == 0) return;
    z_stream zs{};
    int rc = inflateInit2(&zs, windowBitsFor(vcCompress::HasZlibHeader(data, size)));
    if (rc != Z_OK) throw tarn::Exception("Could not start the decompression: %s", zlibMessage(zs, rc));
    InflateEnd end{&zs};
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
    size_t offset = 0;
    for (;;) {
        if (zs.avail_in == 0 && offset < size) {
            const size_t piece = std::min(size - offset, kMaxInputPiece);
            zs.next_in = const_cast<Bytef*>(data + offset);
            zs.avail_in = static_cast<uInt>(piece);
            offset += piece;
        }
        zs.next_out = buffer.get();
        zs.avail_out = static_cast<uInt>(kChunk);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR)
            throw tarn::Exception("The compressed data is damaged: %s", zlibMessage(zs, rc));
        if (rc == Z_MEM_ERROR) throw tarn::Exception("Not enough memory to decompress the data");
        const size_t produced = kChunk - zs.avail_out;
        if (produced) emit(buffer.get(), produced);
        if (rc == Z_STREAM_END) return;  // anything after the end of the stream is ignored
        const bool inputUsedUp = zs.avail_in == 0 && offset == size;
        if (inputUsedUp && (rc == Z_BUF_ERROR || zs.avail_out != 0))
            throw tarn::Exception("The compressed data is truncated");
    }
}

}  // namespace

bool vcCompress::HasZlibHeader(const unsigned char* data, size_t size) {
    if (!data || size < 2) return false;
    const unsigned b0 = data[0], b1 = data[1];
    return (b0 & 0x0F) == Z_DEFLATED && (b0 >> 4) <= 7 && ((b0 << 8) | b1) % 31 == 0;
}

struct vcCompress::Deflater {
    libdeflate_compressor* compressor = nullptr;
    ~Deflater() { libdeflate_free_compressor(compressor); }
};

vcCompress::vcCompress(int level, bool zlibForm, bool /*reserved*/) : level_(level), zlibForm_(zlibForm) {}

vcCompress::~vcCompress() = default;

void vcCompress::Compress(Bytes& out, const unsigned char* data, size_t size) {
    // libdeflate knows levels 0 to 12; the zlib levels 0 to 9 mean the same
    // trade there, and zlib's default (-1) is its level 6.
    const int level = level_ < 0 ? 6 : level_;
    if (level > 9) throw tarn::Exception("Could not start the compression: level %d is not 0 to 9", level);
    try {
        if (!deflater_) {
            auto made = std::make_unique<Deflater>();
            made->compressor = libdeflate_alloc_compressor(level);
            if (!made->compressor) throw std::bad_alloc();
            deflater_ = std::move(made);
        }
        libdeflate_compressor* c = deflater_->compressor;
        const size_t bound = zlibForm_ ? libdeflate_zlib_compress_bound(c, size) : libdeflate_deflate_compress_bound(c, size);
        Bytes result(bound);
        // The bound always suffices, so 0 (no room) cannot happen; it is
        // checked all the same rather than sending an empty stream.
        const size_t written = zlibForm_ ? libdeflate_zlib_compress(c, data, size, result.data(), result.size())
                                         : libdeflate_deflate_compress(c, data, size, result.data(), result.size());
        if (written == 0) throw tarn::Exception("Compression failed: the output did not fit its bound");
        result.resize(written);
        out.swap(result);
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Not enough memory to compress %llu bytes", static_cast<unsigned long long>(size));
    }
}

void vcCompress::Compress(Bytes& out, const Bytes& in) { Compress(out, in.data(), in.size()); }

void vcCompress::Decompress(Bytes& out, const Bytes& in, size_t maxOutput) {
    Bytes result;
    try {
        inflateAll(in.data(), in.size(), [&](const unsigned char* p, size_t n) {
            if (n > maxOutput - result.size())
                throw tarn::Exception("The decompressed data is larger than %llu bytes",
                                      static_cast<unsigned long long>(maxOutput));
            // Grow by doubling, but never reserve beyond the limit.
            const size_t needed = result.size() + n;
            if (needed > result.capacity())
                result.reserve(std::max(needed, std::min(std::max(result.capacity() * 2, kChunk), maxOutput)));
            result.insert(result.end(), p, p + n);
        });
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Not enough memory to decompress the data");
    }
    out.swap(result);
}

void vcCompress::Decompress(const unsigned char* data, size_t size,
                            const std::function<void(const unsigned char*, size_t)>& sink) {
    inflateAll(data, size, [&](const unsigned char* p, size_t n) { sink(p, n); });
}

struct CompressStream::State {
    z_stream zs{};
    ~State() { deflateEnd(&zs); }
};

CompressStream::CompressStream(int level, bool zlibForm) {
    auto state = std::make_unique<State>();
    initDeflate(state->zs, level, zlibForm);
    state_ = std::move(state);
}

CompressStream::~CompressStream() = default;

// A stream that failed is closed as well: its state is no longer known.
void CompressStream::Feed(const unsigned char* data, size_t size, Bytes& out) {
    if (finished_) throw tarn::Exception("The compressed stream has already been finished");
    try {
        pumpDeflate(state_->zs, data, size, false, out);
    } catch (const std::bad_alloc&) {
        finished_ = true;
        throw tarn::Exception("Not enough memory to compress %llu bytes", static_cast<unsigned long long>(size));
    } catch (...) {
        finished_ = true;
        throw;
    }
}

void CompressStream::Finish(Bytes& out) {
    if (finished_) throw tarn::Exception("The compressed stream has already been finished");
    finished_ = true;
    try {
        pumpDeflate(state_->zs, nullptr, 0, true, out);
    } catch (const std::bad_alloc&) {
        throw tarn::Exception("Not enough memory to finish the compressed stream");
    }
}

}  // namespace pelox::host
