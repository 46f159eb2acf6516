// What a decision of the multiplexed socket leaves to be done once its lock
// is released: calls into underlying sockets, user callbacks, and sockets to
// destroy. Shared by the sources of the multiplexed socket.
#pragma once

#include <condition_variable>
#include <deque>
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
        std::vector<Socket> group;
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
    std::vector<std::pair<std::size_t, Message>> sends; // frame for connection i
    std::vector<std::size_t> receives;                  // arm a receive on connection i
    std::vector<std::size_t> closes;                    // close connection i
    std::vector<SocketImpl*> id_reads;                  // accepted connection: read its id frame
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
        return connects.empty() && id_frames.empty() && sends.empty() && receives.empty() && closes.empty() &&
               id_reads.empty() && !accept && connectors.empty() && senders.empty() && receivers.empty() &&
               groups.empty() && acceptors.empty() && discard.empty();
    }
};

struct MultiplexedSocket::Executor {
    std::thread::id thread;
    std::deque<Actions> pending;
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
};

} // namespace detail
} // namespace korvane
