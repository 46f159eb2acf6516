// The public-key exchange cut at every byte offset of either direction, with
// the blocking and the asynchronous connect and accept. With the other
// direction held back both peers must fail; with it flowing freely a peer may
// succeed only if the whole of the other's key reached it, and then its next
// receive ends at once. Never a crash, never a hang.
#include "FaultSupport.hpp"

#include <deque>
#include <optional>
#include <tuple>

namespace korvane {
namespace testing {
namespace {

const char* name(Direction direction)
{
    return direction == Direction::ClientToServer ? "ClientToServer" : "ServerToClient";
}

/// The status of the peer that reads `direction`.
const Status& receiver_status(const ProxiedLink& link, Direction direction)
{
    return direction == Direction::ClientToServer ? link.server_status : link.client_status;
}

class KeyExchangeCut : public ::testing::TestWithParam<std::tuple<Direction, bool, bool>> {
protected:
    Direction cut_direction() const { return std::get<0>(GetParam()); }
    bool async() const { return std::get<1>(GetParam()); }
    bool hold_other() const { return std::get<2>(GetParam()); }

    void TearDown() override
    {
        for (ProxiedLink& link : m_links) {
            link.close();
        }
        m_loop.reset(); // drains aborted operations before the sockets go
    }

    /// A peer's outcome: success only with the whole peer key delivered, and
    /// then the cut connection ends the next receive.
    void expect_outcome(const char* who, const Status& status, std::uint64_t delivered, Socket& socket)
    {
        if (status.code() < 0) {
            return;
        }
        EXPECT_GE(delivered, KEY_FRAME) << who << " reports " << status << " without the whole peer key";
        ASSERT_TRUE(socket) << who << " reports success without a socket";
        const auto next = recv_bounded(*socket, PROMPT);
        ASSERT_TRUE(next) << who << ": receive on a cut connection did not end";
        EXPECT_TRUE(next->first.null()) << who << ": " << describe(next);
    }

    std::optional<LoopRunner<TCPTransport>> m_loop{std::in_place, 2};
    std::vector<ProxiedLink> m_links;
};

TEST_P(KeyExchangeCut, AtEveryOffsetBothPeersEndWithoutHangingOrFalseSuccess)
{
    const int up = static_cast<int>(Direction::ClientToServer);
    const int down = static_cast<int>(Direction::ServerToClient);
    for (std::uint64_t offset = 0; offset <= KEY_FRAME; ++offset) {
        SCOPED_TRACE("cut at " + std::to_string(offset));
        ProxiedLink link = listen_behind_proxy(Stages::DefaultKeys);
        link.proxy->add(cut_direction(), Fault::cut(offset));
        if (hold_other()) {
            link.proxy->add(opposite(cut_direction()), Fault::stall(0));
        }
        join(link, Stages::DefaultKeys, async());
        ASSERT_TRUE(link.in_time) << "connect or accept missed its deadline";
        ASSERT_TRUE(link.proxy->wait_until(
            [](const ProxyState& s) { return s.connections.size() == 1 && s.connections[0].cut; }));
        const ProxyState::Connection seen = link.proxy->state().connections[0];
        const std::uint64_t cut_side = seen.forwarded[static_cast<int>(cut_direction())];
        EXPECT_EQ(offset, cut_side);

        if (offset < KEY_FRAME) {
            // The peer reading the cut direction never sees a whole key.
            const Status& starved = receiver_status(link, cut_direction());
            EXPECT_LT(starved.code(), 0) << starved;
        }
        if (hold_other()) {
            EXPECT_EQ(0u, seen.forwarded[static_cast<int>(opposite(cut_direction()))]);
            const Status& held = receiver_status(link, opposite(cut_direction()));
            EXPECT_LT(held.code(), 0) << held;
        }
        expect_outcome("client", link.client_status, seen.forwarded[down], link.client);
        expect_outcome("server", link.server_status, seen.forwarded[up], link.server);

        link.proxy.reset();
        link.close();
        m_links.push_back(std::move(link));
        if (HasFatalFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, KeyExchangeCut,
    ::testing::Combine(::testing::Values(Direction::ClientToServer, Direction::ServerToClient),
                       ::testing::Bool(), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<Direction, bool, bool>>& info) {
        return std::string(name(std::get<0>(info.param))) + (std::get<1>(info.param) ? "Async" : "Blocking") +
               (std::get<2>(info.param) ? "OtherHeld" : "OtherFree");
    });

// ---------------------------------------------------------------- flipped bytes

/// The outcome of one side's connect or accept.
struct Joined {
    Socket socket;
    Status status;
};

/// Receives until the stream ends (or 8 receives); the messages delivered.
std::vector<Message> drain(SocketImpl& socket)
{
    std::vector<Message> delivered;
    for (int i = 0; i < 8; ++i) {
        auto got = recv_bounded(socket, PROMPT);
        if (!got) {
            ADD_FAILURE() << "a receive did not end";
            break;
        }
        if (!got->first.null()) {
            delivered.push_back(std::move(got->first));
        } else if (got->second.code() != Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR) {
            break;
        }
    }
    return delivered;
}

TEST(KeyExchangeFlip, AFlippedByteNeverLetsACorruptMessageThrough)
{
    LoopRunner<TCPTransport> loop(3); // each side's exchange holds a loop thread
    std::deque<ProxiedLink> links;
    const std::vector<Message> sent = random_messages({40, 400});
    for (Direction direction : {Direction::ClientToServer, Direction::ServerToClient}) {
        for (std::uint64_t offset = 0; offset < KEY_FRAME; ++offset) {
            for (unsigned char mask : {0x01, 0x80}) {
                SCOPED_TRACE(std::string(name(direction)) + ": flip " + std::to_string(mask) + " at " +
                             std::to_string(offset));
                links.push_back(listen_behind_proxy(Stages::DefaultKeys));
                ProxiedLink& link = links.back();
                link.proxy->add(direction, Fault::flip(offset, mask));
                link.client = staged_socket(Stages::DefaultKeys);
                auto first = std::make_shared<CountDown>(1);
                auto server = std::make_shared<Completion<Joined>>();
                auto client = std::make_shared<Completion<Status>>();
                link.listener->accept_async([first, server](SocketImpl&, Socket socket, Status status) {
                    server->set(Joined{std::move(socket), status});
                    first->arrive();
                });
                link.client->connect(LOCALHOST, link.proxy->port(), [first, client](SocketImpl&, Status status) {
                    client->set(status);
                    first->arrive();
                });
                ASSERT_TRUE(first->wait()) << "neither side finished its exchange";

                // A side that finished sends two messages and closes, which
                // also ends the other side's wait for a longer key frame.
                const bool client_first = client->done();
                std::optional<Joined> accepted = client_first ? std::nullopt : server->wait();
                SocketImpl& sender = client_first ? *link.client : *accepted->socket;
                const Status sender_status = client_first ? *client->wait() : accepted->status;
                if (sender_status.code() >= 0) {
                    for (const Message& message : sent) {
                        sender.send(Message(message));
                    }
                }
                sender.close();
                if (client_first) {
                    accepted = server->wait(PROMPT);
                    ASSERT_TRUE(accepted) << "the server's exchange did not end";
                    link.server = std::move(accepted->socket);
                } else {
                    link.server = std::move(accepted->socket);
                    ASSERT_TRUE(client->wait(PROMPT)) << "the client's exchange did not end";
                }
                const Status receiver_status = client_first ? accepted->status : *client->wait();
                SocketImpl* receiver = client_first ? link.server.get() : link.client.get();
                if (receiver_status.code() < 0 || receiver == nullptr) {
                    continue;
                }
                const std::vector<Message> delivered = drain(*receiver);
                ASSERT_LE(delivered.size(), sent.size());
                for (std::size_t i = 0; i < delivered.size(); ++i) {
                    EXPECT_TRUE(same_bytes(sent[i], delivered[i])) << "delivery " << i << " is corrupt";
                }
                // A damaged key mostly fails every message; a bit that the
                // key agreement ignores changes nothing. Either way no
                // message may arrive altered.
                if (offset < 4) {
                    EXPECT_EQ(sent.size(), delivered.size()) << "the unused header bytes changed the outcome";
                }
                link.proxy.reset();
                link.close();
            }
        }
    }
    for (ProxiedLink& link : links) {
        link.proxy.reset();
        link.close();
    }
}

} // namespace
} // namespace testing
} // namespace korvane
