// Shared helpers for tests that open real connections on loopback: free
// ports, event-loop threads that stop on their own, and one-shot completions
// with deadlines. Nothing here sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// After the standard headers, as in the library: asio's handler allocation
// scheme depends on what the standard library has configured when asio is
// first included, and must match the library's.
#include <asio.hpp>

namespace korvane {
namespace testing {

using namespace std::chrono_literals;

/// Default deadline for any wait in a test.
constexpr std::chrono::seconds DEADLINE{10};

/// A TCP port that was free on 127.0.0.1 a moment ago (the kernel's choice
/// for port 0), so parallel test runs do not collide.
std::uint16_t free_tcp_port();
/// The same for UDP.
std::uint16_t free_udp_port();

/// A value delivered once, by any thread, and awaited with a deadline.
template <typename T>
class Completion {
public:
    // Notifies under the lock: a waiter may destroy this as soon as it sees
    // the value, which must not happen while notify_all is still running.
    void set(T value)
    {
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
        : m_guard(asio::make_work_guard(Access::service())), m_finished(threads)
    {
        for (int i = 0; i < threads; ++i) {
            m_threads.emplace_back([this] {
                T transport;
                transport.start();
                m_finished.arrive();
            });
        }
    }

    ~LoopRunner()
    {
        m_guard.reset();
        if (!m_finished.wait(std::chrono::seconds(5))) {
            Access::service().stop();
        }
        for (auto& thread : m_threads) {
            thread.join();
        }
    }

    LoopRunner(const LoopRunner&) = delete;
    LoopRunner& operator=(const LoopRunner&) = delete;

    static asio::io_service& service() { return Access::service(); }

private:
    asio::executor_work_guard<asio::io_service::executor_type> m_guard;
    CountDown m_finished;
    std::vector<std::thread> m_threads;
};

} // namespace testing
} // namespace korvane
