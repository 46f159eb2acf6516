// Byte layout of the multiplexed socket's two frames: the data frame (a
// big-endian sequence number before the payload) and the id frame that opens
// every connection of a group.
#pragma once

#include <cstdint>

#include "message/Message.hpp"
#include "Types.hpp"

namespace korvane {
namespace detail {

constexpr korvane_buf_len_t MULTIPLEX_HEADER_SIZE = 8;
constexpr korvane_buf_len_t MULTIPLEX_ID_FRAME_SIZE = 12;
/// The largest payload an underlying frame carries (the framer's fixed
/// limit, which its header keeps to itself), and so the largest message.
constexpr korvane_buf_len_t UNDERLYING_FRAME_LIMIT = 5242880;
constexpr korvane_buf_len_t MULTIPLEX_MESSAGE_LIMIT = UNDERLYING_FRAME_LIMIT - MULTIPLEX_HEADER_SIZE;

/// What an id frame announces: the group's opaque key and its size.
struct GroupAnnouncement {
    korvane_uuid64_t uuid = 0;
    std::uint32_t total = 0;
};

/// Reads an id frame; false unless `message` holds at least 12 bytes and a
/// group size above 0.
bool read_id_frame(const Message& message, GroupAnnouncement& announcement);

/// An uninitialised buffer of `length` bytes for an outgoing frame, small
/// ones carved from a block this thread shares out. Throws std::bad_alloc.
Message frame_buffer(korvane_buf_len_t length);

/// The payload of a received data frame without copying it: the result
/// shares the frame's buffer. Null for frames of 8 bytes or fewer.
Message payload_view(const Message& frame);

} // namespace detail
} // namespace korvane
