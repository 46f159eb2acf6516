// Handing on part of a buffer without copying it: a multiplexed frame's
// payload behind its number, a sealed box's plaintext behind its tag, small
// frames carved from one shared block.
#pragma once

#include <memory>

#include "message/Message.hpp"

namespace korvane {
namespace detail {

/// The bytes of `whole` from `offset` on, sharing its buffer: whoever holds
/// the result keeps the bytes alive. Null when nothing is left.
Message tail_view(const Message& whole, korvane_buf_len_t offset);

/// The `length` bytes at `at`, inside a buffer `owner` keeps alive: whoever
/// holds the result keeps the whole buffer alive. Its capacity is `length`.
Message part_view(const std::shared_ptr<char>& owner, char* at, korvane_buf_len_t length);

} // namespace detail
} // namespace korvane
