// Public-key opening stage, the mirror of Encryptor: one X25519 agreement per
// key change, and one counter value per non-null input whatever the outcome.
#include "pipeline/decoder/Decryptor.hpp"

#include <sodium.h>

#include <cstring>
#include <utility>

#include "pipeline/CounterNonce.hpp"
#include "pipeline/SharedKey.hpp"
#include "pipeline/StageResult.hpp"

namespace korvane {

namespace xs = crypto::XSalsa20;
using Status = Transport::StatusCode;

namespace {

const korvane_buf_len_t TAG_SIZE = crypto_box_MACBYTES;

} // namespace

Decryptor::Decryptor() : Decryptor(xs::EXAMPLE_PUBLIC_KEY, xs::EXAMPLE_SECRET_KEY) {}

Decryptor::Decryptor(const unsigned char* public_key, const unsigned char* secret_key)
    : m_nonce(), m_secret_key(), m_public_key(), m_count(0), m_shared_key(), m_shared_key_valid(false),
      m_shared_key_source(), m_nonce_next(0)
{
    xs::init();
    std::memcpy(m_public_key, public_key, sizeof m_public_key);
    std::memcpy(m_secret_key, secret_key, sizeof m_secret_key);
    precompute();
}

Decryptor::~Decryptor()
{
    xs::wipe(m_shared_key, sizeof m_shared_key);
    xs::wipe(m_secret_key, sizeof m_secret_key);
    xs::wipe(m_shared_key_source, sizeof m_shared_key_source);
}

void Decryptor::precompute()
{
    detail::precompute_shared_key(m_shared_key, m_shared_key_valid, m_shared_key_source, m_public_key, m_secret_key);
}

void Decryptor::refresh_shared_key()
{
    detail::refresh_shared_key(m_shared_key, m_shared_key_valid, m_shared_key_source, m_public_key, m_secret_key);
}

void Decryptor::advance_nonce(korvane_size_t k)
{
    detail::advance_counter_nonce(m_nonce, m_nonce_next, k);
}

Message Decryptor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    refresh_shared_key();
    advance_nonce(m_count++);
    if (input.length() < TAG_SIZE || !m_shared_key_valid) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR,
                                     "XSalsa20 algorithm error");
    }
    Message output(xs::dencrypted_size_asymmetric(input.length()));
    // A bare tag opens to nothing; libsodium still wants somewhere to write.
    unsigned char empty = 0;
    void* dest = output.null() ? static_cast<void*>(&empty) : output.buffer();
    if (!xs::decrypt_asymmetric(input.buffer(), dest, input.length(), m_nonce, m_shared_key)) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR,
                                     "XSalsa20 algorithm error");
    }
    return detail::stage_success(status, std::move(output));
}

Decryptor* Decryptor::clone() const
{
    return new Decryptor(m_public_key, m_secret_key);
}

const Decryptor::public_key_t& Decryptor::public_key() const
{
    return m_public_key;
}

Decryptor::public_key_t& Decryptor::public_key()
{
    return m_public_key;
}

void Decryptor::public_key(const unsigned char* public_key)
{
    std::memcpy(m_public_key, public_key, sizeof m_public_key);
    precompute();
}

bool Decryptor::public_key_equal(const public_key_t& lhs, const public_key_t& rhs)
{
    return xs::public_key_equal(lhs, rhs);
}

korvane_size_t Decryptor::public_key_length()
{
    return sizeof(public_key_t);
}

} // namespace korvane
