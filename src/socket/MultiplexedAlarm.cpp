// The listener's wake-up call; see MultiplexedAlarm.hpp.
#include "socket/MultiplexedAlarm.hpp"

#include <system_error>
#include <utility>

namespace korvane {
namespace detail {

Alarm::Alarm(std::function<void()> ring) : m_state(std::make_shared<State>())
{
    m_state->ring = std::move(ring);
}

Alarm::~Alarm()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->stop = true;
    m_state->changed.notify_all();
    if (!m_thread.joinable()) {
        return;
    }
    lock.unlock();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach(); // destroyed from a ring: it returns and finds the stop
    } else {
        m_thread.join();
    }
}

bool Alarm::at(clock_t::time_point when)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (when < m_state->next) {
        m_state->next = when;
        m_state->changed.notify_all();
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread(&Alarm::run, m_state);
        } catch (const std::system_error&) {
            return false;
        }
    }
    return true;
}

void Alarm::run(const std::shared_ptr<State>& state)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->stop) {
        if (state->next == clock_t::time_point::max()) {
            state->changed.wait(lock);
            continue;
        }
        state->changed.wait_until(lock, state->next);
        if (state->stop || clock_t::now() < state->next) {
            continue; // an earlier time asked for, a spurious wake-up, or the stop
        }
        state->next = clock_t::time_point::max();
        lock.unlock();
        state->ring();
        lock.lock();
    }
}

} // namespace detail
} // namespace korvane
