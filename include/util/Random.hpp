// Random bytes and numbers from libsodium's generator.
#pragma once

#include <cstdint>

namespace korvane {
namespace crypto {
namespace Random {

/// Fills `size` bytes at `buf`.
void bytes(void* buf, unsigned long size);
/// Four random bytes read in host order.
std::uint32_t int32();
/// Eight random bytes read in host order.
std::uint64_t int64();

} // namespace Random
} // namespace crypto
} // namespace korvane
