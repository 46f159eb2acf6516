// Callback framer: whole messages through the application's callbacks for the
// blocking pair, the base framer's frames over the owned transport for the
// asynchronous pair.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "support/Loopback.hpp"
#include "support/MemoryPipe.hpp"
#include "transport/CallbackTransportFramer.hpp"
#include "transport/TCPTransport.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace testing {
namespace {

using Status = Transport::StatusCode;
using Framer = CallbackTransportFramer;

const Status STALE(Status::TRANSPORT_STATUS_NO_DATA, "stale");

Message text(const std::string& payload)
{
    return Message(payload.data(), static_cast<korvane_buf_len_t>(payload.size()));
}

std::unique_ptr<Transport> unused_transport()
{
    return std::make_unique<CallbackTransport>();
}

TEST(CallbackTransportFramer, WithoutCallbacksBothDirectionsAreInvalidArguments)
{
    Framer framer(unused_transport(), nullptr, nullptr);
    Status status = STALE;
    EXPECT_TRUE(framer.message(&status).null());
    EXPECT_EQ(status, Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, ""));
    EXPECT_TRUE(framer.message(nullptr).null());
    EXPECT_EQ(framer.message(text("x")), Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, ""));
}

TEST(CallbackTransportFramer, ReceiveLeavesTheStatusToTheCallback)
{
    Status elsewhere;
    Status* seen = &elsewhere;
    Status reported;
    Framer framer(
        unused_transport(),
        [&](Status* status) {
            seen = status;
            if (status != nullptr && reported.code() != Status::TRANSPORT_STATUS_OKAY) {
                *status = reported;
            }
            return text("payload");
        },
        nullptr);

    Status status = STALE;
    const Message got = framer.message(&status);
    EXPECT_EQ(seen, &status);
    ASSERT_EQ(got.length(), 7);
    EXPECT_EQ(std::memcmp(got.buffer(), "payload", 7), 0);
    EXPECT_EQ(status, STALE) << "success is not written over what the caller had";

    reported = Status(Status::TRANSPORT_STATUS_TIMEOUT, "slow medium");
    framer.message(&status);
    EXPECT_EQ(status, reported);

    EXPECT_FALSE(framer.message(nullptr).null());
    EXPECT_EQ(seen, nullptr);
}

TEST(CallbackTransportFramer, AThrowingCallbackBecomesAnUnknownStatus)
{
    Framer framer(
        unused_transport(), [](Status*) -> Message { throw std::runtime_error("queue drained"); },
        [](Message) -> Status { throw std::length_error("queue full"); });

    Status status = STALE;
    EXPECT_TRUE(framer.message(&status).null());
    EXPECT_EQ(status, Status(Status::TRANSPORT_STATUS_UNKNOWN, "queue drained"));
    EXPECT_TRUE(framer.message(nullptr).null());
    EXPECT_EQ(framer.message(text("x")), Status(Status::TRANSPORT_STATUS_UNKNOWN, "queue full"));
}

TEST(CallbackTransportFramer, MessagesBeyondTheFrameLimitPassThroughUnchanged)
{
    const korvane_buf_len_t oversize = 5242881;
    Message big(oversize);
    std::memset(big.buffer(), 0x5a, static_cast<std::size_t>(oversize));
    const void* const original = big.buffer();

    const void* written_buffer = nullptr;
    korvane_buf_len_t written_length = 0;
    Framer framer(
        unused_transport(), [&](Status*) { return std::move(big); },
        [&](Message message) {
            written_buffer = message.buffer();
            written_length = message.length();
            return Status(Status::TRANSPORT_STATUS_NO_BUFFER_SPACE, "from the callback");
        });

    Message received = framer.message(nullptr);
    ASSERT_EQ(received.length(), oversize);
    EXPECT_EQ(static_cast<const unsigned char*>(received.buffer())[oversize - 1], 0x5a);

    // Moved, not copied, into the write callback; its status comes back as is.
    const void* const sent = received.buffer();
    EXPECT_EQ(framer.message(std::move(received)),
              Status(Status::TRANSPORT_STATUS_NO_BUFFER_SPACE, "from the callback"));
    EXPECT_EQ(written_length, oversize);
    EXPECT_EQ(written_buffer, sent);
    EXPECT_EQ(sent, original);
}

TEST(CallbackTransportFramer, AsynchronousCallsStillFrameOverTheOwnedTransport)
{
    LoopRunner<TCPTransport> loop(2);
    RawPair pair = connect_to_raw_peer(std::make_unique<TCPTransport>());
    ASSERT_TRUE(pair) << pair.status;
    int callback_calls = 0;
    Framer framer(
        std::move(pair.transport),
        [&](Status*) {
            ++callback_calls;
            return Message();
        },
        [&](Message) {
            ++callback_calls;
            return Status();
        });

    Completion<long> sent;
    framer.message(text("abc"), [&](TransportFramer&, long count, Status) { sent.set(count); });
    EXPECT_EQ(sent.wait().value_or(-2), 11);
    const std::vector<unsigned char> wire = pair.peer.receive(11);
    ASSERT_EQ(wire.size(), 11u);
    EXPECT_EQ(endian::load_big32(wire.data() + 4), 3u);
    EXPECT_EQ(std::string(wire.begin() + 8, wire.end()), "abc");

    std::vector<unsigned char> frame(8 + 2);
    endian::store_big32(frame.data() + 4, 2);
    frame[8] = 'o';
    frame[9] = 'k';
    ASSERT_TRUE(pair.peer.send_all(frame));
    Completion<std::string> received;
    framer.message([&](TransportFramer&, Message message, Status status) {
        received.set(message.null() ? "<null> " + status.message()
                                    : std::string(static_cast<const char*>(message.buffer()), 2));
    });
    EXPECT_EQ(received.wait().value_or("<timeout>"), "ok");
    EXPECT_EQ(callback_calls, 0);
    framer.transport()->close();
}

TEST(CallbackTransportFramer, AsynchronousCallsOverACallbackTransportAreUnsupported)
{
    auto ends = memory_pipe();
    Framer framer(std::move(ends.first), nullptr, nullptr);
    const Status unsupported(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
    int calls = 0;
    framer.message(text("abc"), [&](TransportFramer&, long count, Status status) {
        EXPECT_EQ(count, -1);
        EXPECT_EQ(status, unsupported);
        ++calls;
    });
    framer.message([&](TransportFramer&, Message message, Status status) {
        EXPECT_TRUE(message.null());
        EXPECT_EQ(status, unsupported);
        ++calls;
    });
    EXPECT_EQ(calls, 2);
}

} // namespace
} // namespace testing
} // namespace korvane
