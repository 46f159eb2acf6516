// LZ4 block compression with a 4-byte big-endian header that records the
// uncompressed length, so a receiver can size its buffer before decoding.
#pragma once

#include "Types.hpp"

namespace korvane {
namespace compression {
namespace LZ4 {

/// Bytes of the uncompressed-length header in front of every block.
constexpr korvane_buf_len_t HEADER_SIZE = 4;

/// Room that always suffices for compress(): LZ4_compressBound(length) + HEADER_SIZE.
korvane_buf_len_t max_compression_size(korvane_buf_len_t length);

/// Compresses `src_length` bytes into `dest` (capacity `dest_length`).
/// Returns the bytes written including the header, or 0 on failure.
korvane_buf_len_t compress(korvane_const_buf_t src, korvane_buf_t dest,
                           korvane_buf_len_t src_length, korvane_buf_len_t dest_length);

/// The uncompressed length announced by the first 4 bytes of `src`
/// (0 to 4294967295). It comes from the peer and is not bounded here.
korvane_buf_len_t decompressed_size(korvane_const_buf_t src);

/// Decompresses the block of `src_length` bytes (header included) into
/// `dest`. Returns the bytes produced, or a value <= 0 on malformed input or
/// too little room; never writes past `dest_length`. `src_length` must be >= HEADER_SIZE.
korvane_buf_len_t decompress(korvane_const_buf_t src, korvane_buf_t dest,
                             korvane_buf_len_t src_length, korvane_buf_len_t dest_length);

} // namespace LZ4
} // namespace compression
} // namespace korvane
