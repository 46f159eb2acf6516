// Public-key sealing stage. The X25519 agreement is done once per key change
// (BoxState), not per message: each box then costs only XSalsa20-Poly1305.
#include "pipeline/encoder/Encryptor.hpp"

#include <cstring>
#include <utility>

#include "pipeline/BoxState.hpp"
#include "pipeline/StageResult.hpp"

namespace korvane {

namespace xs = crypto::XSalsa20;
using Status = Transport::StatusCode;

Encryptor::Encryptor() : Encryptor(xs::EXAMPLE_PUBLIC_KEY, xs::EXAMPLE_SECRET_KEY) {}

Encryptor::Encryptor(const unsigned char* public_key, const unsigned char* secret_key)
    : m_state(std::make_unique<detail::BoxState>(public_key, secret_key))
{
}

Encryptor::~Encryptor() = default;

Message Encryptor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    Message output(xs::encrypted_size_asymmetric(input.length()));
    const bool keyed = m_state->next_message();
    if (!keyed
        || !xs::encrypt_asymmetric(input.buffer(), output.buffer(), input.length(), m_state->nonce,
                                   m_state->shared_key)) {
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
    return new Encryptor(m_state->public_key, m_state->secret_key);
}

const Encryptor::public_key_t& Encryptor::public_key() const
{
    return m_state->public_key;
}

Encryptor::public_key_t& Encryptor::public_key()
{
    return m_state->public_key;
}

void Encryptor::public_key(const unsigned char* public_key)
{
    m_state->replace_public_key(public_key);
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
