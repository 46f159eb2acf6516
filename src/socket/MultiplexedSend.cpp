// Sending over a multiplexed socket: messages are numbered in the order of
// the send calls and handed to whichever connection is free; each finished
// frame completes the oldest waiting sender.
#include <utility>

#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "util/Endianness.hpp"

namespace korvane {

using detail::shutdown_status;
using Status = Transport::StatusCode;

namespace {

Status all_failed_status()
{
    return Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Every underlying connection has failed");
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
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    decide_sends(actions);
    act(lock, std::move(actions));
}

// At most one frame of ours per connection at a time: that keeps each
// connection's pipeline and byte stream in order, and its uids increasing.
void MultiplexedSocket::decide_sends(Actions& actions)
{
    if (!m_running || m_stop) {
        return;
    }
    for (std::size_t i = 0; i < m_sockets.size() && !m_send_queue.empty(); ++i) {
        connection_state_t& connection = m_connections[i];
        if (connection.busy || connection.failed || m_sockets[i]->send_pending()) {
            continue;
        }
        connection.busy = true;
        actions.sends.emplace_back(i, std::move(m_send_queue.front()));
        m_send_queue.pop();
    }
}

void MultiplexedSocket::producer_handler(SocketImpl& context, Transport::StatusCode status)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::size_t index = index_of(context);
    if (index == m_sockets.size()) {
        return;
    }
    Actions actions;
    decide_send_done(index, status, actions);
    act(lock, std::move(actions));
}

// A failed frame is gone: its sender learns so instead of waiting for a
// completion that will never come. A connection that has just finished goes
// straight on with the next frame.
void MultiplexedSocket::decide_send_done(std::size_t index, const Transport::StatusCode& status,
                                         Actions& actions)
{
    connection_state_t& connection = m_connections[index];
    connection.busy = false;
    if (m_stop) {
        return;
    }
    if (status.code() >= 0 && !m_send_queue.empty() && !connection.failed) {
        connection.busy = true;
        actions.sends.emplace_back(index, std::move(m_send_queue.front()));
        m_send_queue.pop();
    }
    if (!m_send_callback_queue.empty()) {
        actions.senders.emplace_back(std::move(m_send_callback_queue.front()), status);
        m_send_callback_queue.pop();
    }
    if (!status) {
        decide_connection_failed(index, actions);
    }
}

void MultiplexedSocket::queue_send(Message frame, send_handler_t callback)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Actions actions;
    if (m_stop) {
        actions.senders.emplace_back(std::move(callback), shutdown_status());
    } else if (m_send_broken) {
        actions.senders.emplace_back(std::move(callback), m_send_error);
    } else {
        // Numbered under the lock, so queue order is uid order.
        endian::store_big64(frame.buffer(), m_send_uid++);
        m_send_queue.push(std::move(frame));
        m_send_callback_queue.push(std::move(callback));
        decide_sends(actions);
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::send(Message& message, send_handler_t callback) noexcept
{
    korvane_multiplex_frame_id_t unnumbered = 0;
    queue_send(m_stop ? Message() : create_multiplex_frame(message, unnumbered), std::move(callback));
}

void MultiplexedSocket::send(Message&& message, send_handler_t callback) noexcept
{
    send(message, std::move(callback));
}

Transport::StatusCode MultiplexedSocket::send(Message& message) noexcept
{
    if (m_stop) {
        return shutdown_status();
    }
    auto wait = std::make_shared<detail::Wait<bool>>();
    send(message, [wait](SocketImpl&, Status status) { wait->complete(true, status); });
    run_pending_here();
    wait->wait();
    return wait->status;
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
    } else if (!m_recv_callback_queue.empty()) {
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), Status()});
        m_recv_callback_queue.pop();
    }
    decide_deliveries(actions);
}

} // namespace korvane
