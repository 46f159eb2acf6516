// Length-prefixed frames over any Transport. Every length a peer announces is
// checked against MAX_FRAME_SIZE before a byte is allocated for it, and a
// payload is read straight into a Message of exactly that length.
#include "transport/TransportFramer.hpp"

#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "util/Endianness.hpp"

namespace korvane {

using Status = Transport::StatusCode;

namespace {

const korvane_buf_len_t FRAME_LIMIT = 5242880;
const korvane_buf_len_t FRAME_HEADER_SIZE = 8;
const std::size_t LENGTH_OFFSET = 4;

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

/// The checks both asynchronous receive steps make: false, with `status`
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

struct ReceiveState {
    unsigned char header[FRAME_HEADER_SIZE] = {};
    Message payload;
};

void receive_payload(TransportFramer& framer, Transport& transport, const std::shared_ptr<ReceiveState>& state,
                     const TransportFramer::recv_callback_t& callback, long bytes, long asked, Status status)
{
    if (!read_whole(bytes, asked, status)) {
        callback(framer, Message(), status);
        return;
    }
    const std::uint32_t length = endian::load_big32(state->header + LENGTH_OFFSET);
    if (!acceptable(length)) {
        callback(framer, Message(), rejected_size(length));
        return;
    }
    Transport::read_handler_t on_payload;
    try {
        state->payload = Message(static_cast<korvane_buf_len_t>(length));
        on_payload = [&framer, state, callback](Transport&, long got, void*, long wanted, Status result) {
            if (!read_whole(got, wanted, result)) {
                callback(framer, Message(), result);
                return;
            }
            callback(framer, std::move(state->payload), result);
        };
    } catch (const std::exception& error) {
        callback(framer, Message(), out_of_memory(error));
        return;
    }
    transport.read_async(state->payload.buffer(), length, std::move(on_payload), true);
}

} // namespace

const korvane_buf_len_t TransportFramer::MAX_FRAME_SIZE = FRAME_LIMIT;

TransportFramer::TransportFramer(std::unique_ptr<Transport> transport) : m_transport(std::move(transport)) {}

TransportFramer::~TransportFramer() = default;

std::shared_ptr<Transport> TransportFramer::transport()
{
    return m_transport;
}

Status TransportFramer::message(Message message)
{
    if (message.length() > MAX_FRAME_SIZE) {
        return refused_size(message.length());
    }
    const korvane_buf_len_t length = payload_length(message);
    unsigned char header[FRAME_HEADER_SIZE];
    write_header(header, length);

    // Header and payload go out as two writes so the payload is never copied.
    Status status;
    if (m_transport->write(header, FRAME_HEADER_SIZE, &status) != FRAME_HEADER_SIZE) {
        return status.code() < 0 ? status : unwritten();
    }
    if (m_transport->write(message.buffer(), length, &status) != length) {
        return status.code() < 0 ? status : unwritten();
    }
    return status;
}

Message TransportFramer::message(Status* status)
{
    unsigned char header[FRAME_HEADER_SIZE];
    const korvane_buf_len_t got = m_transport->read(header, FRAME_HEADER_SIZE, status, true);
    if (got <= 0) {
        return Message();
    }
    if (got != FRAME_HEADER_SIZE) {
        set(status, incomplete_read());
        return Message();
    }
    const std::uint32_t length = endian::load_big32(header + LENGTH_OFFSET);
    if (!acceptable(length)) {
        set(status, rejected_size(length));
        return Message();
    }
    try {
        Message payload(static_cast<korvane_buf_len_t>(length));
        const korvane_buf_len_t read = m_transport->read(payload.buffer(), length, status, true);
        if (read == payload.length()) {
            return payload;
        }
        if (read > 0) {
            set(status, incomplete_read());
        }
    } catch (const std::exception& error) {
        set(status, out_of_memory(error));
    }
    return Message();
}

void TransportFramer::message(recv_callback_t callback)
{
    std::shared_ptr<ReceiveState> state;
    Transport::read_handler_t on_header;
    try {
        state = std::make_shared<ReceiveState>();
        on_header = [this, state, callback](Transport& transport, long bytes, void*, long asked, Status status) {
            receive_payload(*this, transport, state, callback, bytes, asked, std::move(status));
        };
    } catch (const std::exception& error) {
        callback(*this, Message(), out_of_memory(error));
        return;
    }
    m_transport->read_async(state->header, FRAME_HEADER_SIZE, std::move(on_header), true);
}

void TransportFramer::message(Message message, send_callback_t callback)
{
    if (message.length() > MAX_FRAME_SIZE) {
        callback(*this, -1, refused_size(message.length()));
        return;
    }
    const korvane_buf_len_t length = payload_length(message);
    // One contiguous frame, owned by the completion until the write is done.
    std::shared_ptr<Message> frame;
    Transport::write_handler_t on_written;
    try {
        frame = std::make_shared<Message>(FRAME_HEADER_SIZE + length);
        on_written = [this, frame, callback](Transport&, long bytes, Status status) {
            callback(*this, bytes, std::move(status));
        };
    } catch (const std::exception& error) {
        callback(*this, -1, out_of_memory(error));
        return;
    }
    char* bytes = static_cast<char*>(frame->buffer());
    write_header(bytes, length);
    if (length > 0) {
        std::memcpy(bytes + FRAME_HEADER_SIZE, message.buffer(), static_cast<std::size_t>(length));
    }
    m_transport->write_async(bytes, frame->length(), std::move(on_written));
}

} // namespace korvane
