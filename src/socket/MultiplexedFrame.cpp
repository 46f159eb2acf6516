// The frame functions of the multiplexed socket: numbering outgoing
// messages, reading the uid and payload of incoming ones, and the id frame.
#include "socket/MultiplexedFrame.hpp"

#include <cstddef>
#include <cstring>
#include <memory>

#include "message/MessageView.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "util/Allocator.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace detail {

namespace {

// Small frames are carved from a block the sending thread shares out: a
// stream of small sends then costs a heap allocation per block, not per
// frame. Frames are freed by the loop threads that wrote them, and each such
// free met the sending thread's allocations on its heap's lock. A block lives
// until its last frame is gone; a connection holds few frames in flight, so
// a stalled one pins at most as many blocks.
constexpr korvane_buf_len_t FRAME_BLOCK_SIZE = 64 * 1024;
constexpr korvane_buf_len_t CARVED_UP_TO = 4 * 1024;
constexpr korvane_buf_len_t CARVE_ALIGNMENT = 16;

struct FrameBlock {
    std::shared_ptr<char> bytes;
    korvane_buf_len_t used = FRAME_BLOCK_SIZE;
};

thread_local FrameBlock t_frame_block;

} // namespace

Message frame_buffer(korvane_buf_len_t length)
{
    if (length > CARVED_UP_TO) {
        return Message(length);
    }
    FrameBlock& block = t_frame_block;
    if (FRAME_BLOCK_SIZE - block.used < length) {
        block.bytes = Allocator::heap(FRAME_BLOCK_SIZE);
        block.used = 0;
    }
    char* at = block.bytes.get() + block.used;
    block.used += (length + CARVE_ALIGNMENT - 1) / CARVE_ALIGNMENT * CARVE_ALIGNMENT;
    return part_view(block.bytes, at, length);
}

Message payload_view(const Message& frame)
{
    return tail_view(frame, MULTIPLEX_HEADER_SIZE);
}

bool read_id_frame(const Message& message, GroupAnnouncement& announcement)
{
    // Never read past the end of a short frame.
    if (message.null() || message.length() < MULTIPLEX_ID_FRAME_SIZE) {
        return false;
    }
    const char* bytes = static_cast<const char*>(message.buffer());
    std::memcpy(&announcement.uuid, bytes, sizeof announcement.uuid);
    announcement.total = endian::load_big32(bytes + sizeof announcement.uuid);
    return announcement.total > 0;
}

} // namespace detail

using detail::MULTIPLEX_HEADER_SIZE;

Message MultiplexedSocket::create_multiplex_frame(const Message& message, korvane_multiplex_frame_id_t& uid)
{
    const korvane_buf_len_t payload = message.null() ? 0 : message.length();
    Message frame = detail::frame_buffer(payload + MULTIPLEX_HEADER_SIZE);
    endian::store_big64(frame.buffer(), uid);
    if (payload > 0) {
        std::memcpy(static_cast<char*>(frame.buffer()) + MULTIPLEX_HEADER_SIZE, message.buffer(),
                    static_cast<std::size_t>(payload));
    }
    ++uid;
    return frame;
}

MultiplexedSocket::korvane_multiplex_frame_id_t MultiplexedSocket::mutliplex_frame_id(const Message& message)
{
    if (message.null() || message.length() < MULTIPLEX_HEADER_SIZE) {
        return 0;
    }
    return endian::load_big64(message.buffer());
}

Message MultiplexedSocket::extract_mutliplex_frame(const Message& message)
{
    if (message.null() || message.length() <= MULTIPLEX_HEADER_SIZE) {
        return Message();
    }
    return Message(static_cast<const char*>(message.buffer()) + MULTIPLEX_HEADER_SIZE,
                   message.length() - MULTIPLEX_HEADER_SIZE);
}

bool MultiplexedSocket::multiplex_frame_cmp(const Message& lhs, const Message& rhs)
{
    return mutliplex_frame_id(lhs) > mutliplex_frame_id(rhs);
}

Message MultiplexedSocket::create_id_frame(korvane_multiplex_connection_uuid_t uuid,
                                           korvane_multiplex_connection_id_t total)
{
    Message frame(detail::MULTIPLEX_ID_FRAME_SIZE);
    char* bytes = static_cast<char*>(frame.buffer());
    std::memcpy(bytes + offsetof(korvane_multiplex_id_frame_t, uuid), &uuid, sizeof uuid);
    endian::store_big32(bytes + offsetof(korvane_multiplex_id_frame_t, total), total);
    return frame;
}

} // namespace korvane
