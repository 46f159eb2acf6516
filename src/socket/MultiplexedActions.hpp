// What a decision of the multiplexed socket leaves to be done once its lock
// is released: calls into underlying sockets, user callbacks, and sockets to
// destroy. Shared by the sources of the multiplexed socket.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "socket/MultiplexedSocket.hpp"

namespace korvane {

struct MultiplexedSocket::Actions {
    using Status = Transport::StatusCode;
    struct Delivery {
        recv_handler_t callback;
        Message message;
        Status status;
    };
    struct Handover {
        accept_handler_t callback;
        Socket socket;
    };
    struct AcceptedRead {
        SocketImpl* connection;
        recv_handler_t done;
    };
    struct Connect {
        std::size_t index;
        std::string address;
        Transport::port_t port;
        connect_handler_t done;
    };
    struct IdFrame {
        std::size_t index;
        Message frame;
        send_handler_t done;
    };

    // Calls into underlying sockets, carried out in this order.
    std::vector<Connect> connects;
    std::vector<IdFrame> id_frames;
    std::vector<std::size_t> flushes;                   // hand connection i its outbox
    std::vector<std::size_t> receives;                  // arm a receive on connection i
    std::vector<std::size_t> closes;                    // close connection i
    std::vector<AcceptedRead> accepted_reads;           // accepted, not handed over: read on
    std::vector<SocketImpl*> accepted_closes;           // accepted, not handed over: close
    bool accept = false;                                // arm one more accept on the listener

    // User callbacks, run after the calls above.
    std::vector<std::pair<connect_handler_t, Status>> connectors;
    std::vector<std::pair<send_handler_t, Status>> senders;
    std::vector<Delivery> receivers;
    std::vector<Handover> groups;
    std::vector<std::pair<accept_handler_t, Status>> acceptors;

    std::vector<Socket> discard; // dropped connections, destroyed unlocked

    bool empty() const
    {
        return connects.empty() && id_frames.empty() && flushes.empty() && receives.empty() && closes.empty() &&
               accepted_reads.empty() && accepted_closes.empty() && !accept && connectors.empty() && senders.empty() && receivers.empty() &&
               groups.empty() && acceptors.empty() && discard.empty();
    }
};

// Executors are recycled (see act()): a run of actions allocates nothing for
// its own bookkeeping, and `pending` keeps its room from run to run.
struct MultiplexedSocket::Executor {
    std::thread::id thread;
    std::vector<Actions> pending; // oldest first
};

namespace detail {

using Status = Transport::StatusCode;

inline Status shutdown_status()
{
    return Status(Status::TRANSPORT_STATUS_SHUTDOWN, "Shutdown was triggered");
}

inline Status cannot_bind_status()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED,
                  "Cannot bind a multiplex socket containing multiple underlying sockets");
}

inline Status loop_thread_status()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED,
                  "Blocking call on a thread that completes this socket's operations");
}

inline Status pipeline_refused_status()
{
    return Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT,
                  "Stages belong in the underlying sockets' pipelines; a multiplexed socket's own stays empty");
}

// A blocking call's private wait. The completion sets the flag under the
// waiter's mutex before notifying, so the wake-up cannot be lost; the state is
// shared so that a late completion never touches a finished caller's stack.
template <typename T>
struct Wait {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    T value{};
    Status status;

    void complete(T result, const Status& outcome)
    {
        std::lock_guard<std::mutex> lock(mutex);
        value = std::move(result);
        status = outcome;
        done = true;
        cv.notify_one();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return done; });
    }

    /// False when `limit` passed first; 0 waits for as long as it takes.
    bool wait_for(std::chrono::milliseconds limit)
    {
        if (limit.count() == 0) {
            wait();
            return true;
        }
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, [this] { return done; });
    }
};

// Whether the multiplexed socket still exists, and which threads are inside
// one of its completion handlers. Every handler handed to an underlying
// socket holds a share of it, so a completion that arrives after the socket
// was destroyed (it may be destroyed from its own callback) does nothing, and
// the destructor waits for handlers running on other threads.
class Lifetime {
public:
    class Visit {
    public:
        explicit Visit(Lifetime& life) : m_life(life), m_inside(life.enter()) {}
        ~Visit()
        {
            if (m_inside) {
                m_life.leave();
            }
        }
        Visit(const Visit&) = delete;
        Visit& operator=(const Visit&) = delete;
        explicit operator bool() const { return m_inside; }

    private:
        Lifetime& m_life;
        bool m_inside;
    };

    bool alive() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_alive;
    }

    /// Whether this thread is inside a handler: a loop thread, or one on which
    /// an underlying socket completes its operations.
    bool visited_here() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_visitors.begin(), m_visitors.end(), std::this_thread::get_id()) != m_visitors.end();
    }

    /// No handler enters from now on. `busy` sockets still have operations
    /// outstanding (how many each): a socket destroyed before its completion
    /// came would meet it freed, so each is kept until its last one.
    void retire(std::vector<std::pair<Socket, int>> busy)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_alive = false;
        for (auto& socket : busy) {
            const SocketImpl* key = socket.first.get();
            m_graveyard.emplace(key, std::move(socket));
        }
    }

    /// A completion that came after retire(): the last one of its socket
    /// frees it (from inside its own callback, which sockets allow).
    void late(SocketImpl& socket)
    {
        Socket freed;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_graveyard.find(&socket);
            if (found != m_graveyard.end() && --found->second.second <= 0) {
                freed = std::move(found->second.first);
                m_graveyard.erase(found);
            }
        }
    }
    template <typename... Rest>
    void late(SocketImpl& socket, Rest&&...)
    {
        late(socket);
    }
    void late() {}

    /// Returns once the handlers on other threads have left (the ones on this
    /// thread called us and check alive()).
    void end()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_alive = false;
        const std::thread::id me = std::this_thread::get_id();
        m_left.wait(lock, [&] {
            return std::all_of(m_visitors.begin(), m_visitors.end(), [&](std::thread::id id) { return id == me; });
        });
    }

private:
    bool enter()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_alive) {
            m_visitors.push_back(std::this_thread::get_id());
        }
        return m_alive;
    }

    void leave()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_visitors.erase(std::find(m_visitors.begin(), m_visitors.end(), std::this_thread::get_id()));
        m_left.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_left;
    bool m_alive = true;
    std::vector<std::thread::id> m_visitors;
    std::map<const SocketImpl*, std::pair<Socket, int>> m_graveyard;
};

/// `handler` behind a share of `life`: it runs only while the socket lives.
template <typename Handler>
auto guarded(const std::shared_ptr<Lifetime>& life, Handler handler)
{
    return [life, handler](auto&&... arguments) {
        // A local share: the underlying socket may destroy this closure
        // while it runs.
        const std::shared_ptr<Lifetime> keep = life;
        Lifetime::Visit visit(*keep);
        if (visit) {
            handler(std::forward<decltype(arguments)>(arguments)...);
        } else {
            keep->late(arguments...);
        }
    };
}

} // namespace detail
} // namespace korvane
