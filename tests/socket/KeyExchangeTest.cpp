// The public key exchange at connection set-up: its frames on the wire, the
// bodies sealed with the exchanged keys, and every way it can fail.
#include "SocketSupport.hpp"

#include <lz4.h>
#include <sodium.h>
#include <sys/socket.h>

#include <thread>

namespace korvane {
namespace testing {
namespace {

const Status KEYS_DIFFER(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Encryptor and decryptor public keys differ");
const Status INVALID_KEY(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Invalid public key length");

Socket encrypting_socket(const KeyPair& keys)
{
    Socket socket = tcp_socket();
    configure(socket->pipeline(), Stages::GeneratedKeys, keys);
    return socket;
}

Socket default_encrypting_socket()
{
    Socket socket = tcp_socket();
    configure(socket->pipeline(), Stages::DefaultKeys, KeyPair());
    return socket;
}

// A client socket connecting to a hand-driven listener on the test thread.
struct RawServer {
    RawServer() : listener(RawSocket::listen()), port(listener.port()) {}

    /// Starts `client`'s blocking connect on a thread and accepts it here.
    std::future<Status> connect(SocketImpl& client)
    {
        auto status = std::async(std::launch::async, [&client, this] { return client.connect(LOCALHOST, port); });
        peer = listener.accept();
        return status;
    }

    RawSocket listener;
    std::uint16_t port;
    RawSocket peer;
};

Status finish(std::future<Status>& connected, SocketImpl& client)
{
    if (connected.wait_for(DEADLINE) != std::future_status::ready) {
        ADD_FAILURE() << "connect missed its deadline";
        client.close();
    }
    return connected.get();
}

std::vector<unsigned char> key_frame(const unsigned char* key)
{
    return frame(key, 32);
}

// The compressed body of `plain`: its length, big-endian, and a raw LZ4 block.
std::vector<unsigned char> lz4_body(const std::vector<unsigned char>& plain)
{
    std::vector<unsigned char> body(4 + static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(plain.size()))));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(plain.data()), reinterpret_cast<char*>(&body[4]),
                                       static_cast<int>(plain.size()), static_cast<int>(body.size() - 4));
    body.resize(4 + static_cast<std::size_t>(n));
    for (int i = 0; i < 4; ++i) {
        body[static_cast<std::size_t>(i)] = static_cast<unsigned char>(plain.size() >> (24 - 8 * i));
    }
    return body;
}

void counter_nonce(unsigned char (&nonce)[24], unsigned long long k)
{
    std::memset(nonce, '0', sizeof nonce);
    const std::string digits = std::to_string(k);
    std::memcpy(nonce + 24 - digits.size(), digits.data(), digits.size());
}

TEST(KeyExchange, WireBytesOfTheKeyFramesAndOfSealedCompressedBodies)
{
    KeyPair client_keys;
    KeyPair peer_keys;
    Socket sealed = tcp_socket();
    sealed->pipeline().append_encoder(std::make_shared<Compressor>());
    sealed->pipeline().append_encoder(std::make_shared<Encryptor>(client_keys.public_key, client_keys.secret_key));
    sealed->pipeline().append_decoder(std::make_shared<Decryptor>(client_keys.public_key, client_keys.secret_key));
    sealed->pipeline().append_decoder(std::make_shared<Decompressor>());

    RawServer server;
    auto connected = server.connect(*sealed);
    ASSERT_TRUE(server.peer.valid());
    EXPECT_EQ(key_frame(client_keys.public_key), server.peer.receive(40));
    ASSERT_TRUE(server.peer.send_all(key_frame(peer_keys.public_key)));
    ASSERT_EQ(Status(), finish(connected, *sealed));

    // Three messages: counters 0, 1, 2 in the nonce, each body a box over
    // the compressed bytes, sealed for the peer's key.
    for (unsigned long long k = 0; k < 3; ++k) {
        const std::vector<unsigned char> plain(1000 + k, static_cast<unsigned char>('a' + k));
        EXPECT_EQ(Status(), sealed->send(Message(plain.data(), static_cast<korvane_buf_len_t>(plain.size()))));
        const std::vector<unsigned char> header = server.peer.receive(8);
        ASSERT_EQ(8u, header.size());
        const std::size_t length = (std::size_t{header[6]} << 8) | header[7];
        const std::vector<unsigned char> body = server.peer.receive(length);
        const std::vector<unsigned char> compressed = lz4_body(plain);
        std::vector<unsigned char> expected(compressed.size() + 16);
        unsigned char nonce[24];
        counter_nonce(nonce, k);
        ASSERT_EQ(0, crypto_box_easy(expected.data(), compressed.data(), compressed.size(), nonce,
                                     peer_keys.public_key, client_keys.secret_key));
        EXPECT_EQ(expected, body) << "message " << k;
    }

    // The other direction, sealed by the peer with its own counter at 0.
    const std::vector<unsigned char> reply(500, 'z');
    const std::vector<unsigned char> compressed = lz4_body(reply);
    std::vector<unsigned char> box(compressed.size() + 16);
    unsigned char nonce[24];
    counter_nonce(nonce, 0);
    ASSERT_EQ(0, crypto_box_easy(box.data(), compressed.data(), compressed.size(), nonce, client_keys.public_key,
                                 peer_keys.secret_key));
    ASSERT_TRUE(server.peer.send_all(frame(box.data(), box.size())));
    Status status;
    EXPECT_EQ(reply, bytes_of(bounded([&] { return sealed->recv(&status); }, [&] { sealed->close(); })));
    EXPECT_EQ(Status(), status);
}

TEST(KeyExchange, NoExchangeWithoutBothEncryptionStages)
{
    // Compression only, or an Encryptor without a Decryptor: no key frame.
    for (int variant = 0; variant < 2; ++variant) {
        Socket client = tcp_socket();
        if (variant == 0) {
            configure(client->pipeline(), Stages::Compression, KeyPair());
        } else {
            client->pipeline().append_encoder(std::make_shared<Encryptor>());
        }
        RawServer server;
        auto connected = server.connect(*client);
        EXPECT_EQ(Status(), finish(connected, *client));
        client->close();
        EXPECT_TRUE(server.peer.at_end()) << "variant " << variant;
    }
}

// A socket whose encryptor and decryptor hold different key pairs.
Socket mismatched_socket()
{
    KeyPair one;
    KeyPair other;
    Socket socket = tcp_socket();
    socket->pipeline().append_encoder(std::make_shared<Encryptor>(one.public_key, one.secret_key));
    socket->pipeline().append_decoder(std::make_shared<Decryptor>(other.public_key, other.secret_key));
    return socket;
}

TEST(KeyExchange, StagesWithDifferentKeyPairsFailBeforeSendingAnything)
{
    Socket client = mismatched_socket();
    RawServer server;
    auto connected = server.connect(*client);
    EXPECT_EQ(KEYS_DIFFER, finish(connected, *client));
    client->close();
    EXPECT_TRUE(server.peer.at_end());
}

TEST(KeyExchange, OnlyOnePeerEncrypting)
{
    // The encrypting client takes the server's first message for a key; the
    // plain server sees the key frame as its first message.
    Socket listener = tcp_socket();
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    Socket client = default_encrypting_socket();
    auto connected = std::async(std::launch::async, [&] { return client->connect(LOCALHOST, port); });
    Status status;
    Socket server = bounded([&] { return listener->accept(&status); }, [&] { listener->close(); });
    ASSERT_TRUE(server) << status;
    const Message key = bounded([&] { return server->recv(&status); }, [&] { server->close(); });
    EXPECT_EQ(key_frame(xs::EXAMPLE_PUBLIC_KEY), frame(key.buffer(), static_cast<std::size_t>(key.length())));
    EXPECT_EQ(Status(), server->send(Message("hello", 5)));
    EXPECT_EQ(INVALID_KEY, finish(connected, *client));
}

TEST(KeyExchange, PeerThatClosesInsteadOfAnswering)
{
    // An orderly close: the framer reports no error, the key is missing.
    {
        Socket client = default_encrypting_socket();
        RawServer server;
        auto connected = server.connect(*client);
        EXPECT_EQ(40u, server.peer.receive(40).size());
        server.peer.close();
        EXPECT_EQ(INVALID_KEY, finish(connected, *client));
    }
    // A reset: the transport's own error comes back.
    {
        Socket client = default_encrypting_socket();
        RawServer server;
        auto connected = server.connect(*client);
        EXPECT_EQ(40u, server.peer.receive(40).size());
        const linger abort_on_close{1, 0};
        ASSERT_EQ(0, ::setsockopt(server.peer.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close));
        server.peer.close();
        const Status status = finish(connected, *client);
        EXPECT_LT(status.code(), 0);
        EXPECT_NE(INVALID_KEY, status);
    }
}

TEST(KeyExchange, KeyFrameOfTheWrongLengthIsRefused)
{
    Socket client = default_encrypting_socket();
    RawServer server;
    auto connected = server.connect(*client);
    EXPECT_EQ(40u, server.peer.receive(40).size());
    ASSERT_TRUE(server.peer.send_all(frame(xs::EXAMPLE_PUBLIC_KEY, 31)));
    EXPECT_EQ(INVALID_KEY, finish(connected, *client));
    // The stages keep their own key.
    EXPECT_TRUE(same_key(xs::EXAMPLE_PUBLIC_KEY, encryptor_key(client->pipeline())));
}

TEST(KeyExchange, BlockingAcceptDiscardsAConnectionWhoseExchangeFailed)
{
    KeyPair server_keys;
    Socket listener = encrypting_socket(server_keys);
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);

    // A peer that answers the key with a 5-byte frame.
    RawSocket bad = RawSocket::connect(port);
    ASSERT_TRUE(bad.valid());
    ASSERT_TRUE(bad.send_all(frame("short", 5)));
    Status status;
    Socket refused = bounded([&] { return listener->accept(&status); }, [&] { listener->close(); });
    EXPECT_FALSE(refused);
    EXPECT_EQ(INVALID_KEY, status);
    EXPECT_EQ(key_frame(server_keys.public_key), bad.receive(40));
    EXPECT_TRUE(bad.at_end()); // closed by the listener

    // Blocking accept with no status pointer does the same.
    RawSocket silent = RawSocket::connect(port);
    ASSERT_TRUE(silent.valid());
    silent.shutdown_write();
    EXPECT_FALSE(bounded([&] { return listener->accept(nullptr); }, [&] { listener->close(); }));
    EXPECT_EQ(40u, silent.receive(40).size());
    EXPECT_TRUE(silent.at_end());

    // The listener still serves a well-behaved peer, with its own key.
    KeyPair client_keys;
    SocketPair pair = connect_blocking(std::move(listener), encrypting_socket(client_keys));
    EXPECT_EQ(Status(), pair.client_status);
    EXPECT_EQ(Status(), pair.server_status);
    ASSERT_TRUE(pair.server);
    EXPECT_TRUE(same_key(server_keys.public_key, encryptor_key(pair.listener->pipeline())));
}

TEST(KeyExchange, AsynchronousAcceptHandsOverAConnectionWhoseExchangeFailed)
{
    LoopRunner<TCPTransport> loop(2);
    Socket listener = default_encrypting_socket();
    ASSERT_EQ(Status(), listener->bind(0, LOCALHOST));
    const std::uint16_t port = bound_port(*listener);
    Completion<std::pair<bool, Status>> accepted;
    listener->accept_async([&accepted](SocketImpl&, Socket socket, Status status) {
        accepted.set(std::make_pair(static_cast<bool>(socket), status));
    });
    RawSocket bad = RawSocket::connect(port);
    ASSERT_TRUE(bad.valid());
    ASSERT_TRUE(bad.send_all(frame("short", 5)));
    auto result = accepted.wait();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->first);
    EXPECT_EQ(INVALID_KEY, result->second);
    listener->close();
}

TEST(KeyExchange, AsynchronousConnectReportsTheExchangeFailure)
{
    LoopRunner<TCPTransport> loop(2);
    Socket client = mismatched_socket();
    RawServer server;
    Completion<Status> connected;
    client->connect(LOCALHOST, server.port, [&connected](SocketImpl&, Status status) { connected.set(status); });
    server.peer = server.listener.accept();
    EXPECT_EQ(KEYS_DIFFER, connected.wait());
    client->close();
    EXPECT_TRUE(server.peer.at_end());
}

} // namespace
} // namespace testing
} // namespace korvane
