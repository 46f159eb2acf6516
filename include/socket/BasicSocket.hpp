// A socket over one connection: a framer (which owns the transport) carries
// frames, a pipeline turns messages into frames and back. When the pipeline
// holds an Encryptor and a Decryptor, every new connection starts with the
// exchange of one 32-byte public key in each direction.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "pipeline/Pipeline.hpp"
#include "socket/SocketImpl.hpp"
#include "transport/Transport.hpp"
#include "transport/TransportFramer.hpp"

namespace korvane {

// No lock: keep at most one receive and one send outstanding, and issue sends
// in the order they are to reach the wire (the encryption stages count them).
// A socket must outlive its outstanding operations; it may be destroyed from
// inside its own completion callback.
class BasicSocket : public SocketImpl {
public:
    /// A new unconnected socket over `transport`, framed by a TransportFramer,
    /// with an empty pipeline. Empty when `transport` is null.
    static Socket create(std::unique_ptr<Transport> transport);
    /// A new socket over `transportFramer` and the transport it owns. Empty
    /// when either is missing.
    static Socket create(std::unique_ptr<TransportFramer> transportFramer);

    /// Closes the connection (status dropped), then releases pipeline and framer.
    ~BasicSocket() override;

    BasicSocket(const BasicSocket&) = delete;
    BasicSocket(BasicSocket&&) = delete;
    BasicSocket& operator=(const BasicSocket&) = delete;
    BasicSocket& operator=(BasicSocket&&) = delete;

    /// Blocking connect, then the key exchange on this thread. The transport's
    /// failure, or the exchange's; after a failed exchange the connection
    /// stays open.
    Transport::StatusCode connect(std::string address, Transport::port_t port) noexcept override;
    /// Asynchronous connect; the key exchange then blocks the loop thread
    /// that completes it, which also runs `callback`.
    void connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept override;
    /// Listens on `address` and `port`; the transport's status.
    Transport::StatusCode bind(Transport::port_t port, std::string address) noexcept override;
    /// Blocks for one connection, gives it clones of this pipeline's stages
    /// and runs the key exchange. A connection whose exchange fails is closed
    /// and dropped: empty Socket, the exchange's status in `*status`.
    Socket accept(Transport::StatusCode* status) noexcept override;
    /// Accepts one connection on a loop thread, clones the stages into it and
    /// runs the key exchange there. `callback` gets the new socket even when
    /// the exchange failed (with that status), empty when the accept failed.
    void accept_async(accept_handler_t callback) noexcept override;

    /// Blocks for one frame and decodes it. Null Message on failure, with the
    /// framer's or the decoders' status; also at the peer's orderly close,
    /// with TRANSPORT_STATUS_OKAY.
    Message recv(Transport::StatusCode* status) noexcept override;
    /// Receives and decodes one frame; `callback` runs on a loop thread.
    void recv(recv_handler_t callback) noexcept override;

    /// Encodes a copy of `message` and sends it, blocking. A null message or a
    /// failing encoder sends nothing and reports the pipeline's status (OKAY
    /// with an empty pipeline).
    Transport::StatusCode send(Message& message) noexcept override;
    Transport::StatusCode send(Message&& message) noexcept override;
    /// Encodes a copy of `message` and sends it. If encoding yields nothing,
    /// `callback` runs on this thread before send returns; otherwise on a loop
    /// thread, with TRANSPORT_STATUS_BROKEN_PIPE "Connection reset by peer"
    /// when the transport reports no byte written.
    void send(Message& message, send_handler_t callback) noexcept override;
    void send(Message&& message, send_handler_t callback) noexcept override;

    /// Closes the connection; afterwards both pending flags read true until
    /// an operation that was outstanding completes.
    Transport::StatusCode close() noexcept override;
    /// Runs the transport class's event loop on this thread until stopped or
    /// out of work.
    Transport::StatusCode start() noexcept override;
    /// Stops that event loop (for every transport of the class).
    void stop() noexcept override;
    /// True from recv(callback) until its handler runs, and after close().
    bool recv_pending() const noexcept override;
    /// True from the hand-over of an encoded message in send(message,
    /// callback) until its handler runs, and after close().
    bool send_pending() const noexcept override;
    /// The operating system's descriptor of the connection, for socket
    /// options such as TCP_NODELAY on an accepted socket: TCP and TLS
    /// transports once connected or accepted; -1 for UDT, callback transports
    /// and closed sockets. Non-blocking; the transport keeps owning it (never
    /// close it, and leave its reads and writes to the socket).
    int native_handle() noexcept;
    /// The stages; fill before connecting or accepting.
    Pipeline& pipeline() noexcept override;
    void timeouts(const Timeouts& timeouts) noexcept override;
    Timeouts timeouts() const noexcept override;

protected:
    explicit BasicSocket(std::unique_ptr<Transport> transport);
    explicit BasicSocket(std::unique_ptr<TransportFramer> transportFramer);

    /// Sends the Encryptor's public key as one frame, reads the peer's, and
    /// installs it in the first Encryptor and Decryptor. Blocks the calling
    /// thread. OKAY without traffic when either stage is missing;
    /// TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED "Encryptor and decryptor
    /// public keys differ" (nothing sent) or "Invalid public key length";
    /// otherwise the framer's failure.
    static Transport::StatusCode perform_public_key_exchange(BasicSocket& socket);

    std::unique_ptr<TransportFramer> m_transport_framer;
    Pipeline m_pipeline;
    Timeouts m_timeouts;
    std::atomic<bool> m_recv_pending;
    std::atomic<bool> m_send_pending;

private:
    std::shared_ptr<Transport> transport();
    /// A socket for an accepted connection, holding clones of our stages.
    std::unique_ptr<BasicSocket> adopt(std::unique_ptr<Transport> transport);
    Message encode_copy(const Message& message, Transport::StatusCode* status);
    Transport::StatusCode send_copy(const Message& message);
    void send_copy(const Message& message, send_handler_t callback);
};

} // namespace korvane
