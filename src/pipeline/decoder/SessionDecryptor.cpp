// The decoder stage of a secure session; the channel does the cryptography.
#include "pipeline/decoder/SessionDecryptor.hpp"

#include <utility>

#include "pipeline/SessionKeys.hpp"

namespace korvane {

SessionDecryptor::SessionDecryptor(const unsigned char* public_key, const unsigned char* secret_key, session_peer_keys_t accepted_peers)
    : m_keys(detail::SessionKeys::create(public_key, secret_key, std::move(accepted_peers)))
{
}

SessionDecryptor::SessionDecryptor(const SessionDecryptor& prototype, int)
    : m_keys(std::make_unique<detail::SessionKeys>(prototype.m_keys->identity))
{
}

SessionDecryptor::~SessionDecryptor() = default;

Message SessionDecryptor::process(Message input, Transport::StatusCode* status)
{
    return m_keys->channel.open(std::move(input), status);
}

SessionDecryptor* SessionDecryptor::clone() const
{
    return new SessionDecryptor(*this, 0);
}

const unsigned char* SessionDecryptor::public_key() const
{
    return m_keys->identity->public_key;
}

} // namespace korvane
