// The multiplexed socket's life: creation, connect and bind, start, stop and
// close, and the executor that carries out what the decisions record.
//
// Every entry point and handler takes m_mutex, calls a decide_* function that
// records what has to happen in an Actions value, and hands it to act(), which
// releases the lock while it carries the actions out. Work that arrives while
// a thread is already carrying out this socket's actions (an underlying
// socket completing before its call returns, a user callback that sends or
// receives again) is appended to that thread's pending list and done by the
// same loop once the current actions are finished: nothing nests, and no user
// callback runs under a lock. Sending lives in MultiplexedSend.cpp, receiving
// and reordering in MultiplexedReceive.cpp, the accept path in
// MultiplexedAccept.cpp.
#include "socket/MultiplexedSocket.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "pipeline/Decoder.hpp"
#include "pipeline/Encoder.hpp"
#include "socket/MultiplexedAccept.hpp"
#include "socket/MultiplexedActions.hpp"
#include "socket/MultiplexedAlarm.hpp"
#include "util/Endianness.hpp"
#include "util/UUID.hpp"

namespace korvane {

using detail::shutdown_status;
using Status = Transport::StatusCode;

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
      m_lifetime(std::make_shared<detail::Lifetime>()),
      m_connection_calls(new std::mutex[m_sockets.size()]),
      m_outboxes(new outbox_t[m_sockets.size()])
{
}

// Safe from any thread and from this socket's own callbacks: what this
// thread still had to do for the socket is done before it goes, and handlers
// still to come find it gone.
MultiplexedSocket::~MultiplexedSocket()
{
    close();
    run_pending_here();
    retire_sockets();
    m_lifetime->end();
}

void MultiplexedSocket::retire_sockets()
{
    std::lock_guard<SpinningMutex> lock(m_mutex);
    std::vector<std::pair<Socket, int>> busy;
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        const connection_state_t& connection = m_connections[i];
        const int handed = static_cast<int>(connection.in_flight.size() - unsent_frames(i));
        const int outstanding = handed + int(connection.receiving) + int(connection.connecting) +
                                (i == 0 ? m_accepts_outstanding : 0);
        if (outstanding > 0) {
            busy.emplace_back(std::move(m_sockets[i]), outstanding);
        }
    }
    for (Socket& socket : m_accept_queue) {
        const auto found = m_accepted.find(socket.get());
        if (found != m_accepted.end() && found->second->reading) {
            busy.emplace_back(std::move(socket), 1);
        }
    }
    m_lifetime->retire(std::move(busy));
}

// ---------------------------------------------------------------- executor

// The runs of actions this thread is inside, innermost last: one per socket
// whose callbacks led to another socket's.
std::vector<MultiplexedSocket::Executor*>& MultiplexedSocket::runs_on_this_thread()
{
    thread_local std::vector<Executor*> runs;
    return runs;
}

// Emptied pending lists, kept so that a run of actions does not grow a fresh
// one through several reallocations each time.
std::vector<std::vector<MultiplexedSocket::Actions>>& MultiplexedSocket::Executor::kept_lists()
{
    thread_local std::vector<std::vector<Actions>> kept;
    return kept;
}

std::vector<MultiplexedSocket::Actions> MultiplexedSocket::Executor::reused_list()
{
    auto& kept = kept_lists();
    if (kept.empty()) {
        return {};
    }
    std::vector<Actions> list = std::move(kept.back());
    kept.pop_back();
    return list;
}

void MultiplexedSocket::Executor::keep_list(std::vector<Actions>&& list)
{
    constexpr std::size_t KEPT_LISTS = 4, LARGEST_KEPT = 64;
    list.clear();
    auto& kept = kept_lists();
    if (kept.size() < KEPT_LISTS && list.capacity() <= LARGEST_KEPT) {
        kept.push_back(std::move(list));
    }
}

MultiplexedSocket::Executor* MultiplexedSocket::executor_on_this_thread()
{
    for (Executor* run : runs_on_this_thread()) {
        if (run->life == m_lifetime) {
            return run;
        }
    }
    return nullptr;
}

// The pending list belongs to this thread alone (work queued re-entrantly
// comes from the run's own calls), so the run reads it without the lock and
// never takes the lock again once its first actions are out.
bool MultiplexedSocket::act(std::unique_lock<SpinningMutex>& lock, Actions&& actions)
{
    if (Executor* running = executor_on_this_thread()) {
        if (!actions.empty()) {
            running->pending.push_back(std::move(actions));
        }
        lock.unlock();
        return true;
    }
    lock.unlock();
    if (actions.empty()) {
        return true;
    }
    Executor mine{m_lifetime, Executor::reused_list(), 0};
    std::vector<Executor*>& runs = runs_on_this_thread();
    runs.push_back(&mine);
    bool alive = execute(actions);
    actions = Actions(); // what the run leaves (callbacks, sockets) goes now
    while (alive && mine.next < mine.pending.size()) {
        Actions next = std::move(mine.pending[mine.next++]);
        alive = execute(next);
    }
    runs.erase(std::find(runs.begin(), runs.end(), &mine));
    Executor::keep_list(std::move(mine.pending));
    return alive;
}

void MultiplexedSocket::run_pending_here()
{
    Executor* mine = executor_on_this_thread();
    while (mine != nullptr && mine->next < mine->pending.size()) {
        Actions next = std::move(mine->pending[mine->next++]);
        if (!execute(next)) {
            return;
        }
    }
}

void MultiplexedSocket::call_connection(std::size_t index, const std::function<void(SocketImpl&)>& call)
{
    std::lock_guard<std::mutex> serialised(m_connection_calls[index]);
    call(*m_sockets[index]);
}

// Taking the outbox and handing its frames over both happen under the
// connection's call lock, so two executors cannot hand over out of order.
void MultiplexedSocket::flush_outbox(std::size_t index)
{
    std::lock_guard<std::mutex> serialised(m_connection_calls[index]);
    hand_over_outbox(index);
}

// While a lent frame waits to be handed over, the frames dealt after it stay
// in the outbox: its sender hands them over behind it.
void MultiplexedSocket::hand_over_outbox(std::size_t index)
{
    outbox_t& outbox = m_outboxes[index];
    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        if (outbox.lending) {
            return;
        }
        outbox.frames.swap(outbox.handing);
    }
    for (Message& frame : outbox.handing) {
        m_sockets[index]->send(std::move(frame), send_completion());
    }
    outbox.handing.clear();
}

// Should the connection's pipeline have gained a stage meanwhile, the frame
// goes as a copy; without memory for one it fails like a failed write.
void MultiplexedSocket::hand_over_lent(Actions& actions)
{
    Actions::Lent& lent = actions.lent;
    std::lock_guard<std::mutex> serialised(m_connection_calls[lent.index]);
    send_handler_t done = send_completion();
    if (!lent.socket->send_prefixed({lent.header, sizeof lent.header}, *lent.message, done)) {
        korvane_multiplex_frame_id_t uid = endian::load_big64(lent.header);
        Message frame;
        try {
            frame = create_multiplex_frame(*lent.message, uid);
        } catch (const std::bad_alloc&) {
            done(*lent.socket, detail::out_of_memory_status());
        }
        if (!frame.null()) {
            lent.socket->send(std::move(frame), std::move(done));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_outboxes[lent.index].mutex);
        m_outboxes[lent.index].lending = false;
    }
    hand_over_outbox(lent.index);
}

// Calls into underlying sockets first, then user callbacks; after each user
// callback the socket may be gone (destroyed from it): then stop at once.
bool MultiplexedSocket::execute(Actions& actions)
{
    using detail::guarded;
    const std::shared_ptr<detail::Lifetime> life = m_lifetime;
    if (actions.lent.message != nullptr) {
        hand_over_lent(actions);
    }
    for (auto& connect : actions.connects) {
        call_connection(connect.index, [&](SocketImpl& socket) {
            socket.connect(connect.address, connect.port, guarded(life, std::move(connect.done)));
        });
    }
    for (auto& id : actions.id_frames) {
        call_connection(id.index, [&](SocketImpl& socket) {
            socket.send(std::move(id.frame), guarded(life, std::move(id.done)));
        });
    }
    for (std::size_t index : actions.flushes) {
        flush_outbox(index);
    }
    for (std::size_t index : actions.receives) {
        call_connection(index, [this](SocketImpl& socket) { socket.recv(recv_completion()); });
    }
    for (std::size_t index : actions.closes) {
        call_connection(index, [](SocketImpl& socket) { socket.close(); });
    }
    if (!actions.accepted_reads.empty() || !actions.accepted_closes.empty()) {
        std::lock_guard<std::mutex> serialised(m_accepted_calls);
        for (auto& read : actions.accepted_reads) {
            read.connection->recv(std::move(read.done));
        }
        for (SocketImpl* connection : actions.accepted_closes) {
            connection->close();
        }
    }
    if (actions.accept) {
        call_connection(0, [&](SocketImpl& listener) {
            listener.accept_async(guarded(life, [this](SocketImpl& context, Socket socket, Status status) {
                accept_handler(context, std::move(socket), status);
            }));
        });
    }
    for (auto& connector : actions.connectors) {
        connector.first(*this, connector.second);
        if (!life->alive()) {
            return false;
        }
    }
    for (auto& sender : actions.senders) {
        sender.first(*this, sender.second);
        if (!life->alive()) {
            return false;
        }
    }
    for (auto& receiver : actions.receivers) {
        receiver.callback(*this, std::move(receiver.message), receiver.status);
        if (!life->alive()) {
            return false;
        }
    }
    for (auto& handover : actions.groups) {
        static_cast<MultiplexedSocket&>(*handover.socket).start_traffic();
        handover.callback(*this, std::move(handover.socket), Status());
        if (!life->alive()) {
            return false;
        }
    }
    for (auto& acceptor : actions.acceptors) {
        acceptor.first(*this, Socket(), acceptor.second);
        if (!life->alive()) {
            return false;
        }
    }
    if (!actions.discard.empty()) {
        std::lock_guard<std::mutex> serialised(m_accepted_calls);
        actions.discard.clear();
    }
    return true;
}

void MultiplexedSocket::start_traffic()
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    m_running = true;
    Actions actions;
    decide_sends(actions);
    decide_receives(actions);
    act(lock, std::move(actions));
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

// ---------------------------------------------------------------- connect, bind

// Stages on this socket's own pipeline would never run: its frames go
// through the underlying sockets' pipelines. Refused rather than ignored.
bool MultiplexedSocket::own_pipeline_has_stages()
{
    return m_pipeline.encoder<Encoder>() || m_pipeline.decoder<Decoder>();
}

Transport::StatusCode MultiplexedSocket::connect(std::string address, Transport::port_t port) noexcept
{
    if (m_stop) {
        return shutdown_status();
    }
    if (own_pipeline_has_stages()) {
        return detail::pipeline_refused_status();
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
    start_traffic();
    return status;
}

// The asynchronous connect's progress, shared by the completions of every
// connection of the group.
struct MultiplexedSocket::ConnectProgress {
    connect_handler_t callback;
    korvane_multiplex_connection_uuid_t uuid;
    korvane_multiplex_connection_id_t total;
    korvane_multiplex_connection_id_t ready = 0; // guarded by m_mutex
};

void MultiplexedSocket::connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept
{
    if (!callback) {
        return; // nobody to tell: nothing is started
    }
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    if (m_stop) {
        actions.connectors.emplace_back(std::move(callback), shutdown_status());
    } else if (own_pipeline_has_stages()) {
        actions.connectors.emplace_back(std::move(callback), detail::pipeline_refused_status());
    } else {
        auto progress = std::make_shared<ConnectProgress>(ConnectProgress{
            std::move(callback), crypto::uuid64(), static_cast<korvane_multiplex_connection_id_t>(m_sockets.size())});
        for (std::size_t i = 0; i < m_sockets.size(); ++i) {
            m_connections[i].connecting = true;
            actions.connects.push_back({i, address, port, [this, i, progress](SocketImpl&, Status status) {
                                            connected(i, progress, status);
                                        }});
        }
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::connected(std::size_t index, const std::shared_ptr<ConnectProgress>& progress,
                                  const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    if (!status) {
        m_connections[index].connecting = false;
        actions.connectors.emplace_back(progress->callback, status);
    } else {
        actions.id_frames.push_back({index, create_id_frame(progress->uuid, progress->total),
                                     [this, index, progress](SocketImpl&, Status sent) {
                                         identified(index, progress, sent);
                                     }});
    }
    act(lock, std::move(actions));
}

void MultiplexedSocket::identified(std::size_t index, const std::shared_ptr<ConnectProgress>& progress,
                                   const Transport::StatusCode& status)
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    m_connections[index].connecting = false;
    Actions actions;
    if (!status) {
        actions.connectors.emplace_back(progress->callback, status);
    } else if (++progress->ready == progress->total) {
        m_running = true;
        decide_sends(actions);
        decide_receives(actions);
        actions.connectors.emplace_back(progress->callback, m_stop ? shutdown_status() : status);
    }
    act(lock, std::move(actions));
}

Transport::StatusCode MultiplexedSocket::bind(Transport::port_t port, std::string address) noexcept
{
    if (m_sockets.size() != 1) {
        return detail::cannot_bind_status();
    }
    if (own_pipeline_has_stages()) {
        return detail::pipeline_refused_status();
    }
    {
        std::lock_guard<SpinningMutex> lock(m_mutex);
        m_is_server = true;
    }
    return m_sockets[0]->bind(port, address);
}

// ---------------------------------------------------------------- running and closing

Transport::StatusCode MultiplexedSocket::start() noexcept
{
    std::unique_lock<SpinningMutex> lock(m_mutex);
    // The loop is shared by every socket of a transport class, so one
    // blocking start() per thread is enough; recorded before it runs, so
    // a handler calling start() on this thread cannot nest a second run.
    const std::thread::id me = std::this_thread::get_id();
    const bool run_loop = std::find(m_loop_threads.begin(), m_loop_threads.end(), me) == m_loop_threads.end();
    if (run_loop) {
        m_loop_threads.push_back(me);
        m_looping.push_back(me);
    }
    if (m_is_server && !m_stop) {
        Actions actions;
        actions.accept = true;
        ++m_accepts_outstanding;
        if (!act(lock, std::move(actions))) {
            return Status();
        }
    } else {
        lock.unlock();
    }
    if (run_loop) {
        const std::shared_ptr<detail::Lifetime> life = m_lifetime;
        m_sockets[0]->start();
        if (!life->alive()) {
            return Status(); // destroyed from a handler while the loop ran
        }
        lock.lock();
        m_looping.erase(std::find(m_looping.begin(), m_looping.end(), me));
    }
    return Status();
}

// A blocking call waits for a completion that a loop thread delivers: on a
// thread that is running the loop, or inside one of this socket's handlers,
// it would wait for itself.
bool MultiplexedSocket::blocking_would_deadlock() const
{
    const std::thread::id me = std::this_thread::get_id();
    return m_lifetime->visited_here() || std::find(m_looping.begin(), m_looping.end(), me) != m_looping.end();
}

void MultiplexedSocket::stop() noexcept
{
    m_sockets[0]->stop();
}

// Everything queued fails with "Shutdown was triggered". Accepted connections
// not handed over are closed; each goes once its outstanding receive ends.
void MultiplexedSocket::decide_close(Actions& actions)
{
    for (; !m_send_callback_queue.empty(); m_send_callback_queue.pop()) {
        actions.senders.emplace_back(std::move(m_send_callback_queue.front()), shutdown_status());
    }
    for (; !m_recv_callback_queue.empty(); m_recv_callback_queue.pop()) {
        actions.receivers.push_back({std::move(m_recv_callback_queue.front()), Message(), shutdown_status()});
    }
    for (; !m_accept_callback_queue.empty(); m_accept_callback_queue.pop()) {
        actions.acceptors.emplace_back(std::move(m_accept_callback_queue.front()), shutdown_status());
    }
    m_send_queue = std::queue<Message>();
    m_queued_bytes = 0;
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        take_back_unsent(i);
    }
    notify_room();
    clear_parked();
    for (auto& group : m_accept_multiplex_queue) {
        for (Socket& socket : group.second) {
            retire_accepted(std::move(socket), actions);
        }
    }
    m_accept_multiplex_queue.clear();
    for (; !m_accept_ready.empty(); m_accept_ready.pop()) {
        for (Socket& socket : m_accept_ready.front()) {
            retire_accepted(std::move(socket), actions);
        }
    }
    for (const Socket& socket : m_accept_queue) {
        const auto found = m_accepted.find(socket.get());
        if (found != m_accepted.end() && !found->second->closing) {
            found->second->closing = true;
            actions.accepted_closes.push_back(socket.get());
        }
    }
}

Transport::StatusCode MultiplexedSocket::close() noexcept
{
    m_stop.exchange(true);
    std::unique_lock<SpinningMutex> lock(m_mutex);
    Actions actions;
    decide_close(actions);
    lock.unlock();
    // Closed here rather than through act(): the result is ours to return,
    // and a close() made from a callback must not wait for the loop around it.
    Status result;
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        call_connection(i, [&result](SocketImpl& socket) {
            const Status closed = socket.close();
            if (!closed) {
                result = closed;
            }
        });
    }
    lock.lock();
    if (result.code() >= 0) {
        result = m_failure_for_close;
    }
    act(lock, std::move(actions));
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

// Handed on to the underlying sockets, whose own waits they bound; accepted
// connections and the groups made of them start with these.
void MultiplexedSocket::timeouts(const Timeouts& timeouts) noexcept
{
    {
        std::lock_guard<SpinningMutex> lock(m_mutex);
        m_timeouts = timeouts;
    }
    for (std::size_t i = 0; i < m_sockets.size(); ++i) {
        call_connection(i, [&timeouts](SocketImpl& socket) { socket.timeouts(timeouts); });
    }
}

Timeouts MultiplexedSocket::timeouts() const noexcept
{
    std::lock_guard<SpinningMutex> lock(m_mutex);
    return m_timeouts;
}

} // namespace korvane
