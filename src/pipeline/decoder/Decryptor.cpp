// Public-key opening stage, the mirror of Encryptor: one X25519 agreement per
// key change, and one counter value per non-null input whatever the outcome.
#include "pipeline/decoder/Decryptor.hpp"

#include <sodium.h>

#include <cstring>
#include <utility>

#include "message/MessageView.hpp"
#include "pipeline/BoxState.hpp"
#include "pipeline/StageResult.hpp"

namespace korvane {

namespace xs = crypto::XSalsa20;
using Status = Transport::StatusCode;

namespace {

const korvane_buf_len_t TAG_SIZE = crypto_box_MACBYTES;

} // namespace

Decryptor::Decryptor() : Decryptor(xs::EXAMPLE_PUBLIC_KEY, xs::EXAMPLE_SECRET_KEY) {}

Decryptor::Decryptor(const unsigned char* public_key, const unsigned char* secret_key)
    : m_state(std::make_unique<detail::BoxState>(public_key, secret_key))
{
}

Decryptor::~Decryptor() = default;

Message Decryptor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    const bool keyed = m_state->next_message();
    if (input.length() < TAG_SIZE || !keyed) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR,
                                     "XSalsa20 algorithm error");
    }
    // The input is ours: it opens in place, the plaintext over the ciphertext
    // behind the tag, and the result shares its buffer. A forged box leaves
    // it untouched (libsodium checks the tag before it writes).
    char* box = static_cast<char*>(input.buffer());
    if (!xs::decrypt_asymmetric(box, box + TAG_SIZE, input.length(), m_state->nonce, m_state->shared_key)) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR,
                                     "XSalsa20 algorithm error");
    }
    return detail::stage_success(status, detail::tail_view(input, TAG_SIZE));
}

Decryptor* Decryptor::clone() const
{
    return new Decryptor(m_state->public_key, m_state->secret_key);
}

const Decryptor::public_key_t& Decryptor::public_key() const
{
    return m_state->public_key;
}

Decryptor::public_key_t& Decryptor::public_key()
{
    return m_state->public_key;
}

void Decryptor::public_key(const unsigned char* public_key)
{
    m_state->replace_public_key(public_key);
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
