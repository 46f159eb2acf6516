// Peers that stall, go silent or stop half-way, against sockets with
// deadlines: no such peer delays an honest one, and every expiry names its
// step and leaves the connection as usable as the stream allows.
#include "SocketSupport.hpp"

#include <chrono>
#include <mutex>

namespace korvane {
namespace testing {
namespace {

using Clock = std::chrono::steady_clock;

Socket default_encrypting_socket()
{
    Socket socket = tcp_socket();
    configure(socket->pipeline(), Stages::DefaultKeys, KeyPair());
    return socket;
}

Timeouts with(std::chrono::milliseconds handshake, std::chrono::milliseconds send, std::chrono::milliseconds recv)
{
    Timeouts timeouts;
    timeouts.handshake = handshake;
    timeouts.send = send;
    timeouts.recv = recv;
    return timeouts;
}

const Status RECV_TIMED_OUT(Status::TRANSPORT_STATUS_TIMEOUT, "Receive timed out");

TEST(HostilePeers, SilentAndSlowPeersDelayNoHonestClientOfAnAsynchronousListener)
{
    LoopRunner<TCPTransport> loop(2);
    Completion<Status> served;
    Socket listener = default_encrypting_socket();
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    // Serves connections the way the examples do: one accept at a time,
    // re-armed from its callback.
    std::function<void(SocketImpl&, Socket, Status)> serve = [&](SocketImpl& self, Socket socket, Status status) {
        if (socket && status == Status()) {
            served.set(status);
        }
        if (status.code() != Status::TRANSPORT_STATUS_OPERATION_ABORTED) {
            self.accept_async(serve);
        }
    };
    listener->accept_async(serve);

    std::vector<RawSocket> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(RawSocket::connect(port));
    }
    RawSocket slow = RawSocket::connect(port);
    const std::vector<unsigned char> key = frame(xs::EXAMPLE_PUBLIC_KEY, 32);
    ASSERT_TRUE(slow.send_all(key.data(), 10));

    const Clock::time_point begin = Clock::now();
    Socket client = default_encrypting_socket();
    EXPECT_EQ(Status(), bounded([&] { return client->connect(LOCALHOST, port); }, [&] { client->close(); }));
    EXPECT_EQ(Status(), served.wait(std::chrono::seconds(1)).value_or(Status(Status::TRANSPORT_STATUS_UNKNOWN, "unserved")));
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(1));
    listener->close();
}

TEST(HostilePeers, BlockingAcceptSkipsASilentPeerAfterTheHandshakeDeadline)
{
    Socket listener = default_encrypting_socket();
    listener->timeouts(with(std::chrono::milliseconds(200), {}, {}));
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    RawSocket silent = RawSocket::connect(port);
    ASSERT_TRUE(silent.valid());
    Socket client = default_encrypting_socket();
    auto connected = std::async(std::launch::async, [&] { return client->connect(LOCALHOST, port); });

    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    Socket server = bounded([&] { return listener->accept(&status); }, [&] { listener->close(); });
    ASSERT_TRUE(server) << status;
    EXPECT_EQ(Status(), status);
    EXPECT_EQ(std::chrono::milliseconds(200), server->timeouts().handshake); // inherited
    ASSERT_EQ(std::future_status::ready, connected.wait_for(DEADLINE));
    EXPECT_EQ(Status(), connected.get());
    EXPECT_EQ(40u, silent.receive(40).size());
    EXPECT_TRUE(silent.at_end()); // given up on and closed
}

TEST(HostilePeers, DeadlinesNameTheirStepAndOnlyAFrameCutOffClosesTheConnection)
{
    // The key exchange with a peer that accepts and says nothing.
    {
        RawSocket listener = RawSocket::listen();
        const std::uint16_t port = listener.port();
        Socket client = default_encrypting_socket();
        client->timeouts(with(std::chrono::milliseconds(100), {}, {}));
        auto connected = std::async(std::launch::async, [&] { return client->connect(LOCALHOST, port); });
        RawSocket peer = listener.accept();
        ASSERT_EQ(std::future_status::ready, connected.wait_for(DEADLINE));
        EXPECT_EQ(Status(Status::TRANSPORT_STATUS_TIMEOUT, "Key exchange timed out"), connected.get());
    }
    LoopRunner<TCPTransport> loop(2);
    Socket listener = tcp_socket();
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    RawSocket raw = RawSocket::connect(port);
    Status status;
    Socket server = bounded([&] { return listener->accept(&status); }, [&] { listener->close(); });
    ASSERT_TRUE(server) << status;
    server->timeouts(with(std::chrono::seconds(10), std::chrono::milliseconds(200), std::chrono::milliseconds(100)));

    // Nothing arrived: the receive expires, blocking or not, and the
    // connection still carries the next message.
    EXPECT_TRUE(server->recv(&status).null());
    EXPECT_EQ(RECV_TIMED_OUT, status);
    auto expired = recv_async(*server);
    ASSERT_TRUE(expired);
    EXPECT_EQ(RECV_TIMED_OUT, expired->second);
    ASSERT_TRUE(raw.send_all(frame("hello", 5)));
    EXPECT_EQ(std::vector<unsigned char>({'h', 'e', 'l', 'l', 'o'}), bytes_of(server->recv(&status)));
    ASSERT_TRUE(raw.send_all(frame("again", 5)));
    auto later = recv_async(*server);
    ASSERT_TRUE(later);
    EXPECT_EQ(Status(), later->second);
    EXPECT_EQ(5, later->first.length());

    // A peer that reads nothing: sends run out of time, and the stream
    // cannot carry another frame after one went out in part.
    Status sent;
    for (int i = 0; i < 64 && sent == Status(); ++i) {
        sent = server->send(Message(korvane_buf_len_t{4 << 20}));
    }
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_TIMEOUT, "Send timed out"), sent);
    raw.shutdown_both();

    // Half a header, then silence: the receive expires and closes.
    RawSocket cut = RawSocket::connect(port);
    Socket second = bounded([&] { return listener->accept(&status); }, [&] { listener->close(); });
    ASSERT_TRUE(second) << status;
    second->timeouts(with(std::chrono::seconds(10), {}, std::chrono::milliseconds(100)));
    ASSERT_TRUE(cut.send_all(frame_header(5).data(), 4));
    EXPECT_TRUE(second->recv(&status).null());
    EXPECT_EQ(RECV_TIMED_OUT, status);
    EXPECT_TRUE(cut.at_end());
    listener->close();
}

} // namespace
} // namespace testing
} // namespace korvane
