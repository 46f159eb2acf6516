// BasicSockets over UDT on loopback: compressed and encrypted messages after
// the public key exchange, all through the blocking calls, which are the only
// ones UDT offers.
#include "SocketSupport.hpp"

#include <thread>

#include "transport/UDTTransport.hpp"

namespace korvane {
namespace testing {
namespace {

// Compressible and incompressible, around the 64 KiB mark and well beyond.
Message sample(korvane_buf_len_t size, bool compressible)
{
    if (!compressible) {
        return random_message(size);
    }
    Message message(size);
    auto* bytes = static_cast<unsigned char*>(message.buffer());
    for (korvane_buf_len_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>("korvane "[i % 8]);
    }
    return message;
}

// Compression, then encryption with a key pair of its own, as one peer.
Socket udt_socket(const KeyPair& keys)
{
    Socket socket = BasicSocket::create(std::make_unique<UDTTransport>());
    Pipeline& pipeline = socket->pipeline();
    pipeline.append_encoder(std::make_shared<Compressor>());
    pipeline.append_encoder(std::make_shared<Encryptor>(keys.public_key, keys.secret_key));
    pipeline.append_decoder(std::make_shared<Decryptor>(keys.public_key, keys.secret_key));
    pipeline.append_decoder(std::make_shared<Decompressor>());
    return socket;
}

TEST(UDTSocket, CompressedEncryptedMessagesCrossAfterTheKeyExchange)
{
    KeyPair server_keys;
    KeyPair client_keys;
    SocketPair pair = connect_blocking(udt_socket(server_keys), udt_socket(client_keys));
    EXPECT_EQ(Status(), pair.client_status);
    EXPECT_EQ(Status(), pair.server_status);
    ASSERT_TRUE(pair.server);
    EXPECT_TRUE(same_key(server_keys.public_key, encryptor_key(pair.client->pipeline())));
    EXPECT_TRUE(same_key(client_keys.public_key, encryptor_key(pair.server->pipeline())));

    struct Case {
        korvane_buf_len_t size;
        bool compressible;
    };
    const Case cases[] = {{1, false}, {1000, true}, {65537, false}, {1024 * 1024, true}, {256 * 1024, false}};
    std::thread echo = echo_blocking(*pair.server, std::size(cases));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Message original = sample(c.size, c.compressible);
        EXPECT_TRUE(same_bytes(original, round_trip(*pair.client, Message(original))));
    }
    echo.join();

    // The peer's close ends the stream: a null message with OKAY.
    EXPECT_EQ(Status(), end_of_stream(pair));
}

TEST(UDTSocket, AsynchronousCallsAnswerAtOnceThatTheyAreUnsupported)
{
    KeyPair keys;
    Socket socket = udt_socket(keys);
    const Status unsupported(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
    EXPECT_EQ(unsupported, socket->start());

    int calls = 0;
    socket->recv([&](SocketImpl&, Message message, Status status) {
        EXPECT_TRUE(message.null());
        EXPECT_EQ(unsupported, status);
        ++calls;
    });
    EXPECT_EQ(1, calls) << "answered before recv returned";
    socket->accept_async([&](SocketImpl&, Socket accepted, Status status) {
        EXPECT_FALSE(accepted);
        EXPECT_EQ(unsupported, status);
        ++calls;
    });
    EXPECT_EQ(2, calls);
}

} // namespace
} // namespace testing
} // namespace korvane
