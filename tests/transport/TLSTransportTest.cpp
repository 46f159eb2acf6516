// Moving bytes through TLS sessions, and how they end: the peer's TLS close,
// a dropped connection, close() against a peer that does not answer, and a
// transport connected again after close().
#include "transport/TLSFixture.hpp"

#include <netinet/tcp.h>

#include <cstring>
#include <vector>

using namespace korvane;
using namespace korvane::testing;

namespace {

using TLSTransportTest = TLSTest;

// Reads the protected state of a transport, for the keep-alive checks.
struct Peek : TLSTransport {
    static int descriptor(Transport& transport)
    {
        return (static_cast<TLSTransport&>(transport).*(&Peek::m_socket)).native_handle();
    }
    static int keep_alive_seconds(Transport& transport)
    {
        return static_cast<TLSTransport&>(transport).*(&Peek::m_keepAliveSec);
    }
};

int tcp_option(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(0, ::getsockopt(fd, level, name, &value, &size));
    return value;
}

TEST_F(TLSTransportTest, AsyncConnectAndAcceptYieldWorkingSessions)
{
    LoopRunner<TLSTransport> loop;
    auto listener = listen();
    AsyncAccept accept(*listener);
    TLSTransport client(true);
    Completion<Status> connected;
    client.connect_async("localhost", port, [&](Transport&, Status status) { connected.set(status); });
    const std::optional<Status> connect_status = connected.wait();
    ASSERT_TRUE(connect_status);
    ASSERT_EQ(*connect_status, Status::TRANSPORT_STATUS_OKAY) << *connect_status;
    Accepted accepted = accept.wait();
    ASSERT_TRUE(accepted.first) << accepted.second;
    Transport& server = *accepted.first;

    // Both ends carry data: one round trip through the new session.
    char request[5] = {'h', 'e', 'l', 'l', 'o'};
    Completion<std::pair<long, Status>> wrote;
    client.write_async(request, sizeof request, [&](Transport&, long n, Status s) { wrote.set({n, s}); });
    char received[5] = {};
    EXPECT_EQ(5, server.read(received, sizeof received, nullptr, true));
    EXPECT_EQ(0, std::memcmp(request, received, sizeof request));
    const auto written = wrote.wait();
    ASSERT_TRUE(written);
    EXPECT_EQ(5, written->first) << written->second;
    EXPECT_EQ(5, server.write(received, sizeof received, nullptr));
    EXPECT_EQ(5, client.read(request, sizeof request, nullptr, true));
}

TEST_F(TLSTransportTest, DroppedConnectionReadsAsStreamTruncated)
{
    auto listener = listen();
    for (const bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "read_async" : "read");
        BlockingAccept accept(*listener);
        RawTlsClient peer(port, TLS1_2_VERSION, TLS1_2_VERSION);
        ASSERT_TRUE(peer.handshake());
        Accepted accepted = accept.wait();
        ASSERT_TRUE(accepted.first) << accepted.second;
        ASSERT_TRUE(peer.write("abc"));
        peer.drop();

        char buffer[16];
        long count = 0;
        Status status;
        if (asynchronous) {
            LoopRunner<TLSTransport> loop;
            Completion<std::pair<long, Status>> read;
            accepted.first->read_async(
                buffer, sizeof buffer, [&](Transport&, long n, void*, long, Status s) { read.set({n, s}); }, true);
            const auto result = read.wait();
            ASSERT_TRUE(result);
            count = result->first;
            status = result->second;
        } else {
            count = accepted.first->read(buffer, sizeof buffer, &status, true);
        }
        EXPECT_EQ(-1, count);
        EXPECT_EQ(status, Status::TRANSPORT_STATUS_HOST_NOT_FOUND) << status;
        EXPECT_EQ("stream truncated", status.message());
    }
}

TEST_F(TLSTransportTest, CloseReturnsPromptlyAgainstSilentPeer)
{
    ConnectedPair session = open_session();
    ASSERT_TRUE(session);
    // The server side stays alive and never reads, answers or closes.
    Watchdog guard([&] { session.server->close(); }, std::chrono::seconds(3));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(session.client->close(), Status::TRANSPORT_STATUS_OKAY);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_FALSE(guard.fired()) << "close() waited for the peer";
}

TEST_F(TLSTransportTest, CloseAbortsPendingOperationsPromptly)
{
    ConnectedPair session = open_session();
    ASSERT_TRUE(session);
    // One loop thread, and close() runs on it: never at the same time as a
    // completion of this transport.
    LoopRunner<TLSTransport> loop(1);
    // More than the socket buffers hold: with the peer not reading, the
    // write cannot finish.
    std::vector<char> flood(32 << 20);
    Completion<std::pair<long, Status>> wrote;
    Completion<std::pair<long, Status>> read;
    char buffer[16];
    session.client->write_async(flood.data(), flood.size(),
                                [&](Transport&, long n, Status s) { wrote.set({n, s}); });
    session.client->read_async(
        buffer, sizeof buffer, [&](Transport&, long n, void*, long, Status s) { read.set({n, s}); }, true);

    Completion<std::chrono::steady_clock::duration> closed;
    asio::post(loop.service(), [&] {
        const auto begin = std::chrono::steady_clock::now();
        session.client->close();
        closed.set(std::chrono::steady_clock::now() - begin);
    });
    const auto took = closed.wait(std::chrono::seconds(3));
    if (!took) {
        session.server->close(); // unblocks a close() that waits on the peer
        closed.wait();
        FAIL() << "close() blocked";
    }
    EXPECT_LT(*took, std::chrono::seconds(1));
    for (Completion<std::pair<long, Status>>* pending : {&wrote, &read}) {
        const auto result = pending->wait();
        ASSERT_TRUE(result);
        EXPECT_EQ(-1, result->first);
        EXPECT_EQ(result->second, Status::TRANSPORT_STATUS_OPERATION_ABORTED) << result->second;
    }
}

TEST_F(TLSTransportTest, ClosedClientConnectsAgainAndAcceptedOutliveListener)
{
    ConnectedPair session = open_session();
    ASSERT_TRUE(session);
    EXPECT_EQ(session.client->close(), Status::TRANSPORT_STATUS_OKAY);
    {
        BlockingAccept accept(*session.listener);
        const Status again = session.client->connect("127.0.0.1", port);
        ASSERT_EQ(again, Status::TRANSPORT_STATUS_OKAY) << again;
        session.server = accept.wait().first;
        ASSERT_TRUE(session.server);
    }
    session.listener.reset(); // the accepted session holds on to its context
    char out[5] = {'h', 'e', 'l', 'l', 'o'};
    char in[5] = {};
    EXPECT_EQ(5, session.client->write(out, 5, nullptr));
    EXPECT_EQ(5, session.server->read(in, 5, nullptr, true));
    EXPECT_EQ(0, std::memcmp(out, in, 5));
    EXPECT_EQ(5, session.server->write(in, 5, nullptr));
    EXPECT_EQ(5, session.client->read(out, 5, nullptr, true));
}

TEST_F(TLSTransportTest, UnconnectedTransportFailsWithoutTouchingTheNetwork)
{
    TLSTransport transport;
    char buffer[4] = {};
    Status status;
    EXPECT_EQ(-1, transport.write(buffer, 4, &status));
    EXPECT_EQ(status, Status::TRANSPORT_STATUS_BAD_DESCRIPTOR) << status;
    EXPECT_EQ(-1, transport.read(buffer, 4, nullptr, false));
    EXPECT_FALSE(transport.accept(&status));
    EXPECT_TRUE(starts_with(status.message(), "accept: ")) << status;
    EXPECT_EQ(transport.close(), Status());

    const SilentPort nobody;
    const Status refused = transport.connect("127.0.0.1", nobody.port());
    EXPECT_EQ(refused, Status::TRANSPORT_STATUS_CONNECTION_REFUSED) << refused;
    EXPECT_TRUE(starts_with(refused.message(), "connect: ")) << refused;
}

TEST_F(TLSTransportTest, KeepAliveTimingReachesBothEnds)
{
    TLSTransport listener(30, 4, 5, pki.server_chain, pki.server_key);
    ASSERT_EQ(bind_here(listener), Status::TRANSPORT_STATUS_OKAY);
    BlockingAccept accept(listener);
    TLSTransport client(20, 3, 2, true);
    ASSERT_EQ(client.connect("localhost", port), Status::TRANSPORT_STATUS_OKAY);
    Accepted accepted = accept.wait();
    ASSERT_TRUE(accepted.first);

    const int server_fd = Peek::descriptor(*accepted.first);
    EXPECT_EQ(1, tcp_option(server_fd, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(30, tcp_option(server_fd, IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(5, tcp_option(server_fd, IPPROTO_TCP, TCP_KEEPINTVL));
    EXPECT_EQ(4, tcp_option(server_fd, IPPROTO_TCP, TCP_KEEPCNT));
    EXPECT_EQ(50000, tcp_option(server_fd, IPPROTO_TCP, TCP_USER_TIMEOUT));
    EXPECT_EQ(1, tcp_option(server_fd, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(0, Peek::keep_alive_seconds(*accepted.first)); // applied to the socket, not copied

    const int client_fd = Peek::descriptor(client);
    EXPECT_EQ(20, tcp_option(client_fd, IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(26000, tcp_option(client_fd, IPPROTO_TCP, TCP_USER_TIMEOUT));
    EXPECT_EQ(1, tcp_option(client_fd, IPPROTO_TCP, TCP_NODELAY));
}

} // namespace
