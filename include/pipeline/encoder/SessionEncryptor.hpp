// Encoder of a secure session: seals each message with XChaCha20-Poly1305
// under a key that the session handshake derived for this direction of this
// connection only. Built from this end's long-term key pair and the peers it
// accepts; a socket whose pipeline holds it runs the session handshake on
// every new connection. Pair it with a SessionDecryptor on both ends. The
// handshake fails connect and accept with TRANSPORT_STATUS_ACCESS_DENIED:
// "Peer key not accepted" or "Peer authentication failed" (the peer does not
// hold the secret key of the public key it sent).
#pragma once

#include <memory>

#include "pipeline/Encoder.hpp"
#include "pipeline/SessionPeers.hpp"

namespace korvane {
namespace detail {
struct SessionKeys;
class SessionHandshake;
} // namespace detail

class SessionEncryptor : public Encoder {
public:
    /// Copies 32 bytes from each key. `accepted_peers` empty accepts any peer
    /// key: confidentiality against eavesdroppers only, no authentication.
    SessionEncryptor(const unsigned char* public_key, const unsigned char* secret_key,
                     session_peer_keys_t accepted_peers = {});
    ~SessionEncryptor() override;

    SessionEncryptor(const SessionEncryptor&) = delete;
    SessionEncryptor(SessionEncryptor&&) = delete;
    SessionEncryptor& operator=(const SessionEncryptor&) = delete;
    SessionEncryptor& operator=(SessionEncryptor&&) = delete;

    /// Seals `input` (n bytes -> n + 16); the counter advances only when a
    /// body is produced. Fails, with TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, on
    /// a null input, before the handshake ("Session not established") and at
    /// counter exhaustion; with TRANSPORT_STATUS_MSG_TOO_LARGE when the body
    /// would exceed a frame. Calls must not overlap and must come in wire order.
    Message process(Message input, Transport::StatusCode* status) override;
    /// Same long-term keys and accepted peers, no session; owned by the caller.
    SessionEncryptor* clone() const override;
    /// True: every sealed body spends a counter value.
    bool spends_per_message() const noexcept override { return true; }
    /// `length` + 16.
    korvane_buf_len_t max_output_length(korvane_buf_len_t length) const noexcept override { return length + 16; }

    /// This end's long-term public key (32 bytes).
    const unsigned char* public_key() const;

protected:
    explicit SessionEncryptor(const SessionEncryptor& prototype, int);

    std::unique_ptr<detail::SessionKeys> m_keys;

private:
    friend class detail::SessionHandshake;
};

} // namespace korvane
