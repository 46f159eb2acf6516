// A multiplexed socket of three connections, one of which the proxy cuts,
// truncates or (under sealing stages) corrupts while frames are in flight on
// all three. The receiver must get an unbroken, uncorrupted prefix of the
// stream, in order and without duplicates, and then a failure, never a hang.
#include "FaultSupport.hpp"

#include <atomic>
#include <mutex>
#include <tuple>

#include "socket/MultiplexedSocket.hpp"

namespace korvane {
namespace testing {
namespace {

constexpr int COUNT = 300;
constexpr std::size_t CONNECTIONS = 3;
constexpr int DAMAGED = 1;
// Past every connection's handshake, within its first few frames: a
// connection may carry only a small share of the stream.
constexpr std::uint64_t FAULT_AT = 3000;

Socket multiplexed(Stages stages, std::size_t count)
{
    std::vector<Socket> sockets;
    for (std::size_t i = 0; i < count; ++i) {
        sockets.push_back(staged_socket(stages));
    }
    return MultiplexedSocket::create(std::move(sockets));
}

/// What the receiving end saw, in order.
struct Received {
    std::mutex mutex;
    std::vector<Message> messages;
    int notices = 0; // null messages with the default status: a connection was lost
    Status failure;  // the first failure, which ends the receiving
    Completion<bool> first; // the first message arrived
    Completion<bool> done;
};

/// Receives until `expected` messages or a failure, re-arming from each handler.
void receive_all(SocketImpl& socket, const std::shared_ptr<Received>& received, std::size_t expected)
{
    socket.recv([received, expected](SocketImpl& self, Message message, Status status) {
        bool finished = false;
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(received->mutex);
            if (status.code() < 0) {
                received->failure = status;
                finished = true;
            } else if (message.null()) {
                ++received->notices;
            } else {
                received->messages.push_back(std::move(message));
                first = received->messages.size() == 1;
                finished = received->messages.size() == expected;
            }
        }
        if (first) {
            received->first.set(true);
        }
        if (finished) {
            received->done.set(true);
        } else {
            receive_all(self, received, expected);
        }
    });
}

/// What the receiver and the proxy saw, for failure messages.
std::string describe(Received& received, const ProxyState& proxy)
{
    std::ostringstream out;
    {
        std::lock_guard<std::mutex> lock(received.mutex);
        out << received.messages.size() << " delivered, " << received.notices << " loss notices; proxy:";
    }
    for (const ProxyState::Connection& c : proxy.connections) {
        out << " [" << c.forwarded[0] << " up, " << c.forwarded[1] << " down" << (c.cut ? ", cut" : "")
            << (c.closed ? ", closed" : "") << "]";
    }
    return out.str();
}

using Param = std::tuple<Stages, Fault::Kind>;

class MultiplexedFault : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        std::vector<Socket> one;
        one.push_back(staged_socket(stages()));
        SocketImpl& inner = *one.front(); // the socket that listens for the group
        m_listener = MultiplexedSocket::create(std::move(one));
        const std::uint16_t port = bind_any_port(*m_listener, inner);
        ASSERT_NE(0, port);
        m_loop.emplace(2, [this] { m_listener->start(); });
        m_proxy = std::make_unique<FaultProxy>(port);
        ASSERT_TRUE(m_proxy->ok());
    }

    void TearDown() override
    {
        m_proxy.reset();
        for (Socket* socket : {&m_client, &m_server, &m_listener}) {
            if (*socket) {
                (*socket)->close();
            }
        }
        m_loop.reset(); // drains the aborted operations before the sockets go
    }

    Stages stages() const { return std::get<0>(GetParam()); }
    Fault::Kind kind() const { return std::get<1>(GetParam()); }

    /// Puts the case's fault on the damaged connection. Flips go into eight
    /// bytes in a row: a single one might land on the four header bytes that
    /// carry nothing. Stalls go on every connection, so that the busiest one
    /// meets its stall whatever share of the stream each carries.
    void add_fault()
    {
        switch (kind()) {
        case Fault::Kind::Cut: m_proxy->add(Direction::ClientToServer, Fault::cut(FAULT_AT), DAMAGED); break;
        case Fault::Kind::Truncate: m_proxy->add(Direction::ClientToServer, Fault::truncate(FAULT_AT), DAMAGED); break;
        case Fault::Kind::Stall: m_proxy->add(Direction::ClientToServer, Fault::stall(FAULT_AT)); break;
        default:
            for (std::uint64_t at = FAULT_AT; at < FAULT_AT + 8; ++at) {
                m_proxy->add(Direction::ClientToServer, Fault::flip(at, 0x10), DAMAGED);
            }
        }
    }

    void connect()
    {
        auto group = std::make_shared<Completion<Socket>>();
        m_listener->accept_async([group](SocketImpl&, Socket socket, Status) { group->set(std::move(socket)); });
        m_client = multiplexed(stages(), CONNECTIONS);
        ASSERT_EQ(Status(), bounded([&] { return m_client->connect(LOCALHOST, m_proxy->port()); },
                                    [&] { m_client->close(); }));
        auto server = group->wait();
        ASSERT_TRUE(server && *server) << "the group never arrived";
        m_server = std::move(*server);
    }

    /// Messages of many sizes, so that frames overtake each other.
    static std::vector<Message> stream()
    {
        std::vector<Message> messages;
        for (int i = 0; i < COUNT; ++i) {
            messages.push_back(random_message(16 + i * 37 % 3000));
        }
        return messages;
    }

    /// Sends every message asynchronously; the number that failed, or -1
    /// when a send never completed.
    int send_all(const std::vector<Message>& messages)
    {
        // Shared with the handlers, which may outlive a failed test body.
        auto sent = std::make_shared<CountDown>(static_cast<int>(messages.size()));
        auto failures = std::make_shared<std::atomic<int>>(0);
        for (const Message& message : messages) {
            m_client->send(Message(message), [sent, failures](SocketImpl&, Status status) {
                *failures += status.code() < 0;
                sent->arrive();
            });
        }
        return sent->wait() ? failures->load() : -1;
    }

    Socket m_listener;
    std::optional<LoopRunner<TCPTransport>> m_loop;
    std::unique_ptr<FaultProxy> m_proxy;
    Socket m_client;
    Socket m_server;
};

TEST_P(MultiplexedFault, OneDamagedConnectionLeavesAnIntactPrefixThenAFailure)
{
    add_fault();
    connect();
    ASSERT_FALSE(HasFatalFailure());

    const std::vector<Message> messages = stream();
    auto received = std::make_shared<Received>();
    receive_all(*m_server, received, messages.size());
    ASSERT_GE(send_all(messages), 0) << "a send never completed";
    // A frame lost with the damaged connection is provable only once every
    // live connection has carried a later one; a peer that falls silent
    // first leaves the receiver holding the frames behind the gap until the
    // peer closes. The close must then end the stream at once.
    m_client->close();
    ASSERT_TRUE(received->done.wait(PROMPT))
        << "the receiver neither got everything nor a failure: " << describe(*received, m_proxy->state());

    std::lock_guard<std::mutex> lock(received->mutex);
    for (std::size_t i = 0; i < received->messages.size(); ++i) {
        ASSERT_TRUE(same_bytes(messages[i], received->messages[i]))
            << "delivery " << i << " is not message " << i << " (corrupt, duplicated or out of order)";
    }
    if (received->messages.size() < messages.size()) {
        EXPECT_LT(received->failure.code(), 0) << "the stream ended short without a failure";
    }
    // The stream stays failed: no later message slips through after a gap.
    if (received->failure.code() < 0) {
        auto again = std::make_shared<Completion<std::pair<Message, Status>>>();
        m_server->recv([again](SocketImpl&, Message message, Status status) {
            again->set(std::make_pair(std::move(message), status));
        });
        const auto got = again->wait(PROMPT);
        ASSERT_TRUE(got);
        EXPECT_TRUE(got->first.null());
        EXPECT_LT(got->second.code(), 0);
    }
}

TEST_P(MultiplexedFault, LossIsReportedWhileThePeerKeepsSending)
{
    add_fault();
    connect();
    ASSERT_FALSE(HasFatalFailure());

    const std::vector<Message> messages = stream();
    auto received = std::make_shared<Received>();
    constexpr int BURSTS = 20;
    receive_all(*m_server, received, messages.size() * BURSTS);
    // Bursts of traffic until the receiver learns of the loss: a burst queued
    // at once reaches each live connection, so the gap becomes provable soon
    // after the fault. (A connection may carry a small share of a burst, so
    // the fault itself may take a few.)
    for (int burst = 0; burst < BURSTS && !received->done.done(); ++burst) {
        ASSERT_GE(send_all(messages), 0) << "a send never completed";
    }
    ASSERT_TRUE(received->done.wait(PROMPT)) << describe(*received, m_proxy->state());
    std::lock_guard<std::mutex> lock(received->mutex);
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_ABORTED, received->failure.code()) << received->failure;
    for (std::size_t i = 0; i < received->messages.size(); ++i) {
        ASSERT_TRUE(same_bytes(messages[i % messages.size()], received->messages[i])) << "delivery " << i;
    }
}

class MultiplexedClose : public MultiplexedFault {};

// Found by the proxy's teardown: close() on the application's thread met a
// loop thread starting the next read of a large frame on the same connection.
TEST_P(MultiplexedClose, ClosingTheReceiverOnAnotherThreadDuringLargeFramesIsSafe)
{
    std::vector<Message> messages;
    for (int i = 0; i < 40; ++i) {
        messages.push_back(random_message(250000 + i * 4099));
    }
    std::vector<Socket> finished; // kept until the loop has drained
    for (int round = 0; round < 8; ++round) {
        connect();
        ASSERT_FALSE(HasFatalFailure());
        auto received = std::make_shared<Received>();
        receive_all(*m_server, received, messages.size());
        for (const Message& message : messages) {
            m_client->send(Message(message), [](SocketImpl&, Status) {});
        }
        // Close as soon as frames are arriving, while the rest are mid-read.
        EXPECT_TRUE(received->first.wait());
        m_server->close();
        ASSERT_TRUE(received->done.wait(PROMPT)) << "the close did not end the receiving";
        m_client->close();
        finished.push_back(std::move(m_server));
        finished.push_back(std::move(m_client));
    }
    m_listener->close();
    m_proxy.reset();
    m_loop.reset(); // drains the closed sockets' aborted operations before they go
}

INSTANTIATE_TEST_SUITE_P(Faults, MultiplexedClose,
                         ::testing::Values(Param{Stages::None, Fault::Kind::Cut},
                                           Param{Stages::CompressionThenEncryption, Fault::Kind::Cut}),
                         [](const ::testing::TestParamInfo<Param>& info) { return name(std::get<0>(info.param)); });

class MultiplexedStall : public MultiplexedFault {};

TEST_P(MultiplexedStall, StalledConnectionsHoldTheStreamUntilReleasedThenAllArrivesInOrder)
{
    add_fault();
    connect();
    ASSERT_FALSE(HasFatalFailure());

    const std::vector<Message> messages = stream();
    auto received = std::make_shared<Received>();
    receive_all(*m_server, received, messages.size());
    EXPECT_EQ(0, send_all(messages));
    ASSERT_TRUE(m_proxy->wait_until([](const ProxyState& s) { return s.any_stalled(); }));
    {
        // The frame held at the proxy keeps back every later one.
        std::lock_guard<std::mutex> lock(received->mutex);
        EXPECT_LT(received->messages.size(), messages.size());
        EXPECT_EQ(Status(), received->failure);
    }
    m_proxy->release();
    ASSERT_TRUE(received->done.wait()) << "the stream did not resume after the release";
    std::lock_guard<std::mutex> lock(received->mutex);
    EXPECT_EQ(Status(), received->failure);
    EXPECT_EQ(0, received->notices);
    ASSERT_EQ(messages.size(), received->messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        ASSERT_TRUE(same_bytes(messages[i], received->messages[i])) << "delivery " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, MultiplexedStall,
                         ::testing::Values(Param{Stages::None, Fault::Kind::Stall},
                                           Param{Stages::CompressionThenEncryption, Fault::Kind::Stall}),
                         [](const ::testing::TestParamInfo<Param>& info) { return name(std::get<0>(info.param)); });

INSTANTIATE_TEST_SUITE_P(
    Faults, MultiplexedFault,
    ::testing::Values(Param{Stages::None, Fault::Kind::Cut}, Param{Stages::None, Fault::Kind::Truncate},
                      Param{Stages::CompressionThenEncryption, Fault::Kind::Cut},
                      Param{Stages::CompressionThenEncryption, Fault::Kind::Truncate},
                      Param{Stages::CompressionThenEncryption, Fault::Kind::Flip}),
    [](const ::testing::TestParamInfo<Param>& info) {
        const Fault::Kind kind = std::get<1>(info.param);
        return std::string(name(std::get<0>(info.param))) +
               (kind == Fault::Kind::Cut ? "Cut" : kind == Fault::Kind::Truncate ? "Truncated" : "Flipped");
    });

} // namespace
} // namespace testing
} // namespace korvane
