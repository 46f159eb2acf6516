// The opening of a secure session. Both ends send, at once, a hello:
//
//   version (1 byte, 1) | long-term public key (32) | ephemeral public key (32)
//
// then, having checked the peer's hello, a 32-byte key confirmation. Keys come
// from the ephemeral-ephemeral agreement (crypto_kx, one key per direction),
// mixed with the two ephemeral-long-term agreements and the hash of both
// hellos; the confirmation proves that the sender holds the long-term secret
// key its hello claims and saw the same hellos. Forward secrecy comes from the
// ephemeral keys, which are wiped once the session keys exist.
#pragma once

#include <memory>
#include <string>

#include "socket/Handshake.hpp"

namespace korvane {

class SessionEncryptor;
class SessionDecryptor;

namespace detail {

/// Status texts and codes of a failed session handshake:
/// TRANSPORT_STATUS_ACCESS_DENIED "Peer key not accepted" (its long-term key
/// is not in the accepted set), "Peer authentication failed" (wrong or missing
/// confirmation, degenerate keys); TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
/// "Malformed session hello", "Unsupported session version", "Unexpected
/// handshake frame", and the pipeline checks of create().
class SessionHandshake : public Handshake {
public:
    /// The handshake for `pipeline`: null with the default status when it holds
    /// no session stage; null with TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED when
    /// it holds only one of the two, two with different keys, or a plain
    /// Encryptor/Decryptor beside them.
    static std::unique_ptr<Handshake> create(Pipeline& pipeline, bool initiator, Transport::StatusCode* status);

    /// Installs the session keys in the two stages once the peer confirmed;
    /// the stages must outlive the handshake's last call.
    SessionHandshake(std::shared_ptr<SessionEncryptor> encryptor, std::shared_ptr<SessionDecryptor> decryptor,
                     bool initiator);
    ~SessionHandshake() override;

    /// The hello; a fresh ephemeral key pair each time.
    Step start() override;
    /// The peer's hello (answered by the confirmation), then its confirmation.
    Step receive(Message frame) override;
    std::string timeout_text() const override { return "Session handshake timed out"; }

private:
    struct Secrets;

    Step on_hello(const Message& hello);
    Step on_confirmation(const Message& confirmation);
    /// Session keys and both confirmations from the peer's checked hello;
    /// false on a degenerate key.
    bool derive_keys(const unsigned char* peer_hello, unsigned char* confirmation);
    Step fail(Transport::StatusCode::transport_status_code_t code, const char* text);

    enum class State { fresh, awaiting_hello, awaiting_confirmation, done, failed };

    std::shared_ptr<SessionEncryptor> m_encryptor;
    std::shared_ptr<SessionDecryptor> m_decryptor;
    bool m_initiator;
    State m_state = State::fresh;
    std::unique_ptr<Secrets> m_secrets;
};

} // namespace detail
} // namespace korvane
