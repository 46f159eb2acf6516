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

    std::thread echo([&] {
        for (std::size_t i = 0; i < std::size(SIZES); ++i) {
            Status status;
            Message message = pair.server->recv(&status);
            if (message.null() || pair.server->send(message) != Status()) {
                ADD_FAILURE() << "echo stopped at message " << i << ": " << status;
                return;
            }
        }
    });
    for (korvane_buf_len_t size : SIZES) {
        SCOPED_TRACE(size);
        Message original = random_message(size);
        EXPECT_EQ(Status(), pair.client->send(original));
        Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
        const Message echoed = bounded([&] { return pair.client->recv(&status); }, [&] { pair.client->close(); });
        EXPECT_EQ(Status(), status);
        EXPECT_TRUE(same_bytes(original, echoed));
    }
    echo.join();

    // The peer's TLS close ends the stream: a null message, not an error.
    pair.server.reset();
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    EXPECT_TRUE(bounded([&] { return pair.client->recv(&status); }, [&] { pair.client->close(); }).null());
    EXPECT_EQ(Status(), status);
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
        const Message original = random_message(size);
        auto received = std::make_shared<Completion<std::pair<Message, Status>>>();
        pair.server->recv([received](SocketImpl&, Message message, Status status) {
            received->set(std::make_pair(std::move(message), status));
        });
        EXPECT_EQ(Status(), send_async(*pair.client, original));
        auto request = received->wait();
        ASSERT_TRUE(request);
        EXPECT_EQ(Status(), request->second);
        EXPECT_TRUE(same_bytes(original, request->first));

        EXPECT_EQ(Status(), send_async(*pair.server, request->first));
        auto reply = recv_async(*pair.client);
        ASSERT_TRUE(reply);
        EXPECT_EQ(Status(), reply->second);
        EXPECT_TRUE(same_bytes(original, reply->first));
    }
    pair.client->close();
    pair.server->close();
    pair.listener->close();
}

} // namespace
} // namespace testing
} // namespace korvane
