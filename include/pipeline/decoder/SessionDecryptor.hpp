// Decoder of a secure session, the mirror of SessionEncryptor: opens each
// frame under the key the handshake derived for the peer's direction, with
// the counter of frames opened so far. A replayed, reordered, dropped or
// altered frame fails, and so does every frame after it.
#pragma once

#include <memory>

#include "pipeline/Decoder.hpp"
#include "pipeline/SessionPeers.hpp"

namespace korvane {
namespace detail {
struct SessionKeys;
class SessionHandshake;
} // namespace detail

class SessionDecryptor : public Decoder {
public:
    /// The same keys and accepted peers as this end's SessionEncryptor
    /// (the handshake refuses a pipeline whose two stages differ).
    SessionDecryptor(const unsigned char* public_key, const unsigned char* secret_key,
                     session_peer_keys_t accepted_peers = {});
    ~SessionDecryptor() override;

    SessionDecryptor(const SessionDecryptor&) = delete;
    SessionDecryptor(SessionDecryptor&&) = delete;
    SessionDecryptor& operator=(const SessionDecryptor&) = delete;
    SessionDecryptor& operator=(SessionDecryptor&&) = delete;

    /// Opens `input` (n + 16 bytes -> n). Fails with
    /// TRANSPORT_STATUS_PIPELINE_DECODE_ERROR on a null input, before the
    /// handshake ("Session not established"), and with "XChaCha20-Poly1305
    /// algorithm error" on any body that does not open, after which every
    /// later call fails too. Calls must not overlap and come in arrival order.
    Message process(Message input, Transport::StatusCode* status) override;
    /// Same long-term keys and accepted peers, no session; owned by the caller.
    SessionDecryptor* clone() const override;
    /// True: the socket closes the connection at the first failure.
    bool fails_closed() const noexcept override { return true; }

    /// This end's long-term public key (32 bytes).
    const unsigned char* public_key() const;

protected:
    explicit SessionDecryptor(const SessionDecryptor& prototype, int);

    std::unique_ptr<detail::SessionKeys> m_keys;

private:
    friend class detail::SessionHandshake;
};

} // namespace korvane
