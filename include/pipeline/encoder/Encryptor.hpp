// Encoder that seals each message for the peer with a public-key box:
// a 16-byte Poly1305 tag, then the ciphertext. The nonce is never sent; it is
// the decimal counter of messages this stage has sealed, so the peer's
// Decryptor must see every sealed message, once, in order.
#pragma once

#include <memory>

#include "pipeline/Encoder.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {
struct BoxState;
}

class Encryptor : public Encoder {
public:
    using public_key_t = crypto::XSalsa20::xsalsa20_asymmetric_public_key_t;

    /// The example key pair, which both ends share: confidentiality only
    /// against those who do not know it (it ships in every build).
    Encryptor();
    /// Copies 32 bytes from each; the public key is this end's until the key
    /// exchange replaces it with the peer's.
    Encryptor(const unsigned char* public_key, const unsigned char* secret_key);
    /// Wipes the secret and shared keys.
    ~Encryptor() override;

    Encryptor(const Encryptor&) = delete;
    Encryptor(Encryptor&&) = delete;
    Encryptor& operator=(const Encryptor&) = delete;
    Encryptor& operator=(Encryptor&&) = delete;

    /// Seals `input` (n bytes -> n + 16) and consumes one counter value, even
    /// when sealing fails. Fails with TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR:
    /// "Zero length input" (counter untouched) or "XSalsa20 algorithm error".
    /// Calls must not overlap and must come in wire order.
    Message process(Message input, Transport::StatusCode* status) override;
    /// Same keys, counter back at zero; owned by the caller.
    Encryptor* clone() const override;
    /// True: every sealed message spends a counter value.
    bool spends_per_message() const noexcept override { return true; }
    /// `length` + 16.
    korvane_buf_len_t max_output_length(korvane_buf_len_t length) const noexcept override;
    /// True: the sealed bytes go to a new buffer.
    bool leaves_input_intact() const noexcept override { return true; }

    /// The public key used for sealing (this end's before the exchange, the
    /// peer's after it).
    const public_key_t& public_key() const;
    /// The same key, writable: a change is picked up by the next process().
    public_key_t& public_key();
    /// Replaces the public key with the 32 bytes at `public_key`; the counter
    /// and secret key stay. Only while no process() call runs.
    void public_key(const unsigned char* public_key);

    static bool public_key_equal(const public_key_t& lhs, const public_key_t& rhs);
    /// 32.
    static korvane_size_t public_key_length();

private:
    std::unique_ptr<detail::BoxState> m_state;
};

} // namespace korvane
