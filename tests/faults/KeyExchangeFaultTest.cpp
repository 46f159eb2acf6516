// The public-key exchange cut at every byte offset of either direction, with
// the blocking and the asynchronous connect and accept. With the other
// direction held back both peers must fail; with it flowing freely a peer may
// succeed only if the whole of the other's key reached it, and then its next
// receive ends at once. Never a crash, never a hang.
#include "FaultSupport.hpp"

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

} // namespace
} // namespace testing
} // namespace korvane
