// Frames damaged on the wire between two BasicSockets: cut or truncated
// inside a header and inside a payload, a sealed body with one bit flipped, a
// flipped header byte, and a stall that is released. The receiver must get
// whole messages in order or a status, never part of a message, a corrupt one
// or a reordered one, and no wait may outlive its deadline.
#include "FaultSupport.hpp"

#include <deque>
#include <optional>
#include <thread>
#include <tuple>

namespace korvane {
namespace testing {
namespace {

const std::vector<korvane_buf_len_t> SIZES = {50, 300, 1000, 70};

const char* name(Direction direction)
{
    return direction == Direction::ClientToServer ? "ClientToServer" : "ServerToClient";
}

/// Keeps every link of a test until the loop has drained its sockets'
/// aborted operations.
class ProxiedTest {
protected:
    ~ProxiedTest()
    {
        for (ProxiedLink& link : m_links) {
            link.close();
        }
        m_loop.reset();
        m_tls_loop.reset();
    }

    ProxiedLink& open(Stages stages, const std::vector<std::pair<Direction, Fault>>& faults, bool async_join = false,
                      Wire wire = Wire::Tcp)
    {
        m_links.push_back(listen_behind_proxy(stages, wire));
        ProxiedLink& link = m_links.back();
        for (const auto& fault : faults) {
            link.proxy->add(fault.first, fault.second);
        }
        join(link, stages, async_join);
        EXPECT_TRUE(link.in_time);
        EXPECT_EQ(Status(), link.client_status);
        EXPECT_EQ(Status(), link.server_status);
        return link;
    }

    /// Ends a case: the proxy goes first, so no socket waits on it.
    static void finish(ProxiedLink& link)
    {
        link.proxy.reset();
        link.close();
    }

    std::optional<LoopRunner<TCPTransport>> m_loop{std::in_place, 2};
    std::optional<LoopRunner<TLSTransport>> m_tls_loop{std::in_place, 2};
    std::deque<ProxiedLink> m_links;
};

void expect_message(SocketImpl& socket, bool async, const Message& expected, const std::string& what)
{
    const auto got = receive(socket, async, PROMPT);
    ASSERT_TRUE(got) << what << ": " << describe(got);
    EXPECT_TRUE(same_bytes(expected, got->first)) << what << ": " << describe(got);
    EXPECT_EQ(Status(), got->second) << what;
}

/// One send, blocking or through send(callback); nothing when the deadline
/// passed.
std::optional<Status> send(SocketImpl& socket, bool async, const Message& message)
{
    if (!async) {
        return socket.send(Message(message));
    }
    auto done = std::make_shared<Completion<Status>>();
    socket.send(Message(message), [done](SocketImpl&, Status status) { done->set(status); });
    return done->wait(PROMPT);
}

/// Sends until one send fails or the deadline passes; the failure, or the
/// last outcome.
std::optional<Status> send_until_failure(SocketImpl& socket, bool async)
{
    const auto until = std::chrono::steady_clock::now() + PROMPT;
    std::optional<Status> status = Status();
    while (status && status->code() >= 0 && std::chrono::steady_clock::now() < until) {
        status = send(socket, async, Message("more", 4));
    }
    return status;
}

// ---------------------------------------------------------------- cut, truncate

using CutParam = std::tuple<Stages, Fault::Kind, bool>;

class FrameCut : public ProxiedTest, public ::testing::TestWithParam<CutParam> {};

TEST_P(FrameCut, InsideHeaderOrPayloadTheReceiverGetsTheWholeMessagesBeforeAndThenAnEnd)
{
    const Stages stages = std::get<0>(GetParam());
    const bool cut = std::get<1>(GetParam()) == Fault::Kind::Cut;
    const bool async = std::get<2>(GetParam());
    const std::vector<Message> messages = random_messages(SIZES);
    const std::vector<std::uint64_t> offsets = frame_offsets(stages, messages);
    const std::uint64_t start = offsets[2];
    const std::uint64_t body = offsets[3] - start - 8;

    for (std::uint64_t at : {start + 1, start + 4, start + 7, start + 8, start + 9, start + 8 + body / 2,
                             start + 8 + body - 1}) {
        SCOPED_TRACE("frame 2 starts at " + std::to_string(start) + ", stream ends at " + std::to_string(at));
        ProxiedLink& link = open(stages, {{Direction::ClientToServer, cut ? Fault::cut(at) : Fault::truncate(at)}});
        ASSERT_TRUE(link.server);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const Status sent = link.client->send(Message(messages[i]));
            if (i < 2) {
                EXPECT_EQ(Status(), sent);
            }
        }
        expect_message(*link.server, async, messages[0], "message 0");
        expect_message(*link.server, async, messages[1], "message 1");
        for (const char* which : {"the cut message", "after the end"}) {
            const auto got = receive(*link.server, async, PROMPT);
            ASSERT_TRUE(got) << which << ": the receive did not end";
            EXPECT_TRUE(got->first.null()) << which << ": " << describe(got);
        }
        if (cut) {
            // The sender learns of the cut, and a send after that failure
            // fails too instead of waiting for ever.
            for (const char* which : {"the first failure", "a send after it"}) {
                const std::optional<Status> failure = send_until_failure(*link.client, async);
                ASSERT_TRUE(failure) << which << ": the send did not end";
                EXPECT_LT(failure->code(), 0) << which << ": " << *failure;
            }
        }
        finish(link);
        if (HasFatalFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FrameCut,
                         ::testing::Combine(::testing::Values(Stages::None, Stages::CompressionThenEncryption),
                                            ::testing::Values(Fault::Kind::Cut, Fault::Kind::Truncate),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<CutParam>& info) {
                             return std::string(name(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == Fault::Kind::Cut ? "Cut" : "Truncated") +
                                    (std::get<2>(info.param) ? "Async" : "Blocking");
                         });

// ---------------------------------------------------------------- after the end

class ConnectionEnd : public ProxiedTest, public ::testing::TestWithParam<Wire> {};

TEST_P(ConnectionEnd, EveryLaterAsynchronousOperationEndsToo)
{
    // The proxy holds the server's stream, past any handshake, so that its
    // sends back up and one waits for room; releasing the stall then cuts
    // the connection.
    const std::uint64_t at = 20000;
    ProxiedLink& link = open(Stages::None, {{Direction::ServerToClient, Fault::stall(at)},
                                            {Direction::ServerToClient, Fault::cut(at)}},
                             false, GetParam());
    ASSERT_TRUE(link.server);
    auto received = std::make_shared<Completion<std::pair<Message, Status>>>();
    link.client->recv([received](SocketImpl&, Message message, Status status) {
        received->set(std::make_pair(std::move(message), status));
    });
    const Message large = random_message(5 * 1024 * 1024);
    std::shared_ptr<Completion<Status>> blocked;
    for (int attempt = 0; attempt < 8 && !blocked; ++attempt) {
        auto sent = std::make_shared<Completion<Status>>();
        link.server->send(Message(large), [sent](SocketImpl&, Status status) { sent->set(status); });
        if (!sent->wait(std::chrono::milliseconds(300))) {
            blocked = sent;
        }
    }
    ASSERT_TRUE(blocked) << "no send ever waited for room";
    link.proxy->release();

    const auto failed = blocked->wait(PROMPT);
    ASSERT_TRUE(failed) << "the waiting send did not end with the connection";
    EXPECT_LT(failed->code(), 0) << *failed;
    const auto ended = received->wait(PROMPT);
    ASSERT_TRUE(ended) << "the waiting receive did not end with the connection";
    EXPECT_TRUE(ended->first.null());
    for (int again = 0; again < 2; ++again) {
        const auto got = receive(*link.client, true, PROMPT);
        ASSERT_TRUE(got) << "a receive after the end did not end";
        EXPECT_TRUE(got->first.null()) << describe(got);
    }
    for (int again = 0; again < 2; ++again) {
        const std::optional<Status> sent = send(*link.server, true, Message("late", 4));
        ASSERT_TRUE(sent) << "a send after the failure did not end";
        EXPECT_LT(sent->code(), 0) << *sent;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ConnectionEnd, ::testing::Values(Wire::Tcp, Wire::Tls),
                         [](const ::testing::TestParamInfo<Wire>& info) { return name(info.param); });

// ---------------------------------------------------------------- TLS records

using RecordParam = std::tuple<Fault::Kind, bool>;

class TlsRecordFault : public ProxiedTest, public ::testing::TestWithParam<RecordParam> {};

TEST_P(TlsRecordFault, DamagedRecordEndsTheStreamAfterTheWholeMessagesBeforeIt)
{
    const bool async = std::get<1>(GetParam());
    const std::vector<Message> messages = random_messages({1500, 1500, 1500});
    ProxiedLink& link = open(Stages::None, {}, false, Wire::Tls);
    ASSERT_TRUE(link.server);
    // Both handshakes are over, so the client's stream stands at its end.
    const std::uint64_t handshake = link.proxy->state().connections.at(0).forwarded[0];
    // Past the first message's records (header and payload are written
    // apart, a record each), inside the second message's payload record.
    const std::uint64_t at = handshake + 2400;
    switch (std::get<0>(GetParam())) {
    case Fault::Kind::Cut: link.proxy->add(Direction::ClientToServer, Fault::cut(at)); break;
    case Fault::Kind::Truncate: link.proxy->add(Direction::ClientToServer, Fault::truncate(at)); break;
    default: link.proxy->add(Direction::ClientToServer, Fault::flip(at, 0x04)); break;
    }
    for (const Message& message : messages) {
        link.client->send(Message(message));
    }
    expect_message(*link.server, async, messages[0], "message 0");
    const auto damaged = receive(*link.server, async, PROMPT);
    ASSERT_TRUE(damaged) << "the receive of the damaged message did not end";
    EXPECT_TRUE(damaged->first.null()) << describe(damaged);
    if (std::get<0>(GetParam()) == Fault::Kind::Flip) {
        EXPECT_LT(damaged->second.code(), 0) << "a record that fails its check is no orderly end";
    }
    const auto after = receive(*link.server, async, PROMPT);
    ASSERT_TRUE(after) << "a receive after the end did not end";
    EXPECT_TRUE(after->first.null()) << describe(after);
}

INSTANTIATE_TEST_SUITE_P(Faults, TlsRecordFault,
                         ::testing::Combine(::testing::Values(Fault::Kind::Cut, Fault::Kind::Truncate,
                                                              Fault::Kind::Flip),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<RecordParam>& info) {
                             const Fault::Kind kind = std::get<0>(info.param);
                             return std::string(kind == Fault::Kind::Cut        ? "Cut"
                                                : kind == Fault::Kind::Truncate ? "Truncated"
                                                                                : "Flipped") +
                                    (std::get<1>(info.param) ? "Async" : "Blocking");
                         });

// ---------------------------------------------------------------- flipped bits

using FlipParam = std::tuple<Stages, Direction, bool>;

class SealedFlip : public ProxiedTest, public ::testing::TestWithParam<FlipParam> {};

TEST_P(SealedFlip, TheDamagedMessageFailsAndClosesTheConnection)
{
    const Stages stages = std::get<0>(GetParam());
    const Direction direction = std::get<1>(GetParam());
    const bool async = std::get<2>(GetParam());
    const std::vector<Message> messages = random_messages(SIZES);
    const std::vector<std::uint64_t> offsets = frame_offsets(stages, messages);
    const std::uint64_t body = offsets[1] + 8;
    const std::uint64_t end = offsets[2];

    for (std::uint64_t at : {body, body + 15, body + 16, (body + end) / 2, end - 1}) {
        for (unsigned char mask : {0x01, 0x80}) {
            SCOPED_TRACE("flip " + std::to_string(mask) + " at " + std::to_string(at - body) + " of the body");
            ProxiedLink& link = open(stages, {{direction, Fault::flip(at, mask)}});
            ASSERT_TRUE(link.server);
            SocketImpl& sender = direction == Direction::ClientToServer ? *link.client : *link.server;
            SocketImpl& receiver = direction == Direction::ClientToServer ? *link.server : *link.client;
            for (const Message& message : messages) {
                EXPECT_EQ(Status(), sender.send(Message(message)));
            }
            expect_message(receiver, async, messages[0], "message 0");
            const auto damaged = receive(receiver, async, PROMPT);
            ASSERT_TRUE(damaged) << "message 1 did not come";
            EXPECT_TRUE(damaged->first.null()) << describe(damaged);
            EXPECT_EQ(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, damaged->second.code()) << damaged->second;
            // The counters cannot get back in step: the receiver has closed
            // the connection, so the intact messages behind never arrive.
            const auto after = receive(receiver, async, PROMPT);
            ASSERT_TRUE(after) << "the receive after the damaged message did not end";
            EXPECT_TRUE(after->first.null()) << describe(after);
            sender.close();
            finish(link);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, SealedFlip,
                         ::testing::Combine(::testing::Values(Stages::DefaultKeys, Stages::CompressionThenEncryption),
                                            ::testing::Values(Direction::ClientToServer, Direction::ServerToClient),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<FlipParam>& info) {
                             return std::string(name(std::get<0>(info.param))) + name(std::get<1>(info.param)) +
                                    (std::get<2>(info.param) ? "Async" : "Blocking");
                         });

class HeaderFlip : public ProxiedTest, public ::testing::TestWithParam<Stages> {};

/// Index of the message `got` equals, or -1.
int index_of(const std::vector<Message>& messages, const Message& got)
{
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (same_bytes(messages[i], got)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool is_stream_end(const Status& status)
{
    return status.code() != Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR &&
           status.code() != Status::TRANSPORT_STATUS_MSG_TOO_LARGE;
}

TEST_P(HeaderFlip, NoCorruptOrReorderedMessageAndTheStreamStillEnds)
{
    const Stages stages = GetParam();
    const std::vector<Message> messages = random_messages({50, 300, 1000, 70, 4000, 9});
    const std::uint64_t header = frame_offsets(stages, messages)[1];

    for (std::uint64_t byte = 0; byte < 8; ++byte) {
        for (unsigned char mask : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE("flip " + std::to_string(mask) + " into header byte " + std::to_string(byte));
            ProxiedLink& link = open(stages, {{Direction::ClientToServer, Fault::flip(header + byte, mask)}});
            ASSERT_TRUE(link.server);
            for (const Message& message : messages) {
                EXPECT_EQ(Status(), link.client->send(Message(message)));
            }
            link.client->close();

            std::vector<int> delivered;
            bool ended = false;
            // Each receive consumes at least a header, so the stream runs out.
            for (std::size_t attempt = 0; attempt < 2000 && !ended; ++attempt) {
                const auto got = recv_bounded(*link.server, PROMPT);
                ASSERT_TRUE(got) << "receive " << attempt << " did not end";
                if (got->first.null()) {
                    ended = is_stream_end(got->second);
                    continue;
                }
                const int index = index_of(messages, got->first);
                ASSERT_NE(-1, index) << "a corrupt message of " << got->first.length() << " bytes was delivered";
                ASSERT_TRUE(delivered.empty() || index > delivered.back()) << "message " << index << " out of order";
                delivered.push_back(index);
            }
            EXPECT_TRUE(ended);
            ASSERT_FALSE(delivered.empty());
            EXPECT_EQ(0, delivered.front());
            if (byte < 4) {
                EXPECT_EQ(messages.size(), delivered.size()) << "the first four header bytes carry nothing";
            } else {
                EXPECT_TRUE(delivered.size() < 2 || delivered[1] != 1) << "message 1 came with a wrong length";
            }
            finish(link);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, HeaderFlip,
                         ::testing::Values(Stages::DefaultKeys, Stages::CompressionThenEncryption),
                         [](const ::testing::TestParamInfo<Stages>& info) { return name(info.param); });

// ---------------------------------------------------------------- stalls

using StallParam = std::tuple<Stages, bool>;

class StallRelease : public ProxiedTest, public ::testing::TestWithParam<StallParam> {};

TEST_P(StallRelease, EverythingArrivesIntactAndInOrderOnceReleased)
{
    const Stages stages = std::get<0>(GetParam());
    const bool async = std::get<1>(GetParam());
    // One message larger than the proxy's chunk, so the stall meets it whole.
    const std::vector<Message> messages = random_messages({100, 2000, 70000, 5, 300, 40000, 1, 900});
    const std::vector<std::uint64_t> offsets = frame_offsets(stages, messages);
    const std::uint64_t at = offsets[3] + 8 + 2;

    ProxiedLink& link = open(stages, {{Direction::ClientToServer, Fault::stall(at)}});
    ASSERT_TRUE(link.server);
    Completion<int> sent;
    std::thread sender([&] {
        int failures = 0;
        for (const Message& message : messages) {
            failures += link.client->send(Message(message)).code() < 0;
        }
        sent.set(failures);
    });
    const bool stalled = link.proxy->wait_until([](const ProxyState& s) { return s.any_stalled(); });
    EXPECT_TRUE(stalled);
    EXPECT_EQ(at, link.proxy->state().forwarded(Direction::ClientToServer));
    for (std::size_t i = 0; i < 3; ++i) {
        expect_message(*link.server, async, messages[i], "message " + std::to_string(i) + " before the stall");
    }
    link.proxy->release();
    for (std::size_t i = 3; i < messages.size(); ++i) {
        expect_message(*link.server, async, messages[i], "message " + std::to_string(i) + " after the release");
    }
    const auto failures = sent.wait();
    if (!failures) {
        link.client->close();
    }
    sender.join();
    EXPECT_EQ(0, failures.value_or(-1));
    EXPECT_EQ(offsets.back(), link.proxy->state().forwarded(Direction::ClientToServer));
}

TEST_P(StallRelease, TimedStallsInsideTheKeyExchangeOnlyDelayIt)
{
    const Stages stages = std::get<0>(GetParam());
    const bool async = std::get<1>(GetParam());
    const std::vector<Message> messages = random_messages({10, 700});
    const std::chrono::milliseconds pause(30);
    ProxiedLink& link = open(stages, {{Direction::ClientToServer, Fault::stall(3, pause)},
                                      {Direction::ServerToClient, Fault::stall(20, pause)},
                                      {Direction::ServerToClient, Fault::stall(KEY_FRAME + 9, pause)}},
                             async);
    ASSERT_TRUE(link.server);
    for (const Message& message : messages) {
        EXPECT_EQ(Status(), link.client->send(Message(message)));
        EXPECT_EQ(Status(), link.server->send(Message(message)));
    }
    for (const Message& message : messages) {
        expect_message(*link.server, async, message, "to the server");
        expect_message(*link.client, async, message, "to the client");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, StallRelease,
                         ::testing::Combine(::testing::Values(Stages::None, Stages::CompressionThenEncryption),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<StallParam>& info) {
                             return std::string(name(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "Async" : "Blocking");
                         });

} // namespace
} // namespace testing
} // namespace korvane
