// Length-prefixed frames over any Transport. Every length a peer announces is
// checked against MAX_FRAME_SIZE before a byte is allocated for it. Headers
// come from a read-ahead buffer filled by partial reads, so small frames that
// arrive together cost one read; the rest of a payload larger than what was
// read ahead is read straight into its Message.
#include "transport/TransportFramer.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "transport/ReadAhead.hpp"
#include "transport/SendQueue.hpp"
#include "util/Endianness.hpp"

namespace korvane {

using Status = Transport::StatusCode;

namespace {

const korvane_buf_len_t FRAME_LIMIT = 5242880;
constexpr korvane_buf_len_t FRAME_HEADER_SIZE = TransportFramer::HEADER_SIZE;
const std::size_t LENGTH_OFFSET = 4;
// What a payload buffer starts at before any of its bytes arrived.
const korvane_buf_len_t FIRST_PAYLOAD_CHUNK = 64 * 1024;

Status refused_size(korvane_buf_len_t length)
{
    return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, "Message of size " + std::to_string(length) +
                                                              " is > maximum length " + std::to_string(FRAME_LIMIT));
}

Status rejected_size(std::uint32_t length)
{
    return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, "Message of size " + std::to_string(length) +
                                                              " is zero or > maximum length " +
                                                              std::to_string(FRAME_LIMIT));
}

Status incomplete_read()
{
    return Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Incomplete read");
}

// What a write that moved nothing (the peer's end of stream) means to a
// sender: the frame did not go out.
Status unwritten()
{
    return Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer");
}

Status out_of_memory(const std::exception& error)
{
    return Status(Status::TRANSPORT_STATUS_NO_MEMORY, error.what());
}

bool acceptable(std::uint32_t length)
{
    return length != 0 && length <= FRAME_LIMIT;
}

void set(Status* status, Status value)
{
    if (status != nullptr) {
        *status = std::move(value);
    }
}

/// The bytes that go out for a message: a moved-from message keeps its
/// length but has no buffer, and must not announce bytes it does not have.
korvane_buf_len_t payload_length(const Message& message)
{
    return message.null() ? 0 : message.length();
}

void write_header(void* header, korvane_buf_len_t length)
{
    std::memset(header, 0, FRAME_HEADER_SIZE);
    endian::store_big32(static_cast<char*>(header) + LENGTH_OFFSET, static_cast<std::uint32_t>(length));
}

/// The payload buffer after `filled` bytes arrived: the next size doubles
/// what arrived, so a peer cannot make us reserve what it never sends. A
/// peer that has already sent a frame of `proven` bytes gets a first buffer
/// of up to that size: a steady stream of large frames is read without
/// growing (and copying) its buffer four times a frame.
korvane_buf_len_t next_capacity(korvane_buf_len_t filled, korvane_buf_len_t length, korvane_buf_len_t proven = 0)
{
    return std::min(length, std::max({FIRST_PAYLOAD_CHUNK, filled * 2, proven}));
}

/// `payload`'s first `filled` bytes in a buffer of `capacity` bytes.
Message grown(const Message& payload, korvane_buf_len_t filled, korvane_buf_len_t capacity)
{
    Message bigger(capacity);
    std::memcpy(bigger.buffer(), payload.buffer(), static_cast<std::size_t>(filled));
    return bigger;
}

/// A payload being filled: its buffer grows as bytes arrive.
struct Payload {
    Message buffer;
    korvane_buf_len_t length = 0;
    korvane_buf_len_t filled = 0;

    /// Starts a payload of `frame_length` bytes with what was read ahead.
    void begin(korvane_buf_len_t frame_length, detail::ReadAhead* ahead, korvane_buf_len_t proven)
    {
        length = frame_length;
        filled = 0;
        buffer = Message(next_capacity(0, length, proven));
        if (ahead != nullptr) {
            filled = ahead->take(buffer.buffer(), length);
        }
    }

    /// Where the next read goes and how much it asks for, growing the buffer
    /// once it is full.
    char* room(korvane_buf_len_t& wanted)
    {
        if (filled == buffer.length()) {
            buffer = grown(buffer, filled, next_capacity(filled, length));
        }
        wanted = buffer.length() - filled;
        return static_cast<char*>(buffer.buffer()) + filled;
    }

    bool complete() const { return filled == length; }
};

/// The checks every asynchronous step that asked for whole bytes makes:
/// false, with `status` holding the reason, when the read ended early or failed.
bool read_whole(long bytes, long asked, Status& status)
{
    if (bytes == 0 || status.code() < 0) {
        return false;
    }
    if (bytes < asked) {
        status = incomplete_read();
        return false;
    }
    return true;
}

} // namespace

namespace detail {

struct ReceiveState {
    TransportFramer::recv_callback_t callback;
    std::shared_ptr<detail::ReadAhead> ahead; // kept alive while a read fills it
    Payload payload;
    std::atomic<bool> running{false}; // from the start of a receive until it calls back
};

} // namespace detail

namespace {

using ReceiveStatePtr = std::shared_ptr<detail::ReceiveState>;

// The receive whose callback runs on this thread. A receive that callback
// asks for is only noted here and started once the callback has returned,
// and a frame already read ahead is handed back here to be delivered in a
// loop: a chain of receives over frames read together neither calls back
// inside the call that asked nor grows the stack by a level per frame.
struct Delivery {
    explicit Delivery(detail::ReceiveState* receive) : state(receive) {}
    detail::ReceiveState* state;
    bool asked = false;    // the callback asked for the next receive
    bool resuming = false; // that receive is being started
    bool parked = false;   // it finished at once; what follows is its outcome
    TransportFramer::recv_callback_t callback;
    Message message;
    Status status;
};

thread_local Delivery* t_delivery = nullptr;

} // namespace

// The asynchronous receive, one step per completion. With nothing read ahead
// it reads whatever has arrived, up to the read-ahead's size. Only a read that
// moved nothing (the end of the stream, or a failure) and the rest of a
// header or payload are asked for whole, so that the transport reports them
// in its own terms, exactly as it would for a receive that never read ahead.
struct TransportFramer::AsyncReceive {
    // The first step of a receive. A callback never runs inside the call
    // that asked for it: within a delivery of this receive on this thread,
    // the delivery starts it once the callback returned; a header already
    // read ahead, which needs no wait, goes through the loop.
    static void begin(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        if (t_delivery != nullptr && t_delivery->state == state.get()) {
            t_delivery->asked = true;
        } else if (state->ahead->held() >= FRAME_HEADER_SIZE) {
            try {
                framer.m_transport->post([&framer, state] { header(framer, state); });
            } catch (const std::exception& error) {
                fail(framer, state, out_of_memory(error), false);
            }
        } else {
            header(framer, state);
        }
    }

    static void header(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        detail::ReadAhead& ahead = *state->ahead;
        if (ahead.held() >= FRAME_HEADER_SIZE) {
            on_header(framer, state);
        } else if (ahead.held() == 0) {
            read_ahead(framer, state);
        } else {
            rest_of_header(framer, state);
        }
    }

    static void read_ahead(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        korvane_buf_len_t room = 0;
        char* at = state->ahead->room(room);
        framer.m_transport->read_async(
            at, room,
            [&framer, state](Transport&, long bytes, void*, long, Status status) {
                if (status.code() < 0) {
                    fail(framer, state, std::move(status), false);
                } else if (bytes == 0) {
                    rest_of_header(framer, state);
                } else {
                    state->ahead->end += bytes;
                    header(framer, state);
                }
            },
            false);
    }

    static void rest_of_header(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        korvane_buf_len_t room = 0;
        char* at = state->ahead->room(room);
        const korvane_buf_len_t wanted = FRAME_HEADER_SIZE - state->ahead->held();
        framer.m_transport->read_async(
            at, wanted,
            [&framer, state](Transport&, long bytes, void*, long asked, Status status) {
                const bool mid_frame = state->ahead->held() > 0 || bytes > 0;
                if (!read_whole(bytes, asked, status)) {
                    fail(framer, state, std::move(status), mid_frame);
                    return;
                }
                state->ahead->end += bytes;
                on_header(framer, state);
            },
            true);
    }

    static void on_header(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        unsigned char header[FRAME_HEADER_SIZE];
        state->ahead->take(header, FRAME_HEADER_SIZE);
        const std::uint32_t length = endian::load_big32(header + LENGTH_OFFSET);
        if (!acceptable(length)) {
            fail(framer, state, rejected_size(length), false);
            return;
        }
        try {
            state->payload.begin(length, state->ahead.get(), framer.m_largest_received);
        } catch (const std::exception& error) {
            fail(framer, state, out_of_memory(error), true);
            return;
        }
        payload(framer, state);
    }

    static void payload(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        if (state->payload.complete()) {
            framer.note_received(state->payload.length);
            finish(framer, state, std::move(state->payload.buffer), Status());
            return;
        }
        korvane_buf_len_t wanted = 0;
        char* at = nullptr;
        try {
            at = state->payload.room(wanted);
        } catch (const std::exception& error) {
            fail(framer, state, out_of_memory(error), true);
            return;
        }
        framer.m_transport->read_async(
            at, wanted,
            [&framer, state](Transport&, long got, void*, long asked, Status result) {
                if (!read_whole(got, asked, result)) {
                    fail(framer, state, std::move(result), true);
                    return;
                }
                state->payload.filled += got;
                payload(framer, state);
            },
            true);
    }

    static void fail(TransportFramer& framer, const ReceiveStatePtr& state, Status status, bool mid_frame)
    {
        framer.abandon_frame(status, mid_frame);
        finish(framer, state, Message(), std::move(status));
    }

    static void finish(TransportFramer& framer, const ReceiveStatePtr& state, Message message, Status status)
    {
        // The callback may destroy the framer's owner: hand it over first.
        TransportFramer::recv_callback_t callback = std::move(state->callback);
        state->payload.buffer = Message();
        state->running.store(false, std::memory_order_release);
        if (t_delivery != nullptr && t_delivery->state == state.get() && t_delivery->resuming) {
            t_delivery->parked = true;
            t_delivery->callback = std::move(callback);
            t_delivery->message = std::move(message);
            t_delivery->status = std::move(status);
            return;
        }
        deliver(framer, state, std::move(callback), std::move(message), std::move(status));
    }

    // The callback, then each receive it asks for that finishes at once.
    // The framer stays alive meanwhile: the callbacks hold its socket's life.
    static void deliver(TransportFramer& framer, const ReceiveStatePtr& state, recv_callback_t callback,
                        Message message, Status status)
    {
        Delivery here(state.get());
        struct Current {
            Delivery* const outer = t_delivery;
            explicit Current(Delivery* delivery) { t_delivery = delivery; }
            ~Current() { t_delivery = outer; } // also when a callback throws
        } current(&here);
        for (;;) {
            callback(framer, std::move(message), std::move(status));
            if (!here.asked) {
                break;
            }
            here.asked = false;
            here.resuming = true;
            header(framer, state);
            here.resuming = false;
            if (!here.parked) {
                break; // it waits for the transport, which calls back from the loop
            }
            here.parked = false;
            callback = std::move(here.callback);
            message = std::move(here.message);
            status = std::move(here.status);
        }
    }
};

const korvane_buf_len_t TransportFramer::MAX_FRAME_SIZE = FRAME_LIMIT;

TransportFramer::TransportFramer(std::unique_ptr<Transport> transport)
    : m_transport(std::move(transport)), m_sends(std::make_shared<detail::SendQueue>(*this, m_transport))
{
}

TransportFramer::~TransportFramer()
{
    m_sends->forget_framer();
}

std::shared_ptr<Transport> TransportFramer::transport()
{
    return m_transport;
}

Status TransportFramer::message(Message message)
{
    if (message.length() > MAX_FRAME_SIZE) {
        return refused_size(message.length());
    }
    return write_frame(message.buffer(), payload_length(message));
}

Status TransportFramer::write_frame(const void* payload, korvane_buf_len_t length)
{
    if (length > MAX_FRAME_SIZE) {
        return refused_size(length);
    }
    unsigned char header[FRAME_HEADER_SIZE];
    write_header(header, length);
    const Transport::ConstBuffer pieces[] = {{header, FRAME_HEADER_SIZE}, {payload, length}};
    Status status;
    const korvane_buf_len_t written = m_transport->write_gather(pieces, length > 0 ? 2 : 1, &status);
    if (written != FRAME_HEADER_SIZE + length) {
        return status.code() < 0 ? status : unwritten();
    }
    return status;
}

Message TransportFramer::message(Status* status)
{
    Status result;
    Message payload = receive(result);
    set(status, std::move(result));
    return payload;
}

// Blocking receives read exactly the frame once nothing is left of what an
// asynchronous one read ahead: a reader that waits on every frame anyway
// gains nothing from reading ahead, and its sender pays for the wake-ups.
Message TransportFramer::receive(Status& status)
{
    detail::ReadAhead* ahead = m_ahead ? &current_read_ahead() : nullptr;
    unsigned char header[FRAME_HEADER_SIZE];
    korvane_buf_len_t got = ahead != nullptr ? ahead->take(header, FRAME_HEADER_SIZE) : 0;
    if (got == 0 && m_resumable) {
        got = m_transport->read(header, FRAME_HEADER_SIZE, &status, false);
        if (got <= 0) {
            return Message();
        }
    }
    if (got < FRAME_HEADER_SIZE && !read_fully(header + got, FRAME_HEADER_SIZE - got, status, got > 0)) {
        return Message();
    }
    const std::uint32_t length = endian::load_big32(header + LENGTH_OFFSET);
    if (!acceptable(length)) {
        status = rejected_size(length);
        return Message();
    }
    try {
        return receive_payload(length, ahead, status);
    } catch (const std::exception& error) {
        status = out_of_memory(error);
        abandon_frame(status, true);
    }
    return Message();
}

Message TransportFramer::receive_payload(korvane_buf_len_t length, detail::ReadAhead* ahead, Status& status)
{
    Payload payload;
    payload.begin(length, ahead, m_largest_received);
    while (!payload.complete()) {
        korvane_buf_len_t wanted = 0;
        char* at = payload.room(wanted);
        if (!read_fully(at, wanted, status, true)) {
            return Message();
        }
        payload.filled += wanted;
    }
    note_received(length);
    return std::move(payload.buffer);
}

void TransportFramer::note_received(korvane_buf_len_t length)
{
    m_largest_received = std::max(m_largest_received, length);
}

bool TransportFramer::read_fully(void* buffer, korvane_buf_len_t length, Status& status, bool mid_frame)
{
    const korvane_buf_len_t read = m_transport->read(buffer, length, &status, true);
    if (read == length) {
        return true;
    }
    if (read > 0) {
        status = incomplete_read();
    }
    abandon_frame(status, mid_frame || read > 0);
    return false;
}

detail::ReadAhead* TransportFramer::read_ahead(Status& status)
{
    if (!m_ahead) {
        try {
            m_ahead = std::make_shared<detail::ReadAhead>();
        } catch (const std::exception& error) {
            status = out_of_memory(error);
            return nullptr;
        }
    }
    return m_ahead.get();
}

void TransportFramer::abandon_frame(const Status& status, bool mid_frame)
{
    // A frame cut off by a deadline leaves the stream at an unknown point;
    // every other failure ends the stream already or leaves it as it was.
    if (mid_frame && status.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
        discard_read_ahead();
        m_transport->close();
    }
}

void TransportFramer::discard_read_ahead() noexcept
{
    m_ahead_discarded.store(true);
}

detail::ReadAhead& TransportFramer::current_read_ahead()
{
    if (m_ahead_discarded.exchange(false)) {
        m_ahead->begin = 0;
        m_ahead->end = 0;
    }
    return *m_ahead;
}

void TransportFramer::message(recv_callback_t callback)
{
    ReceiveStatePtr state;
    Status status;
    try {
        if (read_ahead(status) != nullptr) {
            // A receive started while another runs (which callers must not
            // do) gets a state of its own rather than corrupt the other's.
            if (!m_receive || m_receive->running.load(std::memory_order_acquire)) {
                m_receive = std::make_shared<detail::ReceiveState>();
                m_receive->ahead = m_ahead;
            }
            m_receive->running.store(true, std::memory_order_relaxed);
            state = m_receive;
        }
    } catch (const std::exception& error) {
        status = out_of_memory(error);
    }
    if (!state) {
        callback(*this, Message(), std::move(status));
        return;
    }
    state->callback = std::move(callback);
    current_read_ahead();
    AsyncReceive::begin(*this, state);
}

void TransportFramer::resumable_receive(bool resumable) noexcept
{
    m_resumable = resumable;
}

korvane_buf_len_t TransportFramer::max_payload_length() noexcept
{
    return FRAME_LIMIT;
}

void TransportFramer::message(Message message, send_callback_t callback)
{
    if (message.length() > MAX_FRAME_SIZE) {
        callback(*this, -1, refused_size(message.length()));
        return;
    }
    queue_frame(payload_length(message), std::move(callback), [&](detail::SendQueue::Pending& pending) {
        pending.payload = std::move(message);
        m_sends->push(std::move(pending));
    });
}

void TransportFramer::write_frame(const void* payload, korvane_buf_len_t length, send_callback_t callback)
{
    write_frame(nullptr, 0, payload, length, std::move(callback));
}

void TransportFramer::write_frame(const void* prefix, korvane_buf_len_t prefix_length, const void* payload,
                                  korvane_buf_len_t length, send_callback_t callback)
{
    queue_frame(prefix_length + length, std::move(callback), [&](detail::SendQueue::Pending& pending) {
        m_sends->push_lent(std::move(pending), {prefix, prefix_length, payload});
    });
}

template <typename Push>
void TransportFramer::queue_frame(korvane_buf_len_t length, send_callback_t callback, Push push)
{
    if (length > MAX_FRAME_SIZE) {
        callback(*this, -1, refused_size(length));
        return;
    }
    detail::SendQueue::Pending pending;
    pending.length = length;
    write_header(pending.header, pending.length);
    try {
        pending.callback = std::move(callback);
        push(pending);
    } catch (const std::exception& error) {
        if (pending.callback) {
            pending.callback(*this, -1, out_of_memory(error));
        }
    }
}

} // namespace korvane
