// Secure sessions between real sockets on loopback: both ways, blocking and
// asynchronous; peers refused before any message; a recorded client stream
// replayed into a new connection; a flipped frame that ends the connection.
#include "SocketSupport.hpp"

#include "pipeline/decoder/SessionDecryptor.hpp"
#include "pipeline/encoder/SessionEncryptor.hpp"
#include "support/FaultProxy.hpp"

namespace korvane {
namespace testing {
namespace {

constexpr std::size_t HELLO_FRAME = 8 + 65;
constexpr std::size_t CONFIRMATION_FRAME = 8 + 32;
constexpr std::size_t SEALED_OVERHEAD = 8 + 16;

const Status NOT_ACCEPTED(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer key not accepted");
const Status NOT_AUTHENTICATED(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer authentication failed");
const Status CANNOT_OPEN(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "XChaCha20-Poly1305 algorithm error");

session_peer_key_t key_of(const KeyPair& keys)
{
    session_peer_key_t key;
    std::memcpy(key.data(), keys.public_key, key.size());
    return key;
}

// `claimed` stands in for the public key of the pair: an impostor's.
Socket session_socket(const KeyPair& own, session_peer_keys_t accepted = {}, bool compress = false,
                      const unsigned char* claimed = nullptr)
{
    Socket socket = tcp_socket();
    Pipeline& pipeline = socket->pipeline();
    const unsigned char* public_key = claimed != nullptr ? claimed : own.public_key;
    if (compress) {
        pipeline.append_encoder(std::make_shared<Compressor>());
    }
    pipeline.append_encoder(std::make_shared<SessionEncryptor>(public_key, own.secret_key, accepted));
    pipeline.append_decoder(std::make_shared<SessionDecryptor>(public_key, own.secret_key, accepted));
    if (compress) {
        pipeline.append_decoder(std::make_shared<Decompressor>());
    }
    return socket;
}

void expect_both_ways(SocketPair& pair, korvane_buf_len_t size)
{
    Message message = random_message(size);
    Status status;
    EXPECT_EQ(Status(), pair.client->send(message));
    EXPECT_TRUE(same_bytes(message, pair.server->recv(&status))) << status;
    EXPECT_EQ(Status(), pair.server->send(message));
    EXPECT_TRUE(same_bytes(message, pair.client->recv(&status))) << status;
}

TEST(SessionSocket, RoundTripsBothWaysBlockingAndAsynchronously)
{
    KeyPair client, server;
    SocketPair pair = connect_blocking(session_socket(server, {key_of(client)}, true),
                                       session_socket(client, {key_of(server)}, true));
    ASSERT_EQ(Status(), pair.client_status);
    ASSERT_EQ(Status(), pair.server_status);
    ASSERT_TRUE(pair.server);
    expect_both_ways(pair, 1);
    expect_both_ways(pair, 3 * 1024 * 1024);

    SocketPair async;
    LoopRunner<TCPTransport> loop(2);
    async = connect_async(session_socket(server, {key_of(client)}), session_socket(client, {key_of(server)}));
    ASSERT_EQ(Status(), async.client_status);
    ASSERT_EQ(Status(), async.server_status);
    ASSERT_TRUE(async.server);
    const Message message = random_message(70000);
    EXPECT_EQ(Status(), send_async(*async.client, message));
    auto request = recv_async(*async.server);
    ASSERT_TRUE(request);
    EXPECT_TRUE(same_bytes(message, request->first)) << request->second;
    EXPECT_EQ(Status(), send_async(*async.server, request->first));
    auto reply = recv_async(*async.client);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(same_bytes(message, reply->first)) << reply->second;
    async.client->close();
    async.server->close();
    async.listener->close();
}

TEST(SessionSocket, UnacceptedPeersAndImpostorsAreRefusedBeforeAnyMessage)
{
    KeyPair client, server, stranger;
    SocketPair unaccepted = connect_blocking(session_socket(server, {key_of(client)}), session_socket(stranger));
    EXPECT_EQ(NOT_ACCEPTED, unaccepted.server_status);
    EXPECT_FALSE(unaccepted.server);
    EXPECT_LT(unaccepted.client_status.code(), 0);

    SocketPair impostor = connect_blocking(session_socket(server, {key_of(client)}),
                                           session_socket(stranger, {}, false, client.public_key));
    EXPECT_EQ(NOT_AUTHENTICATED, impostor.server_status);
    EXPECT_FALSE(impostor.server);
    EXPECT_EQ(NOT_AUTHENTICATED, impostor.client_status);
}

// What an eavesdropper recorded of a client's connection, sent again on a new
// one by someone without any key, is refused at the confirmation.
TEST(SessionSocket, ARecordedClientStreamReplayedIntoANewConnectionIsRefused)
{
    KeyPair client_keys, server_keys;
    Socket listener = session_socket(server_keys, {key_of(client_keys)});
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    auto accept = [&] {
        return std::async(std::launch::async, [&] {
            Status status;
            Socket socket = listener->accept(&status);
            return std::make_pair(std::move(socket), status);
        });
    };

    RawSocket relay = RawSocket::listen();
    const std::uint16_t relay_port = relay.port();
    Socket client = session_socket(client_keys, {key_of(server_keys)});
    Message message = random_message(5);
    auto accepted = accept();
    auto sent = std::async(std::launch::async, [&] {
        const Status status = client->connect(LOCALHOST, relay_port);
        return status.code() < 0 ? status : client->send(message);
    });
    RawSocket from_client = relay.accept();
    RawSocket to_server = RawSocket::connect(port);
    std::vector<unsigned char> recorded;
    auto pass = [&](RawSocket& from, RawSocket& to, std::size_t length, bool record) {
        const std::vector<unsigned char> bytes = from.receive(length);
        EXPECT_EQ(length, bytes.size());
        EXPECT_TRUE(to.send_all(bytes));
        if (record) {
            recorded.insert(recorded.end(), bytes.begin(), bytes.end());
        }
    };
    pass(from_client, to_server, HELLO_FRAME, true);
    pass(to_server, from_client, HELLO_FRAME, false);
    pass(from_client, to_server, CONFIRMATION_FRAME, true);
    pass(to_server, from_client, CONFIRMATION_FRAME, false);
    pass(from_client, to_server, SEALED_OVERHEAD + 5, true);
    ASSERT_EQ(std::future_status::ready, sent.wait_for(DEADLINE));
    EXPECT_EQ(Status(), sent.get());
    ASSERT_EQ(std::future_status::ready, accepted.wait_for(DEADLINE));
    auto first = accepted.get();
    ASSERT_TRUE(first.first) << first.second;
    Status status;
    EXPECT_TRUE(same_bytes(message, first.first->recv(&status)));

    auto replayed = accept();
    RawSocket replay = RawSocket::connect(port);
    ASSERT_TRUE(replay.send_all(recorded));
    ASSERT_EQ(std::future_status::ready, replayed.wait_for(DEADLINE));
    auto second = replayed.get();
    EXPECT_FALSE(second.first);
    EXPECT_EQ(NOT_AUTHENTICATED, second.second);
    EXPECT_EQ(HELLO_FRAME + CONFIRMATION_FRAME, replay.receive(HELLO_FRAME + CONFIRMATION_FRAME + 1).size());
    EXPECT_TRUE(replay.at_end());
}

TEST(SessionSocket, AFlippedFrameEndsTheConnection)
{
    KeyPair client, server;
    Socket listener = session_socket(server);
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    FaultProxy proxy(port);
    ASSERT_TRUE(proxy.ok());
    proxy.add(Direction::ClientToServer, Fault::flip(HELLO_FRAME + CONFIRMATION_FRAME + 8 + 2));
    auto accepted = std::async(std::launch::async, [&] {
        Status status;
        return listener->accept(&status);
    });
    Socket socket = session_socket(client);
    ASSERT_EQ(Status(), socket->connect(LOCALHOST, proxy.port()));
    ASSERT_EQ(std::future_status::ready, accepted.wait_for(DEADLINE));
    Socket peer = accepted.get();
    ASSERT_TRUE(peer);
    Message message = random_message(100);
    EXPECT_EQ(Status(), socket->send(message));
    EXPECT_EQ(Status(), socket->send(message));
    Status status;
    EXPECT_TRUE(peer->recv(&status).null());
    EXPECT_EQ(CANNOT_OPEN, status);
    EXPECT_TRUE(bounded([&] { return peer->recv(&status); }, [&] { peer->close(); }).null());
    EXPECT_LT(status.code(), 0); // closed: the intact second message is never opened
}

} // namespace
} // namespace testing
} // namespace korvane
