// A mutex that spins for a moment before it sleeps.
#pragma once

#include <pthread.h>

namespace korvane {

/// For a lock that several threads take for a few hundred nanoseconds each,
/// many times per message: a thread that finds it held usually gets it a
/// moment later, so it tries again for a short while instead of going to
/// sleep at once, and the holder's unlock rarely has a sleeper to wake.
/// Meets the standard's Lockable requirements (use std::condition_variable_any
/// to wait under it). Not recursive.
class SpinningMutex {
public:
    SpinningMutex() noexcept;
    ~SpinningMutex();
    SpinningMutex(const SpinningMutex&) = delete;
    SpinningMutex& operator=(const SpinningMutex&) = delete;

    /// Blocks until this thread holds the mutex.
    void lock() noexcept;
    /// False at once when another thread holds it.
    bool try_lock() noexcept;
    void unlock() noexcept;

private:
    pthread_mutex_t m_mutex;
};

} // namespace korvane
