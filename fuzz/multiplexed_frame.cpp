// The input is what a client sends to a multiplexed server, then the end of
// the stream: framed messages, the first of which should be the
// connection-id frame and the rest data frames. With a group of two in the id
// frame the data frames are spread over two connections (see connections_of).
//
// Properties of the accept loop: only a first message of 12 bytes or more
// whose group size is the number of connections hands out a new socket (a
// larger group waits, anything else drops the connection), and a connection
// whose stream fails while it waits for the rest of its group is dropped. Properties of the
// accepted socket: the n-th message it delivers is the payload of a data frame
// numbered n, so nothing is delivered out of order or made up; when each
// connection numbers its frames upwards, every frame continuing the sequence
// from 0 is delivered, and on one connection so is every frame that arrived
// in order; every receive is answered once the streams have ended (the last
// ones with a failure); no allocation exceeds the frame limit.
//
// The frame functions are checked on the whole input and on every frame: the
// sequence number and payload are read without reading past the end (frames
// under 8 bytes included), and put back together they give the frame again.
#include <algorithm>
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

struct Frame {
    std::uint8_t route; // first header byte, which the framer ignores
    Bytes payload;
};

struct Split {
    std::vector<Frame> frames;
    std::size_t end = 0; // where the last whole frame ends
};

// The frames a framer makes of the stream: every whole frame with an
// acceptable length, up to the first that is cut short or refused.
Split split_frames(const std::uint8_t* data, std::size_t size)
{
    Split split;
    std::size_t& offset = split.end;
    while (size - offset >= FRAME_HEADER_SIZE) {
        const std::uint32_t length = endian::load_big32(data + offset + 4);
        if (length == 0 || length > MAX_FRAME_SIZE || size - offset - FRAME_HEADER_SIZE < length) {
            break;
        }
        const std::uint8_t* payload = data + offset + FRAME_HEADER_SIZE;
        split.frames.push_back({data[offset], Bytes(payload, payload + length)});
        offset += FRAME_HEADER_SIZE + length;
    }
    return split;
}

// What one accepted connection carries, and the data frames the socket can
// see on it: those after the id frame, up to the first too short to carry a
// number, which ends the connection.
struct Connection {
    Bytes stream;
    std::vector<Bytes> visible;
};

void collect_visible(Connection& connection, const std::vector<Bytes>& data_frames)
{
    for (const Bytes& frame : data_frames) {
        if (frame.size() < HEADER_SIZE) {
            break;
        }
        connection.visible.push_back(frame);
    }
}

// A client with a group of two spreads its data frames over two connections:
// the lowest bit of each frame's first (unused) header byte picks the
// connection. Both start with the id frame; what follows the last whole
// frame goes to the first. Any other input is one connection's stream as it is.
std::vector<Connection> connections_of(const std::uint8_t* data, std::size_t size, const Split& split,
                                       std::uint32_t total)
{
    std::vector<Bytes> data_frames[2];
    for (std::size_t i = 1; i < split.frames.size(); ++i) {
        data_frames[total == 2 ? split.frames[i].route & 1 : 0].push_back(split.frames[i].payload);
    }
    if (total != 2) {
        std::vector<Connection> one(1);
        one[0].stream.assign(data, data + size);
        collect_visible(one[0], data_frames[0]);
        return one;
    }
    std::vector<Connection> two(2);
    for (int side = 0; side < 2; ++side) {
        two[side].stream = fuzz::frame(split.frames[0].payload);
        for (const Bytes& frame : data_frames[side]) {
            const Bytes framed = fuzz::frame(frame);
            two[side].stream.insert(two[side].stream.end(), framed.begin(), framed.end());
        }
        collect_visible(two[side], data_frames[side]);
    }
    two[0].stream.insert(two[0].stream.end(), data + split.end, data + size);
    return two;
}

// A listener that hands out the given connections, then keeps every later
// accept outstanding, as a listener no one else dials does.
class Listener : public ScriptedTransport {
public:
    explicit Listener(const std::vector<Connection>& connections)
    {
        for (const Connection& connection : connections) {
            m_streams.push_back(connection.stream);
        }
    }

    StatusCode bind(port_t, std::string) override { return StatusCode(); }
    void accept_async(accept_handler_t callback) override
    {
        if (m_handed_out == m_streams.size()) {
            m_waiting.push_back(std::move(callback));
            return;
        }
        auto connection = std::make_unique<ScriptedTransport>();
        connection->script->incoming = std::move(m_streams[m_handed_out++]);
        callback(*this, std::move(connection), StatusCode());
    }
    // As every transport does, close() ends the accepts still waiting.
    StatusCode close() override
    {
        std::vector<accept_handler_t> waiting = std::move(m_waiting);
        m_waiting.clear();
        for (accept_handler_t& callback : waiting) {
            callback(*this, nullptr, StatusCode(StatusCode::TRANSPORT_STATUS_OPERATION_ABORTED, "Operation aborted."));
        }
        return StatusCode();
    }

private:
    std::vector<std::vector<unsigned char>> m_streams;
    std::size_t m_handed_out = 0;
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
        // a lost connection is told only to a receiver already waiting, and
        // every frame arrived before the first receive.
        delivered.push_back(std::move(message));
        FUZZ_CHECK(delivered.size() <= data_frames);
    }
    // The end is final.
    Status again;
    FUZZ_CHECK(socket.recv(&again).null() && !again);
    return delivered;
}

bool increasing(const std::vector<Bytes>& frames)
{
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (endian::load_big64(frames[i].data()) <= endian::load_big64(frames[i - 1].data())) {
            return false;
        }
    }
    return true;
}

// Nothing out of order or made up; and when every connection numbers its
// frames upwards, as a sound client does, every frame that continues the
// sequence from 0 is delivered.
void check_deliveries(const std::vector<Message>& delivered, const std::vector<Connection>& connections)
{
    std::vector<Bytes> visible;
    bool sound = true;
    for (const Connection& connection : connections) {
        visible.insert(visible.end(), connection.visible.begin(), connection.visible.end());
        sound = sound && increasing(connection.visible);
    }
    for (std::size_t n = 0; n < delivered.size(); ++n) {
        bool matched = false;
        for (const Bytes& frame : visible) {
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
    if (sound) {
        std::size_t next = 0;
        while (std::any_of(visible.begin(), visible.end(),
                           [next](const Bytes& frame) { return endian::load_big64(frame.data()) == next; })) {
            ++next;
        }
        FUZZ_CHECK(delivered.size() == next);
    } else if (connections.size() == 1) {
        std::size_t in_order = 0;
        while (in_order < visible.size() && endian::load_big64(visible[in_order].data()) == in_order) {
            ++in_order;
        }
        FUZZ_CHECK(delivered.size() >= in_order);
    }
}

void serve(const std::uint8_t* data, std::size_t size)
{
    const Split split = split_frames(data, size);
    const bool whole_id = !split.frames.empty() && split.frames[0].payload.size() >= ID_FRAME_SIZE;
    const std::uint32_t total = whole_id ? endian::load_big32(split.frames[0].payload.data() + 8) : 0;
    const std::vector<Connection> connections = connections_of(data, size, split, total);
    std::size_t data_frames = 0;
    for (const Connection& connection : connections) {
        data_frames += connection.visible.size();
    }

    fuzz::watch_allocations();
    // Outlives the server, whose close() answers an accept still waiting.
    Accepted accepted;
    std::vector<Socket> listener;
    listener.push_back(BasicSocket::create(std::make_unique<Listener>(connections)));
    const Socket server = MultiplexedSocket::create(std::move(listener));
    FUZZ_CHECK(server->bind(0, "memory") == Status());
    server->accept_async([&accepted](SocketImpl&, Socket socket, Status status) {
        ++accepted.calls;
        accepted.socket = std::move(socket);
        accepted.status = std::move(status);
    });
    server->start();

    // The first connection of a pair waits for the second with a receive
    // armed: unless that receive brings a data frame, the connection is
    // released before its partner arrives, and the pair never forms.
    const bool first_waits = connections.size() == 1 || !connections[0].visible.empty();
    if (total != connections.size() || !first_waits) {
        FUZZ_CHECK(accepted.calls == 0);
    } else {
        FUZZ_CHECK(accepted.calls == 1);
        FUZZ_CHECK(accepted.socket && accepted.status == Status());
        const std::vector<Message> delivered = receive_all(*accepted.socket, data_frames);
        check_deliveries(delivered, connections);
    }
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    for (const Frame& frame : split.frames) {
        check_frame_functions(frame.payload.data(), frame.payload.size());
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

Bytes routed(std::uint8_t connection, Bytes framed)
{
    framed[0] = connection;
    return framed;
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
        // A group of two: the first header byte's lowest bit picks the connection.
        {"two-connections-interleaved",
         cat({id_frame(group, 2), data_frame(0, "zero"), routed(1, data_frame(1, "one")), data_frame(2, "two"),
              routed(1, data_frame(3, "three"))})},
        {"two-connections-second-ahead",
         cat({id_frame(group, 2), routed(1, data_frame(1, "one")), routed(1, data_frame(2, "two")),
              data_frame(0, "zero"), data_frame(3, "three")})},
        {"two-connections-frame-lost-with-one",
         cat({id_frame(group, 2), data_frame(0, "zero"), frame(Bytes(3, 0)), data_frame(1, "lost"),
              routed(1, data_frame(2, "two")), routed(1, data_frame(3, "three"))})},
        {"two-connections-same-frames",
         cat({id_frame(group, 2), data_frame(0, "zero"), routed(1, data_frame(0, "zero")), data_frame(1, "one"),
              routed(1, data_frame(1, "one"))})},
        {"two-connections-one-silent", cat({id_frame(group, 2), data_frame(0, "zero"), data_frame(1, "one")})},
    };
}

} // namespace fuzz
} // namespace korvane
