// BasicSockets with compression and public-key encryption, over TLS sessions
// whose client verifies the listener's certificate: messages round trip with
// the blocking and the asynchronous calls, key exchange included.
#include "SocketSupport.hpp"

#include <thread>

#include "support/Certificates.hpp"
#include "transport/TLSTransport.hpp"

namespace korvane {
namespace testing {
namespace {

const korvane_buf_len_t SIZES[] = {1, 1000, 65537, 3 * 1024 * 1024};

class TLSEndToEnd : public ::testing::Test {
protected:
    // Before any loop thread builds a TLS context.
    TLSEndToEnd() { trust_test_ca(); }

    Socket listener()
    {
        Socket socket = BasicSocket::create(std::make_unique<TLSTransport>(test_pki().server_chain,
                                                                           test_pki().server_key));
        configure(socket->pipeline(), Stages::CompressionThenEncryption, m_server_keys);
        return socket;
    }

    Socket client()
    {
        Socket socket = BasicSocket::create(std::make_unique<TLSTransport>(true));
        configure(socket->pipeline(), Stages::CompressionThenEncryption, m_client_keys);
        return socket;
    }

    KeyPair m_server_keys;
    KeyPair m_client_keys;
};

TEST_F(TLSEndToEnd, BlockingRoundTrips)
{
    SocketPair pair = connect_blocking(listener(), client());
    EXPECT_EQ(Status(), pair.client_status);
    EXPECT_EQ(Status(), pair.server_status);
    ASSERT_TRUE(pair.server);

    std::thread echo = echo_blocking(*pair.server, std::size(SIZES));
    for (korvane_buf_len_t size : SIZES) {
        SCOPED_TRACE(size);
        Message original = random_message(size);
        EXPECT_TRUE(same_bytes(original, round_trip(*pair.client, original)));
    }
    echo.join();

    // The peer's TLS close ends the stream: a null message, not an error.
    EXPECT_EQ(Status(), end_of_stream(pair));
}

TEST_F(TLSEndToEnd, AsynchronousRoundTrips)
{
    SocketPair pair;
    LoopRunner<TLSTransport> loop(2); // each side's key exchange holds a loop thread
    pair = connect_async(listener(), client());
    EXPECT_EQ(Status(), pair.client_status);
    EXPECT_EQ(Status(), pair.server_status);
    ASSERT_TRUE(pair.server);

    for (korvane_buf_len_t size : SIZES) {
        SCOPED_TRACE(size);
        expect_async_round_trip(pair, random_message(size));
    }
    pair.close();
}

} // namespace
} // namespace testing
} // namespace korvane
