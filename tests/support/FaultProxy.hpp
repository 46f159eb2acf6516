// A TCP proxy on loopback that damages the byte stream on command: each
// accepted connection is joined to a fresh connection to the real server and
// both directions are forwarded, with faults applied at chosen byte offsets of
// one direction's stream. It runs on a thread of its own with plain POSIX
// sockets (never the library's event loop), so a peer blocked inside the
// library cannot stop it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/Loopback.hpp"

namespace korvane {
namespace testing {

/// One direction of a proxied connection.
enum class Direction { ClientToServer = 0, ServerToClient = 1 };

inline Direction opposite(Direction direction)
{
    return direction == Direction::ClientToServer ? Direction::ServerToClient : Direction::ClientToServer;
}

/// What happens to a direction's stream once `offset` bytes of it have gone
/// through (flip: to the byte at `offset` itself).
struct Fault {
    enum class Kind {
        Cut,      // close both connections of the pair
        Stall,    // forward nothing more until release() or `duration` has passed
        Truncate, // end this direction (shutdown of the write side), drop the rest
        Flip,     // xor `mask` into the byte at `offset`
    };

    Kind kind;
    std::uint64_t offset;
    std::chrono::milliseconds duration{0}; // Stall only; 0: until release()
    unsigned char mask = 0;                // Flip only

    static Fault cut(std::uint64_t offset) { return Fault{Kind::Cut, offset}; }
    static Fault stall(std::uint64_t offset, std::chrono::milliseconds duration = std::chrono::milliseconds(0))
    {
        return Fault{Kind::Stall, offset, duration};
    }
    static Fault truncate(std::uint64_t offset) { return Fault{Kind::Truncate, offset}; }
    static Fault flip(std::uint64_t offset, unsigned char mask = 0x01)
    {
        return Fault{Kind::Flip, offset, std::chrono::milliseconds(0), mask};
    }
};

/// What the proxy has done so far, per accepted connection in accept order.
struct ProxyState {
    struct Connection {
        std::uint64_t forwarded[2] = {0, 0}; // bytes written on, by Direction
        bool stalled[2] = {false, false};    // a stall is holding that direction
        bool cut = false;                    // a Cut fault closed the pair
        bool closed = false;                 // both connections are closed
    };
    std::vector<Connection> connections;

    /// Bytes forwarded in `direction`, summed over every connection.
    std::uint64_t forwarded(Direction direction) const;
    bool any_stalled() const;
};

class FaultProxy {
public:
    static constexpr int EVERY_CONNECTION = -1;

    /// Listens on 127.0.0.1 (a port of the kernel's choice) and forwards every
    /// connection to 127.0.0.1:`target_port`. Check ok() before use.
    explicit FaultProxy(std::uint16_t target_port);
    /// Closes every connection and joins the thread; nothing it waits on can
    /// block for longer than the connect deadline.
    ~FaultProxy();

    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    /// True when the proxy listens and its thread runs.
    bool ok() const { return m_listener >= 0; }
    /// The port clients connect to.
    std::uint16_t port() const { return m_port; }

    /// Applies `fault` to `direction` of the `connection`-th connection (0:
    /// the first, in accept order), or of every one: to those accepted from
    /// now on, and at once to one already open. Offsets count from the start
    /// of that connection's stream in that direction. A stream already past
    /// the offset meets a cut, stall or truncation at the end of the chunk in
    /// transit, and a flip never.
    void add(Direction direction, Fault fault, int connection = EVERY_CONNECTION);
    /// Ends every stall, those holding a stream now and those still ahead.
    void release();

    /// A copy of the counters, taken under the proxy's lock.
    ProxyState state() const;
    /// Waits until `predicate` holds for the state; false when `deadline`
    /// passes first. The predicate runs under the proxy's lock.
    bool wait_until(const std::function<bool(const ProxyState&)>& predicate,
                    std::chrono::milliseconds deadline = DEADLINE) const;

private:
    struct Rule {
        Direction direction;
        Fault fault;
        int connection;
    };
    struct Pair;

    void run();
    static void apply(Pair& pair, const Rule& rule);
    void poll_once();
    void accept_connections();
    void step(Pair& pair);
    void close_pair(Pair& pair, bool cut);
    void wake();
    void publish();

    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::uint16_t m_target;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    std::vector<Rule> m_rules;
    std::vector<std::unique_ptr<Pair>> m_pairs;
    ProxyState m_state;
    std::vector<unsigned char> m_buffer; // the proxy thread's read buffer
    std::thread m_thread; // last: starts once everything above exists
};

} // namespace testing
} // namespace korvane
