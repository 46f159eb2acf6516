// Multiplexed sockets over real TCP connections on loopback, with the event
// loop run by two threads inside the listening socket's start(): ordered
// delivery both ways at once, with and without compression and encryption
// under the connections, interleaved groups, failing connects and a peer that
// drops one connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "socket/BasicSocket.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"

namespace korvane {
namespace {

using testing::Completion;
using testing::CountDown;
using testing::LoopRunner;
using Status = Transport::StatusCode;

const Status SHUTDOWN(Status::TRANSPORT_STATUS_SHUTDOWN, "Shutdown was triggered");

struct Frames : MultiplexedSocket {
    using MultiplexedSocket::create_id_frame;
    using MultiplexedSocket::create_multiplex_frame;
};

Socket tcp_socket(bool stages)
{
    Socket socket = BasicSocket::create(std::make_unique<TCPTransport>());
    if (stages) {
        Pipeline& pipeline = socket->pipeline();
        pipeline.append_encoder(std::make_shared<Compressor>());
        pipeline.append_encoder(std::make_shared<Encryptor>());
        pipeline.append_decoder(std::make_shared<Decryptor>());
        pipeline.append_decoder(std::make_shared<Decompressor>());
    }
    return socket;
}

Socket client(std::size_t count, bool stages)
{
    std::vector<Socket> sockets;
    for (std::size_t i = 0; i < count; ++i) {
        sockets.push_back(tcp_socket(stages));
    }
    return MultiplexedSocket::create(std::move(sockets));
}

Message text(const std::string& s)
{
    return Message(s.data(), static_cast<korvane_buf_len_t>(s.size()));
}

std::string str(const Message& m)
{
    return m.null() ? std::string() : std::string(static_cast<const char*>(m.buffer()), m.length());
}

// Message `i` of a stream: its number and a body whose size varies, so that
// frames of different lengths overtake each other on different connections.
std::string body(char stream, int i)
{
    return std::string(1, stream) + std::to_string(i) + ":" + std::string(static_cast<std::size_t>(i * 37 % 4000), 'x');
}

void join_or_die(std::thread& thread, bool finished)
{
    if (!finished) {
        std::fprintf(stderr, "FATAL: a blocking call is still waiting after the deadline\n");
        std::_Exit(1);
    }
    thread.join();
}

// Sends `count` messages of `stream` on `from` and receives the peer's stream
// on `to`, blocking or asynchronously; returns the number of messages that
// failed or arrived out of order, or -1 when the deadline passed.
int stream_one_way(SocketImpl& from, SocketImpl& to, char stream, int count, bool async)
{
    std::atomic<int> bad{0};
    CountDown sent(count), received(count);
    if (async) {
        for (int i = 0; i < count; ++i) {
            from.send(text(body(stream, i)), [&](SocketImpl&, Status s) {
                bad += !s;
                sent.arrive();
            });
        }
        // Each handler re-arms before it counts itself: once the last one has
        // counted, this frame may be gone.
        std::function<void(int)> arm = [&, count](int i) {
            to.recv([&, count, i](SocketImpl&, Message m, Status s) {
                bad += !s || str(m) != body(stream, i);
                if (i + 1 < count) {
                    arm(i + 1);
                }
                received.arrive();
            });
        };
        arm(0);
        return sent.wait() && received.wait() ? bad.load() : -1;
    }
    Completion<bool> sender_done;
    std::thread sender([&] {
        for (int i = 0; i < count; ++i) {
            bad += !from.send(text(body(stream, i)));
        }
        sender_done.set(true);
    });
    for (int i = 0; i < count; ++i) {
        Status status;
        bad += str(to.recv(&status)) != body(stream, i) || !status;
    }
    join_or_die(sender, sender_done.wait().has_value());
    return bad;
}

// Both directions at once.
void exchange(SocketImpl& a, SocketImpl& b, int count, bool async)
{
    Completion<int> reverse;
    std::thread other([&] { reverse.set(stream_one_way(b, a, 'b', count, async)); });
    EXPECT_EQ(stream_one_way(a, b, 'a', count, async), 0) << count << (async ? " async" : " blocking");
    auto result = reverse.wait();
    join_or_die(other, result.has_value());
    EXPECT_EQ(*result, 0) << count << (async ? " async, reverse" : " blocking, reverse");
}

class MultiplexedLoopback : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        std::vector<Socket> listening;
        listening.push_back(tcp_socket(GetParam()));
        SocketImpl& inner = *listening.back();
        listener = MultiplexedSocket::create(std::move(listening));
        ASSERT_EQ(listener->bind(0, "127.0.0.1"), Status());
        port = testing::bound_port(inner);
        loop.emplace(2, [this] { listener->start(); });
    }

    void TearDown() override
    {
        for (Socket* socket : {&listener, &accepted, &connected}) {
            if (*socket) {
                (*socket)->close();
            }
        }
        for (Socket& socket : keep) {
            socket->close();
        }
        loop.reset(); // drains the aborted operations before the sockets go
    }

    /// One basic connection that introduces itself as a member of group `uuid`.
    Socket hand_made_connection(std::uint64_t uuid, std::uint32_t total)
    {
        Socket socket = tcp_socket(GetParam());
        if (socket->connect("127.0.0.1", port).code() < 0 ||
            socket->send(Frames::create_id_frame(uuid, total)).code() < 0) {
            return Socket();
        }
        return socket;
    }

    /// Connects a client of `count` connections and takes the server's end.
    void connect(std::size_t count)
    {
        Completion<Socket> group;
        listener->accept_async([&](SocketImpl&, Socket s, Status st) {
            EXPECT_EQ(st, Status());
            group.set(std::move(s));
        });
        connected = client(count, GetParam());
        ASSERT_EQ(connected->connect("127.0.0.1", port), Status());
        auto server = group.wait();
        ASSERT_TRUE(server && *server);
        accepted = std::move(*server);
    }

    std::uint16_t port = 0;
    Socket listener;
    Socket accepted;
    Socket connected;
    std::vector<Socket> keep;
    std::optional<LoopRunner<TCPTransport>> loop;
};

TEST_P(MultiplexedLoopback, TenAndAThousandMessagesOverThreeConnectionsBothWaysInOrder)
{
    connect(3);
    for (bool async : {false, true}) {
        for (int count : {10, 1000}) {
            exchange(*connected, *accepted, count, async);
        }
    }
}

// Large blocking sends go out from the caller's buffer, which it overwrites
// as soon as each send returns; small ones between them are copied. Once
// the peer stops reading, a bounded send times out instead of waiting on.
TEST_P(MultiplexedLoopback, LargeBlockingSendsFromAReusedBufferArriveIntactAndInOrder)
{
    connect(3);
    Timeouts patient;
    patient.recv = std::chrono::seconds(20);
    accepted->timeouts(patient);
    const auto size_of = [](int i) { return i % 3 == 2 ? 100 : 40000 + i * 23011 % 600000; };
    const auto fill = [](Message& m, int i) { std::memset(m.buffer(), 'a' + i % 26, std::size_t(m.length())); };
    const int count = 60;
    Completion<int> sender_bad;
    std::thread sender([&] {
        int bad = 0;
        for (int i = 0; i < count; ++i) {
            Message m(size_of(i));
            fill(m, i);
            bad += !connected->send(m);
            fill(m, i + 1);
        }
        sender_bad.set(bad);
    });
    for (int i = 0; i < count; ++i) {
        const Message m = accepted->recv(nullptr);
        const std::string expected(static_cast<std::size_t>(size_of(i)), static_cast<char>('a' + i % 26));
        ASSERT_EQ(str(m), expected) << "message " << i;
    }
    auto bad = sender_bad.wait();
    join_or_die(sender, bad.has_value());
    EXPECT_EQ(*bad, 0);

    // The wait for room times out, or the connections' writes do first and
    // every connection fails. The bytes do not compress, so they fill the
    // connections.
    Timeouts bounded;
    bounded.send = std::chrono::milliseconds(50);
    connected->timeouts(bounded);
    Message large(1 << 20);
    std::uint32_t noise = 1;
    for (korvane_buf_len_t i = 0; i < large.length(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        static_cast<char*>(large.buffer())[i] = static_cast<char>(noise >> 24);
    }
    Status status;
    for (int i = 0; i < 200 && status; ++i) {
        status = connected->send(large);
    }
    EXPECT_TRUE(status.code() == Status::TRANSPORT_STATUS_TIMEOUT ||
                status == Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Every underlying connection has failed"))
        << status.message();
}

TEST_P(MultiplexedLoopback, CloseDuringTrafficReleasesEveryBlockedCaller)
{
    connect(3);
    CountDown flowing(50);
    Completion<Status> sender_end[2], receiver_end;
    std::vector<std::thread> threads;
    for (auto& end : sender_end) {
        threads.emplace_back([&] {
            Status status;
            while ((status = connected->send(text(body('a', 2000)))).code() >= 0) {
            }
            end.set(status);
        });
    }
    threads.emplace_back([&] {
        Status status;
        for (;;) {
            Message m = accepted->recv(&status);
            if (status.code() < 0) {
                break;
            }
            flowing.arrive();
        }
        receiver_end.set(status);
    });
    ASSERT_TRUE(flowing.wait());
    EXPECT_EQ(connected->close(), Status());
    auto first = sender_end[0].wait(), second = sender_end[1].wait();
    // The server loses every connection: its receiver fails instead of waiting.
    auto received = receiver_end.wait();
    join_or_die(threads[0], first.has_value());
    join_or_die(threads[1], second.has_value());
    join_or_die(threads[2], received.has_value());
    EXPECT_EQ(*first, SHUTDOWN);
    EXPECT_EQ(*second, SHUTDOWN);
    EXPECT_LT(received->code(), 0);
}

// Destroying a multiplexed socket with receives outstanding on its
// connections, from its own callback on a loop thread and from another
// thread: the completions that follow find it gone.
TEST_P(MultiplexedLoopback, DestroyedFromItsOwnCallbackOrAnotherThreadWithOperationsOutstanding)
{
    connect(3);
    Completion<std::string> first;
    Completion<Status> queued;
    accepted->recv([&](SocketImpl&, Message m, Status) {
        accepted.reset();
        first.set(str(m));
    });
    accepted->recv([&](SocketImpl&, Message, Status s) { queued.set(s); });
    connected->send(text("one")); // may see the server's close before its own completion
    EXPECT_EQ(first.wait(), std::optional<std::string>("one"));
    EXPECT_EQ(queued.wait(), std::optional<Status>(SHUTDOWN));

    // The client still has receives armed on all three connections, and the
    // server's end of them closes now.
    Completion<Status> abandoned;
    connected->recv([&](SocketImpl&, Message, Status s) { abandoned.set(s); });
    connected.reset();
    auto late = abandoned.wait(); // the server's close may have come first
    ASSERT_TRUE(late);
    EXPECT_LT(late->code(), 0);
    // The loop goes on serving: the next client gets a group.
    connect(2);
    ASSERT_EQ(connected->send(text("two")), Status());
    Status status;
    EXPECT_EQ(str(accepted->recv(&status)), "two") << status;
}

TEST_P(MultiplexedLoopback, PeerClosingOneConnectionWakesTheWaitingReceiver)
{
    // The peer is a hand-made group, so that the test alone decides which of
    // its connections goes and when.
    Completion<Socket> group;
    listener->accept_async([&](SocketImpl&, Socket s, Status) { group.set(std::move(s)); });
    std::vector<Socket> peer;
    for (int i = 0; i < 3; ++i) {
        peer.push_back(hand_made_connection(0xC, 3));
        ASSERT_TRUE(peer.back());
    }
    auto server = group.wait();
    ASSERT_TRUE(server && *server);
    keep.push_back(std::move(*server));
    SocketImpl& receiver = *keep.back();

    Completion<std::pair<bool, Status>> woken;
    receiver.recv([&](SocketImpl&, Message m, Status s) { woken.set({m.null(), s}); });
    peer[1]->close();
    auto notice = woken.wait();
    ASSERT_TRUE(notice);
    EXPECT_TRUE(notice->first);
    EXPECT_EQ(notice->second, Status());

    // The stream goes on over the two connections left.
    std::uint64_t uid = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(peer[i % 2 == 0 ? 2 : 0]->send(Frames::create_multiplex_frame(text(body('a', i)), uid)), Status());
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(str(receiver.recv(nullptr)), body('a', i));
    }
    for (Socket& socket : peer) {
        socket->close();
    }
}

TEST_P(MultiplexedLoopback, InterleavedGroupsOfDifferentSizesBecomeTwoSockets)
{
    // Hand-made clients, so the id frames arrive interleaved: A1 B1 A2 B2 B3.
    Completion<Socket> first, second;
    listener->accept_async([&](SocketImpl&, Socket s, Status) { first.set(std::move(s)); });
    listener->accept_async([&](SocketImpl&, Socket s, Status) { second.set(std::move(s)); });
    std::vector<Socket> a, b;
    for (auto* group : {&a, &b, &a, &b, &b}) {
        const bool is_a = group == &a;
        group->push_back(hand_made_connection(is_a ? 0xA : 0xB, is_a ? 2 : 3));
        ASSERT_TRUE(group->back());
    }
    auto one = first.wait(), two = second.wait();
    ASSERT_TRUE(one && *one && two && *two);
    keep.push_back(std::move(*one)); // they must outlive the loop's last handlers
    keep.push_back(std::move(*two));
    // Data frames with their uids spread over each group's connections.
    std::uint64_t uid_a = 0, uid_b = 0;
    for (int i : {1, 0}) {
        ASSERT_EQ(a[i]->send(Frames::create_multiplex_frame(text("a" + std::to_string(uid_a)), uid_a)), Status());
    }
    for (int i : {2, 0, 1}) {
        ASSERT_EQ(b[i]->send(Frames::create_multiplex_frame(text("b" + std::to_string(uid_b)), uid_b)), Status());
    }
    std::vector<std::string> got;
    for (Socket& socket : keep) {
        const std::string head = str(socket->recv(nullptr));
        const std::size_t more = head == "a0" ? 1 : 2;
        got.push_back(head);
        for (std::size_t i = 0; i < more; ++i) {
            got.push_back(str(socket->recv(nullptr)));
        }
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a0", "a1", "b0", "b1", "b2"}));
    for (auto* group : {&a, &b}) {
        for (Socket& socket : *group) {
            socket->close();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, MultiplexedLoopback, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "CompressedEncrypted" : "Plain";
                         });

// A connect that the kernel refuses, beneath a socket that otherwise works.
class RedirectedTCP : public TCPTransport {
public:
    explicit RedirectedTCP(port_t to) : m_to(to) {}
    StatusCode connect(std::string address, port_t) override { return TCPTransport::connect(address, m_to); }

private:
    port_t m_to;
};

TEST(MultiplexedConnect, SecondOfThreeBlockingConnectsFailingClosesTheFirst)
{
    testing::RawSocket peer_listener = testing::RawSocket::listen();
    ASSERT_TRUE(peer_listener.valid());
    const std::uint16_t port = peer_listener.port();
    const testing::SilentPort refusing;
    std::vector<Socket> sockets;
    sockets.push_back(BasicSocket::create(std::make_unique<TCPTransport>()));
    sockets.push_back(BasicSocket::create(std::make_unique<RedirectedTCP>(refusing.port())));
    sockets.push_back(BasicSocket::create(std::make_unique<TCPTransport>()));
    Socket socket = MultiplexedSocket::create(std::move(sockets));

    EXPECT_EQ(socket->connect("127.0.0.1", port).code(), Status::TRANSPORT_STATUS_CONNECTION_REFUSED);
    testing::RawSocket first = peer_listener.accept();
    ASSERT_TRUE(first.valid());
    const auto frame = first.receive(8 + 12);
    ASSERT_EQ(frame.size(), 20u);
    EXPECT_EQ(std::vector<unsigned char>(frame.begin() + 16, frame.end()), (std::vector<unsigned char>{0, 0, 0, 3}));
    EXPECT_TRUE(first.at_end()) << "the first connection is closed again";
    EXPECT_FALSE(peer_listener.accept(std::chrono::milliseconds(200)).valid()) << "the third never connected";

    EXPECT_EQ(socket->send(text("x")), SHUTDOWN);
    Status status;
    EXPECT_TRUE(socket->recv(&status).null());
    EXPECT_EQ(status, SHUTDOWN);

}

} // namespace
} // namespace korvane
