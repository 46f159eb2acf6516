// Numbering, scheduling and reordering of the multiplexed socket, and the
// accept loop that gathers a client's connections into one socket.
//
// Every handler decides under m_mutex what has to happen and records it in an
// Actions list; the list is carried out after the lock is released, so no user
// callback runs under it. Calls into one underlying socket are serialised by
// that connection's own lock (close() on an application thread must not meet a
// loop thread handing the same socket a frame). An underlying socket may
// complete an operation before the call returns: what that completion decides
// is deferred until the call is over, so connection locks never nest and no
// user callback runs under one.
#include "socket/MultiplexedSocket.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <utility>

#include "util/Endianness.hpp"
#include "util/UUID.hpp"

namespace korvane {

namespace {

using Status = Transport::StatusCode;

constexpr korvane_buf_len_t FRAME_HEADER_SIZE = 8;
constexpr korvane_buf_len_t ID_FRAME_SIZE = 12;

Status shutdown_status()
{
    return Status(Status::TRANSPORT_STATUS_SHUTDOWN, "Shutdown was triggered");
}

Status cannot_bind_status()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED,
                  "Cannot bind a multiplex socket containing multiple underlying sockets");
}

Status all_failed_status()
{
    return Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Every underlying connection has failed");
}

Status lost_frame_status()
{
    return Status(Status::TRANSPORT_STATUS_CONNECTION_ABORTED, "A message was lost with a failed connection");
}

// A received payload that shares its frame's buffer: delivery copies nothing.
// The frame's owner keeps the bytes alive for as long as the payload lives.
class SharedPayload : public Message {
public:
    explicit SharedPayload(const Message& frame)
    {
        const korvane_buf_len_t length = frame.length() - FRAME_HEADER_SIZE;
        if (frame.null() || length <= 0) {
            return;
        }
        const std::shared_ptr<char>& owner = frame.*(&SharedPayload::m_buffer);
        m_buffer = std::shared_ptr<char>(owner, owner.get() + FRAME_HEADER_SIZE);
        m_length = length;
    }
};

// The event loop is shared by every socket of a transport class, so one
// blocking start() per thread is enough: later calls must not block again.
thread_local bool g_first_start = true;

// Depth of calls into underlying sockets on this thread, and the work their
// early completions left for when the outermost call has returned.
thread_local int g_calls = 0;
thread_local std::vector<std::function<void()>> g_deferred;

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

} // namespace

struct MultiplexedSocket::Actions {
    struct Delivery {
        recv_handler_t callback;
        Message message;
        Status status;
    };
    struct Handover {
        accept_handler_t callback;
        std::vector<Socket> group;
    };

    std::vector<std::pair<std::size_t, Message>> sends; // frame for connection i
    std::vector<std::size_t> receives;                  // arm a receive on connection i
    std::vector<std::size_t> closes;                    // close connection i
    std::vector<std::pair<send_handler_t, Status>> senders;
    std::vector<Delivery> receivers;
    std::vector<Handover> groups;
    std::vector<Socket> discard; // dropped connections, destroyed unlocked
};

// ---------------------------------------------------------------- creation

Socket MultiplexedSocket::create(std::vector<Socket> sockets)
{
    if (sockets.empty()) {
        return Socket();
    }
    for (const Socket& socket : sockets) {
        if (!socket) {
            return Socket();
        }
    }
    return Socket(new MultiplexedSocket(std::move(sockets)));
}

MultiplexedSocket::MultiplexedSocket(std::vector<Socket> socket)
    : m_sockets(std::move(socket)),
      m_pipeline(),
      m_send_uid(0),
      m_recv_uid(0),
      m_is_server(false),
      m_stop(false),
      m_recv_queue(&MultiplexedSocket::multiplex_frame_cmp),
      m_connections(m_sockets.size()),
      m_live(m_sockets.size()),
      m_running(false),
      m_send_broken(false),
      m_recv_broken(false),
      m_calls(new std::recursive_mutex[m_sockets.size()])
{
}

MultiplexedSocket::~MultiplexedSocket()
{
    close();
}

// ---------------------------------------------------------------- frames

Message MultiplexedSocket::create_multiplex_frame(const Message& message, korvane_multiplex_frame_id_t& uid)
{
    const korvane_buf_len_t payload = message.null() ? 0 : message.length();
    Message frame(payload + FRAME_HEADER_SIZE);
    endian::store_big64(frame.buffer(), uid);
    if (payload > 0) {
        std::memcpy(static_cast<char*>(frame.buffer()) + FRAME_HEADER_SIZE, message.buffer(),
                    static_cast<std::size_t>(payload));
    }
    ++uid;
    return frame;
}

MultiplexedSocket::korvane_multiplex_frame_id_t MultiplexedSocket::mutliplex_frame_id(const Message& message)
{
    if (message.null() || message.length() < FRAME_HEADER_SIZE) {
        return 0;
    }
    return endian::load_big64(message.buffer());
}

Message MultiplexedSocket::extract_mutliplex_frame(const Message& message)
{
    if (message.null() || message.length() <= FRAME_HEADER_SIZE) {
        return Message();
    }
    return Message(static_cast<const char*>(message.buffer()) + FRAME_HEADER_SIZE,
                   message.length() - FRAME_HEADER_SIZE);
}

bool MultiplexedSocket::multiplex_frame_cmp(const Message& lhs, const Message& rhs)
{
    return mutliplex_frame_id(lhs) > mutliplex_frame_id(rhs);
}

Message MultiplexedSocket::create_id_frame(korvane_multiplex_connection_uuid_t uuid,
                                           korvane_multiplex_connection_id_t total)
{
    Message frame(ID_FRAME_SIZE);
    char* bytes = static_cast<char*>(frame.buffer());
    std::memcpy(bytes + offsetof(korvane_multiplex_id_frame_t, uuid), &uuid, sizeof uuid);
    endian::store_big32(bytes + offsetof(korvane_multiplex_id_frame_t, total), total);
    return frame;
}

// ---------------------------------------------------------------- plumbing

template <typename F>
void MultiplexedSocket::call(std::size_t index, F&& f)
{
    std::lock_guard<std::recursive_mutex> lock(m_calls[index]);
    ++g_calls;
    f(*m_sockets[index]);
    --g_calls;
}

void MultiplexedSocket::soon(std::function<void()> work)
{
    if (g_calls > 0) {
        g_deferred.push_back(std::move(work));
    } else {
        work();
    }
}

void MultiplexedSocket::drain()
{
    while (g_calls == 0 && !g_deferred.empty()) {
        std::function<void()> work = std::move(g_deferred.front());
        g_deferred.erase(g_deferred.begin());
        work();
    }
}

void MultiplexedSocket::finish(Actions& actions)
{
    if (g_calls > 0) {
        auto later = std::make_shared<Actions>(std::move(actions));
        g_deferred.push_back([this, later] { run(*later); });
    } else {
        run(actions);
    }
}

void MultiplexedSocket::run(Actions& actions)
{
    for (auto& send : actions.sends) {
        call(send.first, [this, &send](SocketImpl& socket) {
            socket.send(std::move(send.second),
                        [this](SocketImpl& context, Status status) { producer_handler(context, std::move(status)); });
        });
    }
    for (std::size_t index : actions.receives) {
        call(index, [this](SocketImpl& socket) {
            socket.recv([this](SocketImpl& context, Message message, Status status) {
                consumer_handler(context, std::move(message), status);
            });
        });
    }
    for (std::size_t index : actions.closes) {
        call(index, [](SocketImpl& socket) { socket.close(); });
    }
    for (auto& sender : actions.senders) {
        sender.first(*this, sender.second);
    }
    for (auto& receiver : actions.receivers) {
        receiver.callback(*this, std::move(receiver.message), receiver.status);
    }
    for (auto& handover : actions.groups) {
        auto* socket = new MultiplexedSocket(std::move(handover.group));
        Socket owner(socket);
        socket->begin(true);
        handover.callback(*this, std::move(owner), Status());
    }
    actions.discard.clear();
    drain();
}

// Marks the socket connected and gets frames flowing in both directions.
void MultiplexedSocket::begin(bool consume_first)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = true;
    }
    if (consume_first) {
        consume();
        produce();
    } else {
        produce();
        consume();
    }
}

std::size_t MultiplexedSocket::index_of(const SocketImpl& context) const
{
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        if (m_sockets[i].get() == &context) {
            return i;
        }
    }
    return m_sockets.size();
}

// ---------------------------------------------------------------- connect, bind, accept

Transport::StatusCode MultiplexedSocket::connect(std::string address, Transport::port_t port) noexcept
{
    if (m_stop) {
        return shutdown_status();
    }
    Status status;
    const korvane_multiplex_connection_uuid_t uuid = crypto::uuid64();
    const auto total = static_cast<korvane_multiplex_connection_id_t>(m_sockets.size());
    for (Socket& socket : m_sockets) {
        status = socket->connect(address, port);
        if (!status) {
            close();
            return status;
        }
        status = socket->send(create_id_frame(uuid, total));
        if (!status) {
            close();
            return status;
        }
    }
    begin(false);
    return status;
}

void MultiplexedSocket::connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept
{
    if (m_stop) {
        callback(*this, shutdown_status());
        return;
    }
    const korvane_multiplex_connection_uuid_t uuid = crypto::uuid64();
    const auto total = static_cast<korvane_multiplex_connection_id_t>(m_sockets.size());
    auto ready = std::make_shared<std::atomic<korvane_multiplex_connection_id_t>>(0);

    auto sent = [this, ready, total, callback](SocketImpl&, Status status) {
        soon([this, ready, total, callback, status] {
            if (!status) {
                callback(*this, status);
            } else if (++*ready == total) {
                begin(false);
                callback(*this, m_stop ? shutdown_status() : status);
            }
        });
    };
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        auto connected = [this, i, uuid, total, sent, callback](SocketImpl&, Status status) {
            soon([this, i, uuid, total, sent, callback, status] {
                if (!status) {
                    callback(*this, status);
                    return;
                }
                call(i, [&](SocketImpl& socket) { socket.send(create_id_frame(uuid, total), sent); });
                drain();
            });
        };
        call(i, [&](SocketImpl& socket) { socket.connect(address, port, connected); });
    }
    drain();
}

Transport::StatusCode MultiplexedSocket::bind(Transport::port_t port, std::string address) noexcept
{
    if (m_sockets.size() != 1) {
        return cannot_bind_status();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_is_server = true;
    }
    return m_sockets[0]->bind(port, address);
}

Socket MultiplexedSocket::accept(Transport::StatusCode* status) noexcept
{
    if (status != nullptr) {
        *status = Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Synchronous accept is not supported");
    }
    return Socket();
}

void MultiplexedSocket::accept_async(accept_handler_t callback) noexcept
{
    Actions actions;
    Status refusal;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            refusal = shutdown_status();
        } else if (m_sockets.size() != 1) {
            refusal = cannot_bind_status();
        } else {
            m_accept_callback_queue.push(std::move(callback));
            hand_out_groups(actions);
        }
    }
    if (!refusal) {
        callback(*this, Socket(), refusal);
        return;
    }
    finish(actions);
}

void MultiplexedSocket::accept_()
{
    call(0, [this](SocketImpl& listener) {
        listener.accept_async([this](SocketImpl& context, Socket socket, Status status) {
            soon([this, &context, shared = std::make_shared<Socket>(std::move(socket)), status] {
                accept_handler(context, std::move(*shared), status);
            });
        });
    });
    drain();
}

void MultiplexedSocket::accept_handler(SocketImpl& context, Socket socket, const Transport::StatusCode& status)
{
    Socket dropped;
    SocketImpl* arriving = nullptr;
    bool rearm = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (socket && status.code() >= 0 && !m_stop) {
            arriving = socket.get();
            m_accept_queue.push_back(std::move(socket));
        } else {
            dropped = std::move(socket);
        }
        // A closed listener, or one that cannot accept asynchronously, fails
        // every accept at once: re-arming would spin.
        rearm = !m_stop && status.code() != Status::TRANSPORT_STATUS_OPERATION_ABORTED &&
                status.code() != Status::TRANSPORT_STATUS_BAD_DESCRIPTOR &&
                status.code() != Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED;
    }
    dropped.reset();
    if (arriving != nullptr) {
        // Nobody else calls into a connection waiting for its id frame.
        ++g_calls;
        arriving->recv([this](SocketImpl& connection, Message message, Status outcome) {
            accept_read_handler(connection, std::move(message), outcome);
        });
        --g_calls;
    }
    if (rearm && &context == m_sockets[0].get()) {
        accept_();
    }
    drain();
}

void MultiplexedSocket::accept_read_handler(SocketImpl& context, Message message, const Transport::StatusCode& status)
{
    Actions actions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_accept_queue.begin(), m_accept_queue.end(),
                               [&context](const Socket& socket) { return socket.get() == &context; });
        if (it == m_accept_queue.end()) {
            return;
        }
        Socket connection = std::move(*it);
        m_accept_queue.erase(it);

        // Anything but a whole id frame with a usable group size is a failed
        // connection; never read past the end of a short one.
        korvane_multiplex_connection_uuid_t uuid = 0;
        korvane_multiplex_connection_id_t total = 0;
        if (!m_stop && status.code() >= 0 && !message.null() && message.length() >= ID_FRAME_SIZE) {
            const char* bytes = static_cast<const char*>(message.buffer());
            std::memcpy(&uuid, bytes + offsetof(korvane_multiplex_id_frame_t, uuid), sizeof uuid);
            total = endian::load_big32(bytes + offsetof(korvane_multiplex_id_frame_t, total));
        }
        if (total == 0) {
            actions.discard.push_back(std::move(connection));
        } else {
            std::vector<Socket>& group = m_accept_multiplex_queue[uuid];
            group.push_back(std::move(connection));
            if (group.size() == total) {
                // Complete groups leave the map, so a late extra connection
                // with the same id starts a new group instead of overfilling.
                m_accept_ready.push(std::move(group));
                m_accept_multiplex_queue.erase(uuid);
            }
            hand_out_groups(actions);
        }
    }
    finish(actions);
}

// Pairs complete groups with the oldest waiting accept_async callers.
void MultiplexedSocket::hand_out_groups(Actions& actions)
{
    while (!m_accept_ready.empty() && !m_accept_callback_queue.empty()) {
        actions.groups.push_back({std::move(m_accept_callback_queue.front()), std::move(m_accept_ready.front())});
        m_accept_callback_queue.pop();
        m_accept_ready.pop();
    }
}

// ---------------------------------------------------------------- sending

void MultiplexedSocket::produce()
{
    Actions actions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        collect_sends(actions);
    }
    finish(actions);
}

// At most one frame of ours per connection at a time: that keeps each
// connection's pipeline and byte stream in order, and its uids increasing.
void MultiplexedSocket::collect_sends(Actions& actions)
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
    Actions actions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t index = index_of(context);
        if (index == m_sockets.size()) {
            return;
        }
        connection_state_t& connection = m_connections[index];
        connection.busy = false;
        if (m_stop) {
            return;
        }
        if (!status) {
            // The frame is gone; its sender learns so instead of waiting for
            // a completion that will never come.
            if (!m_send_callback_queue.empty()) {
                actions.senders.emplace_back(std::move(m_send_callback_queue.front()), status);
                m_send_callback_queue.pop();
            }
            connection_failed(index, actions);
        } else {
            if (!m_send_queue.empty() && !connection.failed) {
                connection.busy = true;
                actions.sends.emplace_back(index, std::move(m_send_queue.front()));
                m_send_queue.pop();
            }
            if (!m_send_callback_queue.empty()) {
                actions.senders.emplace_back(std::move(m_send_callback_queue.front()), status);
                m_send_callback_queue.pop();
            }
        }
    }
    finish(actions);
}

void MultiplexedSocket::queue_send(Message frame, send_handler_t callback)
{
    Actions actions;
    Status refusal;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            refusal = shutdown_status();
        } else if (m_send_broken) {
            refusal = m_send_error;
        } else {
            // Numbered under the lock, so queue order is uid order.
            endian::store_big64(frame.buffer(), m_send_uid++);
            m_send_queue.push(std::move(frame));
            m_send_callback_queue.push(std::move(callback));
            collect_sends(actions);
        }
    }
    if (!refusal) {
        callback(*this, refusal);
        return;
    }
    finish(actions);
}

void MultiplexedSocket::send(Message& message, send_handler_t callback) noexcept
{
    if (m_stop) {
        callback(*this, shutdown_status());
        return;
    }
    korvane_multiplex_frame_id_t unnumbered = 0;
    queue_send(create_multiplex_frame(message, unnumbered), std::move(callback));
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
    auto wait = std::make_shared<Wait<bool>>();
    send(message, [wait](SocketImpl&, Status status) { wait->complete(true, status); });
    wait->wait();
    return wait->status;
}

Transport::StatusCode MultiplexedSocket::send(Message&& message) noexcept
{
    return send(message);
}

// ---------------------------------------------------------------- receiving

void MultiplexedSocket::consume()
{
    Actions actions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running || m_stop) {
            return;
        }
        arm_receives(actions);
    }
    finish(actions);
}

void MultiplexedSocket::consumer_handler(SocketImpl& context, Message message, const Transport::StatusCode& status)
{
    Actions actions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t index = index_of(context);
        if (index == m_sockets.size()) {
            return;
        }
        connection_state_t& connection = m_connections[index];
        connection.receiving = false;
        if (m_stop) {
            return;
        }
        // A frame too short for its uid is as bad as a lost connection.
        if (message.null() || message.length() < FRAME_HEADER_SIZE) {
            connection_failed(index, actions);
        } else {
            const korvane_multiplex_frame_id_t uid = mutliplex_frame_id(message);
            connection.seen = true;
            connection.last_uid = uid;
            // Duplicates, and frames behind a lost one, can never be
            // delivered: drop them rather than pile them up.
            if (uid >= m_recv_uid && !m_recv_broken) {
                park(std::move(message));
            }
            collect_deliveries(actions);
            if (!status) {
                connection_failed(index, actions);
            }
        }
        arm_receives(actions);
    }
    finish(actions);
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
    return m_parked_bytes < MAX_PARKED_BYTES || !connection.seen || connection.last_uid < m_recv_uid;
}

void MultiplexedSocket::arm_receives(Actions& actions)
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

// Each parked frame also costs its bookkeeping: a flood of tiny frames
// reaches the bound too.
namespace {
constexpr std::size_t PARKED_OVERHEAD = 128;

std::size_t parked_cost(const Message& frame)
{
    return static_cast<std::size_t>(frame.length()) + PARKED_OVERHEAD;
}
} // namespace

void MultiplexedSocket::park(Message frame)
{
    m_parked_bytes += parked_cost(frame);
    m_recv_queue.push(std::move(frame));
}

// Takes the lowest parked frame out; returns its payload.
Message MultiplexedSocket::unpark()
{
    Message payload = SharedPayload(m_recv_queue.top());
    m_parked_bytes -= parked_cost(m_recv_queue.top());
    m_recv_queue.pop();
    return payload;
}

void MultiplexedSocket::clear_parked()
{
    m_recv_queue = decltype(m_recv_queue)(&MultiplexedSocket::multiplex_frame_cmp);
    m_parked_bytes = 0;
}

// Drops stale duplicates from the top; true when the frame whose turn it is
// is parked.
bool MultiplexedSocket::next_frame_parked()
{
    while (!m_recv_queue.empty() && mutliplex_frame_id(m_recv_queue.top()) < m_recv_uid) {
        unpark();
    }
    return !m_recv_queue.empty() && mutliplex_frame_id(m_recv_queue.top()) == m_recv_uid;
}

// Serves waiting receivers, oldest first, from parked frames that are next in
// order; fails them all once nothing more can arrive in order.
void MultiplexedSocket::collect_deliveries(Actions& actions)
{
    while (!m_recv_callback_queue.empty() && next_frame_parked()) {
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), unpark(), Status()});
        m_recv_callback_queue.pop();
        ++m_recv_uid;
    }
    check_for_lost_frame();
    if (m_recv_broken && !next_frame_parked()) {
        while (!m_recv_callback_queue.empty()) {
            actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), m_recv_error});
            m_recv_callback_queue.pop();
        }
    }
}

// Each connection carries increasing uids. Once every live connection has
// delivered a frame past the one whose turn it is, that frame went down with a
// failed connection and will never come.
void MultiplexedSocket::check_for_lost_frame()
{
    if (m_recv_broken || m_live == 0 || next_frame_parked()) {
        return;
    }
    for (const connection_state_t& connection : m_connections) {
        if (!connection.failed && (!connection.seen || connection.last_uid <= m_recv_uid)) {
            return;
        }
    }
    m_recv_broken = true;
    m_recv_error = lost_frame_status();
    clear_parked();
}

// Takes connection `index` out of use. The oldest waiting receiver hears of
// the loss; when no connection is left, everything waiting fails at once.
void MultiplexedSocket::connection_failed(std::size_t index, Actions& actions)
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
        while (!m_send_callback_queue.empty()) {
            actions.senders.emplace_back(std::move(m_send_callback_queue.front()), m_send_error);
            m_send_callback_queue.pop();
        }
        m_send_queue = std::queue<Message>();
    } else if (!m_recv_callback_queue.empty()) {
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), Status()});
        m_recv_callback_queue.pop();
    }
    collect_deliveries(actions);
}

void MultiplexedSocket::queue_recv(recv_handler_t callback)
{
    Actions actions;
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            closed = true;
        } else {
            m_recv_callback_queue.push(std::move(callback));
            collect_deliveries(actions);
            arm_receives(actions);
        }
    }
    if (closed) {
        callback(*this, Message(), shutdown_status());
        return;
    }
    finish(actions);
}

void MultiplexedSocket::recv(recv_handler_t callback) noexcept
{
    queue_recv(std::move(callback));
}

Message MultiplexedSocket::recv(Transport::StatusCode* status) noexcept
{
    Actions actions;
    Message payload;
    bool parked = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            if (status != nullptr) {
                *status = shutdown_status();
            }
            return Message();
        }
        if (m_recv_callback_queue.empty() && next_frame_parked()) {
            payload = unpark();
            parked = true;
            ++m_recv_uid;
            arm_receives(actions); // room for frames again
        }
    }
    if (parked) {
        finish(actions);
        return payload;
    }
    auto wait = std::make_shared<Wait<Message>>();
    queue_recv([wait](SocketImpl&, Message message, Status outcome) { wait->complete(std::move(message), outcome); });
    wait->wait();
    if (status != nullptr) {
        *status = wait->status;
    }
    return std::move(wait->value);
}

// ---------------------------------------------------------------- running and closing

Transport::StatusCode MultiplexedSocket::start() noexcept
{
    bool server = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        server = m_is_server;
    }
    if (server && !m_stop) {
        accept_();
    }
    if (g_first_start) {
        // Cleared first, so a handler calling start() on this thread cannot
        // nest a second run of the loop.
        g_first_start = false;
        m_sockets[0]->start();
    }
    return Status();
}

void MultiplexedSocket::stop() noexcept
{
    m_sockets[0]->stop();
}

Transport::StatusCode MultiplexedSocket::close() noexcept
{
    Status result;
    m_stop.exchange(true);
    Actions actions;
    std::queue<accept_handler_t> acceptors;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_send_callback_queue.empty()) {
            actions.senders.emplace_back(std::move(m_send_callback_queue.front()), shutdown_status());
            m_send_callback_queue.pop();
        }
        while (!m_recv_callback_queue.empty()) {
            actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), shutdown_status()});
            m_recv_callback_queue.pop();
        }
        std::swap(acceptors, m_accept_callback_queue);
        m_send_queue = std::queue<Message>();
        clear_parked();
        // Waiting groups have no operation outstanding and can go now.
        // Connections still waiting for their id frame have one: their
        // handler drops them once it runs.
        for (auto& group : m_accept_multiplex_queue) {
            for (Socket& socket : group.second) {
                actions.discard.push_back(std::move(socket));
            }
        }
        m_accept_multiplex_queue.clear();
        for (; !m_accept_ready.empty(); m_accept_ready.pop()) {
            for (Socket& socket : m_accept_ready.front()) {
                actions.discard.push_back(std::move(socket));
            }
        }
    }
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        call(i, [&result](SocketImpl& socket) {
            const Status closed = socket.close();
            if (!closed) {
                result = closed;
            }
        });
    }
    run(actions);
    for (; !acceptors.empty(); acceptors.pop()) {
        acceptors.front()(*this, Socket(), shutdown_status());
    }
    return result;
}

bool MultiplexedSocket::recv_pending() const noexcept
{
    return false;
}

bool MultiplexedSocket::send_pending() const noexcept
{
    return false;
}

Pipeline& MultiplexedSocket::pipeline() noexcept
{
    return m_pipeline;
}

void MultiplexedSocket::timeouts(const Timeouts& timeouts) noexcept
{
    m_timeouts = timeouts;
}

Timeouts MultiplexedSocket::timeouts() const noexcept
{
    return m_timeouts;
}

} // namespace korvane
