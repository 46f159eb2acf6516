// The message-level socket that applications program against. Implemented by
// BasicSocket (one connection) and MultiplexedSocket (one ordered stream over
// several sockets). Applications own sockets through `Socket`.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "message/Message.hpp"
#include "pipeline/Pipeline.hpp"
#include "socket/Timeouts.hpp"
#include "transport/Transport.hpp"

namespace korvane {

class SocketImpl;

using Socket = std::unique_ptr<SocketImpl>;
using connect_handler_t = std::function<void(SocketImpl&, Transport::StatusCode)>;
using accept_handler_t = std::function<void(SocketImpl&, std::unique_ptr<SocketImpl>, Transport::StatusCode)>;
using recv_handler_t = std::function<void(SocketImpl&, Message, Transport::StatusCode)>;
using send_handler_t = std::function<void(SocketImpl&, Transport::StatusCode)>;

// Every operation is noexcept and reports through a Transport::StatusCode.
// Callbacks are never empty and receive this socket first. Unless an
// implementation says otherwise they run on a thread inside start(), never
// before the call that started them returns; BasicSocket and
// MultiplexedSocket list where they answer on the calling thread instead.
// A callback runs once per operation, except the multiplexed asynchronous
// connect, which reports each failing connection and then its success.
class SocketImpl {
public:
    virtual ~SocketImpl() = default;

    /// Blocking connect to a host name or address, then the public key
    /// exchange when the pipeline encrypts. OKAY, the transport's failure
    /// (CONNECTION_REFUSED, HOST_NOT_FOUND, TIMEOUT...) or the exchange's
    /// (OPERATION_NOT_SUPPORTED). Blocks the calling thread.
    virtual Transport::StatusCode connect(std::string address, Transport::port_t port) noexcept = 0;
    /// Starts a connect; `callback` gets the same outcomes as the blocking
    /// form where the transport completes connects (a loop thread for TCP and
    /// TLS, after the key exchange, which blocks that thread: run the loop on
    /// two threads when both ends share it).
    virtual void connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept = 0;
    /// Listens on `address` ("*": every interface) and `port`. Non-blocking;
    /// ADDRESS_IN_USE, INVALID_ARGUMENT (names are not resolved), or
    /// OPERATION_NOT_SUPPORTED where the socket cannot listen.
    virtual Transport::StatusCode bind(Transport::port_t port, std::string address) noexcept = 0;
    /// Blocks for one connection and returns it, owned by the caller, with
    /// clones of this pipeline's stages and the key exchange done. Empty
    /// Socket on failure, the reason in `*status` (which may be null).
    virtual Socket accept(Transport::StatusCode* status) noexcept = 0;
    /// Accepts one connection; `callback` owns the new socket from then on
    /// (empty on failure, with the status). Call again for the next one.
    virtual void accept_async(accept_handler_t callback) noexcept = 0;
    /// Blocks for one whole message, owned by the caller. A null Message on
    /// failure (status says why) and at the end of the stream; what the end
    /// means depends on the socket (basic: peer closed, OKAY; multiplexed:
    /// one connection of the group lost).
    virtual Message recv(Transport::StatusCode* status) noexcept = 0;
    /// Receives one message; `callback` owns it, or gets a null Message with
    /// the same meanings as the blocking form. One outstanding at a time on
    /// a basic socket.
    virtual void recv(recv_handler_t callback) noexcept = 0;
    /// Blocking send of one message; the caller keeps an lvalue message
    /// unchanged, an rvalue's buffer may be taken over. OKAY, the pipeline's failure, the
    /// transport's, or MSG_TOO_LARGE for a frame above 5242880 bytes.
    virtual Transport::StatusCode send(Message& message) noexcept = 0;
    virtual Transport::StatusCode send(Message&& message) noexcept = 0;
    /// Starts a send of `message`: an lvalue stays untouched and may be
    /// reused at once, an rvalue's buffer may be taken over. `callback` gets
    /// the outcome. Any number may be outstanding; a basic socket completes
    /// them in call order.
    virtual void send(Message& message, send_handler_t callback) noexcept = 0;
    virtual void send(Message&& message, send_handler_t callback) noexcept = 0;
    /// Closes the connection(s) and stops listening, non-blocking. Outstanding
    /// asynchronous operations complete (OPERATION_ABORTED, or SHUTDOWN on a
    /// multiplexed socket) where their transport completes them, so keep the
    /// socket alive until they have.
    virtual Transport::StatusCode close() noexcept = 0;
    /// Runs the transport class's event loop on the calling thread, running
    /// completion callbacks, until stop() or until no operation is left: it
    /// returns at once when nothing was started, so start work first, and
    /// call it again (or hold work) when more is to come.
    virtual Transport::StatusCode start() noexcept = 0;
    /// Makes every thread in start() of this transport class return, for all
    /// sockets of that class; queued work stays queued. Non-blocking.
    virtual void stop() noexcept = 0;
    /// Whether an asynchronous receive / send is outstanding. Non-blocking.
    virtual bool recv_pending() const noexcept = 0;
    virtual bool send_pending() const noexcept = 0;
    /// The socket's stages, owned by the socket; fill before connecting or
    /// accepting (both ends must match: see Pipeline).
    virtual Pipeline& pipeline() noexcept = 0;
    /// The deadlines of later operations (see Timeouts); a step that runs out
    /// of time reports TRANSPORT_STATUS_TIMEOUT with a text naming the step.
    virtual void timeouts(const Timeouts& timeouts) noexcept = 0;
    virtual Timeouts timeouts() const noexcept = 0;
};

} // namespace korvane
