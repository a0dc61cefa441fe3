// The compressed form: zlib and raw deflate streams, read in either form, and
// hostile input (damaged, truncated, oversized) refused with tarn::Exception.
#include <gtest/gtest.h>

#include <string>

#include "host/compress.h"
#include "host/tarn_exception.h"

using pelox::host::Bytes;
using pelox::host::CompressStream;
using pelox::host::vcCompress;

namespace {

Bytes sample(size_t size) {
    Bytes b(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        // Half noise, half repetition, so that both literal and match codes occur.
        b[i] = (i / 4096) % 2 ? static_cast<unsigned char>(x >> 24) : static_cast<unsigned char>('a' + i % 7);
    }
    return b;
}

Bytes streamed(vcCompress& c, const Bytes& in) {
    Bytes out;
    c.Decompress(in.data(), in.size(), [&](const unsigned char* p, size_t n) { out.insert(out.end(), p, p + n); });
    return out;
}

}  // namespace

TEST(Compress, BothFormsRoundTripAndAreReadByEitherReader) {
    for (bool zlibForm : {true, false}) {
        for (size_t size : {size_t(0), size_t(1), size_t(300000)}) {
            SCOPED_TRACE(testing::Message() << "zlib " << zlibForm << " size " << size);
            const Bytes input = sample(size);
            vcCompress writer(5, zlibForm, false);
            Bytes packed;
            writer.Compress(packed, input);
            EXPECT_EQ(vcCompress::HasZlibHeader(packed.data(), packed.size()), zlibForm);

            // A reader made for the other form detects this one by its header.
            vcCompress reader(5, !zlibForm, false);
            Bytes unpacked{9, 9, 9};
            reader.Decompress(unpacked, packed);
            EXPECT_EQ(unpacked, input);
            EXPECT_EQ(streamed(reader, packed), input);

            // The incremental compressor, fed in uneven pieces, makes the same form.
            CompressStream stream(5, zlibForm);
            Bytes pieces;
            for (size_t at = 0; at < input.size();) {
                const size_t n = std::min<size_t>(input.size() - at, 1 + at % 70000);
                stream.Feed(input.data() + at, n, pieces);
                at += n;
            }
            stream.Finish(pieces);
            EXPECT_EQ(vcCompress::HasZlibHeader(pieces.data(), pieces.size()), zlibForm);
            reader.Decompress(unpacked, pieces);
            EXPECT_EQ(unpacked, input);
            EXPECT_THROW(stream.Finish(pieces), tarn::Exception);
        }
    }
}

TEST(Compress, DamagedOrTruncatedInputThrowsAndLeavesOutputAlone) {
    const Bytes input = sample(200000);
    Bytes zlib, raw;
    vcCompress(5, true, false).Compress(zlib, input);
    vcCompress(5, false, false).Compress(raw, input);

    auto cut = [](Bytes b, size_t keep) {
        b.resize(keep);
        return b;
    };
    // Built by appending: flipping back() in place draws a false
    // -Wstringop-overflow from GCC 12 at -O3.
    Bytes badChecksum(zlib.begin(), zlib.end() - 1);
    badChecksum.push_back(static_cast<unsigned char>(zlib.back() ^ 0x01));
    Bytes badBody = zlib;
    badBody[badBody.size() / 2] ^= 0x5A;
    const Bytes invalidBlockType = {0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes presetDictionary = {0x78, 0xBB, 0x00, 0x00, 0x00, 0x01};  // FDICT set: nothing to resolve it with

    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"zlib cut in the middle", cut(zlib, zlib.size() / 2)},
        {"zlib without its checksum", cut(zlib, zlib.size() - 4)},
        {"zlib header only", cut(zlib, 2)},
        {"zlib checksum wrong", badChecksum},
        {"zlib body damaged", badBody},
        {"raw cut in the middle", cut(raw, raw.size() / 2)},
        {"raw one byte", cut(raw, 1)},
        {"raw invalid block type", invalidBlockType},
        {"zlib preset dictionary", presetDictionary},
    };
    vcCompress c(5, true, false);
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Bytes out{1, 2, 3};
        EXPECT_THROW(c.Decompress(out, tc.data), tarn::Exception);
        EXPECT_EQ(out, (Bytes{1, 2, 3}));
        EXPECT_THROW(streamed(c, tc.data), tarn::Exception);
    }
}

TEST(Compress, OutputBeyondTheLimitIsRefusedWithoutGrowingPastIt) {
    // 12 MiB of zeros pack into a few KiB: a small bomb. (Not a power of two,
    // so that growing by doubling would pass the limit.)
    const size_t size = (size_t(12) << 20) + 12345;
    Bytes bomb;
    vcCompress c(5, true, false);
    c.Compress(bomb, Bytes(size, 0));
    ASSERT_LT(bomb.size(), size_t(64) << 10);

    Bytes out;
    try {
        c.Decompress(out, bomb, size - 1);
        FAIL() << "no exception";
    } catch (const tarn::Exception& e) {
        EXPECT_NE(e.joined(u" ").find(u"larger than"), std::u16string::npos);
    }
    EXPECT_TRUE(out.empty());

    c.Decompress(out, bomb, size);  // exactly at the limit is allowed
    EXPECT_EQ(out.size(), size);
    EXPECT_LE(out.capacity(), size);
}
