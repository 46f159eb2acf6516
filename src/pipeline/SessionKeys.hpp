// What the session stages share with the session handshake: the long-term
// identity (kept by clones) and the running state of one direction (never
// cloned): its key, installed by the handshake, and its message counter.
#pragma once

#include <cstdint>
#include <memory>

#include "message/Message.hpp"
#include "pipeline/SessionPeers.hpp"
#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

constexpr std::size_t SESSION_KEY_SIZE = 32;
constexpr std::size_t SESSION_TAG_SIZE = 16;

/// This end's long-term key pair and the peers it accepts. Immutable once
/// built, so clones of a stage share it.
struct SessionIdentity {
    SessionIdentity(const unsigned char* public_key, const unsigned char* secret_key, session_peer_keys_t accepted);
    ~SessionIdentity();
    SessionIdentity(const SessionIdentity&) = delete;
    SessionIdentity& operator=(const SessionIdentity&) = delete;

    /// True when `key` (32 bytes) is in the accepted set, or the set is empty.
    bool accepts(const unsigned char* key) const;
    bool same_as(const SessionIdentity& other) const;

    unsigned char public_key[SESSION_KEY_SIZE];
    unsigned char secret_key[SESSION_KEY_SIZE];
    session_peer_keys_t accepted;
};

/// One direction of an established session: XChaCha20-Poly1305 (IETF) under
/// the direction's key, nonce = the 64-bit message counter, big-endian, in the
/// last 8 of 24 bytes. Each handshake makes fresh keys, so no key and nonce
/// pair recurs. A failure to open is final: the stream is out of step or
/// under attack.
class SessionChannel {
public:
    SessionChannel() = default;
    ~SessionChannel();
    SessionChannel(const SessionChannel&) = delete;
    SessionChannel& operator=(const SessionChannel&) = delete;

    /// Starts the direction under `key` at `counter`.
    void install(const unsigned char* key, std::uint64_t counter = 0);
    bool established() const { return m_established; }

    /// n bytes -> n + 16. The counter advances only on success.
    Message seal(Message input, Transport::StatusCode* status);
    /// n + 16 bytes -> n; every failure is final for this channel.
    Message open(Message input, Transport::StatusCode* status);

private:
    void nonce(unsigned char* out) const;

    unsigned char m_key[SESSION_KEY_SIZE] = {};
    std::uint64_t m_counter = 0;
    bool m_established = false;
    bool m_broken = false;
};

/// The state behind one session stage.
struct SessionKeys {
    explicit SessionKeys(std::shared_ptr<const SessionIdentity> identity) : identity(std::move(identity)) {}
    /// A stage's state from its constructor arguments (libsodium initialised).
    static std::unique_ptr<SessionKeys> create(const unsigned char* public_key, const unsigned char* secret_key,
                                               session_peer_keys_t accepted);

    std::shared_ptr<const SessionIdentity> identity;
    SessionChannel channel;
};

} // namespace detail
} // namespace korvane
