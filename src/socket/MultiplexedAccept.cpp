// The server side of the multiplexed socket: the accept loop on the one
// listening socket, and the gathering of accepted connections into groups by
// the id frame each sends first. A complete group becomes a new multiplexed
// socket, handed to the oldest waiting accept_async caller.
//
// Until it is handed over, every accepted connection keeps one receive armed,
// so that a peer that closes is released at once; an early data frame is
// kept for the group's socket. Connections and groups that do not finish
// within the handshake deadline are closed, what they may hold is bounded,
// and an accept that fails for want of resources pauses the loop.
#include <algorithm>
#include <utility>

#include "socket/MultiplexedAccept.hpp"
#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedAlarm.hpp"
#include "socket/MultiplexedFrame.hpp"
#include "socket/MultiplexedSocket.hpp"

namespace korvane {

using detail::shutdown_status;
using Status = Transport::StatusCode;
using Clock = detail::AcceptedConnection::clock_t;


namespace {

constexpr std::chrono::milliseconds FIRST_BACKOFF{10};
constexpr std::chrono::milliseconds LONGEST_BACKOFF{1000};

// A closed listener, or one that cannot accept asynchronously, fails every
// accept at once: re-arming would spin.
bool listener_is_gone(const Status& status)
{
    return status.code() == Status::TRANSPORT_STATUS_OPERATION_ABORTED ||
           status.code() == Status::TRANSPORT_STATUS_BAD_DESCRIPTOR ||
           status.code() == Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED;
}

// Failures that the next accept would meet again at once.
bool resources_exhausted(const Status& status)
{
    return status.code() == Status::TRANSPORT_STATUS_NO_DESCRIPTORS ||
           status.code() == Status::TRANSPORT_STATUS_NO_BUFFER_SPACE ||
           status.code() == Status::TRANSPORT_STATUS_NO_MEMORY;
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
    std::unique_lock<SpinningMutex> lock(m_mutex);
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
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    actions.accept = true;
        ++m_accepts_outstanding;
    act(lock, std::move(actions));
}

// ---------------------------------------------------------------- arrivals

void MultiplexedSocket::accept_handler(SocketImpl& context, Socket socket, const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    m_accepts_outstanding -= m_accepts_outstanding > 0 ? 1 : 0;
    Actions actions;
    if (socket && status.code() >= 0 && !m_stop && m_accept_queue.size() < MAX_UNIDENTIFIED) {
        auto accepted = std::make_shared<detail::AcceptedConnection>();
        accepted->route = std::make_shared<detail::Route>();
        accepted->route->owner = this;
        accepted->route->life = m_lifetime;
        accepted->deadline = Clock::now() + m_timeouts.handshake;
        socket->timeouts(m_timeouts);
        m_accepted[socket.get()] = accepted;
        read_accepted(*socket, actions);
        schedule_alarm(accepted->deadline);
        m_accept_queue.push_back(std::move(socket));
    } else {
        actions.discard.push_back(std::move(socket));
    }
    if (&context == m_sockets[0].get()) {
        decide_rearm(status, actions);
    }
    act(lock, std::move(actions));
}

// An ordinary failure (a peer that gave up before it was accepted) goes on
// at once; one that the next accept would meet again waits, longer each time.
void MultiplexedSocket::decide_rearm(const Transport::StatusCode& status, Actions& actions)
{
    if (m_stop || listener_is_gone(status)) {
        return;
    }
    if (!resources_exhausted(status)) {
        m_accept_backoff = std::chrono::milliseconds(0);
        actions.accept = true;
        ++m_accepts_outstanding;
        return;
    }
    m_accept_backoff = std::min(LONGEST_BACKOFF, std::max(FIRST_BACKOFF, m_accept_backoff * 2));
    m_accept_paused = schedule_alarm(Clock::now() + m_accept_backoff);
    if (!m_accept_paused) { // no timer to be had: on at once rather than never
        actions.accept = true;
        ++m_accepts_outstanding;
    }
}

void MultiplexedSocket::read_accepted(SocketImpl& connection, Actions& actions)
{
    detail::AcceptedConnection& accepted = *m_accepted.at(&connection);
    accepted.reading = true;
    actions.accepted_reads.push_back({&connection, accepted_completion(accepted.route)});
}

recv_handler_t MultiplexedSocket::accepted_completion(const std::shared_ptr<detail::Route>& route)
{
    return [route](SocketImpl& context, Message message, Status status) {
        std::unique_lock<std::mutex> lock(route->mutex);
        MultiplexedSocket* owner = route->owner;
        const std::shared_ptr<detail::Lifetime> life = route->life;
        const bool accepting = route->accepting;
        lock.unlock();
        detail::Lifetime::Visit visit(*life);
        if (!visit) {
            life->late(context);
            return;
        }
        if (accepting) {
            owner->accepted_frame(route, context, std::move(message), status);
        } else {
            owner->consumer_handler(context, std::move(message), status);
        }
    };
}

void MultiplexedSocket::accepted_frame(const std::shared_ptr<detail::Route>& route, SocketImpl& context,
                                       Message message, const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    const auto found = m_accepted.find(&context);
    if (found == m_accepted.end() || found->second->route != route) {
        // Handed over between the completion and this lock: the group's
        // socket takes it.
        lock.unlock();
        accepted_completion(route)(context, std::move(message), status);
        return;
    }
    detail::AcceptedConnection& accepted = *found->second;
    accepted.reading = false;
    Actions actions;
    if (accepted.closing || m_stop) {
        take_out_of_group(context, actions);
    } else if (!accepted.identified) {
        decide_id_frame(context, std::move(message), status, actions);
    } else {
        decide_waiting_frame(context, std::move(message), status, actions);
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::accept_read_handler(SocketImpl& context, Message message, const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    const auto found = m_accepted.find(&context);
    if (found == m_accepted.end()) {
        return;
    }
    const std::shared_ptr<detail::Route> route = found->second->route;
    lock.unlock();
    accepted_frame(route, context, std::move(message), status);
}

// ---------------------------------------------------------------- grouping

// Anything but a whole id frame with a usable group size is a failed
// connection; so is one past the bounds.
void MultiplexedSocket::decide_id_frame(SocketImpl& context, Message message, const Transport::StatusCode& status,
                                        Actions& actions)
{
    detail::GroupAnnouncement announced;
    if (status.code() < 0 || !detail::read_id_frame(message, announced) || announced.total > MAX_GROUP_SIZE ||
        (m_accept_multiplex_queue.count(announced.uuid) == 0 &&
         m_accept_multiplex_queue.size() >= MAX_ASSEMBLING_GROUPS)) {
        take_out_of_group(context, actions);
        return;
    }
    auto it = std::find_if(m_accept_queue.begin(), m_accept_queue.end(),
                           [&context](const Socket& socket) { return socket.get() == &context; });
    Socket connection = std::move(*it);
    m_accept_queue.erase(it);
    m_accepted.at(&context)->identified = true;

    std::vector<Socket>& group = m_accept_multiplex_queue[announced.uuid];
    group.push_back(std::move(connection));
    if (group.size() < announced.total) {
        read_accepted(context, actions); // a peer that closes meanwhile is seen at once
        return;
    }
    // Complete groups leave the map, so a late extra connection with the
    // same id starts a new group instead of overfilling.
    std::vector<Socket> complete = std::move(group);
    m_accept_multiplex_queue.erase(announced.uuid);
    if (m_accept_ready.size() >= MAX_UNCLAIMED_GROUPS) {
        for (Socket& member : complete) {
            retire_accepted(std::move(member), actions);
        }
        return;
    }
    for (const Socket& member : complete) {
        detail::AcceptedConnection& accepted = *m_accepted.at(member.get());
        accepted.complete = true; // assembled: no deadline any more
        if (!accepted.reading) {
            read_accepted(*member, actions);
        }
    }
    m_accept_ready.push(std::move(complete));
    decide_group_handover(actions);
}

// A member of a group that is not handed over yet delivered something: an
// early data frame is kept; a close or a failure takes it out.
void MultiplexedSocket::decide_waiting_frame(SocketImpl& context, Message message,
                                             const Transport::StatusCode& status, Actions& actions)
{
    if (status.code() < 0 || message.null() || message.length() < detail::MULTIPLEX_HEADER_SIZE) {
        take_out_of_group(context, actions);
        return;
    }
    m_accepted.at(&context)->early = std::move(message);
}

// Removes `context` from wherever the accept path holds it.
void MultiplexedSocket::take_out_of_group(SocketImpl& context, Actions& actions)
{
    auto is_it = [&context](const Socket& socket) { return socket.get() == &context; };
    auto queued = std::find_if(m_accept_queue.begin(), m_accept_queue.end(), is_it);
    if (queued != m_accept_queue.end()) {
        Socket socket = std::move(*queued);
        m_accept_queue.erase(queued);
        retire_accepted(std::move(socket), actions);
        return;
    }
    for (auto group = m_accept_multiplex_queue.begin(); group != m_accept_multiplex_queue.end(); ++group) {
        auto member = std::find_if(group->second.begin(), group->second.end(), is_it);
        if (member != group->second.end()) {
            Socket socket = std::move(*member);
            group->second.erase(member);
            if (group->second.empty()) {
                m_accept_multiplex_queue.erase(group);
            }
            retire_accepted(std::move(socket), actions);
            return;
        }
    }
    // A member of a complete group: the whole group goes, as it cannot
    // serve its peer any more.
    std::queue<std::vector<Socket>> kept;
    for (; !m_accept_ready.empty(); m_accept_ready.pop()) {
        std::vector<Socket>& group = m_accept_ready.front();
        if (std::none_of(group.begin(), group.end(), is_it)) {
            kept.push(std::move(group));
            continue;
        }
        for (Socket& socket : group) {
            retire_accepted(std::move(socket), actions);
        }
    }
    std::swap(kept, m_accept_ready);
}

// A connection with a receive outstanding is closed and kept until the
// receive ends; one without goes now.
void MultiplexedSocket::retire_accepted(Socket socket, Actions& actions)
{
    const auto found = m_accepted.find(socket.get());
    if (found != m_accepted.end() && found->second->reading) {
        found->second->closing = true;
        actions.accepted_closes.push_back(socket.get());
        m_accept_queue.push_back(std::move(socket));
        return;
    }
    if (found != m_accepted.end()) {
        m_accepted.erase(found);
    }
    actions.discard.push_back(std::move(socket));
}

// Pairs complete groups with the oldest waiting accept_async callers.
void MultiplexedSocket::decide_group_handover(Actions& actions)
{
    for (; !m_accept_ready.empty() && !m_accept_callback_queue.empty(); m_accept_ready.pop()) {
        actions.groups.push_back({std::move(m_accept_callback_queue.front()), Socket(assemble(std::move(m_accept_ready.front())))});
        m_accept_callback_queue.pop();
    }
}

// The group's own socket, built under the listener's lock so that every
// receive still outstanding on a member is routed to it from now on.
MultiplexedSocket* MultiplexedSocket::assemble(std::vector<Socket> group)
{
    auto* socket = new MultiplexedSocket(std::move(group));
    socket->m_timeouts = m_timeouts;
    std::lock_guard<SpinningMutex> lock(socket->m_mutex);
    for (std::size_t i = 0; i < socket->m_sockets.size(); ++i) {
        const auto found = m_accepted.find(socket->m_sockets[i].get());
        detail::AcceptedConnection& accepted = *found->second;
        socket->m_connections[i].receiving = accepted.reading;
        if (!accepted.early.null()) {
            socket->m_connections[i].delivered = true;
            const korvane_multiplex_frame_id_t uid = mutliplex_frame_id(accepted.early);
            socket->m_connections[i].last_uid = uid;
            socket->park(i, std::move(accepted.early), uid);
        }
        {
            std::lock_guard<std::mutex> routing(accepted.route->mutex);
            accepted.route->owner = socket;
            accepted.route->life = socket->m_lifetime;
            accepted.route->accepting = false;
        }
        m_accepted.erase(found);
    }
    return socket;
}

// ---------------------------------------------------------------- deadlines

bool MultiplexedSocket::schedule_alarm(Clock::time_point when)
{
    if (!m_alarm) {
        m_alarm = std::make_unique<detail::Alarm>(detail::guarded(m_lifetime, [this] { on_alarm(); }));
    }
    return m_alarm->at(when);
}

void MultiplexedSocket::on_alarm()
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    decide_expiry(actions);
    act(lock, std::move(actions));
}

// Connections and groups past the handshake deadline are closed; a paused
// accept loop goes on once its pause is over. Asks for the next wake-up.
void MultiplexedSocket::decide_expiry(Actions& actions)
{
    if (m_stop) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (m_accept_paused) {
        m_accept_paused = false;
        actions.accept = true;
        ++m_accepts_outstanding;
    }
    std::vector<SocketImpl*> expired;
    Clock::time_point next = Clock::time_point::max();
    for (const auto& entry : m_accepted) {
        if (entry.second->closing || entry.second->complete) {
            continue;
        }
        if (entry.second->deadline <= now) {
            expired.push_back(const_cast<SocketImpl*>(entry.first));
        } else {
            next = std::min(next, entry.second->deadline);
        }
    }
    for (SocketImpl* connection : expired) {
        if (m_accepted.count(connection) > 0 && !m_accepted.at(connection)->closing) {
            take_out_of_group(*connection, actions);
        }
    }
    if (next != Clock::time_point::max()) {
        schedule_alarm(next);
    }
}

} // namespace korvane
