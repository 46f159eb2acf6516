// Shared helpers for tests that open real connections on loopback: free
// ports, event-loop threads that stop on their own, one-shot completions
// with deadlines, connected transport pairs and a plain POSIX socket to act
// as a hand-driven peer. Nothing here sleeps.
#pragma once

#include <asio.hpp>

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
#include <vector>

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

/// A TCP port that was free on 127.0.0.1 a moment ago (the kernel's choice
/// for port 0), so parallel test runs do not collide.
std::uint16_t free_tcp_port();
/// The same for UDP.
std::uint16_t free_udp_port();

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

/// Two connected ends and the listener that produced the server end.
struct ConnectedPair {
    std::unique_ptr<Transport> listener;
    std::unique_ptr<Transport> client;
    std::unique_ptr<Transport> server;
    /// The first failure on the way, for assertion messages.
    Transport::StatusCode status;

    explicit operator bool() const { return client && server; }
};

/// Binds `listener` to `address`:`port` (a free TCP port when 0), connects
/// `client` with the blocking calls and accepts on a helper thread, all
/// within DEADLINE. Works for any transport whose blocking accept returns
/// once the listener is closed.
ConnectedPair connect_pair(std::unique_ptr<Transport> listener, std::unique_ptr<Transport> client,
                           const std::string& address = "127.0.0.1", std::uint16_t port = 0);

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

    /// Listening on 127.0.0.1:`port`; invalid on failure.
    static RawSocket listen(std::uint16_t port);
    /// Connected to 127.0.0.1:`port`; invalid on failure.
    static RawSocket connect(std::uint16_t port);
    /// One connection from this listener, or an invalid socket after the deadline.
    RawSocket accept(std::chrono::milliseconds deadline = DEADLINE);

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

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

/// `client` connected to a RawSocket peer listening on a free port.
struct RawPair {
    std::unique_ptr<Transport> transport;
    RawSocket peer;
    Transport::StatusCode status;

    explicit operator bool() const { return transport && peer.valid(); }
};
RawPair connect_to_raw_peer(std::unique_ptr<Transport> client);

} // namespace testing
} // namespace korvane
