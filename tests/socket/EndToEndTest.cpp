// Messages round trip between two BasicSockets over TCP on loopback, for
// every shipped pipeline, with the blocking and the asynchronous calls.
#include "SocketSupport.hpp"

#include <thread>

namespace korvane {
namespace testing {
namespace {

// 1 byte, an ordinary message, one past a 64 KiB socket chunk, and a large
// one that still fits a frame once sealed.
const korvane_buf_len_t SIZES[] = {1, 1000, 65537, 3 * 1024 * 1024};

class EndToEnd : public ::testing::TestWithParam<Stages> {
protected:
    Socket listener()
    {
        Socket socket = tcp_socket();
        configure(socket->pipeline(), GetParam(), m_server_keys);
        return socket;
    }

    Socket client()
    {
        Socket socket = tcp_socket();
        configure(socket->pipeline(), GetParam(), m_client_keys);
        return socket;
    }

    void expect_connected(const SocketPair& pair)
    {
        EXPECT_EQ(Status(), pair.client_status);
        EXPECT_EQ(Status(), pair.server_status);
        ASSERT_TRUE(pair.server);
    }

    // After the exchange each end seals for, and opens from, the other's
    // key; the listener keeps its own for the accepts still to come.
    void expect_exchanged_keys(SocketPair& pair)
    {
        if (GetParam() != Stages::GeneratedKeys) {
            return;
        }
        Pipeline& client = pair.client->pipeline();
        Pipeline& server = pair.server->pipeline();
        Pipeline& listener = pair.listener->pipeline();
        EXPECT_TRUE(same_key(m_server_keys.public_key, encryptor_key(client)));
        EXPECT_TRUE(same_key(m_server_keys.public_key, decryptor_key(client)));
        EXPECT_TRUE(same_key(m_client_keys.public_key, encryptor_key(server)));
        EXPECT_TRUE(same_key(m_client_keys.public_key, decryptor_key(server)));
        EXPECT_TRUE(same_key(m_server_keys.public_key, encryptor_key(listener)));
        EXPECT_NE(listener.encoder<Encryptor>(), server.encoder<Encryptor>());
    }

    KeyPair m_server_keys;
    KeyPair m_client_keys;
};

TEST_P(EndToEnd, BlockingRoundTrips)
{
    SocketPair pair = connect_blocking(listener(), client());
    expect_connected(pair);
    ASSERT_TRUE(pair.server);
    expect_exchanged_keys(pair);

    // The server echoes each message back; the client checks both ways.
    std::thread echo = echo_blocking(*pair.server, std::size(SIZES));
    for (korvane_buf_len_t size : SIZES) {
        SCOPED_TRACE(size);
        Message original = random_message(size);
        const Message before(original);
        const Message echoed = round_trip(*pair.client, original);
        EXPECT_TRUE(same_bytes(before, original)); // the caller's bytes are untouched
        EXPECT_TRUE(same_bytes(original, echoed));
    }
    echo.join();

    // The peer's orderly close ends the stream: a null message, not an error.
    const Status status = end_of_stream(pair);
    EXPECT_GE(status.code(), 0) << status;
}

TEST_P(EndToEnd, AsynchronousRoundTrips)
{
    SocketPair pair;
    LoopRunner<TCPTransport> loop(2);
    pair = connect_async(listener(), client());
    expect_connected(pair);
    ASSERT_TRUE(pair.server);
    expect_exchanged_keys(pair);

    for (korvane_buf_len_t size : SIZES) {
        SCOPED_TRACE(size);
        expect_async_round_trip(pair, random_message(size));
    }
    pair.close();
}

std::string stage_name(const ::testing::TestParamInfo<Stages>& info)
{
    return name(info.param);
}

INSTANTIATE_TEST_SUITE_P(Pipelines, EndToEnd,
                         ::testing::Values(Stages::None, Stages::Compression, Stages::DefaultKeys,
                                           Stages::GeneratedKeys, Stages::CompressionThenEncryption),
                         stage_name);

} // namespace
} // namespace testing
} // namespace korvane
