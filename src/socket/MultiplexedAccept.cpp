// The server side of the multiplexed socket: the accept loop on the one
// listening socket, and the gathering of accepted connections into groups by
// the id frame each sends first. A complete group becomes a new multiplexed
// socket, handed to the oldest waiting accept_async caller.
#include <algorithm>
#include <utility>

#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedFrame.hpp"
#include "socket/MultiplexedSocket.hpp"

namespace korvane {

using detail::shutdown_status;
using Status = Transport::StatusCode;

namespace {

// A closed listener, or one that cannot accept asynchronously, fails every
// accept at once: re-arming would spin.
bool listener_is_gone(const Status& status)
{
    return status.code() == Status::TRANSPORT_STATUS_OPERATION_ABORTED ||
           status.code() == Status::TRANSPORT_STATUS_BAD_DESCRIPTOR ||
           status.code() == Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED;
}

} // namespace

Socket MultiplexedSocket::accept(Transport::StatusCode* status) noexcept
{
    if (status != nullptr) {
        *status = Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Synchronous accept is not supported");
    }
    return Socket();
}

void MultiplexedSocket::accept_async(accept_handler_t callback) noexcept
{
    if (!callback) {
        return; // nobody to tell: nothing is started
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    if (m_stop) {
        actions.acceptors.emplace_back(std::move(callback), shutdown_status());
    } else if (m_sockets.size() != 1) {
        actions.acceptors.emplace_back(std::move(callback), detail::cannot_bind_status());
    } else {
        m_accept_callback_queue.push(std::move(callback));
        decide_group_handover(actions);
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::accept_()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    actions.accept = true;
    act(lock, std::move(actions));
}

void MultiplexedSocket::accept_handler(SocketImpl& context, Socket socket, const Transport::StatusCode& status)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    if (socket && status.code() >= 0 && !m_stop) {
        actions.id_reads.push_back(socket.get());
        m_accept_queue.push_back(std::move(socket));
    } else {
        actions.discard.push_back(std::move(socket));
    }
    actions.accept = !m_stop && !listener_is_gone(status) && &context == m_sockets[0].get();
    act(lock, std::move(actions));
}

void MultiplexedSocket::accept_read_handler(SocketImpl& context, Message message, const Transport::StatusCode& status)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    decide_id_frame(context, std::move(message), status, actions);
    act(lock, std::move(actions));
}

// Anything but a whole id frame with a usable group size is a failed
// connection.
void MultiplexedSocket::decide_id_frame(SocketImpl& context, Message message, const Transport::StatusCode& status,
                                        Actions& actions)
{
    auto it = std::find_if(m_accept_queue.begin(), m_accept_queue.end(),
                           [&context](const Socket& socket) { return socket.get() == &context; });
    if (it == m_accept_queue.end()) {
        return;
    }
    Socket connection = std::move(*it);
    m_accept_queue.erase(it);

    detail::GroupAnnouncement announced;
    if (m_stop || status.code() < 0 || !detail::read_id_frame(message, announced)) {
        actions.discard.push_back(std::move(connection));
        return;
    }
    std::vector<Socket>& group = m_accept_multiplex_queue[announced.uuid];
    group.push_back(std::move(connection));
    if (group.size() == announced.total) {
        // Complete groups leave the map, so a late extra connection with the
        // same id starts a new group instead of overfilling.
        m_accept_ready.push(std::move(group));
        m_accept_multiplex_queue.erase(announced.uuid);
    }
    decide_group_handover(actions);
}

// Pairs complete groups with the oldest waiting accept_async callers.
void MultiplexedSocket::decide_group_handover(Actions& actions)
{
    for (; !m_accept_ready.empty() && !m_accept_callback_queue.empty(); m_accept_ready.pop()) {
        actions.groups.push_back({std::move(m_accept_callback_queue.front()), std::move(m_accept_ready.front())});
        m_accept_callback_queue.pop();
    }
}

} // namespace korvane
