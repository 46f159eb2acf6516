// Shared helpers for tests that open real connections on loopback: ports
// read back from listeners, event-loop threads that stop on their own, one-shot completions
// with deadlines, connected transport pairs and a plain POSIX socket to act
// as a hand-driven peer. Nothing here sleeps.
#pragma once

#include <asio.hpp>

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "socket/SocketImpl.hpp"
#include "transport/Transport.hpp"

namespace korvane {
namespace testing {

using namespace std::chrono_literals;

/// `seconds`, multiplied by the whole number in the environment variable
/// KORVANE_TEST_DEADLINE_SCALE when that is above 1: under valgrind every
/// byte costs many times what it costs natively, and the deadlines that
/// catch hangs must not catch that slowness instead.
inline std::chrono::seconds scaled_deadline(long seconds)
{
    const char* text = std::getenv("KORVANE_TEST_DEADLINE_SCALE");
    const long factor = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return std::chrono::seconds(factor > 1 && factor <= 1000 ? seconds * factor : seconds);
}

/// Default deadline for any wait in a test.
inline const std::chrono::seconds DEADLINE = scaled_deadline(10);

/// The port a listener bound just before listens on, so that a test binds
/// port 0 and reads the kernel's choice back. Knows TCP, TLS and UDT
/// transports and the BasicSocket listeners over them; 0 for any other
/// listener and for one that is not bound.
std::uint16_t bound_port(Transport& listener);
std::uint16_t bound_port(SocketImpl& listener);

/// 127.0.0.1:`port`, for the tests' own POSIX sockets.
sockaddr_in loopback(std::uint16_t port);

enum class PortKind { Tcp, Udp };

/// A loopback port held, for as long as this lives, by a socket that is
/// bound but neither listens nor reads: TCP connects to it are refused, UDP
/// datagrams go unanswered, and no other program can take it meanwhile.
class SilentPort {
public:
    explicit SilentPort(PortKind kind = PortKind::Tcp);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

/// A value delivered once, by any thread, and awaited with a deadline.
template <typename T>
class Completion {
public:
    void set(T value)
    {
        // Notified under the lock: the waiter may destroy this object as soon
        // as it sees the value, so nothing may touch it after the unlock.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value.emplace(std::move(value));
        m_cv.notify_all();
    }

    /// The value, or nothing when the deadline passed first.
    std::optional<T> wait(std::chrono::milliseconds deadline = DEADLINE)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, deadline, [this] { return m_value.has_value(); })) {
            return std::nullopt;
        }
        return std::move(m_value);
    }

    bool done() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value.has_value();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::optional<T> m_value;
};

/// Counts down to zero; wait() returns false if the deadline passes first.
class CountDown {
public:
    explicit CountDown(int count) : m_count(count) {}
    void arrive()
    {
        std::lock_guard<std::mutex> lock(m_mutex); // see Completion::set
        --m_count;
        m_cv.notify_all();
    }
    bool wait(std::chrono::milliseconds deadline = DEADLINE)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, deadline, [this] { return m_count <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count;
};

/// Guards a blocking call that a broken build could leave waiting forever:
/// if still armed when the deadline passes, runs `on_expiry` (typically a
/// shutdown of the peer, so that the blocked call sees the end of the
/// stream) on its own thread. Destruction disarms it.
class Watchdog {
public:
    explicit Watchdog(std::function<void()> on_expiry, std::chrono::milliseconds deadline = DEADLINE)
        : m_thread([this, on_expiry = std::move(on_expiry), deadline] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, deadline, [this] { return m_disarmed; })) {
                  m_fired = true;
                  lock.unlock();
                  on_expiry();
              }
          })
    {
    }

    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_disarmed = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool fired() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fired;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_disarmed = false;
    bool m_fired = false;
    std::thread m_thread; // last: starts once the state above exists
};

/// Stands in for LoopRunner where a transport completes everything on the
/// calling thread and has no loop to run.
struct NoLoop {
    explicit NoLoop(int = 0) {}
};

/// Runs the event loop of transport class `T` (anything with a static
/// protected `m_io_service` and a default constructor) on `threads` threads
/// through `T::start()`, kept busy by a work guard. On destruction the guard
/// goes, pending completions (aborted operations of closed transports) get
/// a deadline to drain, then the loop is stopped and the threads joined.
template <typename T>
class LoopRunner {
    struct Access : T {
        static asio::io_service& service() { return T::m_io_service; }
    };

public:
    explicit LoopRunner(int threads = 2)
        : LoopRunner(threads, [] {
              T transport;
              transport.start();
          })
    {
    }

    /// The same, each thread entering the loop through `enter` instead, for
    /// example a socket's start(), which may do work of its own first.
    LoopRunner(int threads, std::function<void()> enter)
        : m_guard(asio::make_work_guard(Access::service())), m_finished(threads)
    {
        for (int i = 0; i < threads; ++i) {
            m_threads.emplace_back([this, enter] {
                enter();
                m_finished.arrive();
            });
        }
    }

    ~LoopRunner() { drain(); }

    /// Lets the threads leave once no completion is pending, stops the loop
    /// outright when that takes longer than `deadline`, and joins them. True
    /// when the loop ran out of work on its own. Only the first call waits.
    bool drain(std::chrono::milliseconds deadline = std::chrono::seconds(5))
    {
        if (m_joined) {
            return m_drained;
        }
        m_joined = true;
        m_guard.reset();
        m_drained = m_finished.wait(deadline);
        if (!m_drained) {
            Access::service().stop();
        }
        for (auto& thread : m_threads) {
            thread.join();
        }
        return m_drained;
    }

    LoopRunner(const LoopRunner&) = delete;
    LoopRunner& operator=(const LoopRunner&) = delete;

    static asio::io_service& service() { return Access::service(); }

private:
    asio::executor_work_guard<asio::io_service::executor_type> m_guard;
    CountDown m_finished;
    bool m_joined = false;
    bool m_drained = false;
    std::vector<std::thread> m_threads;
};

/// Two connected ends and the listener that produced the server end, over
/// transports (ConnectedPair) or sockets (SocketPair).
template <typename End>
struct EndPair {
    std::unique_ptr<End> listener;
    std::unique_ptr<End> client;
    std::unique_ptr<End> server;
    /// The first failure on the way, for assertion messages.
    Transport::StatusCode status;
    Transport::StatusCode client_status;
    Transport::StatusCode server_status;
    /// False once a call missed its deadline and was ended by closing.
    bool in_time = true;

    explicit operator bool() const { return client && server; }

    /// Closes every end there is.
    void close()
    {
        for (std::unique_ptr<End>* end : {&client, &server, &listener}) {
            if (*end) {
                (*end)->close();
            }
        }
    }
};
using ConnectedPair = EndPair<Transport>;
using SocketPair = EndPair<SocketImpl>;

/// Binds `pair.listener` to `address`:`port` (the kernel's choice when 0).
/// The port it listens on, or 0 with the reason in `pair.status`.
template <typename End>
std::uint16_t listen_on(EndPair<End>& pair, const std::string& address, std::uint16_t port)
{
    pair.status = pair.listener->bind(port, address);
    if (!pair.status) {
        return 0;
    }
    const std::uint16_t bound = port != 0 ? port : bound_port(*pair.listener);
    if (bound == 0) {
        pair.status = Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_UNKNOWN, "port not known");
    }
    return bound;
}

/// Accepts on `pair.listener` on a helper thread while `pair.client`
/// connects, blocking, to `address`:`port`. A call still waiting at DEADLINE
/// is ended by closing what it waits on, and `in_time` turns false. A
/// transport's failed connect ends the accept at once, as no connection is
/// coming; a socket's accept keeps its deadline, since a failed key exchange
/// reports on both ends.
template <typename End>
void join_blocking(EndPair<End>& pair, const std::string& address, std::uint16_t port)
{
    Completion<bool> accepted;
    std::thread acceptor([&pair, &accepted] {
        pair.server = pair.listener->accept(&pair.server_status);
        accepted.set(true);
    });
    {
        Watchdog watchdog([&pair] { pair.client->close(); });
        pair.client_status = pair.client->connect(address, port);
        pair.in_time = !watchdog.fired();
    }
    if (std::is_same<End, Transport>::value && !pair.client_status) {
        pair.listener->close(); // wakes the blocked accept
    } else if (!accepted.wait()) {
        pair.in_time = false;
        pair.listener->close();
    }
    acceptor.join();
    if (!pair.client_status) {
        pair.status = pair.client_status;
    } else if (!pair.server) {
        pair.status = pair.server_status;
    }
}

/// The same with the sockets' connect(callback) and accept_async; the
/// caller runs the loop on at least two threads (each key exchange blocks
/// one). Past the deadline client and listener are closed.
void join_async(SocketPair& pair, const std::string& address, std::uint16_t port);

/// `listener` and `client` joined by listen_on() and join_blocking(), all
/// within DEADLINE. Works for any transport whose blocking accept returns
/// once the listener is closed.
template <typename End>
EndPair<End> open_pair(std::unique_ptr<End> listener, std::unique_ptr<End> client, const std::string& address,
                       std::uint16_t port)
{
    EndPair<End> pair;
    pair.listener = std::move(listener);
    pair.client = std::move(client);
    port = listen_on(pair, address, port);
    if (port != 0) {
        join_blocking(pair, address, port);
    }
    return pair;
}

inline ConnectedPair connect_pair(std::unique_ptr<Transport> listener, std::unique_ptr<Transport> client,
                                  const std::string& address = "127.0.0.1", std::uint16_t port = 0)
{
    return open_pair(std::move(listener), std::move(client), address, port);
}

/// A plain POSIX TCP socket on 127.0.0.1, for tests that look at or craft
/// the exact bytes on the wire. Every wait is bounded by a deadline.
class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(int fd) : m_fd(fd) {}
    ~RawSocket();
    RawSocket(RawSocket&& other) noexcept;
    RawSocket& operator=(RawSocket&& other) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    /// Listening on 127.0.0.1:`port` (the kernel's choice when 0); invalid on failure.
    static RawSocket listen(std::uint16_t port = 0);
    /// Connected to 127.0.0.1:`port`; invalid on failure.
    static RawSocket connect(std::uint16_t port);
    /// One connection from this listener, or an invalid socket after the deadline.
    RawSocket accept(std::chrono::milliseconds deadline = DEADLINE);

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    /// The local port; 0 when invalid.
    std::uint16_t port() const;

    /// Sends every byte; false on failure.
    bool send_all(const void* data, std::size_t length);
    bool send_all(const std::vector<unsigned char>& bytes) { return send_all(bytes.data(), bytes.size()); }
    /// Up to `length` bytes: fewer only when the stream ends or the deadline passes.
    std::vector<unsigned char> receive(std::size_t length, std::chrono::milliseconds deadline = DEADLINE);
    /// True when the peer has ended the stream (and sent nothing more) before the deadline.
    bool at_end(std::chrono::milliseconds deadline = DEADLINE);
    /// Ends our sending direction; the peer reads end of stream.
    void shutdown_write();
    /// Ends both directions without releasing the descriptor (safe while
    /// another thread still uses it).
    void shutdown_both();
    void close();

private:
    int m_fd = -1;
};

/// `client` connected to a RawSocket peer listening on a port of the kernel's choice.
struct RawPair {
    std::unique_ptr<Transport> transport;
    RawSocket peer;
    Transport::StatusCode status;

    explicit operator bool() const { return transport && peer.valid(); }
};
RawPair connect_to_raw_peer(std::unique_ptr<Transport> client);

} // namespace testing
} // namespace korvane
