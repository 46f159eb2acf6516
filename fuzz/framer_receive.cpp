// The input is everything a peer sends before it closes. Property: the
// framer turns it into frames of 1..MAX_FRAME_SIZE bytes without crashing or
// allocating more than one maximum frame at a time; sent again, those frames
// are the bytes it consumed (the header's unused bytes aside); and it stops
// where and why the stream says it must, the same way blocking or not and
// over the application-callback transport.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.hpp"
#include "support/ScriptedTransport.hpp"
#include "transport/CallbackTransport.hpp"
#include "transport/TransportFramer.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;
using testing::ScriptedTransport;

constexpr std::size_t MAX_FRAME_SIZE = 5242880;
constexpr std::size_t HEADER_SIZE = 8;
constexpr std::size_t LENGTH_OFFSET = 4;

struct Received {
    std::vector<Message> frames;
    Status end;
    std::size_t consumed = 0;
};

struct Peer {
    Peer(const std::uint8_t* data, std::size_t size)
        : framer(std::make_unique<ScriptedTransport>()),
          transport(static_cast<ScriptedTransport&>(*framer.transport()))
    {
        transport.script->incoming.assign(data, data + size);
    }
    TransportFramer framer;
    ScriptedTransport& transport;
};

// Everything the framer did to the stream is seen through the transport.
// Blocking receives read whole headers and payloads; an asynchronous one
// reads ahead with one partial read whenever nothing is left of the last.
void check_reads(const ScriptedTransport& transport, bool reads_ahead)
{
    FUZZ_CHECK(reads_ahead || transport.script->partial_read_requests == 0);
    for (long request : transport.script->read_requests) {
        FUZZ_CHECK(request >= 1 && static_cast<std::size_t>(request) <= MAX_FRAME_SIZE);
    }
}

void accept_frame(Received& received, Message message)
{
    FUZZ_CHECK(message.length() >= 1 && static_cast<std::size_t>(message.length()) <= MAX_FRAME_SIZE);
    received.frames.push_back(std::move(message));
}

Received receive_blocking(const std::uint8_t* data, std::size_t size)
{
    Peer peer(data, size);
    Received received;
    for (;;) {
        fuzz::watch_allocations();
        Message message = peer.framer.message(&received.end);
        FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE);
        if (message.null()) {
            break;
        }
        FUZZ_CHECK(received.end == Status());
        accept_frame(received, std::move(message));
    }
    check_reads(peer.transport, false);
    received.consumed = size - peer.transport.script->incoming.size();
    return received;
}

Received receive_async(const std::uint8_t* data, std::size_t size)
{
    Peer peer(data, size);
    Received received;
    bool more = true;
    while (more) {
        int calls = 0;
        // The scripted transport completes reads before returning, so the
        // whole receive happens inside this call.
        peer.framer.message([&](TransportFramer&, Message message, Status status) {
            ++calls;
            more = !message.null();
            received.end = std::move(status);
            if (more) {
                accept_frame(received, std::move(message));
            }
        });
        FUZZ_CHECK(calls == 1);
    }
    check_reads(peer.transport, true);
    received.consumed = size - peer.transport.script->incoming.size();
    return received;
}

// The same stream through the application-callback transport, whose reads
// gather a header or payload from several callback calls of at most
// CALLBACK_CHUNK bytes. Its end of stream is a failure, so only the frames
// and the bytes consumed are compared.
Received receive_through_callbacks(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t CALLBACK_CHUNK = 7;
    std::size_t offset = 0;
    auto read = [&](void* buffer, long length, long&) -> long {
        const std::size_t count = std::min({static_cast<std::size_t>(length), CALLBACK_CHUNK, size - offset});
        if (count > 0) {
            std::memcpy(buffer, data + offset, count);
        }
        offset += count;
        return static_cast<long>(count);
    };
    TransportFramer framer(std::make_unique<CallbackTransport>(nullptr, read, nullptr, nullptr));
    Received received;
    for (;;) {
        Message message = framer.message(&received.end);
        if (message.null()) {
            break;
        }
        accept_frame(received, std::move(message));
    }
    received.consumed = offset;
    return received;
}

// Sends the frames again and compares them with the stream, frame by frame.
// Returns where the last whole frame ended.
std::size_t check_reencoding(const std::vector<Message>& frames, const std::uint8_t* data, std::size_t size)
{
    Peer sender(nullptr, 0);
    std::size_t offset = 0;
    for (const Message& frame : frames) {
        sender.transport.script->outgoing.clear();
        FUZZ_CHECK(sender.framer.message(frame) == Status());
        const std::vector<unsigned char>& wire = sender.transport.script->outgoing;
        const std::size_t length = static_cast<std::size_t>(frame.length());
        FUZZ_CHECK(wire.size() == HEADER_SIZE + length);
        FUZZ_CHECK(offset + wire.size() <= size);
        const std::uint8_t* original = data + offset;
        FUZZ_CHECK(std::memcmp(wire.data() + LENGTH_OFFSET, original + LENGTH_OFFSET,
                               wire.size() - LENGTH_OFFSET) == 0);
        offset += wire.size();
    }
    return offset;
}

// After the last whole frame: a clean end, a stream cut short, or a length
// refused after reading its header and nothing more.
void check_end(const Received& received, const std::uint8_t* data, std::size_t size, std::size_t frames_end)
{
    const Status incomplete(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Incomplete read");
    const std::size_t left = size - frames_end;
    if (left == 0) {
        FUZZ_CHECK(received.end == Status());
        FUZZ_CHECK(received.consumed == size);
        return;
    }
    if (left < HEADER_SIZE) {
        FUZZ_CHECK(received.end == incomplete);
        FUZZ_CHECK(received.consumed == size);
        return;
    }
    const std::uint32_t length = endian::load_big32(data + frames_end + LENGTH_OFFSET);
    if (length == 0 || length > MAX_FRAME_SIZE) {
        const Status refused(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, "Message of size " + std::to_string(length) +
                                                                         " is zero or > maximum length 5242880");
        FUZZ_CHECK(received.end == refused);
        FUZZ_CHECK(received.consumed == frames_end + HEADER_SIZE);
        return;
    }
    // A whole frame would have been received: the payload was cut short.
    FUZZ_CHECK(left - HEADER_SIZE < length);
    // The end of the stream right after a header is the end of the stream;
    // part of a payload is an incomplete read.
    FUZZ_CHECK(received.end == (left == HEADER_SIZE ? Status() : incomplete));
    FUZZ_CHECK(received.consumed == size);
}

bool same_frames(const std::vector<Message>& lhs, const std::vector<Message>& rhs)
{
    if (lhs.size() != rhs.size()) {
        return false;
    }
    for (std::size_t i = 0; i < lhs.size(); ++i) {
        if (lhs[i].length() != rhs[i].length()
            || std::memcmp(lhs[i].buffer(), rhs[i].buffer(), static_cast<std::size_t>(lhs[i].length())) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    fuzz::exhaust_message_pool();
    const Received blocking = receive_blocking(data, size);
    const std::size_t frames_end = check_reencoding(blocking.frames, data, size);
    check_end(blocking, data, size, frames_end);

    const Received async = receive_async(data, size);
    FUZZ_CHECK(same_frames(blocking.frames, async.frames));
    // This transport reports a whole read cut short by the end of the stream
    // as fewer bytes (an incomplete read); bytes already read ahead leave the
    // whole read nothing, which is the end of the stream, as over TCP.
    const Status incomplete(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Incomplete read");
    FUZZ_CHECK(async.end == blocking.end || (blocking.end == incomplete && async.end == Status()));
    FUZZ_CHECK(async.consumed >= blocking.consumed);

    const Received callbacks = receive_through_callbacks(data, size);
    FUZZ_CHECK(same_frames(blocking.frames, callbacks.frames));
    FUZZ_CHECK(callbacks.consumed == blocking.consumed);
    return 0;
}

namespace korvane {
namespace fuzz {

std::vector<Seed> seeds()
{
    const auto max = static_cast<std::uint32_t>(MAX_FRAME_SIZE);
    return {
        {"empty-stream", Bytes()},
        {"header-cut-at-3", Bytes(3, 0)},
        {"header-cut-at-7", Bytes(7, 0)},
        {"header-then-end", frame_header(10)},
        {"one-frame", frame(text("hello"))},
        {"payload-cut-short", cat({frame_header(10), text("short")})},
        {"frame-then-cut-header", cat({frame(text("ok")), Bytes(5, 0)})},
        {"two-frames-unused-bytes-set",
         cat({hex("deadbeef"), big32(3), text("abc"), hex("ffffffff"), big32(1), text("z")})},
        {"length-zero", cat({frame_header(0), text("trailing")})},
        {"length-all-ones", cat({Bytes(8, 0xFF), text("xxxx")})},
        {"length-sign-bit", cat({frame(text("a")), frame_header(0x80000000u)})},
        {"length-max-payload-cut", cat({frame_header(max), text("only a few bytes")})},
        {"length-max-plus-one", cat({frame_header(max + 1), Bytes(16, 'x')})},
    };
}

} // namespace fuzz
} // namespace korvane
