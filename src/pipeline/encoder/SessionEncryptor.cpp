// The encoder stage of a secure session; the channel does the cryptography.
#include "pipeline/encoder/SessionEncryptor.hpp"

#include <utility>

#include "pipeline/SessionKeys.hpp"

namespace korvane {

SessionEncryptor::SessionEncryptor(const unsigned char* public_key, const unsigned char* secret_key, session_peer_keys_t accepted_peers)
    : m_keys(detail::SessionKeys::create(public_key, secret_key, std::move(accepted_peers)))
{
}

SessionEncryptor::SessionEncryptor(const SessionEncryptor& prototype, int)
    : m_keys(std::make_unique<detail::SessionKeys>(prototype.m_keys->identity))
{
}

SessionEncryptor::~SessionEncryptor() = default;

Message SessionEncryptor::process(Message input, Transport::StatusCode* status)
{
    return m_keys->channel.seal(std::move(input), status);
}

SessionEncryptor* SessionEncryptor::clone() const
{
    return new SessionEncryptor(*this, 0);
}

const unsigned char* SessionEncryptor::public_key() const
{
    return m_keys->identity->public_key;
}

} // namespace korvane
