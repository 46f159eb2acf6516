// The framer against a plain POSIX socket: the exact bytes it puts on the
// wire, and every kind of header a peer can send it.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "socket/BasicSocket.hpp"
#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"
#include "transport/TransportFramer.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace testing {
namespace {

using Status = Transport::StatusCode;
using Bytes = std::vector<unsigned char>;
const std::uint32_t LARGEST = 5242880;

Bytes header(std::uint32_t length, std::uint32_t unused = 0)
{
    Bytes bytes(8);
    endian::store_big32(bytes.data(), unused);
    endian::store_big32(bytes.data() + 4, length);
    return bytes;
}

Bytes frame(const std::string& payload, std::uint32_t unused = 0)
{
    Bytes bytes = header(static_cast<std::uint32_t>(payload.size()), unused);
    bytes.resize(8 + payload.size());
    std::copy(payload.begin(), payload.end(), bytes.begin() + 8);
    return bytes;
}

Message text(const std::string& payload)
{
    return Message(payload.data(), static_cast<korvane_buf_len_t>(payload.size()));
}

std::string text(const Message& message)
{
    if (message.null()) {
        return "<null>";
    }
    return std::string(static_cast<const char*>(message.buffer()), static_cast<std::size_t>(message.length()));
}

Status rejected(const std::string& size)
{
    return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE,
                  "Message of size " + size + " is zero or > maximum length 5242880");
}

struct Received {
    Message message;
    Status status;
};

class FramerWire : public ::testing::Test {
protected:
    void SetUp() override { reconnect(); }

    void TearDown() override { EXPECT_FALSE(m_watchdog.fired()) << "a blocking call hung until the watchdog ended it"; }

    void reconnect()
    {
        m_framer.reset();
        auto pair = connect_to_raw_peer(std::make_unique<TCPTransport>());
        ASSERT_TRUE(pair) << pair.status;
        m_framer = std::make_unique<TransportFramer>(std::move(pair.transport));
        m_peer = std::move(pair.peer);
    }

    Received receive_blocking()
    {
        Received result{Message(), Status(Status::TRANSPORT_STATUS_UNKNOWN, "untouched")};
        result.message = m_framer->message(&result.status);
        return result;
    }

    Received receive_async()
    {
        Completion<Received> done;
        m_framer->message([&](TransportFramer&, Message message, Status status) {
            done.set({std::move(message), status});
        });
        auto result = done.wait();
        EXPECT_TRUE(result.has_value()) << "receive callback never ran";
        return result ? std::move(*result) : Received{Message(), Status(Status::TRANSPORT_STATUS_UNKNOWN, "timeout")};
    }

    std::pair<long, Status> send_async(Message message)
    {
        Completion<std::pair<long, Status>> done;
        m_framer->message(std::move(message), [&](TransportFramer&, long bytes, Status status) {
            done.set({bytes, status});
        });
        return done.wait().value_or(std::make_pair(-99L, Status(Status::TRANSPORT_STATUS_UNKNOWN, "timeout")));
    }

    LoopRunner<TCPTransport> m_loop{2};
    const std::thread::id m_test_thread = std::this_thread::get_id();
    std::unique_ptr<TransportFramer> m_framer;
    RawSocket m_peer;
    // A framer that waits for bytes that never come sees the end of the
    // stream instead of hanging the test.
    Watchdog m_watchdog{[this] { m_peer.shutdown_both(); }, std::chrono::seconds(30)};
};

TEST_F(FramerWire, SendsAZeroedWordThenTheBigEndianLengthThenThePayload)
{
    EXPECT_EQ(Status(), m_framer->message(text("hello")));
    EXPECT_EQ(frame("hello"), m_peer.receive(13));

    const auto sent = send_async(text("async!"));
    EXPECT_EQ(14, sent.first) << sent.second;
    EXPECT_EQ(Status(), sent.second);
    EXPECT_EQ(frame("async!"), m_peer.receive(14));
}

TEST_F(FramerWire, EmptyAndMovedFromMessagesGoOutAsAZeroLengthHeader)
{
    Message moved = text("not sent");
    Message taker(std::move(moved)); // `moved` keeps its length but has no buffer

    EXPECT_EQ(Status(), m_framer->message(Message()));
    EXPECT_EQ(Status(), m_framer->message(std::move(moved)));
    EXPECT_EQ(8, send_async(Message()).first);
    EXPECT_EQ(8, send_async(std::move(moved)).first);
    m_framer->transport()->close();
    const Bytes zeros(32, 0);
    EXPECT_EQ(zeros, m_peer.receive(64));
}

TEST_F(FramerWire, ReceiverIgnoresTheUnusedWord)
{
    const std::string payload(256, 'p');
    const Bytes bytes = frame(payload, 0xDEADBEEF);
    ASSERT_EQ(0x00, bytes[4]);
    ASSERT_EQ(0x01, bytes[6]);
    ASSERT_TRUE(m_peer.send_all(bytes));
    ASSERT_TRUE(m_peer.send_all(frame("second", 0xFFFFFFFF)));

    const Received first = receive_blocking();
    EXPECT_EQ(Status(), first.status);
    EXPECT_EQ(256, first.message.length());
    EXPECT_EQ(payload, text(first.message));
    const Received second = receive_async();
    EXPECT_EQ(Status(), second.status);
    EXPECT_EQ("second", text(second.message));
}

TEST_F(FramerWire, RejectsZeroAndOversizeLengthsAndLeavesThePayloadUnread)
{
    // After each bad header the next frame is read as the following header:
    // nothing past the 8 header bytes was consumed.
    const std::pair<std::uint32_t, const char*> bad[] = {
        {0, "0"}, {LARGEST + 1, "5242881"}, {0xFFFFFFFF, "4294967295"}};
    for (const auto& [length, printed] : bad) {
        ASSERT_TRUE(m_peer.send_all(header(length, 0x01020304)));
        ASSERT_TRUE(m_peer.send_all(frame("ok")));
        ASSERT_TRUE(m_peer.send_all(header(length)));
        ASSERT_TRUE(m_peer.send_all(frame("ok")));
        ASSERT_TRUE(m_peer.send_all(header(length)));
        ASSERT_TRUE(m_peer.send_all(frame("ok")));

        Received blocking = receive_blocking();
        EXPECT_TRUE(blocking.message.null());
        EXPECT_EQ(rejected(printed), blocking.status);
        EXPECT_EQ("ok", text(receive_blocking().message));

        Received async = receive_async();
        EXPECT_TRUE(async.message.null());
        EXPECT_EQ(rejected(printed), async.status);
        EXPECT_EQ("ok", text(receive_async().message));

        // Without a status pointer the rejection is silent but still clean.
        EXPECT_TRUE(m_framer->message(nullptr).null());
        EXPECT_EQ("ok", text(m_framer->message(nullptr)));
    }
}

TEST_F(FramerWire, StreamEndingInsideAFrameYieldsANullMessageAndTheEndOfStream)
{
    const Bytes whole = frame(std::string(100, 'x'));
    // Cut inside the header (including before it) and inside the payload.
    for (std::size_t cut : {0u, 1u, 4u, 7u, 8u, 9u, 58u, 107u}) {
        for (bool asynchronous : {false, true}) {
            reconnect();
            ASSERT_TRUE(m_peer.send_all(whole.data(), cut));
            m_peer.shutdown_write();
            const Received got = asynchronous ? receive_async() : receive_blocking();
            EXPECT_TRUE(got.message.null()) << "cut " << cut << (asynchronous ? " async" : " blocking");
            EXPECT_EQ(Status(), got.status) << "cut " << cut << (asynchronous ? " async" : " blocking");
        }
    }
}

TEST_F(FramerWire, LargestFrameTravelsBothWays)
{
    Message big(static_cast<korvane_buf_len_t>(LARGEST));
    auto* bytes = static_cast<unsigned char*>(big.buffer());
    for (std::uint32_t i = 0; i < LARGEST; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 13));
    }
    const Bytes expected_header = header(LARGEST);

    // Out through the blocking send; the peer reads concurrently.
    Completion<Status> sent;
    std::thread sender([&] { sent.set(m_framer->message(big)); });
    const Bytes wire = m_peer.receive(8 + LARGEST);
    sender.join();
    EXPECT_EQ(Status(), sent.wait().value_or(Status(Status::TRANSPORT_STATUS_UNKNOWN, "no result")));
    ASSERT_EQ(8 + LARGEST, wire.size());
    EXPECT_TRUE(std::equal(expected_header.begin(), expected_header.end(), wire.begin()));
    EXPECT_EQ(0, std::memcmp(wire.data() + 8, bytes, LARGEST));

    // Out through the asynchronous send, as one frame buffer.
    Completion<Bytes> peer_got;
    std::thread reader([&] { peer_got.set(m_peer.receive(8 + LARGEST)); });
    const auto async_sent = send_async(big);
    reader.join();
    EXPECT_EQ(static_cast<long>(8 + LARGEST), async_sent.first) << async_sent.second;
    EXPECT_TRUE(wire == peer_got.wait().value_or(Bytes()));

    // In through both receives.
    for (bool asynchronous : {false, true}) {
        std::thread peer([&] { m_peer.send_all(wire); });
        const Received got = asynchronous ? receive_async() : receive_blocking();
        peer.join();
        EXPECT_EQ(Status(), got.status);
        ASSERT_EQ(static_cast<korvane_buf_len_t>(LARGEST), got.message.length());
        EXPECT_EQ(0, std::memcmp(got.message.buffer(), bytes, LARGEST));
    }
}

// Sends started while others are in flight go out batched: the bytes on the
// wire are every frame in call order, each callback runs once, in order, on
// a loop thread, and a caller may change its message once send() returned.
TEST_F(FramerWire, QueuedSendsKeepCallOrderOnTheWireAndInTheirCallbacks)
{
    const Socket socket = BasicSocket::create(std::move(m_framer));
    const int count = 600; // the last 300 small: runs of them packed past any one batch's room
    Bytes expected;
    std::mutex mutex;
    std::vector<int> completed;
    bool on_caller_thread = false;
    Completion<bool> all_done;
    for (int i = 0; i < count; ++i) {
        const int size = i < 300 ? 1 + (i * 37) % 3000 + (i == 150 ? 200000 : 0) : 1 + i % 300;
        const std::string payload(static_cast<std::size_t>(size),
                                  static_cast<char>('a' + i % 26));
        const Bytes framed = frame(payload);
        expected.insert(expected.end(), framed.begin(), framed.end());
        auto on_sent = [&, i](SocketImpl&, Status status) {
            std::lock_guard<std::mutex> lock(mutex);
            EXPECT_EQ(Status(), status) << i;
            on_caller_thread = on_caller_thread || std::this_thread::get_id() == m_test_thread;
            completed.push_back(i);
            if (completed.size() == static_cast<std::size_t>(count)) {
                all_done.set(true);
            }
        };
        Message message = text(payload);
        if (i % 2 == 0) {
            socket->send(message, on_sent);
            std::memset(message.buffer(), '!', payload.size()); // ours again once send() returned
        } else {
            socket->send(std::move(message), on_sent);
        }
    }
    EXPECT_EQ(expected, m_peer.receive(expected.size()));
    ASSERT_TRUE(all_done.wait());
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<int> in_order(count);
    std::iota(in_order.begin(), in_order.end(), 0);
    EXPECT_EQ(in_order, completed);
    EXPECT_FALSE(on_caller_thread);
}

// Sends are issued from completions, when nothing is on the wire: a frame
// goes out from the caller's bytes as far as the system takes it at once, and
// frames larger than the socket's buffers leave a rest that must be a copy,
// since the caller scribbles over its message at once. The first completion
// issues three sends in a row, so a frame may write ahead after others that
// did and before one queued behind its rest.
TEST_F(FramerWire, SendsFromCompletionsWriteAheadYetTheCallerMayChangeItsMessage)
{
    const Socket socket = BasicSocket::create(std::move(m_framer));
    const std::vector<int> sizes{1, 5000, static_cast<int>(LARGEST), 700, static_cast<int>(LARGEST), 3, 1 << 20};
    std::vector<Message> messages;
    Bytes expected;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::string payload(static_cast<std::size_t>(sizes[i]), '\0');
        for (std::size_t j = 0; j < payload.size(); ++j) {
            payload[j] = static_cast<char>((j * 7 + i) % 251); // a misplaced rest shows
        }
        const Bytes framed = frame(payload);
        expected.insert(expected.end(), framed.begin(), framed.end());
        messages.push_back(text(payload));
    }
    std::mutex mutex;
    std::vector<std::size_t> completed;
    Completion<bool> all_done;
    std::function<void(std::size_t)> send_from = [&](std::size_t i) {
        socket->send(messages[i], [&, i](SocketImpl&, Status status) {
            EXPECT_EQ(Status(), status) << i;
            EXPECT_NE(m_test_thread, std::this_thread::get_id());
            {
                std::lock_guard<std::mutex> lock(mutex);
                completed.push_back(i);
            }
            if (i == 0) {
                for (std::size_t next = 1; next <= 3; ++next) send_from(next);
            } else if (i >= 3 && i + 1 < messages.size()) {
                send_from(i + 1);
            } else if (i + 1 == messages.size()) {
                all_done.set(true);
            }
        });
        std::memset(messages[i].buffer(), '!', static_cast<std::size_t>(messages[i].length()));
    };
    send_from(0);
    EXPECT_EQ(expected, m_peer.receive(expected.size()));
    ASSERT_TRUE(all_done.wait());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ((std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}), completed);
}

TEST_F(FramerWire, OversizeMessageIsRefusedBeforeAnythingIsWritten)
{
    const Status refused(Status::TRANSPORT_STATUS_MSG_TOO_LARGE,
                         "Message of size 5242881 is > maximum length 5242880");
    Message too_big(static_cast<korvane_buf_len_t>(LARGEST + 1));
    EXPECT_EQ(refused, m_framer->message(too_big));

    // The asynchronous refusal arrives before the call returns.
    bool called = false;
    m_framer->message(too_big, [&](TransportFramer&, long bytes, Status status) {
        called = true;
        EXPECT_EQ(-1, bytes);
        EXPECT_EQ(refused, status);
    });
    EXPECT_TRUE(called);

    EXPECT_EQ(Status(), m_framer->message(text("ok")));
    EXPECT_EQ(frame("ok"), m_peer.receive(10));
}

} // namespace
} // namespace testing
} // namespace korvane
