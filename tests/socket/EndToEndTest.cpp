// Messages round trip between two BasicSockets over TCP on loopback, for
// every shipped pipeline, with the blocking and the asynchronous calls.
#include "SocketSupport.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
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

// Small frames sent together are read ahead together, so most receives of
// this chain find their frame already read. Each still calls back from the
// loop, after the call that asked returned, without the chain growing the
// stack; one asked for by a thread outside the loop is answered on the loop.
TEST(AsynchronousReceive, FramesAlreadyReadAheadAreAnsweredFromTheLoop)
{
    LoopRunner<TCPTransport> loop(2);
    SocketPair pair = connect_blocking(tcp_socket(), tcp_socket());
    ASSERT_TRUE(pair.server);
    constexpr std::uint32_t COUNT = 300, HANDED_TO_MAIN = COUNT / 2;
    for (std::uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(Status(), pair.client->send(Message(&i, sizeof i)));
    static thread_local bool t_asking = false;
    static thread_local std::uintptr_t t_deepest = 0, t_shallowest = 0;
    struct Chain {
        SocketImpl* socket;
        const std::thread::id main = std::this_thread::get_id();
        std::atomic<std::uint32_t> next{0}, misplaced{0};
        std::atomic<std::uintptr_t> widest_stack{0};
        CountDown handed_over{1}, done{1};

        void ask()
        {
            t_asking = true;
            socket->recv([this](SocketImpl&, Message message, Status) { answered(message); });
            t_asking = false;
        }
        void answered(const Message& message)
        {
            const auto at = reinterpret_cast<std::uintptr_t>(&message);
            t_deepest = t_deepest == 0 ? at : std::min(t_deepest, at);
            t_shallowest = std::max(t_shallowest, at);
            widest_stack = std::max<std::uintptr_t>(widest_stack, t_shallowest - t_deepest);
            misplaced += t_asking || std::this_thread::get_id() == main ? 1 : 0;
            std::uint32_t index = UINT32_MAX;
            if (message.length() == sizeof index) std::memcpy(&index, message.buffer(), sizeof index);
            if (index != next++ || index + 1 == COUNT) return done.arrive();
            if (index + 1 == HANDED_TO_MAIN) return handed_over.arrive();
            ask();
        }
    } chain;
    chain.socket = pair.server.get();
    chain.ask();
    ASSERT_TRUE(chain.handed_over.wait());
    chain.ask(); // its frame has been read ahead by now
    ASSERT_TRUE(chain.done.wait());
    EXPECT_EQ(COUNT, chain.next.load()) << "lost or out of order";
    EXPECT_EQ(0u, chain.misplaced.load()) << "called back inside the call that asked, or outside the loop";
    EXPECT_LT(chain.widest_stack.load(), 16u * 1024u);
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
