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

// Every operation is noexcept. Callbacks are never empty, run exactly once and
// receive this socket first; unless an implementation says it answers on the
// calling thread, they run on a thread inside start().
class SocketImpl {
public:
    virtual ~SocketImpl() = default;

    /// Blocking connect, including the public key exchange when the pipeline
    /// encrypts.
    virtual Transport::StatusCode connect(std::string address, Transport::port_t port) noexcept = 0;
    /// Asynchronous connect; `callback` gets the outcome.
    virtual void connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept = 0;
    /// Listens on `address` and `port`.
    virtual Transport::StatusCode bind(Transport::port_t port, std::string address) noexcept = 0;
    /// Blocking accept of one connected socket; empty on failure.
    virtual Socket accept(Transport::StatusCode* status) noexcept = 0;
    /// Accepts one connection; `callback` gets the new socket (empty on failure).
    virtual void accept_async(accept_handler_t callback) noexcept = 0;
    /// Blocking receive; a null Message on failure or at end of stream.
    virtual Message recv(Transport::StatusCode* status) noexcept = 0;
    /// Receives one message; `callback` gets it or a null Message.
    virtual void recv(recv_handler_t callback) noexcept = 0;
    /// Blocking send; the caller's message is never modified.
    virtual Transport::StatusCode send(Message& message) noexcept = 0;
    virtual Transport::StatusCode send(Message&& message) noexcept = 0;
    /// Asynchronous send; the caller's message is never modified.
    virtual void send(Message& message, send_handler_t callback) noexcept = 0;
    virtual void send(Message&& message, send_handler_t callback) noexcept = 0;
    /// Closes the connection(s).
    virtual Transport::StatusCode close() noexcept = 0;
    /// Runs the transport class's event loop on the calling thread until it is
    /// stopped or out of work.
    virtual Transport::StatusCode start() noexcept = 0;
    /// Stops that event loop.
    virtual void stop() noexcept = 0;
    /// Whether an asynchronous receive / send is outstanding.
    virtual bool recv_pending() const noexcept = 0;
    virtual bool send_pending() const noexcept = 0;
    /// The socket's stages; fill before connecting or accepting.
    virtual Pipeline& pipeline() noexcept = 0;
    /// The deadlines of later operations (see Timeouts); a step that runs out
    /// of time reports TRANSPORT_STATUS_TIMEOUT with a text naming the step.
    virtual void timeouts(const Timeouts& timeouts) noexcept = 0;
    virtual Timeouts timeouts() const noexcept = 0;
};

} // namespace korvane
