// The input is everything a client sends on one connection that a multiplexed
// server accepts, then the end of the stream: framed messages, the first of
// which should be the connection-id frame and the rest data frames.
//
// Properties of the accept loop: only a first message of 12 bytes or more
// with a group size of 1 hands out a new socket (a larger group waits, anything
// else drops the connection). Properties of the accepted socket: the n-th
// message it delivers is the payload of a data frame numbered n (so nothing is
// delivered out of order or made up), frames that arrived numbered 0, 1, 2...
// are all delivered, every receive is answered once the stream has ended (the
// last ones with a failure), and no allocation exceeds the frame limit.
//
// The frame functions are checked on the whole input and on every frame: the
// sequence number and payload are read without reading past the end (frames
// under 8 bytes included), and put back together they give the frame again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "FuzzSupport.hpp"
#include "socket/BasicSocket.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "support/ScriptedTransport.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;
using fuzz::Bytes;
using testing::ScriptedTransport;

constexpr std::size_t HEADER_SIZE = 8;
constexpr std::size_t ID_FRAME_SIZE = 12;
constexpr std::size_t FRAME_HEADER_SIZE = 8;
constexpr std::size_t MAX_FRAME_SIZE = 5242880;
constexpr std::size_t SLACK = 4096;

// Never constructed: only opens the frame functions to the target.
struct FrameAccess : MultiplexedSocket {
    using MultiplexedSocket::create_multiplex_frame;
    using MultiplexedSocket::extract_mutliplex_frame;
    using MultiplexedSocket::korvane_multiplex_frame_id_t;
    using MultiplexedSocket::mutliplex_frame_id;
};

bool holds(const Message& message, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::size_t>(message.length()) == size && std::memcmp(message.buffer(), data, size) == 0;
}

void check_frame_functions(const std::uint8_t* data, std::size_t size)
{
    // The frame's buffer is exactly `size` bytes long (see exhaust_message_pool).
    const Message frame(data, static_cast<korvane_buf_len_t>(size));
    const FrameAccess::korvane_multiplex_frame_id_t uid = FrameAccess::mutliplex_frame_id(frame);
    const Message payload = FrameAccess::extract_mutliplex_frame(frame);
    if (size < HEADER_SIZE) {
        FUZZ_CHECK(uid == 0);
        FUZZ_CHECK(payload.null());
        return;
    }
    FUZZ_CHECK(uid == endian::load_big64(data));
    if (size == HEADER_SIZE) {
        FUZZ_CHECK(payload.null());
    } else {
        FUZZ_CHECK(holds(payload, data + HEADER_SIZE, size - HEADER_SIZE));
    }
    FrameAccess::korvane_multiplex_frame_id_t next = uid;
    const Message rebuilt = FrameAccess::create_multiplex_frame(payload, next);
    FUZZ_CHECK(next == uid + 1);
    FUZZ_CHECK(holds(rebuilt, data, size));
}

// The frames a framer makes of the stream: every whole frame with an
// acceptable length, up to the first that is cut short or refused.
std::vector<Bytes> split_frames(const std::uint8_t* data, std::size_t size)
{
    std::vector<Bytes> frames;
    std::size_t offset = 0;
    while (size - offset >= FRAME_HEADER_SIZE) {
        const std::uint32_t length = endian::load_big32(data + offset + 4);
        if (length == 0 || length > MAX_FRAME_SIZE || size - offset - FRAME_HEADER_SIZE < length) {
            break;
        }
        const std::uint8_t* payload = data + offset + FRAME_HEADER_SIZE;
        frames.emplace_back(payload, payload + length);
        offset += FRAME_HEADER_SIZE + length;
    }
    return frames;
}

// A listener that hands out one connection carrying the input, then keeps
// every later accept outstanding, as a listener no one else dials does.
class Listener : public ScriptedTransport {
public:
    Listener(const std::uint8_t* data, std::size_t size) : m_stream(data, data + size) {}

    StatusCode bind(port_t, std::string) override { return StatusCode(); }
    void accept_async(accept_handler_t callback) override
    {
        if (m_handed_out) {
            m_waiting.push_back(std::move(callback));
            return;
        }
        m_handed_out = true;
        auto connection = std::make_unique<ScriptedTransport>();
        connection->incoming = std::move(m_stream);
        callback(*this, std::move(connection), StatusCode());
    }

private:
    std::vector<unsigned char> m_stream;
    bool m_handed_out = false;
    std::vector<accept_handler_t> m_waiting;
};

struct Accepted {
    int calls = 0;
    Socket socket;
    Status status;
};

// Receives until the socket reports a failure; every receive must be
// answered before it returns, since nothing is left to wait for.
std::vector<Message> receive_all(SocketImpl& socket, std::size_t data_frames)
{
    std::vector<Message> delivered;
    for (;;) {
        bool answered = false;
        Message message;
        Status status;
        socket.recv([&](SocketImpl&, Message received, Status outcome) {
            FUZZ_CHECK(!answered);
            answered = true;
            message = std::move(received);
            status = std::move(outcome);
        });
        FUZZ_CHECK(answered);
        if (!status) {
            FUZZ_CHECK(message.null());
            FUZZ_CHECK(status.code() == Status::TRANSPORT_STATUS_NOT_CONNECTED
                       || status.code() == Status::TRANSPORT_STATUS_CONNECTION_ABORTED);
            break;
        }
        // A null message with success is an empty payload (an 8-byte frame):
        // with one connection no other connection can have been lost.
        delivered.push_back(std::move(message));
        FUZZ_CHECK(delivered.size() <= data_frames);
    }
    // The end is final.
    Status again;
    FUZZ_CHECK(socket.recv(&again).null() && !again);
    return delivered;
}

void check_deliveries(const std::vector<Message>& delivered, const std::vector<Bytes>& data_frames)
{
    for (std::size_t n = 0; n < delivered.size(); ++n) {
        bool matched = false;
        for (const Bytes& frame : data_frames) {
            if (endian::load_big64(frame.data()) != n) {
                continue;
            }
            const std::size_t length = frame.size() - HEADER_SIZE;
            if (length == 0 ? delivered[n].null() : holds(delivered[n], frame.data() + HEADER_SIZE, length)) {
                matched = true;
                break;
            }
        }
        FUZZ_CHECK(matched);
    }
    std::size_t in_order = 0;
    while (in_order < data_frames.size() && endian::load_big64(data_frames[in_order].data()) == in_order) {
        ++in_order;
    }
    FUZZ_CHECK(delivered.size() >= in_order);
}

void serve(const std::uint8_t* data, std::size_t size)
{
    const std::vector<Bytes> frames = split_frames(data, size);
    // The data frames the socket can see: those after the id frame, up to
    // the first too short to carry a number, which ends the connection.
    std::vector<Bytes> data_frames;
    for (std::size_t i = 1; i < frames.size() && frames[i].size() >= HEADER_SIZE; ++i) {
        data_frames.push_back(frames[i]);
    }
    const bool whole_id = !frames.empty() && frames[0].size() >= ID_FRAME_SIZE;
    const std::uint32_t total = whole_id ? endian::load_big32(frames[0].data() + 8) : 0;

    fuzz::watch_allocations();
    // Outlives the server, whose close() answers an accept still waiting.
    Accepted accepted;
    std::vector<Socket> listener;
    listener.push_back(BasicSocket::create(std::make_unique<Listener>(data, size)));
    const Socket server = MultiplexedSocket::create(std::move(listener));
    FUZZ_CHECK(server->bind(0, "memory") == Status());
    server->accept_async([&accepted](SocketImpl&, Socket socket, Status status) {
        ++accepted.calls;
        accepted.socket = std::move(socket);
        accepted.status = std::move(status);
    });
    server->start();

    if (total != 1) {
        FUZZ_CHECK(accepted.calls == 0);
    } else {
        FUZZ_CHECK(accepted.calls == 1);
        FUZZ_CHECK(accepted.socket && accepted.status == Status());
        const std::vector<Message> delivered = receive_all(*accepted.socket, data_frames.size());
        check_deliveries(delivered, data_frames);
    }
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    for (const Bytes& frame : frames) {
        check_frame_functions(frame.data(), frame.size());
    }
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    fuzz::exhaust_message_pool();
    check_frame_functions(data, size);
    serve(data, size);
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

Bytes id_frame(std::uint64_t group, std::uint32_t total)
{
    Bytes payload(8);
    std::memcpy(payload.data(), &group, sizeof group); // the sender's own byte order
    return frame(cat({payload, big32(total)}));
}

Bytes data_frame(std::uint64_t uid, const std::string& payload)
{
    return frame(cat({big64(uid), text(payload)}));
}

} // namespace

std::vector<Seed> seeds()
{
    const std::uint64_t group = 0x0102030405060708u;
    const Bytes id = id_frame(group, 1);
    return {
        {"empty-stream", Bytes()},
        {"id-frame-only", id},
        {"id-frame-then-end-in-header", cat({id, Bytes(5, 0)})},
        {"id-frame-cut", first(id, id.size() - 1)},
        {"id-frame-short", frame(hex("0102030405060708000000"))},
        {"id-frame-longer", frame(cat({Bytes(8, 9), big32(1), text("extra")}))},
        {"id-frame-group-of-zero", cat({id_frame(group, 0), data_frame(0, "never")})},
        {"id-frame-group-of-three", cat({id_frame(group, 3), data_frame(0, "waits")})},
        {"id-frame-group-of-max", id_frame(group, 0xFFFFFFFFu)},
        {"in-order", cat({id, data_frame(0, "zero"), data_frame(1, "one"), data_frame(2, "two")})},
        {"empty-payloads", cat({id, data_frame(0, ""), data_frame(1, ""), data_frame(2, "x")})},
        {"out-of-order", cat({id, data_frame(1, "one"), data_frame(0, "zero"), data_frame(2, "two")})},
        {"gap", cat({id, data_frame(0, "zero"), data_frame(2, "two"), data_frame(3, "three")})},
        {"duplicate", cat({id, data_frame(0, "zero"), data_frame(0, "again"), data_frame(1, "one")})},
        {"uid-max", cat({id, data_frame(0, "zero"), data_frame(0xFFFFFFFFFFFFFFFFu, "last")})},
        {"data-frame-too-short", cat({id, data_frame(0, "zero"), frame(Bytes(7, 0)), data_frame(1, "one")})},
        {"data-frame-length-refused", cat({id, data_frame(0, "zero"), frame_header(0), data_frame(1, "one")})},
        {"data-frame-cut", cat({id, data_frame(0, "zero"), first(data_frame(1, "one"), 12)})},
        {"data-frame-oversized", cat({id, frame_header(5242881), Bytes(16, 'x')})},
        {"data-frame-max-cut", cat({id, frame_header(5242880), big64(0), text("cut")})},
        {"bare-data-frame-first", data_frame(0, "no id frame")},
    };
}

} // namespace fuzz
} // namespace korvane
