// Sending over a multiplexed socket: messages are numbered in the order of
// the send calls and handed to whichever connection is free; each finished
// frame completes the oldest waiting sender.
#include <chrono>
#include <new>
#include <string>
#include <utility>

#include "socket/BasicSocket.hpp"
#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedFrame.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "util/Endianness.hpp"

namespace korvane {

using detail::out_of_memory_status;
using detail::shutdown_status;
using Status = Transport::StatusCode;

namespace {

Status all_failed_status()
{
    return Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Every underlying connection has failed");
}

Status unsent_frame_status()
{
    return Status(Status::TRANSPORT_STATUS_CONNECTION_ABORTED, "Connection failed before the frame was sent");
}

Status room_timeout_status()
{
    return Status(Status::TRANSPORT_STATUS_TIMEOUT, "Multiplexed send timed out waiting for room");
}

} // namespace

send_handler_t MultiplexedSocket::send_completion()
{
    return detail::guarded(m_lifetime, [this](SocketImpl& context, Status status) {
        producer_handler(context, std::move(status));
    });
}

void MultiplexedSocket::produce()
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    decide_sends(actions);
    act(lock, std::move(actions));
}

// Frames are dealt in uid order, each to the connection with the fewest
// bytes outstanding; every connection hands its frames to its socket in the
// order dealt, so each connection carries increasing uids.
void MultiplexedSocket::decide_sends(Actions& actions)
{
    if (!m_running || m_stop) {
        return;
    }
    while (!m_send_queue.empty()) {
        const std::size_t index = least_loaded_connection();
        if (index == m_sockets.size()) {
            break;
        }
        connection_state_t& connection = m_connections[index];
        const std::size_t length = static_cast<std::size_t>(m_send_queue.front().length());
        m_queued_bytes -= length;
        connection.in_flight.push_back(length);
        connection.bytes_in_flight += length;
        outbox_t& outbox = m_outboxes[index];
        {
            std::lock_guard<std::mutex> dealing(outbox.mutex);
            if (outbox.frames.empty()) {
                actions.flushes.push_back(index);
            }
            outbox.frames.push_back(std::move(m_send_queue.front()));
        }
        m_send_queue.pop();
    }
    notify_room();
}

// A connection with nothing of ours outstanding is skipped while its socket
// says it is busy (or closed, which a basic socket reports the same way).
std::size_t MultiplexedSocket::least_loaded_connection() const
{
    std::size_t best = m_sockets.size();
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        const connection_state_t& connection = m_connections[i];
        if (connection.failed || connection.in_flight.size() >= MAX_FRAMES_IN_FLIGHT ||
            connection.bytes_in_flight >= MAX_BYTES_IN_FLIGHT) {
            continue;
        }
        if (connection.in_flight.empty() && m_sockets[i]->send_pending()) {
            continue;
        }
        if (best == m_sockets.size() || connection.bytes_in_flight < m_connections[best].bytes_in_flight) {
            best = i;
        }
    }
    return best;
}

std::size_t MultiplexedSocket::take_back_unsent(std::size_t index)
{
    connection_state_t& connection = m_connections[index];
    outbox_t& outbox = m_outboxes[index];
    std::lock_guard<std::mutex> dealing(outbox.mutex);
    const std::size_t unsent = outbox.frames.size();
    for (std::size_t i = 0; i < unsent; ++i) {
        connection.bytes_in_flight -= connection.in_flight.back();
        connection.in_flight.pop_back();
    }
    outbox.frames.clear();
    return unsent;
}

std::size_t MultiplexedSocket::unsent_frames(std::size_t index) const
{
    std::lock_guard<std::mutex> dealing(m_outboxes[index].mutex);
    return m_outboxes[index].frames.size();
}

void MultiplexedSocket::producer_handler(SocketImpl& context, Transport::StatusCode status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    const std::size_t index = index_of(context);
    if (index == m_sockets.size()) {
        return;
    }
    Actions actions;
    decide_send_done(index, status, actions);
    act(lock, std::move(actions));
}

// A failed frame is gone: its sender learns so instead of waiting for a
// completion that will never come. The room it leaves goes to the next frame.
void MultiplexedSocket::decide_send_done(std::size_t index, const Transport::StatusCode& status,
                                         Actions& actions)
{
    connection_state_t& connection = m_connections[index];
    if (!connection.in_flight.empty()) {
        connection.bytes_in_flight -= connection.in_flight.front();
        connection.in_flight.pop_front();
    }
    if (m_stop) {
        return;
    }
    if (!m_send_callback_queue.empty()) {
        actions.senders.emplace_back(std::move(m_send_callback_queue.front()), status);
        m_send_callback_queue.pop();
    }
    if (!status) {
        decide_connection_failed(index, actions);
    }
    decide_sends(actions);
}

// Why a send cannot be queued now, or the default status. A message too
// large for a frame is refused before it is numbered, so the stream goes on.
Transport::StatusCode MultiplexedSocket::send_refusal(const Message& message)
{
    if (m_stop) {
        return shutdown_status();
    }
    if (m_send_broken) {
        return m_send_error;
    }
    if (m_unreported_failure.code() < 0) {
        return std::exchange(m_unreported_failure, Status());
    }
    const korvane_buf_len_t limit = detail::MULTIPLEX_MESSAGE_LIMIT;
    if (message.null()) {
        return Status();
    }
    if (message.length() > limit) {
        return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, "Message of " + std::to_string(message.length()) +
                                                                  " bytes is larger than the " +
                                                                  std::to_string(limit) + " a multiplexed frame carries");
    }
    // The connections' stages may grow the frame past what the framer takes,
    // and a frame refused there would leave a hole in the numbering. Every
    // connection of a group shares one pipeline configuration.
    const korvane_buf_len_t encoded =
        m_sockets[0]->pipeline().max_encoded_length(message.length() + detail::MULTIPLEX_HEADER_SIZE);
    if (encoded > detail::UNDERLYING_FRAME_LIMIT) {
        return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE,
                      "Message of " + std::to_string(message.length()) + " bytes may grow to " +
                          std::to_string(encoded) + " in the connections' stages, above the frame limit of " +
                          std::to_string(detail::UNDERLYING_FRAME_LIMIT));
    }
    return Status();
}

// One frame always fits, however large, so that no message is refused for
// its size alone.
bool MultiplexedSocket::send_queue_has_room(std::size_t bound) const
{
    return m_send_queue.empty() || m_queued_bytes < bound;
}

void MultiplexedSocket::notify_room()
{
    if (m_room_waiters > 0) {
        m_room.notify_all();
    }
}

void MultiplexedSocket::enqueue_frame(Message frame, send_handler_t callback, Actions& actions)
{
    // Numbered under the lock, so queue order is uid order.
    endian::store_big64(frame.buffer(), m_send_uid++);
    m_queued_bytes += static_cast<std::size_t>(frame.length());
    m_send_queue.push(std::move(frame));
    m_send_callback_queue.push(std::move(callback));
    decide_sends(actions);
}

// Stands in the sender queue for a blocking send that has already returned:
// a failure of its frame is kept for the next send or receive, and close().
send_handler_t MultiplexedSocket::returned_sender()
{
    return [this](SocketImpl&, Status status) { note_unreported_failure(status); };
}

void MultiplexedSocket::note_unreported_failure(const Transport::StatusCode& status)
{
    if (status.code() >= 0 || status.code() == Status::TRANSPORT_STATUS_SHUTDOWN) {
        return;
    }
    std::lock_guard<SpinningMutex> lock(m_mutex);
    m_unreported_failure = status;
    m_failure_for_close = status;
}

void MultiplexedSocket::send(Message& message, send_handler_t callback) noexcept
{
    if (!callback) {
        return; // nobody to tell: nothing is started
    }
    korvane_multiplex_frame_id_t unnumbered = 0;
    Message frame;
    bool no_memory = false;
    try {
        frame = m_stop ? Message() : create_multiplex_frame(message, unnumbered);
    } catch (const std::bad_alloc&) {
        no_memory = true; // this send fails, the stream goes on
    }
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    Status refusal = send_refusal(message);
    if (refusal.code() >= 0 && no_memory) {
        refusal = out_of_memory_status();
    }
    if (refusal.code() >= 0 && !send_queue_has_room()) {
        refusal = Status(Status::TRANSPORT_STATUS_TRY_AGAIN,
                         "Send queue full: " + std::to_string(m_queued_bytes) + " bytes waiting");
    }
    if (refusal.code() < 0) {
        actions.senders.emplace_back(std::move(callback), refusal);
    } else {
        enqueue_frame(std::move(frame), std::move(callback), actions);
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::send(Message&& message, send_handler_t callback) noexcept
{
    send(message, std::move(callback));
}

bool MultiplexedSocket::wait_for_room(std::unique_lock<SpinningMutex>& lock,
                                      std::chrono::steady_clock::time_point& deadline)
{
    const auto limit = m_timeouts.send;
    if (limit.count() > 0 && deadline == std::chrono::steady_clock::time_point{}) {
        deadline = std::chrono::steady_clock::now() + limit;
    }
    ++m_room_waiters;
    const bool timed_out = limit.count() == 0 ? (m_room.wait(lock), false)
                                              : m_room.wait_until(lock, deadline) == std::cv_status::timeout;
    --m_room_waiters;
    return !timed_out;
}

// Only a thread that carries out nothing of this socket may hand a frame
// over itself: anything else defers the hand-over past the call.
bool MultiplexedSocket::lends(const Message& message)
{
    if (message.null() || message.length() < LEND_FROM || executor_on_this_thread() != nullptr) {
        return false;
    }
    auto* basic = dynamic_cast<BasicSocket*>(m_sockets[0].get());
    return basic != nullptr && !basic->pipeline().has_encoders();
}

std::size_t MultiplexedSocket::lending_connection()
{
    const std::size_t index = least_loaded_connection();
    if (index == m_sockets.size() || dynamic_cast<BasicSocket*>(m_sockets[index].get()) == nullptr) {
        return m_sockets.size();
    }
    outbox_t& outbox = m_outboxes[index];
    std::lock_guard<std::mutex> dealing(outbox.mutex);
    if (!outbox.frames.empty() || outbox.lending) {
        return m_sockets.size();
    }
    outbox.lending = true;
    return index;
}

// Frames queued ahead of it keep their place: behind them the message goes
// as a copy like a small one.
bool MultiplexedSocket::send_lent(Message& message, Status& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    std::chrono::steady_clock::time_point deadline{};
    std::size_t index = m_sockets.size();
    for (bool timed_out = false;; timed_out = !wait_for_room(lock, deadline)) {
        status = send_refusal(message);
        if (status.code() < 0) {
            return true;
        }
        if (!m_running || !m_send_queue.empty()) {
            return false;
        }
        index = lending_connection();
        if (index < m_sockets.size()) {
            break;
        }
        if (timed_out || blocking_would_deadlock()) {
            status = timed_out ? room_timeout_status() : detail::loop_thread_status();
            return true;
        }
    }
    Actions actions;
    actions.lent.index = index;
    actions.lent.socket = static_cast<BasicSocket*>(m_sockets[index].get());
    actions.lent.message = &message;
    endian::store_big64(actions.lent.header, m_send_uid++);
    const std::size_t length = static_cast<std::size_t>(message.length() + detail::MULTIPLEX_HEADER_SIZE);
    connection_state_t& connection = m_connections[index];
    connection.in_flight.push_back(length);
    connection.bytes_in_flight += length;
    m_send_callback_queue.push(returned_sender());
    act(lock, std::move(actions));
    return true;
}

// Returns once the frame is queued, or handed to a connection, waiting only
// for room.
Transport::StatusCode MultiplexedSocket::send(Message& message) noexcept
{
    if (m_stop) {
        return shutdown_status();
    }
    Status lent;
    if (lends(message) && send_lent(message, lent)) {
        return lent;
    }
    korvane_multiplex_frame_id_t unnumbered = 0;
    Message frame;
    try {
        frame = create_multiplex_frame(message, unnumbered);
    } catch (const std::bad_alloc&) {
        return out_of_memory_status();
    }
    std::unique_lock<SpinningMutex> lock(m_mutex);
    std::chrono::steady_clock::time_point deadline{}; // read the clock only when waiting
    for (;;) {
        const Status refusal = send_refusal(message);
        if (refusal.code() < 0) {
            return refusal;
        }
        if (send_queue_has_room(BLOCKING_SEND_AHEAD)) {
            break;
        }
        if (blocking_would_deadlock()) {
            return detail::loop_thread_status();
        }
        if (!wait_for_room(lock, deadline) && !send_queue_has_room(BLOCKING_SEND_AHEAD)) {
            return room_timeout_status();
        }
    }
    Actions actions;
    enqueue_frame(std::move(frame), returned_sender(), actions);
    act(lock, std::move(actions));
    return Status();
}

Transport::StatusCode MultiplexedSocket::send(Message&& message) noexcept
{
    return send(message);
}

// Takes connection `index` out of use. The oldest waiting receiver hears of
// the loss; when no connection is left, everything waiting fails at once.
void MultiplexedSocket::decide_connection_failed(std::size_t index, Actions& actions)
{
    connection_state_t& connection = m_connections[index];
    if (connection.failed) {
        return;
    }
    connection.failed = true;
    --m_live;
    actions.closes.push_back(index);
    // Frames dealt to it and not handed over are lost with it, each failing
    // one sender as a failed send would.
    for (std::size_t unsent = take_back_unsent(index); unsent > 0 && !m_send_callback_queue.empty(); --unsent) {
        actions.senders.emplace_back(std::move(m_send_callback_queue.front()), unsent_frame_status());
        m_send_callback_queue.pop();
    }
    if (m_live == 0) {
        m_send_broken = true;
        m_send_error = all_failed_status();
        if (!m_recv_broken) {
            m_recv_broken = true;
            m_recv_error = all_failed_status();
        }
        for (; !m_send_callback_queue.empty(); m_send_callback_queue.pop()) {
            actions.senders.emplace_back(std::move(m_send_callback_queue.front()), m_send_error);
        }
        m_send_queue = std::queue<Message>();
        m_queued_bytes = 0;
        notify_room();
    } else if (!m_recv_callback_queue.empty()) {
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), Status()});
        m_recv_callback_queue.pop();
    }
    decide_deliveries(actions);
}

} // namespace korvane
