// What a decision of the multiplexed socket leaves to be done once its lock
// is released: calls into underlying sockets, user callbacks, and sockets to
// destroy. Shared by the sources of the multiplexed socket.
#pragma once

#include <algorithm>
#include <atomic>
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

#include "socket/BasicSocket.hpp"
#include "socket/MultiplexedFrame.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "util/InlineList.hpp"

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

    /// A blocking send's frame, written from the caller's bytes: the
    /// socket, its uid as the frame's header, and the message.
    struct Lent {
        std::size_t index = 0;
        BasicSocket* socket = nullptr;
        unsigned char header[detail::MULTIPLEX_HEADER_SIZE];
        const Message* message = nullptr;
    };

    // Calls into underlying sockets, carried out in this order.
    Lent lent;
    std::vector<Connect> connects;
    std::vector<IdFrame> id_frames;
    detail::InlineList<std::size_t, 4> flushes;         // hand connection i its outbox
    detail::InlineList<std::size_t, 4> receives;        // arm a receive on connection i
    detail::InlineList<std::size_t, 2> closes;          // close connection i
    std::vector<AcceptedRead> accepted_reads;           // accepted, not handed over: read on
    std::vector<SocketImpl*> accepted_closes;           // accepted, not handed over: close
    bool accept = false;                                // arm one more accept on the listener

    // User callbacks, run after the calls above.
    std::vector<std::pair<connect_handler_t, Status>> connectors;
    detail::InlineList<std::pair<send_handler_t, Status>, 2> senders;
    std::vector<Delivery> receivers;
    std::vector<Handover> groups;
    std::vector<std::pair<accept_handler_t, Status>> acceptors;

    std::vector<Socket> discard; // dropped connections, destroyed unlocked

    bool empty() const
    {
        return lent.message == nullptr && connects.empty() && id_frames.empty() && flushes.empty() &&
               receives.empty() && closes.empty() &&
               accepted_reads.empty() && accepted_closes.empty() && !accept && connectors.empty() && senders.empty() && receivers.empty() &&
               groups.empty() && acceptors.empty() && discard.empty();
    }
};

// A thread's run of one socket's actions, on that thread's stack. It is
// found by the socket's lifetime, which it keeps: a socket destroyed in one of
// the run's callbacks cannot hand its address to a new socket that would
// then take this run for its own.
struct MultiplexedSocket::Executor {
    std::shared_ptr<detail::Lifetime> life;
    std::vector<Actions> pending; // oldest first
    std::size_t next = 0;         // the first of them not taken yet

    /// An empty pending list, with room from an earlier run on this thread.
    static std::vector<Actions> reused_list();
    /// Empties `list` (what it holds is destroyed now) and keeps its room.
    static void keep_list(std::vector<Actions>&& list);

private:
    static std::vector<std::vector<Actions>>& kept_lists();
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

inline Status out_of_memory_status()
{
    return Status(Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory");
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
//
// Entering and leaving are on every completion's path, from every loop
// thread at once, so they take no lock: a count of visits, and on each thread
// the list of lifetimes it is visiting. The lock only guards the graveyard and
// the destructor's wait.
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

    bool alive() const { return m_alive.load(); }

    /// Whether this thread is inside a handler: a loop thread, or one on which
    /// an underlying socket completes its operations.
    bool visited_here() const { return visits_here() > 0; }

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
        m_alive = false;
        m_ending = true;
        const long mine = visits_here();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_left.wait(lock, [&] { return m_visitors.load() == mine; });
    }

private:
    // Counted before alive() is read, and end() clears alive before it reads
    // the count: a visit end() does not wait for sees the socket gone.
    bool enter()
    {
        ++m_visitors;
        if (!m_alive.load()) {
            count_out();
            return false;
        }
        visiting_here().push_back(this);
        return true;
    }

    void leave()
    {
        std::vector<const Lifetime*>& visiting = visiting_here();
        visiting.erase(std::find(visiting.rbegin(), visiting.rend(), this).base() - 1);
        count_out();
    }

    void count_out()
    {
        --m_visitors;
        if (m_ending.load()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_left.notify_all();
        }
    }

    long visits_here() const
    {
        const std::vector<const Lifetime*>& visiting = visiting_here();
        return static_cast<long>(std::count(visiting.begin(), visiting.end(), this));
    }

    static std::vector<const Lifetime*>& visiting_here()
    {
        thread_local std::vector<const Lifetime*> visiting;
        return visiting;
    }

    std::atomic<bool> m_alive{true};
    std::atomic<bool> m_ending{false};
    std::atomic<long> m_visitors{0};
    std::mutex m_mutex;
    std::condition_variable m_left;
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
