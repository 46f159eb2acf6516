// Sealing and opening of session frames, and the identity behind them.
#include "pipeline/SessionKeys.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "pipeline/StageResult.hpp"
#include "util/Endianness.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == SESSION_KEY_SIZE, "session key size");
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == SESSION_TAG_SIZE, "session tag size");

// The framer's limit on a payload: a body beyond it could never be sent.
constexpr korvane_buf_len_t MAX_SEALED_SIZE = 5242880;
const char AEAD_ERROR[] = "XChaCha20-Poly1305 algorithm error";

} // namespace

SessionIdentity::SessionIdentity(const unsigned char* public_key_in, const unsigned char* secret_key_in,
                                 session_peer_keys_t accepted_in)
    : accepted(std::move(accepted_in))
{
    std::memcpy(public_key, public_key_in, sizeof public_key);
    std::memcpy(secret_key, secret_key_in, sizeof secret_key);
}

SessionIdentity::~SessionIdentity()
{
    sodium_memzero(secret_key, sizeof secret_key);
}

bool SessionIdentity::accepts(const unsigned char* key) const
{
    return accepted.empty() || std::any_of(accepted.begin(), accepted.end(), [key](const session_peer_key_t& k) {
               return sodium_memcmp(k.data(), key, SESSION_KEY_SIZE) == 0;
           });
}

bool SessionIdentity::same_as(const SessionIdentity& other) const
{
    return std::memcmp(public_key, other.public_key, sizeof public_key) == 0
           && sodium_memcmp(secret_key, other.secret_key, sizeof secret_key) == 0 && accepted == other.accepted;
}

std::unique_ptr<SessionKeys> SessionKeys::create(const unsigned char* public_key, const unsigned char* secret_key,
                                                 session_peer_keys_t accepted)
{
    crypto::XSalsa20::init();
    return std::make_unique<SessionKeys>(
        std::make_shared<const SessionIdentity>(public_key, secret_key, std::move(accepted)));
}

SessionChannel::~SessionChannel()
{
    sodium_memzero(m_key, sizeof m_key);
}

void SessionChannel::install(const unsigned char* key, std::uint64_t counter)
{
    std::memcpy(m_key, key, sizeof m_key);
    m_counter = counter;
    m_established = true;
    m_broken = false;
}

void SessionChannel::nonce(unsigned char* out) const
{
    std::memset(out, 0, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES - 8);
    endian::store_big64(out + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES - 8, m_counter);
}

Message SessionChannel::seal(Message input, Status* status)
{
    if (input.null()) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    if (!m_established) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Session not established");
    }
    if (input.length() > MAX_SEALED_SIZE - static_cast<korvane_buf_len_t>(SESSION_TAG_SIZE)) {
        if (status != nullptr) {
            *status = Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE,
                             "Message of size " + std::to_string(input.length()) + " too large to seal");
        }
        return Message();
    }
    if (m_counter == std::numeric_limits<std::uint64_t>::max()) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Session counter exhausted");
    }
    Message output(input.length() + static_cast<korvane_buf_len_t>(SESSION_TAG_SIZE));
    if (output.null()) {
        return stage_failure(status, Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory");
    }
    unsigned char nonce_bytes[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    nonce(nonce_bytes);
    if (crypto_aead_xchacha20poly1305_ietf_encrypt(static_cast<unsigned char*>(output.buffer()), nullptr,
                                                   static_cast<const unsigned char*>(input.buffer()),
                                                   static_cast<unsigned long long>(input.length()), nullptr, 0,
                                                   nullptr, nonce_bytes, m_key)
        != 0) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, AEAD_ERROR);
    }
    ++m_counter;
    return stage_success(status, std::move(output));
}

Message SessionChannel::open(Message input, Status* status)
{
    if (input.null()) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "Zero length input");
    }
    if (!m_established) {
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "Session not established");
    }
    if (m_broken || input.length() <= static_cast<korvane_buf_len_t>(SESSION_TAG_SIZE)
        || m_counter == std::numeric_limits<std::uint64_t>::max()) {
        m_broken = true;
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, AEAD_ERROR);
    }
    Message output(input.length() - static_cast<korvane_buf_len_t>(SESSION_TAG_SIZE));
    if (output.null()) {
        return stage_failure(status, Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory");
    }
    unsigned char nonce_bytes[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    nonce(nonce_bytes);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(static_cast<unsigned char*>(output.buffer()), nullptr, nullptr,
                                                   static_cast<const unsigned char*>(input.buffer()),
                                                   static_cast<unsigned long long>(input.length()), nullptr, 0,
                                                   nonce_bytes, m_key)
        != 0) {
        m_broken = true;
        return stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, AEAD_ERROR);
    }
    ++m_counter;
    return stage_success(status, std::move(output));
}

} // namespace detail
} // namespace korvane
