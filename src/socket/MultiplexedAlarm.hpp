// A wake-up call for the multiplexed listener: the one place where nothing
// from a peer arrives to drive the accept path (a group that never completes,
// a connection that never sends its id frame, an accept loop backing off
// while descriptors are exhausted). One thread, started on the first
// request, sleeping until the earliest time asked for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace korvane {
namespace detail {

class Alarm {
public:
    using clock_t = std::chrono::steady_clock;

    /// `ring` runs on the alarm's own thread, never under its lock.
    explicit Alarm(std::function<void()> ring);
    /// Stops the thread; waits for a ring in progress unless called from it.
    ~Alarm();
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    /// Rings at `when` or earlier (the earliest time asked for wins). False
    /// when no thread could be started: the caller then has no timer.
    bool at(clock_t::time_point when);

private:
    // Shared with the thread, which outlives the alarm when it was destroyed
    // from a ring.
    struct State {
        std::function<void()> ring;
        std::mutex mutex;
        std::condition_variable changed;
        clock_t::time_point next = clock_t::time_point::max();
        bool stop = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace detail
} // namespace korvane
