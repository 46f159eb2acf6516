// Unkeyed BLAKE2b with a 32-byte digest.
#pragma once

#include "Types.hpp"

namespace korvane {
namespace crypto {
namespace Blake2b {

struct blake2b_hash_t {
    char bytes[32];
};

/// Hashes `length` bytes at `buffer` into `hash`. True on success; on
/// failure the digest is left zeroed. Needs XSalsa20::init() first.
bool hash(blake2b_hash_t& hash, korvane_buf_t buffer, korvane_buf_len_t length);

} // namespace Blake2b
} // namespace crypto
} // namespace korvane
