// Length-prefixed frames over any Transport. Every length a peer announces is
// checked against MAX_FRAME_SIZE before a byte is allocated for it, and a
// payload is read straight into a Message of exactly that length.
#include "transport/TransportFramer.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

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

/// The checks every asynchronous receive step makes: false, with `status`
/// holding the reason, when the read ended early or failed.
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

/// The payload buffer after `filled` bytes arrived: the next size doubles
/// what arrived, so a peer cannot make us reserve what it never sends.
korvane_buf_len_t next_capacity(korvane_buf_len_t filled, korvane_buf_len_t length)
{
    return std::min(length, std::max(FIRST_PAYLOAD_CHUNK, filled * 2));
}

/// `payload`'s first `filled` bytes in a buffer of `capacity` bytes.
Message grown(const Message& payload, korvane_buf_len_t filled, korvane_buf_len_t capacity)
{
    Message bigger(capacity);
    std::memcpy(bigger.buffer(), payload.buffer(), static_cast<std::size_t>(filled));
    return bigger;
}

struct ReceiveState {
    TransportFramer::recv_callback_t callback;
    unsigned char header[FRAME_HEADER_SIZE] = {};
    korvane_buf_len_t header_filled = 0;
    Message payload;
    korvane_buf_len_t length = 0;
    korvane_buf_len_t filled = 0;
};

using ReceiveStatePtr = std::shared_ptr<ReceiveState>;

} // namespace

// The asynchronous receive, one step per completion: the rest of the header,
// then the payload in chunks that grow with what arrived.
struct TransportFramer::AsyncReceive {
    static void header(TransportFramer& framer, const ReceiveStatePtr& state, bool partial)
    {
        auto* at = state->header + state->header_filled;
        const korvane_buf_len_t wanted = FRAME_HEADER_SIZE - state->header_filled;
        framer.m_transport->read_async(
            at, wanted,
            [&framer, state](Transport&, long bytes, void*, long asked, Status status) {
                on_header(framer, state, bytes, asked, std::move(status));
            },
            !partial);
    }

    static void on_header(TransportFramer& framer, const ReceiveStatePtr& state, long bytes, long asked,
                          Status status)
    {
        const bool first = state->header_filled == 0;
        if (bytes > 0 && bytes < asked && first && framer.m_resumable && status.code() >= 0) {
            state->header_filled = bytes;
            header(framer, state, false);
            return;
        }
        if (!read_whole(bytes, asked, status)) {
            fail(framer, state, std::move(status), !first || bytes > 0);
            return;
        }
        const std::uint32_t length = endian::load_big32(state->header + LENGTH_OFFSET);
        if (!acceptable(length)) {
            fail(framer, state, rejected_size(length), false);
            return;
        }
        state->length = length;
        payload(framer, state);
    }

    static void payload(TransportFramer& framer, const ReceiveStatePtr& state)
    {
        try {
            const korvane_buf_len_t capacity = next_capacity(state->filled, state->length);
            state->payload = state->filled == 0 ? Message(capacity) : grown(state->payload, state->filled, capacity);
        } catch (const std::exception& error) {
            fail(framer, state, out_of_memory(error), true);
            return;
        }
        auto* at = static_cast<char*>(state->payload.buffer()) + state->filled;
        framer.m_transport->read_async(
            at, state->payload.length() - state->filled,
            [&framer, state](Transport&, long got, void*, long wanted, Status result) {
                if (!read_whole(got, wanted, result)) {
                    fail(framer, state, std::move(result), true);
                    return;
                }
                state->filled += got;
                if (state->filled < state->length) {
                    payload(framer, state);
                    return;
                }
                finish(framer, state, std::move(state->payload), std::move(result));
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
        state->payload = Message();
        callback(framer, std::move(message), std::move(status));
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

Message TransportFramer::receive(Status& status)
{
    unsigned char header[FRAME_HEADER_SIZE];
    korvane_buf_len_t got = 0;
    if (m_resumable) {
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
        return receive_payload(length, status);
    } catch (const std::exception& error) {
        status = out_of_memory(error);
        abandon_frame(status, true);
    }
    return Message();
}

Message TransportFramer::receive_payload(korvane_buf_len_t length, Status& status)
{
    Message payload(next_capacity(0, length));
    korvane_buf_len_t filled = 0;
    for (;;) {
        char* at = static_cast<char*>(payload.buffer()) + filled;
        if (!read_fully(at, payload.length() - filled, status, true)) {
            return Message();
        }
        filled = payload.length();
        if (filled == length) {
            return payload;
        }
        payload = grown(payload, filled, next_capacity(filled, length));
    }
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

void TransportFramer::abandon_frame(const Status& status, bool mid_frame)
{
    // A frame cut off by a deadline leaves the stream at an unknown point;
    // every other failure ends the stream already or leaves it as it was.
    if (mid_frame && status.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
        m_transport->close();
    }
}

void TransportFramer::message(recv_callback_t callback)
{
    ReceiveStatePtr state;
    try {
        state = std::make_shared<ReceiveState>();
        state->callback = std::move(callback);
    } catch (const std::exception& error) {
        callback(*this, Message(), out_of_memory(error));
        return;
    }
    AsyncReceive::header(*this, state, m_resumable);
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
    detail::SendQueue::Pending pending;
    pending.length = payload_length(message);
    write_header(pending.header, pending.length);
    pending.payload = std::move(message);
    try {
        pending.callback = std::move(callback);
        m_sends->push(std::move(pending));
    } catch (const std::exception& error) {
        if (pending.callback) {
            pending.callback(*this, -1, out_of_memory(error));
        }
    }
}

} // namespace korvane
