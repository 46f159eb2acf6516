#include <gtest/gtest.h>

#include "util/Endianness.hpp"

using namespace korvane;

TEST(Endianness, StoresAndLoadsBigEndianAtUnalignedOffsets)
{
    unsigned char bytes[13] = {};
    endian::store_big32(bytes + 1, 0x01020304u);
    endian::store_big64(bytes + 5, 0x0102030405060708ull);
    const unsigned char expected[13] = {0, 1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
    EXPECT_EQ(0x01020304u, endian::load_big32(bytes + 1));
    EXPECT_EQ(0x0102030405060708ull, endian::load_big64(bytes + 5));
    EXPECT_EQ(0xFFFFFFFFu, endian::load_big32("\xFF\xFF\xFF\xFF"));
}
