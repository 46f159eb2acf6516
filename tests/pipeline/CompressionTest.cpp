#include <gtest/gtest.h>

#include <lz4.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "StageHelpers.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "util/Endianness.hpp"

using namespace korvane;
using namespace korvane::testing;

// Message buffers above the slab size come from new[]: record the largest
// request so a test can tell that a hostile length was refused before it was
// allocated, which overcommitting kernels would otherwise hide.
namespace {
thread_local std::size_t g_largest_array_request = 0;
} // namespace

void* operator new[](std::size_t size)
{
    g_largest_array_request = std::max(g_largest_array_request, size);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace {

Message compress(const Message& input)
{
    Compressor compressor;
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    Message output = compressor.process(input, &status);
    EXPECT_EQ(Status(), status);
    return output;
}

// A body: the 4-byte declared length and `block` as the LZ4 part.
Message body(std::uint32_t declared, const std::vector<unsigned char>& block)
{
    Message message(static_cast<korvane_buf_len_t>(4 + block.size()));
    endian::store_big32(message.buffer(), declared);
    if (!block.empty()) {
        std::memcpy(static_cast<char*>(message.buffer()) + 4, block.data(), block.size());
    }
    return message;
}

Status decompress_status(Message input)
{
    Decompressor decompressor;
    Status status;
    Message output = decompressor.process(std::move(input), &status);
    EXPECT_TRUE(output.null());
    return status;
}

} // namespace

TEST(Compression, RoundTripsAtSmallBoundaryAndLargeSizes)
{
    // 1 byte, LZ4's short-literal and minimum-match edges, a slab slice and
    // more than one slice, random and repetitive.
    const korvane_buf_len_t sizes[] = {1, 4, 5, 12, 13, 15, 16, 255, 256, 65535, 65536, 65537,
                                       0x480000, 5 * 1024 * 1024};
    for (korvane_buf_len_t size : sizes) {
        for (bool random : {true, false}) {
            SCOPED_TRACE(::testing::Message() << size << (random ? " random" : " zeros"));
            const Message original = random ? random_message(size) : filled_message(size, 0);
            const Message compressed = compress(original);
            ASSERT_FALSE(compressed.null());
            EXPECT_EQ(static_cast<std::uint32_t>(size), endian::load_big32(compressed.buffer()));
            Decompressor decompressor;
            Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
            const Message restored = decompressor.process(compressed, &status);
            EXPECT_EQ(Status(), status);
            EXPECT_TRUE(same_bytes(original, restored));
        }
    }
}

TEST(Compression, BodyIsLengthHeaderAndRawBlock)
{
    const Message compressed = compress(filled_message(1000, 0x61));
    const unsigned char header[4] = {0x00, 0x00, 0x03, 0xE8};
    EXPECT_EQ(0, std::memcmp(header, compressed.buffer(), 4));
    // The rest is a raw block that liblz4 alone can decode.
    std::vector<char> plain(1000);
    EXPECT_EQ(1000, LZ4_decompress_safe(static_cast<const char*>(compressed.buffer()) + 4, plain.data(),
                                        static_cast<int>(compressed.length() - 4), 1000));
    EXPECT_EQ(std::vector<char>(1000, 0x61), plain);
}

TEST(Compression, NullInputFailsWithEncodeCodeInBothStages)
{
    Compressor compressor;
    Decompressor decompressor;
    for (PipelineImpl* stage : {static_cast<PipelineImpl*>(&compressor), static_cast<PipelineImpl*>(&decompressor)}) {
        Status status;
        EXPECT_TRUE(stage->process(Message(), &status).null());
        EXPECT_EQ(encode_error("Zero length input"), status);
        EXPECT_TRUE(stage->process(Message(), nullptr).null());
    }
}

TEST(Compression, HostileBodiesFailCleanly)
{
    const Message valid = compress(random_message(300));
    const std::vector<unsigned char> block(static_cast<const unsigned char*>(valid.buffer()) + 4,
                                           static_cast<const unsigned char*>(valid.buffer()) + valid.length());
    const Status lz4_error = decode_error("LZ4 algorithm error");

    EXPECT_EQ(lz4_error, decompress_status(Message("\x00\x00\x01", 3)));
    EXPECT_EQ(lz4_error, decompress_status(body(300, {})));
    EXPECT_EQ(lz4_error, decompress_status(body(0, block)));
    // Declaring less than the block produces would overflow the output.
    EXPECT_EQ(lz4_error, decompress_status(body(299, block)));
    // A literal run that claims more bytes than the block holds.
    EXPECT_EQ(lz4_error, decompress_status(body(300, {0xF0, 0xFF, 0xFF, 0x01, 0x02})));
    // Random garbage: never a crash, and never an output longer than declared.
    for (int i = 0; i < 200; ++i) {
        Message garbage = random_message(64);
        endian::store_big32(garbage.buffer(), 4096);
        Decompressor decompressor;
        Status status;
        const Message output = decompressor.process(garbage, &status);
        if (output.null()) {
            EXPECT_EQ(lz4_error, status);
        } else {
            EXPECT_LE(output.length(), 4096);
        }
    }
}

TEST(Compression, DeclaredLengthAboveProducedYieldsWhatWasProduced)
{
    Message compressed = compress(filled_message(1000, 0x61));
    endian::store_big32(compressed.buffer(), 1500);
    Decompressor decompressor;
    Status status;
    const Message output = decompressor.process(compressed, &status);
    EXPECT_EQ(Status(), status);
    EXPECT_TRUE(same_bytes(filled_message(1000, 0x61), output));
}

TEST(Compression, DeclaredLengthBeyondWhatTheBlockCanProduceIsRefusedBeforeAllocating)
{
    // A full-size frame declaring 4 GiB - 1: 5 MiB of LZ4 cannot expand to
    // more than about 1.3 GiB.
    Message bomb = random_message(5 * 1024 * 1024);
    endian::store_big32(bomb.buffer(), 0xFFFFFFFFu);
    g_largest_array_request = 0;
    EXPECT_EQ(decode_error("LZ4 algorithm error"), decompress_status(bomb));
    EXPECT_LT(g_largest_array_request, 64u << 20);

    // Within the expansion bound but beyond what liblz4 can address (int).
    Message huge = random_message(9 * 1024 * 1024);
    endian::store_big32(huge.buffer(), 0xC0000000u);
    g_largest_array_request = 0;
    EXPECT_EQ(decode_error("LZ4 algorithm error"), decompress_status(huge));
    EXPECT_LT(g_largest_array_request, 64u << 20);

    // Just above the bound for a tiny block.
    EXPECT_EQ(decode_error("LZ4 algorithm error"), decompress_status(body(255 * 5 + 255, {0x10, 0, 0, 0, 0})));
}

TEST(Compression, BlockAtTheHighestExpansionRatioIsAccepted)
{
    // One literal, one match at offset 1 whose length runs on in 255 bytes,
    // then the five trailing literals every block ends with: the densest
    // block there is, which the plausibility bound must still let through.
    const std::size_t extension = 4000;
    std::vector<unsigned char> block = {0x1F, 'a', 0x01, 0x00};
    block.insert(block.end(), extension, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), {0x50, 'a', 'a', 'a', 'a', 'a'});
    const std::size_t produced = 1 + (4 + 15 + 255 * extension) + 5;
    std::vector<char> check(produced);
    ASSERT_EQ(static_cast<int>(produced), LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                                                              check.data(), static_cast<int>(block.size()),
                                                              static_cast<int>(produced)));
    ASSERT_GT(produced, 254 * block.size());

    Decompressor decompressor;
    Status status;
    const Message output = decompressor.process(body(static_cast<std::uint32_t>(produced), block), &status);
    EXPECT_EQ(Status(), status);
    ASSERT_EQ(static_cast<korvane_buf_len_t>(produced), output.length());
    EXPECT_EQ(std::vector<char>(produced, 'a'),
              std::vector<char>(static_cast<const char*>(output.buffer()),
                                static_cast<const char*>(output.buffer()) + produced));
}


TEST(Compression, BombWithinTheExpansionBoundIsRefusedBeforeAllocatingUnlessTheBoundIsRaised)
{
    // 5 MiB that declare 1,336,930,600 bytes: within what LZ4 could expand
    // to, far above what a frame may carry.
    Message bomb = random_message(5 * 1024 * 1024);
    endian::store_big32(bomb.buffer(), 1336930600u);
    g_largest_array_request = 0;
    EXPECT_EQ(decode_error("Decompressed size 1336930600 is > maximum length 5242880"), decompress_status(bomb));
    EXPECT_LT(g_largest_array_request, 64u << 20);

    // A raised bound, kept by clones, lets a message above the frame limit through.
    const Message large = filled_message(6 << 20, 0x61);
    Decompressor raised(8 << 20);
    std::unique_ptr<Decoder> clone(raised.clone());
    Status status;
    EXPECT_TRUE(same_bytes(large, clone->process(compress(large), &status)));
    EXPECT_EQ(decode_error("Decompressed size 6291456 is > maximum length 5242880"), decompress_status(compress(large)));
}
