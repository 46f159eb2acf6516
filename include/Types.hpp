// Aliases shared by every layer of libkorvane++.
#pragma once

#include <cstdint>

namespace korvane {

/// Mutable byte buffer handed to or from the library.
using korvane_buf_t = void*;
/// Read-only byte buffer.
using korvane_const_buf_t = const void* const;
/// Signed length or byte count; negative values report failures.
using korvane_buf_len_t = std::int64_t;
/// Unsigned count.
using korvane_size_t = std::uint64_t;
/// 64-bit identifier, see crypto::uuid64().
using korvane_uuid64_t = std::uint64_t;

} // namespace korvane
