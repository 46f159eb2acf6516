// Host <-> big-endian conversions for every integer that goes on the wire.
// The load/store forms work on unaligned byte pointers, so frame headers can
// be read straight out of a receive buffer.
#pragma once

#include <cstdint>
#include <cstring>

namespace korvane {
namespace endian {

inline std::uint32_t to_big32(std::uint32_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(v);
#else
    return v;
#endif
}

inline std::uint64_t to_big64(std::uint64_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(v);
#else
    return v;
#endif
}

inline std::uint32_t from_big32(std::uint32_t v) noexcept { return to_big32(v); }
inline std::uint64_t from_big64(std::uint64_t v) noexcept { return to_big64(v); }

/// Writes `v` big-endian into the 4 bytes at `dest`.
inline void store_big32(void* dest, std::uint32_t v) noexcept
{
    const std::uint32_t big = to_big32(v);
    std::memcpy(dest, &big, sizeof big);
}

/// Writes `v` big-endian into the 8 bytes at `dest`.
inline void store_big64(void* dest, std::uint64_t v) noexcept
{
    const std::uint64_t big = to_big64(v);
    std::memcpy(dest, &big, sizeof big);
}

/// Reads the big-endian 32-bit value at `src`.
inline std::uint32_t load_big32(const void* src) noexcept
{
    std::uint32_t big;
    std::memcpy(&big, src, sizeof big);
    return from_big32(big);
}

/// Reads the big-endian 64-bit value at `src`.
inline std::uint64_t load_big64(const void* src) noexcept
{
    std::uint64_t big;
    std::memcpy(&big, src, sizeof big);
    return from_big64(big);
}

} // namespace endian
} // namespace korvane
