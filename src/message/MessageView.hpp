// Handing on the tail of a received buffer without copying it: a multiplexed
// frame's payload behind its number, a sealed box's plaintext behind its tag.
#pragma once

#include "message/Message.hpp"

namespace korvane {
namespace detail {

/// The bytes of `whole` from `offset` on, sharing its buffer: whoever holds
/// the result keeps the bytes alive. Null when nothing is left.
Message tail_view(const Message& whole, korvane_buf_len_t offset);

} // namespace detail
} // namespace korvane
