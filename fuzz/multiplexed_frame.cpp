// The input is one data frame of a multiplexed socket as it arrives from a
// peer. Property: reading its sequence number and payload never reads past
// its end (frames under 8 bytes included), and a frame of 8 bytes or more is
// exactly the sequence number and payload put back together.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

constexpr std::size_t HEADER_SIZE = 8;

// Never constructed: only opens the frame functions to the target.
struct FrameAccess : MultiplexedSocket {
    using MultiplexedSocket::create_multiplex_frame;
    using MultiplexedSocket::extract_mutliplex_frame;
    using MultiplexedSocket::korvane_multiplex_frame_id_t;
    using MultiplexedSocket::mutliplex_frame_id;
};

bool holds(const Message& message, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::size_t>(message.length()) == size && std::memcmp(message.buffer(), data, size) == 0;
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    // The frame's buffer is then exactly `size` bytes long.
    fuzz::exhaust_message_pool();
    const Message frame(data, static_cast<korvane_buf_len_t>(size));

    const FrameAccess::korvane_multiplex_frame_id_t uid = FrameAccess::mutliplex_frame_id(frame);
    const Message payload = FrameAccess::extract_mutliplex_frame(frame);
    if (size < HEADER_SIZE) {
        FUZZ_CHECK(uid == 0);
        FUZZ_CHECK(payload.null());
        return 0;
    }
    FUZZ_CHECK(uid == endian::load_big64(data));
    if (size == HEADER_SIZE) {
        FUZZ_CHECK(payload.null());
    } else {
        FUZZ_CHECK(holds(payload, data + HEADER_SIZE, size - HEADER_SIZE));
    }

    FrameAccess::korvane_multiplex_frame_id_t next = uid;
    const Message rebuilt = FrameAccess::create_multiplex_frame(payload, next);
    FUZZ_CHECK(next == uid + 1);
    FUZZ_CHECK(holds(rebuilt, data, size));
    return 0;
}
