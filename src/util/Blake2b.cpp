// Unkeyed 32-byte BLAKE2b through libsodium's generic hash.
#include "util/Blake2b.hpp"

#include <sodium.h>

#include <cstring>

namespace korvane {
namespace crypto {
namespace Blake2b {

bool hash(blake2b_hash_t& hash, korvane_buf_t buffer, korvane_buf_len_t length)
{
    std::memset(hash.bytes, 0, sizeof hash.bytes);
    if (length < 0) {
        return false;
    }
    return crypto_generichash(reinterpret_cast<unsigned char*>(hash.bytes), sizeof hash.bytes,
                              static_cast<const unsigned char*>(buffer), static_cast<unsigned long long>(length),
                              nullptr, 0) == 0;
}

} // namespace Blake2b
} // namespace crypto
} // namespace korvane
