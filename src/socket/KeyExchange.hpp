// The plain public key exchange: each end sends the public key of its
// Encryptor as one 32-byte frame and installs the peer's in its first
// Encryptor and Decryptor. Both ends send first, so it is symmetric.
#pragma once

#include <memory>

#include "socket/Handshake.hpp"

namespace korvane {
namespace detail {

class KeyExchange : public Handshake {
public:
    /// The exchange `pipeline` needs: null with OKAY when it lacks an
    /// Encryptor or a Decryptor; null with TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// "Encryptor and decryptor public keys differ" when their keys differ.
    static std::unique_ptr<Handshake> for_pipeline(Pipeline& pipeline, Transport::StatusCode* status);

    KeyExchange(Pipeline::EncoderEntry encryptor, Pipeline::DecoderEntry decryptor);

    /// Our key frame.
    Step start() override;
    /// Installs a 32-byte key; anything else fails with
    /// TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED "Invalid public key length".
    Step receive(Message frame) override;
    /// The same "Invalid public key length": the key never came.
    Transport::StatusCode peer_closed() const override;
    std::string timeout_text() const override { return "Key exchange timed out"; }

private:
    Pipeline::EncoderEntry m_encryptor;
    Pipeline::DecoderEntry m_decryptor;
};

} // namespace detail
} // namespace korvane
