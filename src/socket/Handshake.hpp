// The opening exchange of a new connection, written as a state machine over
// whole frames so that one driver can run it blocking on the caller's thread
// or asynchronously on the loop, under the handshake deadline. The plain
// public key exchange and the session handshake are its two kinds.
#pragma once

#include <memory>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/Pipeline.hpp"
#include "transport/Transport.hpp"

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
};

/// The handshake `pipeline` needs on a new connection, or null when it needs
/// none. `initiator` is true on the connecting side, false on the accepting
/// one. A pipeline whose stages cannot work together yields a null handshake
/// and a failing `*status`.
std::unique_ptr<Handshake> handshake_for(Pipeline& pipeline, bool initiator, Transport::StatusCode* status);

} // namespace detail
} // namespace korvane
