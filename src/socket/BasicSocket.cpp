// One connection as a message socket: encode, frame, send; receive, unframe,
// decode. Every completion holds the socket's Life, never the socket: it
// enters the Life to find its socket, and finds none once the socket is gone,
// so a socket may be destroyed anywhere, its own callbacks included.
#include "socket/BasicSocket.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <limits>
#include <list>
#include <mutex>
#include <new>
#include <utility>

#include "socket/Handshake.hpp"
#include "transport/CallbackTransportFramer.hpp"
#include "transport/TCPTransport.hpp"
#include "transport/TLSTransport.hpp"

namespace korvane {

using Status = Transport::StatusCode;

namespace {

const Transport::clock_t::time_point NO_DEADLINE = Transport::clock_t::time_point::max();

Transport::clock_t::time_point deadline_after(std::chrono::milliseconds timeout)
{
    return timeout.count() > 0 ? Transport::clock_t::now() + timeout : NO_DEADLINE;
}

Status no_memory()
{
    return Status(Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory");
}

/// `status`, with the text of a timeout naming the step that ran out of time.
Status named(Status status, const char* step)
{
    if (status.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
        return Status(Status::TRANSPORT_STATUS_TIMEOUT, step);
    }
    return status;
}

void set(Status* status, Status value)
{
    if (status != nullptr) {
        *status = std::move(value);
    }
}

// The Lives whose callbacks run on this thread, innermost last, so that a
// socket destroyed inside its own callback does not wait for that callback.
constexpr int MAX_NESTED_CALLBACKS = 16;
thread_local const void* t_running[MAX_NESTED_CALLBACKS];
thread_local int t_depth = 0;

int running_here(const void* life)
{
    int count = 0;
    for (int i = 0; i < t_depth && i < MAX_NESTED_CALLBACKS; ++i) {
        count += t_running[i] == life ? 1 : 0;
    }
    return count;
}

} // namespace

// What outlives the socket: the framer (completions may still arrive for it)
// and, for a listener, the queue of accept_async callers and connections.
struct BasicSocket::Life {
    using Accepted = std::pair<std::unique_ptr<BasicSocket>, Status>;

    std::mutex mutex;
    std::condition_variable idle;
    // A completion counts itself in before it looks for the owner, and the
    // destructor clears the owner before it counts: one of the two always
    // sees the other, so no completion enters a socket being destroyed
    // unseen, and neither takes the mutex unless the socket is going.
    std::atomic<BasicSocket*> owner{nullptr};
    std::atomic<int> active{0}; // completions inside the socket right now
    std::atomic<bool> ending{false};
    std::shared_ptr<TransportFramer> framer;

    std::deque<accept_handler_t> waiting;
    std::deque<Accepted> ready;
    std::list<std::unique_ptr<BasicSocket>> handshaking;
    bool accept_armed = false;
};

// A completion's access to its socket for as long as it runs.
class BasicSocket::Entry {
public:
    explicit Entry(const std::shared_ptr<Life>& life) : m_life(life)
    {
        m_life->active.fetch_add(1);
        m_owner = m_life->owner.load();
        if (m_owner == nullptr) {
            leave();
            return;
        }
        if (t_depth < MAX_NESTED_CALLBACKS) {
            t_running[t_depth] = m_life.get();
        }
        ++t_depth;
    }
    ~Entry()
    {
        if (m_owner == nullptr) {
            return;
        }
        --t_depth;
        leave();
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    /// The socket, or null when it was destroyed.
    BasicSocket* owner() const { return m_owner; }

private:
    void leave()
    {
        m_life->active.fetch_sub(1);
        if (m_life->ending.load()) {
            std::lock_guard<std::mutex> lock(m_life->mutex);
            m_life->idle.notify_all();
        }
    }

    std::shared_ptr<Life> m_life;
    BasicSocket* m_owner = nullptr;
};

Socket BasicSocket::create(std::unique_ptr<Transport> transport)
{
    if (!transport) {
        return Socket();
    }
    return Socket(new BasicSocket(std::move(transport)));
}

Socket BasicSocket::create(std::unique_ptr<TransportFramer> transportFramer)
{
    if (!transportFramer || !transportFramer->transport()) {
        return Socket();
    }
    return Socket(new BasicSocket(std::move(transportFramer)));
}

BasicSocket::BasicSocket(std::unique_ptr<Transport> transport)
    : BasicSocket(std::make_unique<TransportFramer>(std::move(transport)))
{
}

BasicSocket::BasicSocket(std::unique_ptr<TransportFramer> transportFramer)
    : m_transport_framer(std::move(transportFramer)), m_pipeline(), m_recv_pending(false), m_send_pending(false),
      m_life(std::make_shared<Life>())
{
    m_life->owner = this;
    m_life->framer = m_transport_framer;
    m_blocking_frames = dynamic_cast<CallbackTransportFramer*>(m_transport_framer.get()) == nullptr;
}

BasicSocket::~BasicSocket()
{
    {
        std::unique_lock<std::mutex> lock(m_life->mutex);
        m_life->ending.store(true);
        m_life->owner.store(nullptr);
        const int own = running_here(m_life.get());
        m_life->idle.wait(lock, [this, own] { return m_life->active.load() <= own; });
    }
    close();
}

namespace {

// The transports keep their sockets protected; a derived class may name the
// member, and the pointer to it then applies to any transport of that class.
template <typename T>
struct SocketMember : T {
    static asio::ip::tcp::socket T::*get() { return &SocketMember::m_socket; }
};

template <typename T>
int descriptor_of(Transport* transport)
{
    T* typed = dynamic_cast<T*>(transport);
    if (typed == nullptr) return -1;
    asio::ip::tcp::socket& socket = typed->*SocketMember<T>::get();
    return socket.is_open() ? static_cast<int>(socket.native_handle()) : -1;
}

} // namespace

int BasicSocket::native_handle() noexcept
{
    const std::shared_ptr<Transport> connection = transport();
    if (!connection) return -1;
    const int tcp = descriptor_of<TCPTransport>(connection.get());
    return tcp >= 0 ? tcp : descriptor_of<TLSTransport>(connection.get());
}

std::shared_ptr<Transport> BasicSocket::transport()
{
    return m_transport_framer->transport();
}

std::unique_ptr<BasicSocket> BasicSocket::adopt(std::unique_ptr<Transport> transport)
{
    std::unique_ptr<BasicSocket> socket(new BasicSocket(std::move(transport)));
    socket->m_pipeline = m_pipeline;
    socket->m_timeouts = m_timeouts;
    return socket;
}

// ---------------------------------------------------------------- handshakes

Status BasicSocket::handshake(bool initiator)
{
    Status status;
    std::unique_ptr<detail::Handshake> exchange = detail::handshake_for(m_pipeline, initiator, &status);
    if (!exchange) {
        return status;
    }
    m_exchanged_keys = true;
    return detail::run_handshake(*exchange, *m_transport_framer, deadline_after(m_timeouts.handshake));
}

void BasicSocket::handshake_async(bool initiator, handshake_done_t done)
{
    Status status;
    std::shared_ptr<detail::Handshake> exchange;
    try {
        exchange = detail::handshake_for(m_pipeline, initiator, &status);
    } catch (const std::bad_alloc&) {
        status = no_memory();
    }
    if (!exchange) {
        done(status);
        return;
    }
    m_exchanged_keys = true;
    detail::run_handshake_async(std::move(exchange), m_transport_framer, deadline_after(m_timeouts.handshake),
                                std::move(done));
}

// ---------------------------------------------------------------- connection

Status BasicSocket::connect(std::string address, Transport::port_t port) noexcept
{
    transport()->connect_timeout(m_timeouts.connect);
    transport()->handshake_timeout(m_timeouts.handshake);
    const Status status = transport()->connect(std::move(address), port);
    if (status.code() < 0) {
        return named(status, "Connect timed out");
    }
    return handshake(true);
}

void BasicSocket::connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept
{
    if (!callback) {
        return;
    }
    transport()->connect_timeout(m_timeouts.connect);
    transport()->handshake_timeout(m_timeouts.handshake);
    std::shared_ptr<Life> life = m_life;
    Transport::connect_handler_t on_connected;
    try {
        on_connected = [life, callback](Transport&, Status status) {
            Entry entry(life);
            BasicSocket* self = entry.owner();
            if (self == nullptr) {
                return;
            }
            if (status.code() < 0) {
                callback(*self, named(status, "Connect timed out"));
                return;
            }
            self->handshake_async(true, [life, callback](Status result) {
                Entry inner(life);
                if (inner.owner() != nullptr) {
                    callback(*inner.owner(), std::move(result));
                }
            });
        };
    } catch (const std::bad_alloc&) {
        callback(*this, no_memory());
        return;
    }
    transport()->connect_async(std::move(address), port, std::move(on_connected));
}

Status BasicSocket::bind(Transport::port_t port, std::string address) noexcept
{
    transport()->handshake_timeout(m_timeouts.handshake);
    return transport()->bind(port, std::move(address));
}

Socket BasicSocket::accept(Transport::StatusCode* status) noexcept
{
    for (;;) {
        transport()->handshake_timeout(m_timeouts.handshake);
        Status result;
        std::unique_ptr<Transport> connection = transport()->accept(&result);
        if (!connection && result.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
            continue; // the transport's own handshake stalled: next peer
        }
        if (!connection) {
            set(status, result);
            return Socket();
        }
        std::unique_ptr<BasicSocket> socket;
        try {
            socket = adopt(std::move(connection));
        } catch (const std::bad_alloc&) {
            set(status, no_memory());
            return Socket();
        }
        result = socket->handshake(false);
        if (result.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
            continue; // a silent peer: closed with its socket
        }
        if (result.code() < 0) {
            socket.reset();
        }
        set(status, result);
        return socket;
    }
}

// ---------------------------------------------------------------- accept_async

void BasicSocket::accept_async(accept_handler_t callback) noexcept
{
    if (!callback) {
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(m_life->mutex);
        m_life->waiting.push_back(callback);
    } catch (const std::bad_alloc&) {
        callback(*this, Socket(), no_memory());
        return;
    }
    pump_accepts();
}

// Hands finished connections to waiting callers, in order, and keeps one
// accept armed while callers wait and the handshake bound allows.
void BasicSocket::pump_accepts()
{
    const std::shared_ptr<Life> life = m_life;
    for (;;) {
        Entry entry(life);
        BasicSocket* self = entry.owner();
        if (self == nullptr) {
            return;
        }
        accept_handler_t callback;
        Life::Accepted accepted;
        {
            std::lock_guard<std::mutex> lock(life->mutex);
            const bool room = life->handshaking.size() + life->ready.size() < MAX_CONCURRENT_HANDSHAKES;
            if (life->waiting.empty() || (life->ready.empty() && (life->accept_armed || !room))) {
                return;
            }
            if (life->ready.empty()) {
                life->accept_armed = true;
            } else {
                callback = std::move(life->waiting.front());
                life->waiting.pop_front();
                accepted = std::move(life->ready.front());
                life->ready.pop_front();
            }
        }
        if (!callback) {
            self->arm_accept();
            return;
        }
        callback(*self, std::move(accepted.first), accepted.second);
    }
}

void BasicSocket::arm_accept()
{
    std::shared_ptr<Life> life = m_life;
    Transport::accept_handler_t on_accepted;
    try {
        on_accepted = [life](Transport&, std::unique_ptr<Transport> connection, Status status) {
            Entry entry(life);
            if (entry.owner() != nullptr) {
                entry.owner()->on_accepted(std::move(connection), std::move(status));
            }
        };
    } catch (const std::bad_alloc&) {
        {
            std::lock_guard<std::mutex> lock(life->mutex);
            life->accept_armed = false;
        }
        fail_waiting_accepts(no_memory(), false);
        return;
    }
    transport()->handshake_timeout(m_timeouts.handshake);
    transport()->accept_async(std::move(on_accepted));
}

void BasicSocket::on_accepted(std::unique_ptr<Transport> connection, Status status)
{
    {
        std::lock_guard<std::mutex> lock(m_life->mutex);
        m_life->accept_armed = false;
    }
    if (!connection) {
        // A closed listener answers every caller; other failures one each.
        fail_waiting_accepts(status, status.code() == Status::TRANSPORT_STATUS_OPERATION_ABORTED);
        pump_accepts();
        return;
    }
    try {
        start_accepted(adopt(std::move(connection)));
    } catch (const std::bad_alloc&) {
        fail_waiting_accepts(no_memory(), false);
    }
    pump_accepts();
}

void BasicSocket::fail_waiting_accepts(const Status& status, bool all)
{
    const std::shared_ptr<Life> life = m_life;
    do {
        Entry entry(life);
        accept_handler_t callback;
        {
            std::lock_guard<std::mutex> lock(life->mutex);
            if (entry.owner() == nullptr || life->waiting.empty()) {
                return;
            }
            callback = std::move(life->waiting.front());
            life->waiting.pop_front();
        }
        callback(*entry.owner(), Socket(), status);
    } while (all);
}

void BasicSocket::start_accepted(std::unique_ptr<BasicSocket> socket)
{
    BasicSocket* accepted = socket.get();
    std::list<std::unique_ptr<BasicSocket>>::iterator slot;
    {
        std::lock_guard<std::mutex> lock(m_life->mutex);
        m_life->handshaking.push_back(std::move(socket));
        slot = std::prev(m_life->handshaking.end());
    }
    std::shared_ptr<Life> life = m_life;
    accepted->handshake_async(false, [life, slot](Status result) {
        Entry entry(life);
        std::unique_ptr<BasicSocket> finished;
        {
            std::lock_guard<std::mutex> lock(life->mutex);
            finished = std::move(*slot);
            life->handshaking.erase(slot);
            if (entry.owner() != nullptr) {
                life->ready.emplace_back(std::move(finished), std::move(result));
            }
        }
        if (entry.owner() != nullptr) {
            entry.owner()->pump_accepts();
        }
    });
}

// ---------------------------------------------------------------- messages

void BasicSocket::arm_read_deadline()
{
    const bool bounded = m_timeouts.recv.count() > 0;
    if (bounded || m_read_bounded) {
        transport()->read_deadline(deadline_after(m_timeouts.recv));
    }
    m_read_bounded = bounded;
    m_transport_framer->resumable_receive(bounded);
}

void BasicSocket::arm_write_deadline()
{
    const bool bounded = m_timeouts.send.count() > 0;
    if (bounded || m_write_bounded) {
        transport()->write_deadline(deadline_after(m_timeouts.send));
    }
    m_write_bounded = bounded;
}

Message BasicSocket::decode_frame(Message frame, Status& status)
{
    if (frame.null()) {
        status = named(status, "Receive timed out");
        return Message();
    }
    const bool first = !m_received_any;
    const korvane_buf_len_t length = frame.length();
    m_received_any = true;
    bool fatal = false;
    Message decoded = m_pipeline.decode_checked(std::move(frame), status, fatal);
    if (status.code() >= 0) {
        return decoded.null() ? Message() : std::move(decoded);
    }
    if (fatal) {
        // The stage cannot get back in step with the peer: nothing later
        // on this connection could be opened.
        close_connection();
    }
    if (first && !m_exchanged_keys && length == 32) {
        status = Status(status.code(), status.message() +
                                           " (a first frame of 32 bytes, the size of a public key: the two "
                                           "ends' pipelines differ, the peer's exchanging keys and this one's not)");
    }
    return Message();
}

Message BasicSocket::recv(Transport::StatusCode* status) noexcept
{
    arm_read_deadline();
    Status result;
    Message frame = m_transport_framer->message(&result);
    Message decoded = decode_frame(std::move(frame), result);
    set(status, std::move(result));
    return decoded;
}

void BasicSocket::recv(recv_handler_t callback) noexcept
{
    if (!callback) {
        return;
    }
    struct Framed {
        std::shared_ptr<Life> life;
        recv_handler_t callback;
        void operator()(TransportFramer&, Message frame, Status status)
        {
            Entry entry(life);
            BasicSocket* self = entry.owner();
            if (self == nullptr) {
                return;
            }
            self->m_recv_pending = false;
            Message decoded = self->decode_frame(std::move(frame), status);
            callback(*self, std::move(decoded), std::move(status));
        }
    };
    arm_read_deadline();
    // Made before the handler moves into it, so that a failure still reaches the handler.
    TransportFramer::recv_callback_t on_frame;
    try {
        on_frame = Framed{m_life, nullptr};
    } catch (const std::bad_alloc&) {
        callback(*this, Message(), no_memory());
        return;
    }
    on_frame.target<Framed>()->callback = std::move(callback);
    m_recv_pending = true;
    m_transport_framer->message(std::move(on_frame));
}

namespace {

// The caller's bytes without taking them over: for a first stage that only
// reads its input, during the call that lends them.
class LentMessage : public Message {
public:
    explicit LentMessage(const Message& message)
    {
        // An owner-less alias: nothing is freed when the last share goes.
        m_buffer = std::shared_ptr<char>(std::shared_ptr<char>(), static_cast<char*>(const_cast<void*>(message.buffer())));
        m_length = message.length();
        m_capacity = message.capacity();
    }
};

} // namespace

Message BasicSocket::encode_copy(const Message& message, Status& status, korvane_buf_len_t limit)
{
    try {
        if (!message.null() && m_pipeline.first_encoder_leaves_input_intact()) {
            LentMessage lent(message);
            return encode_owned(std::move(lent), status, limit);
        }
        // The encoders consume their input: give them a copy of the caller's bytes.
        return encode_owned(Message(message), status, limit);
    } catch (const std::bad_alloc&) {
        status = no_memory();
    }
    close_connection();
    return Message();
}

Message BasicSocket::encode_owned(Message message, Status& status, korvane_buf_len_t limit)
{
    Message encoded = m_pipeline.encode_bounded(std::move(message), status, limit);
    if (status.code() != Status::TRANSPORT_STATUS_NO_MEMORY) {
        return encoded;
    }
    // A stage may have spent its counter on a message that never goes out.
    close_connection();
    return Message();
}

Status BasicSocket::sent(Status status)
{
    if (status.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
        // Part of the frame may be out: the stream cannot carry another.
        close_connection();
        return Status(Status::TRANSPORT_STATUS_TIMEOUT, "Send timed out");
    }
    return status;
}

Status BasicSocket::send_copy(const Message& message)
{
    if (m_blocking_frames && !m_pipeline.has_encoders() && !message.null()) {
        // Nothing transforms the bytes: the frame goes out from the caller's.
        arm_write_deadline();
        return sent(m_transport_framer->write_frame(message.buffer(), message.length()));
    }
    Status status;
    return send_encoded(encode_copy(message, status, blocking_limit()), status);
}

Status BasicSocket::send_encoded(Message encoded, const Status& status)
{
    if (encoded.null()) {
        return status;
    }
    arm_write_deadline();
    return sent(m_transport_framer->message(std::move(encoded)));
}

korvane_buf_len_t BasicSocket::blocking_limit() const noexcept
{
    return m_blocking_frames ? TransportFramer::max_payload_length() : std::numeric_limits<korvane_buf_len_t>::max();
}

void BasicSocket::send_encoded(Message encoded, Status status, send_handler_t callback, bool lent, Prefix prefix)
{
    struct Written {
        std::shared_ptr<Life> life;
        send_handler_t callback;
        void operator()(TransportFramer&, long bytes, Status result)
        {
            Entry entry(life);
            BasicSocket* self = entry.owner();
            if (self == nullptr) {
                return;
            }
            if (--self->m_sends_in_flight == 0) {
                self->m_send_pending = false;
            }
            if (result.code() >= 0 && bytes == 0) {
                result = Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer");
            }
            callback(*self, self->sent(std::move(result)));
        }
    };
    // Made before the handler moves into it, so that a failure still reaches the handler.
    TransportFramer::send_callback_t on_written;
    if (!encoded.null()) {
        try {
            on_written = Written{m_life, nullptr};
        } catch (const std::bad_alloc&) {
            encoded = Message();
            status = no_memory();
        }
    }
    if (encoded.null()) {
        callback(*this, status);
        return;
    }
    on_written.target<Written>()->callback = std::move(callback);
    arm_write_deadline();
    ++m_sends_in_flight;
    m_send_pending = true;
    if (lent) {
        m_transport_framer->write_frame(prefix.bytes, prefix.length, encoded.buffer(), encoded.length(),
                                        std::move(on_written));
    } else {
        m_transport_framer->message(std::move(encoded), std::move(on_written));
    }
}

Status BasicSocket::send(Message& message) noexcept
{
    return send_copy(message);
}

Status BasicSocket::send(Message&& message) noexcept
{
    Status status;
    return send_encoded(encode_owned(std::move(message), status, blocking_limit()), status);
}

void BasicSocket::send(Message& message, send_handler_t callback) noexcept
{
    if (!callback) {
        return;
    }
    if (!m_pipeline.has_encoders() && !message.null()) {
        // Nothing transforms the bytes: the framer copies only what it cannot write at once.
        send_encoded(LentMessage(message), Status(), std::move(callback), true);
        return;
    }
    Status status;
    Message encoded = encode_copy(message, status, TransportFramer::max_payload_length());
    send_encoded(std::move(encoded), std::move(status), std::move(callback));
}

bool BasicSocket::send_prefixed(Prefix prefix, const Message& message, send_handler_t& callback)
{
    if (m_pipeline.has_encoders() || message.null()) {
        return false;
    }
    send_encoded(LentMessage(message), Status(), std::move(callback), true, prefix);
    return true;
}

void BasicSocket::send(Message&& message, send_handler_t callback) noexcept
{
    if (!callback) {
        return;
    }
    Status status;
    Message encoded = encode_owned(std::move(message), status, TransportFramer::max_payload_length());
    send_encoded(std::move(encoded), std::move(status), std::move(callback));
}

// ---------------------------------------------------------------- control

Status BasicSocket::close_connection()
{
    m_transport_framer->discard_read_ahead();
    return transport()->close();
}

Status BasicSocket::close() noexcept
{
    m_recv_pending = true;
    m_send_pending = true;
    // Handshakes still running for accept_async end with the listener.
    std::vector<std::shared_ptr<Transport>> handshaking;
    try {
        std::lock_guard<std::mutex> lock(m_life->mutex);
        for (const auto& socket : m_life->handshaking) {
            handshaking.push_back(socket->transport());
        }
    } catch (const std::bad_alloc&) {
        // They still end at their handshake deadline.
    }
    for (const auto& connection : handshaking) {
        connection->close();
    }
    return close_connection();
}

Status BasicSocket::start() noexcept
{
    return transport()->start();
}

void BasicSocket::stop() noexcept
{
    transport()->stop();
}

bool BasicSocket::recv_pending() const noexcept
{
    return m_recv_pending;
}

bool BasicSocket::send_pending() const noexcept
{
    return m_send_pending;
}

Pipeline& BasicSocket::pipeline() noexcept
{
    return m_pipeline;
}

void BasicSocket::timeouts(const Timeouts& timeouts) noexcept
{
    m_timeouts = timeouts;
}

Timeouts BasicSocket::timeouts() const noexcept
{
    return m_timeouts;
}

} // namespace korvane
