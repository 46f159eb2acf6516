// The multiplexed socket over fake connections whose completions the test
// orders, fails and withholds: frames on the wire, reordering, the parked
// queue, lost connections, close(), and the accept loop's grouping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "multiplexed/FakeSocket.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "support/Loopback.hpp"
#include "util/Endianness.hpp"

// While set, an allocation above 5 MiB (only a full frame's) fails on this thread.
thread_local bool t_refuse_huge = false;

void* operator new(std::size_t size)
{
    void* block = t_refuse_huge && size > (std::size_t(5) << 20) ? nullptr : std::malloc(size == 0 ? 1 : size);
    return block != nullptr ? block : throw std::bad_alloc();
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete" // malloc and free underneath
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
#pragma GCC diagnostic pop

namespace korvane {
namespace {

using testing::Completion;
using testing::FakeSocket;
using Status = Transport::StatusCode;

struct Probe : MultiplexedSocket {
    explicit Probe(std::vector<Socket> sockets) : MultiplexedSocket(std::move(sockets)) {}
    using MultiplexedSocket::MAX_PARKED_BYTES;
    using MultiplexedSocket::SEND_QUEUE_HIGH_WATER;
    using MultiplexedSocket::BLOCKING_SEND_AHEAD;
    using MultiplexedSocket::MAX_BYTES_IN_FLIGHT;
    using MultiplexedSocket::MAX_ASSEMBLING_GROUPS;
    using MultiplexedSocket::MAX_GROUP_SIZE;
    using MultiplexedSocket::start_traffic;
    using MultiplexedSocket::create_multiplex_frame;
    using MultiplexedSocket::extract_mutliplex_frame;
    using MultiplexedSocket::multiplex_frame_cmp;
    using MultiplexedSocket::mutliplex_frame_id;
    std::size_t parked_bytes() const { return m_parked_bytes; }

    std::size_t waiting_receivers() const
    {
        std::lock_guard<SpinningMutex> lock(m_mutex);
        return m_recv_callback_queue.size();
    }
    std::size_t waiting_senders() const
    {
        std::lock_guard<SpinningMutex> lock(m_mutex);
        return m_send_callback_queue.size();
    }
    bool is_server() const
    {
        std::lock_guard<SpinningMutex> lock(m_mutex);
        return m_is_server;
    }
};

struct Side {
    std::unique_ptr<Probe> socket;
    std::vector<FakeSocket*> fakes;
};

Side make_side(std::size_t count)
{
    Side side;
    std::vector<Socket> sockets;
    for (std::size_t i = 0; i < count; ++i) {
        auto* fake = new FakeSocket;
        side.fakes.push_back(fake);
        sockets.emplace_back(fake);
    }
    side.socket = std::make_unique<Probe>(std::move(sockets));
    return side;
}

// A client connected over `count` fakes to a server running on their peers.
struct Pair {
    Side client;
    Side server;
};

Pair connected_pair(std::size_t count)
{
    Pair pair{make_side(count), make_side(count)};
    for (std::size_t i = 0; i < count; ++i) {
        FakeSocket::link(*pair.client.fakes[i], *pair.server.fakes[i]);
    }
    EXPECT_EQ(pair.client.socket->connect("peer", 1), Status());
    for (FakeSocket* fake : pair.server.fakes) {
        fake->clear_inbox(); // the id frames, which the accept loop would eat
    }
    pair.server.socket->start_traffic();
    return pair;
}

Message text(const std::string& s)
{
    return Message(s.data(), static_cast<korvane_buf_len_t>(s.size()));
}

std::string str(const Message& m)
{
    return m.null() ? std::string() : std::string(static_cast<const char*>(m.buffer()), m.length());
}

std::vector<unsigned char> bytes(const Message& m)
{
    const auto* p = static_cast<const unsigned char*>(m.buffer());
    return std::vector<unsigned char>(p, p + m.length());
}

Message id_frame(std::uint64_t uuid, std::uint32_t total)
{
    Message frame(12);
    std::memcpy(frame.buffer(), &uuid, 8);
    endian::store_big32(static_cast<char*>(frame.buffer()) + 8, total);
    return frame;
}

struct Received {
    std::vector<std::string> messages;
    std::vector<Status> statuses;
    recv_handler_t handler()
    {
        return [this](SocketImpl&, Message m, Status s) {
            messages.push_back(m.null() ? "<null>" : str(m));
            statuses.push_back(s);
        };
    }
};

struct Sent {
    std::vector<Status> statuses;
    send_handler_t handler()
    {
        return [this](SocketImpl&, Status s) { statuses.push_back(s); };
    }
};

// Polls a condition that has no event of its own (a blocking call having
// queued itself), with a deadline.
template <typename Pred>
bool eventually(Pred pred)
{
    const auto until = std::chrono::steady_clock::now() + testing::DEADLINE;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A blocking call stuck past its deadline cannot be interrupted, and joining
// its thread would hang the run: fail loudly and at once instead.
void join_or_die(std::thread& thread, bool finished)
{
    if (!finished) {
        std::fprintf(stderr, "FATAL: a blocking call is still waiting after the deadline\n");
        std::_Exit(1);
    }
    thread.join();
}

const Status SHUTDOWN(Status::TRANSPORT_STATUS_SHUTDOWN, "Shutdown was triggered");
const Status ALL_FAILED(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Every underlying connection has failed");

TEST(MultiplexedFrames, IdAndDataFramesOnTheWire)
{
    Sent sent; // outlives the socket, whose destruction completes the sends
    Pair pair = connected_pair(3);
    const auto first = bytes(pair.client.fakes[0]->sent().at(0));
    for (FakeSocket* fake : pair.client.fakes) {
        const auto id = bytes(fake->sent().at(0));
        ASSERT_EQ(id.size(), 12u);
        EXPECT_TRUE(std::equal(id.begin(), id.begin() + 8, first.begin())) << "one uuid per group";
        EXPECT_EQ(std::vector<unsigned char>(id.begin() + 8, id.end()), (std::vector<unsigned char>{0, 0, 0, 3}));
    }

    pair.client.socket->send(text("abc"), sent.handler());
    pair.client.socket->send(Message(), sent.handler());
    EXPECT_EQ(bytes(pair.client.fakes[0]->sent().back()),
              (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(bytes(pair.client.fakes[1]->sent().back()), (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 1}));

    std::uint64_t uid = 0x0102030405060708;
    const Message frame = Probe::create_multiplex_frame(text("x"), uid);
    EXPECT_EQ(uid, 0x0102030405060709u);
    EXPECT_EQ(bytes(frame), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 'x'}));
    EXPECT_EQ(Probe::mutliplex_frame_id(frame), 0x0102030405060708u);
    EXPECT_EQ(str(Probe::extract_mutliplex_frame(frame)), "x");
    // Too short to hold a uid: never read past the end.
    EXPECT_EQ(Probe::mutliplex_frame_id(text("abc")), 0u);
    EXPECT_TRUE(Probe::extract_mutliplex_frame(pair.client.fakes[1]->sent().back()).null());
    std::uint64_t low = 3, high = 5;
    EXPECT_TRUE(Probe::multiplex_frame_cmp(Probe::create_multiplex_frame(Message(), high),
                                           Probe::create_multiplex_frame(Message(), low)));
}

// Small frames share blocks: no frame may overlap another, grow into its
// neighbour, or lose its bytes when the others (and their block) are dropped.
TEST(MultiplexedFrames, FramesSharingABlockStayApartAndAlive)
{
    std::vector<Message> frames;
    std::uint64_t uid = 0;
    for (int i = 0; i < 200; ++i) {
        const korvane_buf_len_t length = 1 + (i * 997) % 5000; // across blocks, some not carved
        Message payload(length);
        std::memset(payload.buffer(), i, static_cast<std::size_t>(length));
        frames.push_back(Probe::create_multiplex_frame(payload, uid));
    }
    for (Message& frame : frames) { // what a frame may grow into is its own
        std::memset(static_cast<char*>(frame.buffer()) + frame.length(), 0xEE,
                    static_cast<std::size_t>(frame.capacity() - frame.length()));
    }
    const auto intact = [](const Message& frame, int i) {
        const auto* bytes = static_cast<const unsigned char*>(frame.buffer());
        return Probe::mutliplex_frame_id(frame) == static_cast<std::uint64_t>(i) &&
               std::all_of(bytes + 8, bytes + frame.length(), [i](unsigned char b) { return b == (i & 0xFF); });
    };
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(intact(frames[i], i)) << "frame " << i;
    Message last = std::move(frames[198]);
    frames.clear();
    EXPECT_TRUE(intact(last, 198)); // ASan: its block outlived the other frames
}

TEST(MultiplexedOrdering, ReorderedFramesAcrossThreeConnectionsArriveOnceInOrder)
{
    Pair pair = connected_pair(3);
    Received got;
    for (int i = 0; i < 5; ++i) {
        pair.server.socket->recv(got.handler()); // waiting before anything arrives
    }
    Sent sent;
    for (int i = 0; i < 10; ++i) {
        pair.client.socket->send(text(std::to_string(i)), sent.handler());
    }
    // Finish sends last connection first, so frames leave out of order.
    for (bool more = true; more;) {
        more = false;
        for (int c = 2; c >= 0; --c) {
            if (pair.client.fakes[c]->pending_sends() > 0) {
                pair.client.fakes[c]->complete_send();
                more = true;
            }
        }
    }
    EXPECT_EQ(sent.statuses, std::vector<Status>(10));
    // Connection 0 carried uid 0: everything else arrives ahead of its turn.
    for (int c : {2, 1, 0}) {
        while (pair.server.fakes[c]->deliver()) {
        }
    }
    for (int i = 0; i < 5; ++i) {
        pair.server.socket->recv(got.handler()); // served from the parked queue
    }
    EXPECT_EQ(got.messages, (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_EQ(got.statuses, std::vector<Status>(10));
}

TEST(MultiplexedOrdering, WaitingReceiversAreServedFromTheParkedQueueAtOnce)
{
    Pair pair = connected_pair(3);
    Sent sent;
    for (const char* m : {"0", "1", "2"}) {
        pair.client.socket->send(text(m), sent.handler());
    }
    pair.client.fakes[1]->complete_send(); // uid 1
    pair.client.fakes[2]->complete_send(); // uid 2
    ASSERT_TRUE(pair.server.fakes[1]->deliver());
    ASSERT_TRUE(pair.server.fakes[2]->deliver());
    Received got;
    for (int i = 0; i < 3; ++i) {
        pair.server.socket->recv(got.handler());
    }
    EXPECT_TRUE(got.messages.empty());
    pair.client.fakes[0]->complete_send();
    ASSERT_TRUE(pair.server.fakes[0]->deliver());
    // One arrival releases the two frames parked behind it as well.
    EXPECT_EQ(got.messages, (std::vector<std::string>{"0", "1", "2"}));

    // A frame whose turn it is, with nobody waiting, is handed out at once:
    // blocking without touching *status, asynchronously on this thread.
    pair.client.socket->send(text("3"), sent.handler());
    pair.client.socket->send(text("4"), sent.handler());
    pair.client.fakes[0]->complete_send();
    pair.client.fakes[1]->complete_send();
    ASSERT_TRUE(pair.server.fakes[1]->deliver());
    ASSERT_TRUE(pair.server.fakes[0]->deliver());
    Status untouched(Status::TRANSPORT_STATUS_TRY_AGAIN, "untouched");
    EXPECT_EQ(str(pair.server.socket->recv(&untouched)), "3");
    EXPECT_EQ(untouched, Status(Status::TRANSPORT_STATUS_TRY_AGAIN, "untouched"));
    pair.server.socket->recv(got.handler());
    EXPECT_EQ(got.messages.back(), "4");
}

// A receive callback that asks for the next message while it is already
// parked is answered after the callback returns, not inside it: a long run
// of parked frames must not grow the stack.
TEST(MultiplexedOrdering, ReceivingAgainFromTheCallbackDoesNotNest)
{
    Pair pair = connected_pair(1);
    constexpr std::uint64_t COUNT = 2000;
    for (std::uint64_t uid = 0; uid < COUNT;) {
        pair.server.fakes[0]->push_inbox(Probe::create_multiplex_frame(text(std::to_string(uid)), uid));
        ASSERT_TRUE(pair.server.fakes[0]->deliver());
    }
    std::uint64_t received = 0;
    int depth = 0, deepest = 0;
    recv_handler_t next = [&](SocketImpl& socket, Message message, Status status) {
        deepest = std::max(deepest, ++depth);
        EXPECT_EQ(str(message), std::to_string(received)) << status;
        if (++received < COUNT) {
            socket.recv(next);
        }
        --depth;
    };
    pair.server.socket->recv(next);
    EXPECT_EQ(received, COUNT);
    EXPECT_EQ(deepest, 1);
}

TEST(MultiplexedClose, WakesEveryQueuedCallerWithShutdown)
{
    Pair pair = connected_pair(2);
    Completion<std::pair<std::string, Status>> blocked_recv;
    Completion<Status> blocked_send;
    std::thread receiver([&] {
        Status status;
        Message m = pair.server.socket->recv(&status);
        blocked_recv.set({str(m), status});
    });
    std::thread sender([&] { blocked_send.set(pair.client.socket->send(text("never completes"))); });
    Received got;
    Sent sent;
    pair.server.socket->recv(got.handler());
    pair.client.socket->send(text("neither"), sent.handler());
    ASSERT_TRUE(eventually([&] { return pair.server.socket->waiting_receivers() == 2; }));
    ASSERT_TRUE(eventually([&] { return pair.client.socket->waiting_senders() == 2; }));

    EXPECT_EQ(pair.server.socket->close(), Status());
    EXPECT_EQ(pair.client.socket->close(), Status());
    auto r = blocked_recv.wait();
    auto s = blocked_send.wait();
    join_or_die(receiver, r.has_value());
    join_or_die(sender, s.has_value());
    EXPECT_EQ(r->second, SHUTDOWN);
    EXPECT_EQ(*s, Status()) << "a blocking send returns once its frame is queued";
    EXPECT_EQ(got.statuses, std::vector<Status>{SHUTDOWN});
    EXPECT_EQ(sent.statuses, std::vector<Status>{SHUTDOWN});
    for (FakeSocket* fake : pair.client.fakes) {
        EXPECT_TRUE(fake->closed());
    }

    // Afterwards everything is refused at once, on the calling thread.
    pair.server.socket->recv(got.handler());
    pair.client.socket->send(text("late"), sent.handler());
    EXPECT_EQ(got.statuses.size(), 2u);
    EXPECT_EQ(sent.statuses.back(), SHUTDOWN);
    EXPECT_EQ(pair.client.socket->send(text("late")), SHUTDOWN);
    Status status;
    EXPECT_TRUE(pair.server.socket->recv(&status).null());
    EXPECT_EQ(status, SHUTDOWN);
    bool refused = false;
    pair.server.socket->accept_async([&](SocketImpl&, Socket s2, Status st) { refused = !s2 && st == SHUTDOWN; });
    EXPECT_TRUE(refused);
}

TEST(MultiplexedFailure, LostConnectionsWakeReceiversAndTheLastFailsEverything)
{
    Pair pair = connected_pair(3);
    Received got;
    pair.server.socket->recv(got.handler());
    pair.server.fakes[2]->fail_recv();
    // One connection lost, two left: the receiver hears of it, no error.
    EXPECT_EQ(got.messages, std::vector<std::string>{"<null>"});
    EXPECT_EQ(got.statuses, std::vector<Status>{Status()});
    EXPECT_TRUE(pair.server.fakes[2]->closed());
    EXPECT_FALSE(pair.server.fakes[2]->recv_armed());

    Sent sent;
    pair.client.socket->send(text("m0"), sent.handler());
    pair.client.fakes[0]->complete_send();
    ASSERT_TRUE(pair.server.fakes[0]->deliver()); // parked, nobody waiting
    pair.server.fakes[0]->fail_recv();
    pair.server.fakes[1]->fail_recv(Status()); // orderly end counts the same
    // What arrived in order is still delivered; then failure, at once.
    pair.server.socket->recv(got.handler());
    pair.server.socket->recv(got.handler());
    EXPECT_EQ(got.messages, (std::vector<std::string>{"<null>", "m0", "<null>"}));
    EXPECT_EQ(got.statuses.back(), ALL_FAILED);

    // Sending side: four frames in flight over three connections (connection
    // 0 carries two) when the connections go one by one. Each aborted frame
    // fails one sender; the last loss fails whoever is left.
    for (const char* m : {"m1", "m2", "m3", "m4"}) {
        pair.client.socket->send(text(m), sent.handler());
    }
    EXPECT_EQ(pair.client.fakes[0]->pending_sends(), 2u);
    for (FakeSocket* fake : pair.client.fakes) {
        fake->fail_recv();
    }
    const Status aborted(Status::TRANSPORT_STATUS_OPERATION_ABORTED, "Operation aborted");
    EXPECT_EQ(sent.statuses, (std::vector<Status>{Status(), aborted, aborted, aborted, ALL_FAILED}));
    EXPECT_EQ(pair.client.socket->send(text("late")), ALL_FAILED);
}

TEST(MultiplexedFailure, ShortDataFrameFailsItsConnection)
{
    Pair pair = connected_pair(2);
    Received got;
    pair.server.socket->recv(got.handler());
    pair.server.socket->recv(got.handler());
    pair.server.fakes[0]->push_inbox(text("short"));
    ASSERT_TRUE(pair.server.fakes[0]->deliver());
    EXPECT_TRUE(pair.server.fakes[0]->closed());
    EXPECT_FALSE(pair.server.fakes[0]->recv_armed());
    // An 8-byte frame is an empty message, not a failure.
    std::uint64_t uid = 0;
    pair.server.fakes[1]->push_inbox(Probe::create_multiplex_frame(Message(), uid));
    ASSERT_TRUE(pair.server.fakes[1]->deliver());
    EXPECT_EQ(got.messages, (std::vector<std::string>{"<null>", "<null>"}));
    EXPECT_EQ(got.statuses, std::vector<Status>(2));
    EXPECT_TRUE(pair.server.fakes[1]->recv_armed());
}

// A data frame whose payload is `size` bytes of the uid's low byte.
Message data_frame(std::uint64_t uid, std::size_t size)
{
    Message frame(static_cast<korvane_buf_len_t>(8 + size));
    endian::store_big64(frame.buffer(), uid);
    std::memset(static_cast<char*>(frame.buffer()) + 8, static_cast<int>(uid & 0xff), size);
    return frame;
}

TEST(MultiplexedFlowControl, ParkedFramesStayBoundedAndReadingResumesAsTheApplicationTakesThem)
{
    Pair pair = connected_pair(2);
    FakeSocket& ahead = *pair.server.fakes[0];
    FakeSocket& other = *pair.server.fakes[1];
    const std::size_t size = std::size_t(4) << 20;

    // Frames 1, 2, ... arrive on one connection while uid 0 has not: they
    // park until the bound, and that connection stops reading there.
    std::uint64_t uid = 1;
    while (ahead.recv_armed()) {
        ASSERT_LT(uid, 100u) << "a connection running ahead was never held back";
        ahead.push_inbox(data_frame(uid++, size));
        ASSERT_TRUE(ahead.deliver());
    }
    const std::size_t parked = uid - 1;
    EXPECT_GE(parked * size, Probe::MAX_PARKED_BYTES);
    EXPECT_LT((parked - 1) * size, Probe::MAX_PARKED_BYTES);

    // The other connection may still carry uid 0, so it reads on; once it has
    // delivered it, nothing justifies reading further.
    EXPECT_TRUE(other.recv_armed());
    other.push_inbox(data_frame(0, 1));
    ASSERT_TRUE(other.deliver());
    EXPECT_FALSE(other.recv_armed());
    EXPECT_FALSE(ahead.recv_armed());

    // The application takes frames, blocking and asynchronously: reading
    // resumes once the parked frames are below the bound again.
    Status status;
    Message first = pair.server.socket->recv(&status);
    ASSERT_EQ(first.length(), 1);
    EXPECT_EQ(static_cast<const char*>(first.buffer())[0], 0);
    EXPECT_TRUE(other.recv_armed()); // may carry uid 1 as far as it knows
    EXPECT_FALSE(ahead.recv_armed());
    Received got;
    pair.server.socket->recv(got.handler());
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_EQ(got.messages[0], std::string(size, '\x01'));
    EXPECT_TRUE(ahead.recv_armed());

    // Nothing was lost while reading was held back.
    for (std::uint64_t next = 2; next < uid; ++next) {
        Message message = pair.server.socket->recv(&status);
        ASSERT_EQ(static_cast<std::size_t>(message.length()), size) << status;
        EXPECT_EQ(static_cast<const unsigned char*>(message.buffer())[size - 1], next & 0xff);
    }
    ahead.push_inbox(data_frame(uid, 3));
    ASSERT_TRUE(ahead.deliver());
    EXPECT_EQ(pair.server.socket->recv(&status).length(), 3);
}

TEST(MultiplexedOrdering, DuplicateFramesAreDeliveredOnceAndLeaveNothingParked)
{
    // A peer repeats a frame beyond a gap and frames in order: each is
    // delivered once, and the repeats count against no bound.
    Pair pair = connected_pair(2);
    for (std::uint64_t uid : {2, 2, 3}) {
        pair.server.fakes[0]->push_inbox(data_frame(uid, 1));
        ASSERT_TRUE(pair.server.fakes[0]->deliver());
    }
    for (std::uint64_t uid : {0, 0, 1, 1, 0}) {
        pair.server.fakes[1]->push_inbox(data_frame(uid, 1));
        ASSERT_TRUE(pair.server.fakes[1]->deliver());
    }
    Received got;
    for (int i = 0; i < 5; ++i) {
        pair.server.socket->recv(got.handler());
    }
    ASSERT_EQ(got.messages, (std::vector<std::string>{std::string(1, '\0'), "\1", "\2", "\3"}));
    EXPECT_EQ(0u, pair.server.socket->parked_bytes());
    pair.server.fakes[1]->push_inbox(data_frame(4, 1));
    ASSERT_TRUE(pair.server.fakes[1]->deliver());
    EXPECT_EQ(got.messages.back(), "\4");

    // A delivered payload shares its frame's buffer, and is still a message
    // like any other: its length may be set within what it holds.
    pair.server.fakes[1]->push_inbox(data_frame(5, 3));
    ASSERT_TRUE(pair.server.fakes[1]->deliver());
    Timeouts bounded;
    bounded.recv = std::chrono::seconds(5); // a broken build fails, never hangs
    pair.server.socket->timeouts(bounded);
    Status status;
    Message last = pair.server.socket->recv(&status);
    ASSERT_EQ(3, last.length()) << status;
    EXPECT_TRUE(last.length(2));
    EXPECT_FALSE(last.length(last.capacity() + 1));
}

TEST(MultiplexedFailure, FrameLostWithAConnectionFailsReceiversInsteadOfStalling)
{
    Pair pair = connected_pair(2);
    Sent sent;
    for (const char* m : {"m0", "m1"}) {
        pair.client.socket->send(text(m), sent.handler());
    }
    pair.client.fakes[1]->complete_send();
    pair.client.socket->send(text("m2"), sent.handler()); // to the idle connection 1
    pair.client.fakes[1]->complete_send();
    pair.client.fakes[0]->complete_send(0, Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "pipe"));
    // Senders complete in call order, one per finished frame; the lost one
    // is reported instead of leaving its sender waiting.
    EXPECT_EQ(sent.statuses.size(), 3u);
    EXPECT_EQ(sent.statuses[2].code(), Status::TRANSPORT_STATUS_BROKEN_PIPE);
    EXPECT_TRUE(pair.client.fakes[0]->closed());

    Received got;
    pair.server.socket->recv(got.handler());
    ASSERT_TRUE(pair.server.fakes[1]->deliver()); // uid 1: connection 0 may still bring uid 0
    EXPECT_TRUE(got.messages.empty());
    pair.server.fakes[0]->fail_recv(); // now uid 0 cannot come any more
    pair.server.socket->recv(got.handler());
    ASSERT_EQ(got.statuses.size(), 2u);
    EXPECT_EQ(got.statuses[0], Status()); // the lost-connection notice
    EXPECT_EQ(got.statuses[1].code(), Status::TRANSPORT_STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(got.statuses[1].message(), "A message was lost with a failed connection");
}

TEST(MultiplexedFailure, SendFailingBeforeTheCallReturnsClosesOnlyThatConnection)
{
    Pair pair = connected_pair(2);
    const Status too_large(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, "too large");
    pair.client.fakes[0]->fail_sends_at_once = too_large;
    Sent sent;
    pair.client.socket->send(text("m0"), sent.handler()); // lost on connection 0
    pair.client.socket->send(text("m1"), sent.handler());
    EXPECT_EQ(sent.statuses, std::vector<Status>{too_large});
    EXPECT_TRUE(pair.client.fakes[0]->closed());
    pair.client.fakes[1]->complete_send();
    EXPECT_EQ(sent.statuses.size(), 2u);
    EXPECT_EQ(sent.statuses[1], Status());
}

// A message too large for a frame is refused with the caller's size before
// it is numbered: the stream goes on with the next uid, on every connection.
// Empty callbacks and stages on the socket's own pipeline are refused too.
TEST(MultiplexedSend, OversizedAndMisusedSendsAreRefusedWithNothingStarted)
{
    Sent sent; // outlives the pair, whose close() still answers it
    Pair pair = connected_pair(1);
    FakeSocket& wire = *pair.client.fakes[0];
    const std::size_t before = wire.sent().size();
    pair.client.socket->send(Message(5242873), sent.handler());
    ASSERT_EQ(sent.statuses.size(), 1u);
    EXPECT_EQ(sent.statuses[0].code(), Status::TRANSPORT_STATUS_MSG_TOO_LARGE);
    EXPECT_NE(sent.statuses[0].message().find("5242873"), std::string::npos) << sent.statuses[0].message();
    EXPECT_EQ(pair.client.socket->send(Message(6000000)).code(), Status::TRANSPORT_STATUS_MSG_TOO_LARGE);
    pair.client.socket->send(text("nobody hears"), send_handler_t());
    pair.client.socket->recv(recv_handler_t());
    EXPECT_EQ(wire.sent().size(), before);
    EXPECT_EQ(pair.client.socket->waiting_receivers(), 0u);
    Message full(5242872);
    t_refuse_huge = true; // no memory for its frame: refused, nothing numbered
    const Status blocking = pair.client.socket->send(full);
    pair.client.socket->send(full, sent.handler());
    t_refuse_huge = false;
    EXPECT_EQ(blocking, Status(Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory"));
    EXPECT_EQ(sent.statuses.back(), blocking);

    pair.client.socket->send(Message(5242872), sent.handler()); // exactly a full frame
    ASSERT_EQ(wire.sent().size(), before + 1);
    EXPECT_EQ(wire.sent().back().length(), 5242880);
    EXPECT_EQ(Probe::mutliplex_frame_id(wire.sent().back()), 0u);
    EXPECT_FALSE(wire.closed());

    // Over compressing connections the limit is the worst case of the stages.
    Pair compressing = connected_pair(1);
    compressing.client.fakes[0]->pipeline().append_encoder(std::make_shared<Compressor>());
    compressing.client.socket->send(Message(5242872), sent.handler());
    EXPECT_NE(sent.statuses.back().message().find("5242872 bytes may grow"), std::string::npos)
        << sent.statuses.back().message();
    EXPECT_EQ(compressing.client.socket->send(Message(5200000)), Status());

    Side staged = make_side(1);
    staged.socket->pipeline().append_encoder(std::make_shared<Encryptor>());
    EXPECT_EQ(staged.socket->connect("peer", 1).code(), Status::TRANSPORT_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(staged.socket->bind(1, "*").code(), Status::TRANSPORT_STATUS_INVALID_ARGUMENT);
}

// A blocking send returns once its frame is queued; a later failure of that
// frame is told by the next send and by close(). The queue is bounded: past
// the mark asynchronous sends are refused; blocking ones wait for room below
// a lower mark.
TEST(MultiplexedSend, BlockingSendReturnsWhenQueuedWithinABoundedQueue)
{
    Sent sent;
    Pair pair = connected_pair(2);
    const Status pipe(Status::TRANSPORT_STATUS_BROKEN_PIPE, "pipe");
    EXPECT_EQ(pair.client.socket->send(text("a")), Status());
    EXPECT_EQ(pair.client.fakes[0]->pending_sends(), 1u) << "returned before its frame went out";
    pair.client.fakes[0]->complete_send(0, pipe);
    EXPECT_EQ(pair.client.socket->send(text("b")), pipe);
    EXPECT_EQ(pair.client.socket->send(text("c")), Status());

    // Connection 1 takes "c" and one large frame, up to its bound of bytes
    // in flight: everything else waits in the queue.
    const std::size_t size = Probe::MAX_BYTES_IN_FLIGHT;
    for (std::size_t i = 0; i < Probe::SEND_QUEUE_HIGH_WATER / size + 1; ++i) {
        pair.client.socket->send(Message(static_cast<korvane_buf_len_t>(size)), sent.handler());
    }
    pair.client.socket->send(Message(static_cast<korvane_buf_len_t>(size)), sent.handler());
    ASSERT_EQ(sent.statuses.size(), 1u);
    EXPECT_EQ(sent.statuses[0].code(), Status::TRANSPORT_STATUS_TRY_AGAIN);
    Timeouts bounded;
    bounded.send = std::chrono::milliseconds(20);
    pair.client.socket->timeouts(bounded);
    EXPECT_EQ(pair.client.socket->send(Message(static_cast<korvane_buf_len_t>(size))),
              Status(Status::TRANSPORT_STATUS_TIMEOUT, "Multiplexed send timed out waiting for room"));
    pair.client.socket->timeouts(Timeouts());
    Completion<Status> blocked;
    std::thread sender([&] { blocked.set(pair.client.socket->send(Message(static_cast<korvane_buf_len_t>(size)))); });
    EXPECT_FALSE(blocked.wait(std::chrono::milliseconds(50))) << "waits for room";
    // "c", then a frame per completion leaves the queue (each 8 bytes above
    // `size`): a blocking send waits until the queue is below its own, lower
    // bound, while asynchronous sends would be taken again already.
    const std::size_t queued = Probe::SEND_QUEUE_HIGH_WATER / size;
    for (std::size_t done = 0; done <= queued - Probe::BLOCKING_SEND_AHEAD / size; ++done) {
        pair.client.fakes[1]->complete_send();
    }
    EXPECT_FALSE(blocked.wait(std::chrono::milliseconds(20))) << "a bound's worth is still queued";
    pair.client.fakes[1]->complete_send();
    auto result = blocked.wait();
    join_or_die(sender, result.has_value());
    EXPECT_EQ(*result, Status());
    EXPECT_EQ(pair.client.socket->close(), pipe);
}

TEST(MultiplexedConnect, BlockingConnectStopsAtTheFirstFailure)
{
    Side side = make_side(3);
    const Status refused(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "refused");
    side.fakes[1]->connect_result = refused;
    EXPECT_EQ(side.socket->connect("peer", 1), refused);
    EXPECT_EQ(side.fakes[0]->sent().size(), 1u);
    EXPECT_TRUE(side.fakes[2]->sent().empty());
    for (FakeSocket* fake : side.fakes) {
        EXPECT_TRUE(fake->closed());
    }
    EXPECT_EQ(side.socket->send(text("x")), SHUTDOWN);
    Status status;
    side.socket->recv(&status);
    EXPECT_EQ(status, SHUTDOWN);
}

TEST(MultiplexedConnect, AsyncConnectReportsEachFailureAndSuccessOnlyWhenAllAreReady)
{
    Side ok = make_side(3);
    Sent outcome;
    ok.socket->connect("peer", 1, outcome.handler());
    for (FakeSocket* fake : ok.fakes) {
        fake->complete_connect();
    }
    ok.fakes[0]->complete_send();
    ok.fakes[2]->complete_send();
    EXPECT_TRUE(outcome.statuses.empty());
    EXPECT_FALSE(ok.fakes[1]->recv_armed()) << "frames must wait for the whole group";
    ok.fakes[1]->complete_send();
    EXPECT_EQ(outcome.statuses, std::vector<Status>{Status()});
    for (FakeSocket* fake : ok.fakes) {
        EXPECT_EQ(bytes(fake->sent().at(0)).size(), 12u);
        EXPECT_TRUE(fake->recv_armed());
    }

    Side bad = make_side(3);
    Sent failures;
    bad.socket->connect("peer", 1, failures.handler());
    bad.fakes[0]->complete_connect();
    bad.fakes[1]->complete_connect(Status(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "refused"));
    bad.fakes[2]->complete_connect();
    bad.fakes[0]->complete_send();
    bad.fakes[2]->complete_send();
    ASSERT_EQ(failures.statuses.size(), 1u);
    EXPECT_EQ(failures.statuses[0].code(), Status::TRANSPORT_STATUS_CONNECTION_REFUSED);
}

TEST(MultiplexedServer, BindStartAndStopTouchOnlyTheirSocket)
{
    Side two = make_side(2);
    const std::string cannot = "Cannot bind a multiplex socket containing multiple underlying sockets";
    EXPECT_EQ(two.socket->bind(1, "*").message(), cannot);
    EXPECT_FALSE(two.socket->is_server());
    Status refused;
    two.socket->accept_async([&](SocketImpl&, Socket, Status s) { refused = s; });
    EXPECT_EQ(refused, Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, cannot));
    Status status;
    EXPECT_FALSE(two.socket->accept(&status));
    EXPECT_EQ(status.message(), "Synchronous accept is not supported");

    // Only the first start() on a thread runs the loop; stop() goes to the
    // first socket only.
    std::thread([&] {
        EXPECT_EQ(two.socket->start(), Status());
        EXPECT_EQ(two.socket->start(), Status());
    }).join();
    EXPECT_EQ(two.fakes[0]->starts(), 1);
    two.socket->stop();
    EXPECT_EQ(two.fakes[0]->stops(), 1);
    EXPECT_EQ(two.fakes[1]->stops(), 0);

    Side one = make_side(1);
    one.fakes[0]->bind_result = Status(Status::TRANSPORT_STATUS_ADDRESS_IN_USE, "in use");
    EXPECT_EQ(one.socket->bind(1, "*").code(), Status::TRANSPORT_STATUS_ADDRESS_IN_USE);
    EXPECT_TRUE(one.socket->is_server());

    EXPECT_FALSE(MultiplexedSocket::create({}));
    std::vector<Socket> with_hole;
    with_hole.emplace_back(new FakeSocket);
    with_hole.emplace_back();
    EXPECT_FALSE(MultiplexedSocket::create(std::move(with_hole)));
}

class AcceptLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        side = make_side(1);
        listener = side.fakes[0];
        ASSERT_EQ(side.socket->bind(1, "*"), Status());
        std::thread([this] { side.socket->start(); }).join(); // arms the loop
        ASSERT_TRUE(listener->accept_armed());
    }

    FakeSocket* arrive(bool* destroyed = nullptr)
    {
        auto* fake = new FakeSocket;
        fake->destroyed = destroyed;
        listener->complete_accept(Socket(fake));
        EXPECT_TRUE(fake->recv_armed()) << "waits for its id frame";
        EXPECT_TRUE(listener->accept_armed()) << "loop re-armed";
        return fake;
    }

    void identify(FakeSocket* fake, Message first)
    {
        fake->push_inbox(std::move(first));
        ASSERT_TRUE(fake->deliver());
    }

    std::vector<Socket> accepted;
    accept_handler_t collect()
    {
        return [this](SocketImpl&, Socket socket, Status status) {
            EXPECT_EQ(status, Status());
            accepted.push_back(std::move(socket));
        };
    }

    Side side;
    FakeSocket* listener = nullptr;
};

TEST_F(AcceptLoop, InterleavedGroupsOfDifferentSizesCompleteIndependently)
{
    side.socket->accept_async(collect());
    side.socket->accept_async(collect());
    FakeSocket* y1 = arrive();
    FakeSocket* x1 = arrive();
    FakeSocket* y2 = arrive();
    FakeSocket* x2 = arrive();
    identify(y1, id_frame(0xAAAA, 3));
    identify(x1, id_frame(0xBBBB, 2));
    identify(y2, id_frame(0xAAAA, 3));
    EXPECT_TRUE(accepted.empty());
    identify(x2, id_frame(0xBBBB, 2));
    ASSERT_EQ(accepted.size(), 1u); // the pair, handed to the oldest caller
    EXPECT_TRUE(x1->recv_armed() && x2->recv_armed()) << "the new socket listens on its connections";
    EXPECT_TRUE(y1->recv_armed()) << "a waiting connection keeps listening, to see its peer close";
    identify(arrive(), id_frame(0xAAAA, 3));
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_TRUE(y1->recv_armed() && y2->recv_armed());

    // The first accepted socket carries the pair's traffic.
    std::uint64_t uid = 0;
    x2->push_inbox(Probe::create_multiplex_frame(text("hi"), uid));
    ASSERT_TRUE(x2->deliver());
    Received got;
    accepted[0]->recv(got.handler());
    EXPECT_EQ(got.messages, std::vector<std::string>{"hi"});
}

TEST_F(AcceptLoop, MalformedIdFramesDropTheConnection)
{
    side.socket->accept_async(collect());
    bool short_gone = false, zero_gone = false, failed_gone = false;
    identify(arrive(&short_gone), text("elevenbytes"));
    identify(arrive(&zero_gone), id_frame(0xCCCC, 0));
    arrive(&failed_gone)->fail_recv();
    EXPECT_TRUE(short_gone && zero_gone && failed_gone);
    identify(arrive(), id_frame(0xCCCC, 1));
    EXPECT_EQ(accepted.size(), 1u);
}

TEST_F(AcceptLoop, GroupWaitingForACallerGoesToTheNextAcceptAtOnce)
{
    identify(arrive(), id_frame(0xDDDD, 1));
    EXPECT_TRUE(accepted.empty());
    side.socket->accept_async(collect());
    EXPECT_EQ(accepted.size(), 1u) << "answered on the calling thread";
}

TEST_F(AcceptLoop, StopsReArmingOnceTheListenerOrTheSocketIsClosed)
{
    listener->complete_accept(Socket(), Status(Status::TRANSPORT_STATUS_CONNECTION_ABORTED, "peer gave up"));
    EXPECT_TRUE(listener->accept_armed()) << "an ordinary failure keeps the loop going";
    listener->complete_accept(Socket(), Status(Status::TRANSPORT_STATUS_OPERATION_ABORTED, "aborted"));
    EXPECT_FALSE(listener->accept_armed());
    std::thread([this] { side.socket->start(); }).join();
    listener->complete_accept(Socket(), Status(Status::TRANSPORT_STATUS_BAD_DESCRIPTOR, "closed"));
    EXPECT_FALSE(listener->accept_armed());
    std::thread([this] { side.socket->start(); }).join();
    listener->complete_accept(Socket(), Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation"));
    EXPECT_FALSE(listener->accept_armed());

    std::thread([this] { side.socket->start(); }).join();
    Status queued;
    side.socket->accept_async([&](SocketImpl&, Socket, Status s) { queued = s; });
    listener->abort_on_close = false; // the accept completes after close(), and succeeds
    side.socket->close();
    EXPECT_EQ(queued, SHUTDOWN);
    bool late_gone = false;
    auto* late = new FakeSocket;
    late->destroyed = &late_gone;
    listener->complete_accept(Socket(late));
    EXPECT_TRUE(late_gone);
    EXPECT_FALSE(listener->accept_armed());
}

// A peer that closes while its group waits is released at once; groups too
// large, or more at once than the bound, are refused on arrival.
TEST_F(AcceptLoop, ClosingWaitersAndGroupsPastTheBoundsAreReleased)
{
    bool closer_gone = false, huge_gone = false, extra_gone = false;
    FakeSocket* closer = arrive(&closer_gone);
    identify(closer, id_frame(0xAAAA, 3));
    ASSERT_TRUE(closer->recv_armed());
    closer->fail_recv(Status(Status::TRANSPORT_STATUS_OKAY, "")); // orderly close: a null message
    EXPECT_TRUE(closer_gone);
    identify(arrive(&huge_gone), id_frame(0xBBBB, Probe::MAX_GROUP_SIZE + 1));
    EXPECT_TRUE(huge_gone);
    for (std::uint64_t uuid = 0; uuid < Probe::MAX_ASSEMBLING_GROUPS; ++uuid) {
        identify(arrive(), id_frame(uuid, 2));
    }
    identify(arrive(&extra_gone), id_frame(0xCCCC, 2));
    EXPECT_TRUE(extra_gone);
    // A data frame that comes before its group is complete reaches the
    // group's socket.
    side.socket->accept_async(collect());
    FakeSocket* early = arrive();
    identify(early, id_frame(7, 2));
    std::uint64_t uid = 0;
    early->push_inbox(Probe::create_multiplex_frame(text("early"), uid));
    ASSERT_TRUE(early->deliver());
    identify(arrive(), id_frame(7, 2));
    ASSERT_EQ(accepted.size(), 1u);
    Received got;
    accepted[0]->recv(got.handler());
    EXPECT_EQ(got.messages, std::vector<std::string>{"early"});
}

// Connections that never send their id frame, and groups that never
// complete, are closed once the handshake deadline has passed.
TEST_F(AcceptLoop, ConnectionsAndGroupsThatNeverCompleteExpire)
{
    Timeouts quick;
    quick.handshake = std::chrono::milliseconds(30);
    side.socket->timeouts(quick);
    std::atomic<int> gone{0};
    auto* silent = new FakeSocket;
    silent->gone = &gone;
    listener->complete_accept(Socket(silent));
    auto* partial = new FakeSocket;
    partial->gone = &gone;
    listener->complete_accept(Socket(partial));
    identify(partial, id_frame(0xDDDD, 2));
    EXPECT_TRUE(eventually([&] { return gone == 2; })) << gone << " of 2 released";
}

// An accept that fails for want of descriptors is retried after a pause that
// grows, instead of at once.
TEST_F(AcceptLoop, AcceptFailingForWantOfDescriptorsBacksOff)
{
    const Status exhausted(Status::TRANSPORT_STATUS_NO_DESCRIPTORS, "Too many open files");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(eventually([&] { return listener->accept_armed(); }));
        listener->complete_accept(Socket(), exhausted);
    }
    ASSERT_TRUE(eventually([&] { return listener->accept_armed(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10 + 20 + 40 + 80));
    arrive(); // a success ends the pause: the next failure waits the shortest time again
}

} // namespace
} // namespace korvane
