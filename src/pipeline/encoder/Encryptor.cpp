// Public-key sealing stage. The X25519 agreement is done once per key change
// (precompute), not per message: each box then costs only XSalsa20-Poly1305.
#include "pipeline/encoder/Encryptor.hpp"

#include <cstring>
#include <utility>

#include "pipeline/CounterNonce.hpp"
#include "pipeline/SharedKey.hpp"
#include "pipeline/StageResult.hpp"

namespace korvane {

namespace xs = crypto::XSalsa20;
using Status = Transport::StatusCode;

Encryptor::Encryptor() : Encryptor(xs::EXAMPLE_PUBLIC_KEY, xs::EXAMPLE_SECRET_KEY) {}

Encryptor::Encryptor(const unsigned char* public_key, const unsigned char* secret_key)
    : m_nonce(), m_secret_key(), m_public_key(), m_count(0), m_shared_key(), m_shared_key_valid(false),
      m_shared_key_source(), m_nonce_next(0)
{
    xs::init();
    std::memcpy(m_public_key, public_key, sizeof m_public_key);
    std::memcpy(m_secret_key, secret_key, sizeof m_secret_key);
    precompute();
}

Encryptor::~Encryptor()
{
    xs::wipe(m_shared_key, sizeof m_shared_key);
    xs::wipe(m_secret_key, sizeof m_secret_key);
    xs::wipe(m_shared_key_source, sizeof m_shared_key_source);
}

void Encryptor::precompute()
{
    detail::precompute_shared_key(m_shared_key, m_shared_key_valid, m_shared_key_source, m_public_key, m_secret_key);
}

void Encryptor::refresh_shared_key()
{
    detail::refresh_shared_key(m_shared_key, m_shared_key_valid, m_shared_key_source, m_public_key, m_secret_key);
}

void Encryptor::advance_nonce(korvane_size_t k)
{
    detail::advance_counter_nonce(m_nonce, m_nonce_next, k);
}

Message Encryptor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    Message output(xs::encrypted_size_asymmetric(input.length()));
    refresh_shared_key();
    advance_nonce(m_count++);
    if (!m_shared_key_valid
        || !xs::encrypt_asymmetric(input.buffer(), output.buffer(), input.length(), m_nonce, m_shared_key)) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR,
                                     "XSalsa20 algorithm error");
    }
    return detail::stage_success(status, std::move(output));
}

korvane_buf_len_t Encryptor::max_output_length(korvane_buf_len_t length) const noexcept
{
    return static_cast<korvane_buf_len_t>(xs::encrypted_size_asymmetric(length));
}

Encryptor* Encryptor::clone() const
{
    return new Encryptor(m_public_key, m_secret_key);
}

const Encryptor::public_key_t& Encryptor::public_key() const
{
    return m_public_key;
}

Encryptor::public_key_t& Encryptor::public_key()
{
    return m_public_key;
}

void Encryptor::public_key(const unsigned char* public_key)
{
    std::memcpy(m_public_key, public_key, sizeof m_public_key);
    precompute();
}

bool Encryptor::public_key_equal(const public_key_t& lhs, const public_key_t& rhs)
{
    return xs::public_key_equal(lhs, rhs);
}

korvane_size_t Encryptor::public_key_length()
{
    return sizeof(public_key_t);
}

} // namespace korvane
