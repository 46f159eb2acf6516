// What the accept path of a multiplexed listener keeps about each accepted
// connection until its group is handed over.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "message/Message.hpp"
#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedSocket.hpp"

namespace korvane {
namespace detail {

// Where the completion of a receive on an accepted connection goes: to the
// listener while the connection waits for its group, to the group's socket
// once handed over (the receive may still be outstanding then).
struct Route {
    std::mutex mutex;
    MultiplexedSocket* owner;
    std::shared_ptr<Lifetime> life;
    bool accepting = true;
};

struct AcceptedConnection {
    std::shared_ptr<Route> route;
    using clock_t = std::chrono::steady_clock;
    clock_t::time_point deadline;
    bool reading = false;
    bool closing = false; // closed by us; dropped when its receive ends
    bool identified = false;
    bool complete = false;
    Message early;        // a data frame that came before the group was complete
};

} // namespace detail
} // namespace korvane
