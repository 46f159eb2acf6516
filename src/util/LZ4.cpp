// Raw LZ4 blocks behind a 4-byte big-endian uncompressed-length header.
#include "util/LZ4.hpp"

#include <lz4.h>

#include <limits>

#include "util/Endianness.hpp"

namespace korvane {
namespace compression {
namespace LZ4 {

namespace {

// liblz4 counts in int: clamp so that an oversize length makes it fail
// instead of wrapping around.
int as_lz4_size(korvane_buf_len_t length)
{
    if (length < 0) {
        return -1;
    }
    if (length > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(length);
}

} // namespace

korvane_buf_len_t max_compression_size(korvane_buf_len_t length)
{
    return static_cast<korvane_buf_len_t>(LZ4_compressBound(as_lz4_size(length))) + HEADER_SIZE;
}

korvane_buf_len_t compress(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                           korvane_buf_len_t dest_length)
{
    if (src_length < 0 || src_length > LZ4_MAX_INPUT_SIZE || dest_length < HEADER_SIZE) {
        return 0;
    }
    char* out = static_cast<char*>(dest);
    const int written = LZ4_compress_default(static_cast<const char*>(src), out + HEADER_SIZE,
                                             static_cast<int>(src_length), as_lz4_size(dest_length - HEADER_SIZE));
    if (written <= 0) {
        return 0;
    }
    endian::store_big32(out, static_cast<std::uint32_t>(src_length));
    return static_cast<korvane_buf_len_t>(written) + HEADER_SIZE;
}

korvane_buf_len_t decompressed_size(korvane_const_buf_t src)
{
    return static_cast<korvane_buf_len_t>(endian::load_big32(src));
}

korvane_buf_len_t decompress(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                             korvane_buf_len_t dest_length)
{
    if (src_length < HEADER_SIZE || src_length - HEADER_SIZE > std::numeric_limits<int>::max() || dest_length < 0) {
        return -1;
    }
    return LZ4_decompress_safe(static_cast<const char*>(src) + HEADER_SIZE, static_cast<char*>(dest),
                               static_cast<int>(src_length - HEADER_SIZE), as_lz4_size(dest_length));
}

} // namespace LZ4
} // namespace compression
} // namespace korvane
