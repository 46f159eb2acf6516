// The opening exchange of a new connection, written as a state machine over
// whole frames so that one driver can run it blocking on the caller's thread
// or asynchronously on the loop, under the handshake deadline. The plain
// public key exchange and the session handshake are its two kinds.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/Pipeline.hpp"
#include "transport/Transport.hpp"
#include "transport/TransportFramer.hpp"

namespace korvane {
namespace detail {

class Handshake {
public:
    /// What the driver does next: send `out` in order, then, unless `done`,
    /// read one frame and pass it to receive(). A failing status ends the
    /// handshake (after `out` was sent, if it holds anything).
    struct Step {
        std::vector<Message> out;
        bool done = false;
        Transport::StatusCode status;
    };

    virtual ~Handshake() = default;
    /// The first frames; called once.
    virtual Step start() = 0;
    /// One frame from the peer (never null: the driver ends the handshake at
    /// the peer's close).
    virtual Step receive(Message frame) = 0;
    /// What the handshake reports when the peer closes in an orderly way
    /// before it is done.
    virtual Transport::StatusCode peer_closed() const
    {
        return Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_BROKEN_PIPE,
                                     "Connection closed during the handshake");
    }
    /// The text of the TRANSPORT_STATUS_TIMEOUT reported when the handshake
    /// deadline passes.
    virtual std::string timeout_text() const { return "Handshake timed out"; }
};

/// The handshake `pipeline` needs on a new connection, or null when it needs
/// none. `initiator` is true on the connecting side, false on the accepting
/// one. A pipeline whose stages cannot work together yields a null handshake
/// and a failing `*status`.
std::unique_ptr<Handshake> handshake_for(Pipeline& pipeline, bool initiator, Transport::StatusCode* status);

using handshake_done_t = std::function<void(Transport::StatusCode)>;

/// Runs `handshake` to its end over `framer`, blocking this thread. Every
/// read and write is bounded by `deadline` (time_point::max() for none; the
/// transport's deadlines are cleared afterwards). The handshake's status, the
/// framer's failure, TRANSPORT_STATUS_TIMEOUT with the handshake's
/// timeout_text(), or TRANSPORT_STATUS_NO_MEMORY. Never throws.
Transport::StatusCode run_handshake(Handshake& handshake, TransportFramer& framer,
                                    Transport::clock_t::time_point deadline) noexcept;

/// The same through the framer's asynchronous calls: no thread waits on the
/// peer. `done` runs exactly once, on a loop thread, or on this thread before
/// the call returns when the handshake ends without waiting (nothing to
/// read, or a refusal). Both shared objects are kept alive until then.
void run_handshake_async(std::shared_ptr<Handshake> handshake, std::shared_ptr<TransportFramer> framer,
                         Transport::clock_t::time_point deadline, handshake_done_t done) noexcept;

} // namespace detail
} // namespace korvane
