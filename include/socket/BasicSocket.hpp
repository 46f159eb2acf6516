// A socket over one connection: a framer (which owns the transport) carries
// frames, a pipeline turns messages into frames and back. When the pipeline
// holds an Encryptor and a Decryptor, every new connection starts with the
// exchange of one 32-byte public key in each direction.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "pipeline/Pipeline.hpp"
#include "socket/SocketImpl.hpp"
#include "transport/Transport.hpp"
#include "transport/TransportFramer.hpp"

namespace korvane {

// No lock: keep at most one receive outstanding, and issue sends from one
// thread at a time in the order they are to reach the wire (the encryption
// stages count them); any number of asynchronous sends may be outstanding.
// A socket may be destroyed on any thread, also inside its own callbacks, with
// operations outstanding: their callbacks are then dropped, never run against
// the freed socket; a destructor on another thread waits for a callback of
// this socket that is running. Empty callbacks are refused: nothing starts.
class BasicSocket : public SocketImpl {
public:
    /// Connections a listener runs handshakes for at once in accept_async.
    static constexpr std::size_t MAX_CONCURRENT_HANDSHAKES = 64;

    /// A new unconnected socket over `transport`, framed by a TransportFramer,
    /// with an empty pipeline. Empty when `transport` is null.
    static Socket create(std::unique_ptr<Transport> transport);
    /// A new socket over `transportFramer` and the transport it owns. Empty
    /// when either is missing.
    static Socket create(std::unique_ptr<TransportFramer> transportFramer);

    /// Drops the callbacks of outstanding operations, closes the connection
    /// (status dropped) and the handshakes still running for accept_async.
    ~BasicSocket() override;

    BasicSocket(const BasicSocket&) = delete;
    BasicSocket(BasicSocket&&) = delete;
    BasicSocket& operator=(const BasicSocket&) = delete;
    BasicSocket& operator=(BasicSocket&&) = delete;

    /// Blocking connect under the connect timeout ("Connect timed out"), then
    /// the key exchange on this thread under the handshake timeout ("Key
    /// exchange timed out"). The transport's failure, or the exchange's;
    /// after a failed exchange the connection stays open.
    Transport::StatusCode connect(std::string address, Transport::port_t port) noexcept override;
    /// The same without blocking: connect and key exchange run on the loop,
    /// and `callback` runs there once with the outcome. UDT and callback
    /// transports have no loop: it runs on this thread before return, with
    /// "Unsupported operation".
    void connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept override;
    /// Listens on `address` and `port`; the transport's status.
    Transport::StatusCode bind(Transport::port_t port, std::string address) noexcept override;
    /// Blocks for one connection, gives it clones of this pipeline's stages
    /// and this socket's Timeouts, and runs the key exchange. A peer that
    /// does not finish it within the handshake timeout is closed and skipped
    /// for the next connection; a connection whose exchange fails otherwise
    /// is closed and dropped: empty Socket, the exchange's status in `*status`.
    Socket accept(Transport::StatusCode* status) noexcept override;
    /// Queues `callback` for the next connection whose key exchange ends. The
    /// listener keeps accepting while any callback waits, running up to
    /// MAX_CONCURRENT_HANDSHAKES exchanges at once, so a stalled peer delays
    /// no other. Callbacks are served in the order queued, each with the
    /// first exchange to end: the new socket even when the exchange failed
    /// (with that status), an empty one when the accept failed. Runs on a loop
    /// thread, or on this thread before return when an exchange had ended or
    /// the transport has no loop (UDT, callback: "Unsupported operation").
    void accept_async(accept_handler_t callback) noexcept override;

    /// Blocks for one frame (under the receive timeout) and decodes it. Null
    /// Message on failure, with the framer's or the decoders' status; also at
    /// the peer's orderly close, with TRANSPORT_STATUS_OKAY. A frame an
    /// encryption stage cannot open, memory exhaustion, and a timeout after
    /// part of a frame arrived close the connection; a timeout before any
    /// byte arrived ("Receive timed out") leaves it usable.
    Message recv(Transport::StatusCode* status) noexcept override;
    /// Receives and decodes one frame as recv() does; `callback` runs where
    /// the transport completes reads: a loop thread for TCP and TLS, before
    /// this returns for the UDT and callback transports, which answer
    /// "Unsupported operation".
    void recv(recv_handler_t callback) noexcept override;

    /// Encodes `message` (a copy of an lvalue; an rvalue's buffer is taken
    /// over; with no encoder an lvalue's bytes are framed as they are, with
    /// no copy) and sends it in one gather write, blocking, under the send
    /// timeout ("Send timed out", which closes the connection). A null
    /// message or a failing encoder sends nothing and reports the pipeline's
    /// status (OKAY with an empty pipeline); a message an encryption stage
    /// would make too large for a frame is refused before it is sealed
    /// (TRANSPORT_STATUS_MSG_TOO_LARGE).
    Transport::StatusCode send(Message& message) noexcept override;
    Transport::StatusCode send(Message&& message) noexcept override;
    /// Encodes a copy of an lvalue `message` (the caller may change it once
    /// this returns) or takes an rvalue's buffer over, and queues the frame
    /// behind the sends still in flight; what queued goes out in one write.
    /// If encoding yields nothing, `callback` runs on this thread before send
    /// returns; otherwise in call order where the transport completes writes
    /// (as for recv(callback)), with
    /// TRANSPORT_STATUS_BROKEN_PIPE "Connection reset by peer" when the
    /// transport reports no byte written.
    void send(Message& message, send_handler_t callback) noexcept override;
    void send(Message&& message, send_handler_t callback) noexcept override;

    /// Closes the connection and the handshakes running for accept_async;
    /// afterwards both pending flags read true until an operation that was
    /// outstanding completes.
    Transport::StatusCode close() noexcept override;
    /// Runs the transport class's event loop on this thread until stopped or
    /// out of work.
    Transport::StatusCode start() noexcept override;
    /// Stops that event loop (for every transport of the class).
    void stop() noexcept override;
    /// True from recv(callback) until its handler runs, and after close().
    bool recv_pending() const noexcept override;
    /// True from the hand-over of an encoded message in send(message,
    /// callback) until the handlers of every send outstanding ran, and
    /// after close().
    bool send_pending() const noexcept override;
    /// The operating system's descriptor of the connection, for socket
    /// options such as TCP_NODELAY on an accepted socket: TCP and TLS
    /// transports once connected or accepted; -1 for UDT, callback transports
    /// and closed sockets. Non-blocking; the transport keeps owning it (never
    /// close it, and leave its reads and writes to the socket).
    int native_handle() noexcept;
    /// The stages; fill before connecting or accepting.
    Pipeline& pipeline() noexcept override;
    /// Applies to operations started afterwards; set while none runs.
    void timeouts(const Timeouts& timeouts) noexcept override;
    Timeouts timeouts() const noexcept override;

protected:
    explicit BasicSocket(std::unique_ptr<Transport> transport);
    explicit BasicSocket(std::unique_ptr<TransportFramer> transportFramer);

    std::shared_ptr<TransportFramer> m_transport_framer;
    Pipeline m_pipeline;
    Timeouts m_timeouts;
    std::atomic<bool> m_recv_pending;
    std::atomic<bool> m_send_pending;

private:
    struct Life;
    class Entry;
    using handshake_done_t = std::function<void(Transport::StatusCode)>;

    std::shared_ptr<Transport> transport();
    /// Closes the transport; frames the framer had read ahead go with it.
    Transport::StatusCode close_connection();
    /// A socket for an accepted connection, holding clones of our stages.
    std::unique_ptr<BasicSocket> adopt(std::unique_ptr<Transport> transport);
    /// The handshake the pipeline needs, blocking or on the loop.
    Transport::StatusCode handshake(bool initiator);
    void handshake_async(bool initiator, handshake_done_t done);

    void pump_accepts();
    void arm_accept();
    void on_accepted(std::unique_ptr<Transport> connection, Transport::StatusCode status);
    void fail_waiting_accepts(const Transport::StatusCode& status, bool all);
    void start_accepted(std::unique_ptr<BasicSocket> socket);

    void arm_read_deadline();
    void arm_write_deadline();
    Message decode_frame(Message frame, Transport::StatusCode& status);
    Message encode_copy(const Message& message, Transport::StatusCode& status, korvane_buf_len_t limit);
    Message encode_owned(Message message, Transport::StatusCode& status, korvane_buf_len_t limit);
    Transport::StatusCode sent(Transport::StatusCode status);
    Transport::StatusCode send_copy(const Message& message);
    Transport::StatusCode send_encoded(Message encoded, const Transport::StatusCode& status);
    /// Bytes a frame carries before the message's own.
    struct Prefix {
        const void* bytes;
        korvane_buf_len_t length;
    };
    /// With `lent`, `encoded` holds the caller's bytes for this call only,
    /// and the frame carries `prefix` before them.
    void send_encoded(Message encoded, Transport::StatusCode status, send_handler_t callback, bool lent = false,
                      Prefix prefix = {nullptr, 0});
    /// For a multiplexed socket over this one: its header before the
    /// caller's bytes, which are lent for the call, as one frame. False, with
    /// nothing sent and `callback` left, unless no stage transforms them.
    friend class MultiplexedSocket;
    bool send_prefixed(Prefix prefix, const Message& message, send_handler_t& callback);

    std::shared_ptr<Life> m_life;
    bool m_read_bounded = false;
    bool m_write_bounded = false;
    bool m_exchanged_keys = false;
    bool m_received_any = false;
    // Blocking messages become frames (not so through a callback framer,
    // whose callbacks own the boundaries): the frame limit applies, and a
    // message no stage transforms is framed from the caller's bytes.
    bool m_blocking_frames = true;
    korvane_buf_len_t blocking_limit() const noexcept;
    std::atomic<unsigned> m_sends_in_flight{0};
};

} // namespace korvane
