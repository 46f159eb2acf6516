// Receiving over a multiplexed socket: every connection keeps one receive
// armed; frames are parked in uid order and handed to receivers strictly in
// sequence, with a bound on what is parked and detection of frames lost with
// a failed connection.
#include <utility>

#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedFrame.hpp"
#include "socket/MultiplexedSocket.hpp"

namespace korvane {

using detail::shutdown_status;
using Status = Transport::StatusCode;

namespace {

Status lost_frame_status()
{
    return Status(Status::TRANSPORT_STATUS_CONNECTION_ABORTED, "A message was lost with a failed connection");
}

// Each parked frame also costs its bookkeeping: a flood of tiny frames
// reaches the bound too.
constexpr std::size_t PARKED_OVERHEAD = 128;

constexpr std::size_t NOT_ARRIVED = static_cast<std::size_t>(-1);

std::size_t parked_cost(const Message& frame)
{
    return static_cast<std::size_t>(frame.length()) + PARKED_OVERHEAD;
}

} // namespace

recv_handler_t MultiplexedSocket::recv_completion()
{
    return detail::guarded(m_lifetime, [this](SocketImpl& context, Message message, Status status) {
        consumer_handler(context, std::move(message), status);
    });
}

void MultiplexedSocket::consume()
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    decide_receives(actions);
    act(lock, std::move(actions));
}

void MultiplexedSocket::consumer_handler(SocketImpl& context, Message message, const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    const std::size_t index = index_of(context);
    if (index == m_sockets.size()) {
        return;
    }
    Actions actions;
    decide_frame_arrived(index, std::move(message), status, actions);
    act(lock, std::move(actions));
}

void MultiplexedSocket::decide_frame_arrived(std::size_t index, Message frame, const Transport::StatusCode& status,
                                             Actions& actions)
{
    connection_state_t& connection = m_connections[index];
    connection.receiving = false;
    if (m_stop) {
        return;
    }
    // A frame too short for its uid is as bad as a lost connection.
    if (frame.null() || frame.length() < detail::MULTIPLEX_HEADER_SIZE) {
        decide_connection_failed(index, actions);
    } else {
        const korvane_multiplex_frame_id_t uid = mutliplex_frame_id(frame);
        connection.delivered = true;
        connection.last_uid = uid;
        // Frames behind a lost one can never be delivered.
        if (!m_recv_broken) {
            park(index, std::move(frame), uid);
        }
        decide_deliveries(actions);
        if (!status) {
            decide_connection_failed(index, actions);
        }
    }
    decide_receives(actions);
}

// While parked frames are within bounds every connection reads on. Past the
// bound, a connection reads on only if it may still carry the frame whose turn
// it is: each connection carries increasing uids, so one that has already
// delivered a later frame cannot. Reading from it would only grow the heap.
bool MultiplexedSocket::may_receive(const connection_state_t& connection) const
{
    if (connection.failed || connection.receiving) {
        return false;
    }
    return m_parked_bytes < MAX_PARKED_BYTES || !connection.delivered || connection.last_uid < m_recv_uid;
}

void MultiplexedSocket::decide_receives(Actions& actions)
{
    if (!m_running || m_stop) {
        return;
    }
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        if (may_receive(m_connections[i])) {
            m_connections[i].receiving = true;
            actions.receives.push_back(i);
        }
    }
}

// Duplicates, and frames whose turn has passed, can never be delivered: they
// are dropped rather than piled up.
void MultiplexedSocket::park(std::size_t index, Message frame, korvane_multiplex_frame_id_t uid)
{
    if (uid < m_recv_uid) {
        return;
    }
    m_parked_bytes += parked_cost(frame);
    std::deque<parked_frame_t>& parked = m_connections[index].parked;
    if (parked.empty() || parked.back().uid < uid) {
        parked.push_back({uid, std::move(frame)});
    } else {
        m_recv_queue.push(std::move(frame));
    }
}

// Where the frame whose turn it is waits: the index of the connection it
// stands first on, m_connections.size() for the heap, or NOT_ARRIVED. Frames
// met on the way whose turn has passed are dropped.
std::size_t MultiplexedSocket::next_frame_source()
{
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        std::deque<parked_frame_t>& parked = m_connections[i].parked;
        for (; !parked.empty() && parked.front().uid < m_recv_uid; parked.pop_front()) {
            m_parked_bytes -= parked_cost(parked.front().frame);
        }
        if (!parked.empty() && parked.front().uid == m_recv_uid) {
            return i;
        }
    }
    for (; !m_recv_queue.empty() && mutliplex_frame_id(m_recv_queue.top()) < m_recv_uid; m_recv_queue.pop()) {
        m_parked_bytes -= parked_cost(m_recv_queue.top());
    }
    if (!m_recv_queue.empty() && mutliplex_frame_id(m_recv_queue.top()) == m_recv_uid) {
        return m_connections.size();
    }
    return NOT_ARRIVED;
}

// Takes the frame whose turn it is out of `source` (what next_frame_source()
// found); returns its payload.
Message MultiplexedSocket::unpark(std::size_t source)
{
    if (source < m_connections.size()) {
        std::deque<parked_frame_t>& parked = m_connections[source].parked;
        m_parked_bytes -= parked_cost(parked.front().frame);
        Message payload = detail::payload_view(parked.front().frame);
        parked.pop_front();
        return payload;
    }
    Message payload = detail::payload_view(m_recv_queue.top());
    m_parked_bytes -= parked_cost(m_recv_queue.top());
    m_recv_queue.pop();
    return payload;
}

void MultiplexedSocket::clear_parked()
{
    for (connection_state_t& connection : m_connections) {
        connection.parked.clear();
    }
    m_recv_queue = decltype(m_recv_queue)(&MultiplexedSocket::multiplex_frame_cmp);
    m_parked_bytes = 0;
}

bool MultiplexedSocket::next_frame_parked()
{
    return next_frame_source() != NOT_ARRIVED;
}

// Serves waiting receivers, oldest first, from parked frames that are next in
// order; fails them all once nothing more can arrive in order.
void MultiplexedSocket::decide_deliveries(Actions& actions)
{
    while (!m_recv_callback_queue.empty()) {
        const std::size_t source = next_frame_source();
        if (source == NOT_ARRIVED) {
            break;
        }
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), unpark(source), Status()});
        m_recv_callback_queue.pop();
        ++m_recv_uid;
    }
    detect_lost_frame();
    if (m_recv_broken && !next_frame_parked()) {
        for (; !m_recv_callback_queue.empty(); m_recv_callback_queue.pop()) {
            actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), m_recv_error});
        }
    }
}

// Each connection carries increasing uids. Once every live connection has
// delivered a frame past the one whose turn it is, that frame went down with a
// failed connection and will never come.
void MultiplexedSocket::detect_lost_frame()
{
    if (m_recv_broken || m_live == 0 || next_frame_parked()) {
        return;
    }
    for (const connection_state_t& connection : m_connections) {
        if (!connection.failed && (!connection.delivered || connection.last_uid <= m_recv_uid)) {
            return;
        }
    }
    m_recv_broken = true;
    m_recv_error = lost_frame_status();
    clear_parked();
}

void MultiplexedSocket::queue_recv(recv_handler_t callback)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    if (m_stop) {
        actions.receivers.push_back({std::move(callback), Message(), shutdown_status()});
    } else if (m_unreported_failure.code() < 0) {
        actions.receivers.push_back({std::move(callback), Message(), std::exchange(m_unreported_failure, Status())});
    } else {
        m_recv_callback_queue.push(std::move(callback));
        decide_deliveries(actions);
        decide_receives(actions);
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::recv(recv_handler_t callback) noexcept
{
    if (callback) { // else nobody to tell: nothing is started
        queue_recv(std::move(callback));
    }
}

namespace {

// The waiting blocking receive's entry in the receiver queue, recognisable
// there so that one whose deadline passed can be taken out again.
struct BlockingReceiver {
    std::shared_ptr<detail::Wait<Message>> wait;
    void operator()(SocketImpl&, Message message, Status status) const { wait->complete(std::move(message), status); }
};

} // namespace

// Takes a blocking receive whose deadline passed out of the receiver queue;
// false when it has already been served (its completion is on its way).
bool MultiplexedSocket::withdraw_receiver(const void* wait)
{
    std::queue<recv_handler_t> kept;
    bool found = false;
    for (; !m_recv_callback_queue.empty(); m_recv_callback_queue.pop()) {
        const auto* receiver = m_recv_callback_queue.front().target<BlockingReceiver>();
        if (receiver != nullptr && receiver->wait.get() == wait) {
            found = true;
        } else {
            kept.push(std::move(m_recv_callback_queue.front()));
        }
    }
    std::swap(kept, m_recv_callback_queue);
    return found;
}

Message MultiplexedSocket::recv(Transport::StatusCode* status) noexcept
{
    Status ignored;
    Status& outcome = status != nullptr ? *status : ignored;
    std::unique_lock<SpinningMutex> lock(m_mutex);
    if (m_stop || m_unreported_failure.code() < 0) {
        outcome = m_stop ? shutdown_status() : std::exchange(m_unreported_failure, Status());
        return Message();
    }
    const std::size_t source = m_recv_callback_queue.empty() ? next_frame_source() : NOT_ARRIVED;
    if (source != NOT_ARRIVED) {
        Message payload = unpark(source);
        ++m_recv_uid;
        Actions actions;
        decide_receives(actions); // room for frames again
        act(lock, std::move(actions));
        return payload;
    }
    if (blocking_would_deadlock()) {
        outcome = detail::loop_thread_status();
        return Message();
    }
    const auto limit = m_timeouts.recv;
    lock.unlock();
    auto wait = std::make_shared<detail::Wait<Message>>();
    queue_recv(BlockingReceiver{wait});
    run_pending_here();
    if (!wait->wait_for(limit)) {
        lock.lock();
        if (withdraw_receiver(wait.get())) {
            outcome = Status(Status::TRANSPORT_STATUS_TIMEOUT, "Multiplexed receive timed out");
            return Message();
        }
        lock.unlock();
        wait->wait();
    }
    outcome = wait->status;
    return std::move(wait->value);
}

} // namespace korvane
