// The LZ4 block wrapper: header bytes, round trips, and hostile blocks.
#include <gtest/gtest.h>

#include <lz4.h>

#include <cstring>
#include <vector>

#include "util/LZ4.hpp"

using namespace korvane;
namespace lz4 = korvane::compression::LZ4;

TEST(LZ4, HeaderCarriesTheUncompressedLengthBigEndian)
{
    std::vector<char> input(1000, 0x41);
    std::vector<char> block(static_cast<std::size_t>(lz4::max_compression_size(1000)));
    const korvane_buf_len_t written = lz4::compress(input.data(), block.data(), 1000, static_cast<korvane_buf_len_t>(block.size()));
    ASSERT_GT(written, 4);
    const unsigned char header[4] = {0x00, 0x00, 0x03, 0xE8};
    EXPECT_EQ(0, std::memcmp(block.data(), header, 4));
    EXPECT_EQ(1000, lz4::decompressed_size(block.data()));

    std::vector<char> output(1000);
    EXPECT_EQ(1000, lz4::decompress(block.data(), output.data(), written, 1000));
    EXPECT_EQ(input, output);
}

TEST(LZ4, SizesAndTheUnsignedHeader)
{
    EXPECT_EQ(LZ4_compressBound(0) + 4, lz4::max_compression_size(0));
    EXPECT_EQ(LZ4_compressBound(12345) + 4, lz4::max_compression_size(12345));
    const unsigned char all_ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(4294967295LL, lz4::decompressed_size(all_ones));
}

TEST(LZ4, CompressFailsWhenTheOutputDoesNotFit)
{
    std::vector<char> noise(4096);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    std::vector<char> small(64);
    EXPECT_EQ(0, lz4::compress(noise.data(), small.data(), 4096, 64));
    EXPECT_EQ(0, lz4::compress(noise.data(), small.data(), 4096, 3)); // no room for the header
}

TEST(LZ4, ShorterDataThanDeclaredYieldsWhatWasProduced)
{
    std::vector<char> input(100, 'z');
    std::vector<char> block(static_cast<std::size_t>(lz4::max_compression_size(100)));
    const korvane_buf_len_t written = lz4::compress(input.data(), block.data(), 100, static_cast<korvane_buf_len_t>(block.size()));
    const unsigned char claims_1000[4] = {0x00, 0x00, 0x03, 0xE8};
    std::memcpy(block.data(), claims_1000, 4);
    std::vector<char> output(1000);
    EXPECT_EQ(100, lz4::decompress(block.data(), output.data(), written, 1000));
}

TEST(LZ4, CorruptedBlockFailsWithoutWritingPastTheDestination)
{
    std::vector<char> input(4000);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<char>(i % 7);
    }
    std::vector<char> block(static_cast<std::size_t>(lz4::max_compression_size(4000)));
    const korvane_buf_len_t written = lz4::compress(input.data(), block.data(), 4000, static_cast<korvane_buf_len_t>(block.size()));
    ASSERT_GT(written, 8);

    // Destination with a guard zone: nothing may land behind the capacity.
    const std::size_t capacity = 100;
    std::vector<unsigned char> dest(capacity + 64, 0xEE);
    EXPECT_LT(lz4::decompress(block.data(), dest.data(), written, capacity), 0); // too little room
    for (std::size_t i = capacity; i < dest.size(); ++i) {
        ASSERT_EQ(0xEE, dest[i]) << "byte " << i;
    }

    // Garbage where the block was.
    for (korvane_buf_len_t i = 4; i < written; ++i) {
        block[static_cast<std::size_t>(i)] = static_cast<char>(0xF0 | (i & 0x0F));
    }
    std::vector<unsigned char> wide(4000 + 64, 0xEE);
    EXPECT_LE(lz4::decompress(block.data(), wide.data(), written, 4000), 0);
    for (std::size_t i = 4000; i < wide.size(); ++i) {
        ASSERT_EQ(0xEE, wide[i]) << "byte " << i;
    }
    EXPECT_LT(lz4::decompress(block.data(), wide.data(), 3, 4000), 0); // no header
}
