// Decoder that opens each message sealed by the peer's Encryptor:
// a 16-byte Poly1305 tag, then the ciphertext. The nonce is never sent; it is
// the decimal counter of messages this stage has been given, so it must see
// every sealed message, once, in order.
#pragma once

#include <memory>

#include "pipeline/Decoder.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {
struct BoxState;
}

class Decryptor : public Decoder {
public:
    using public_key_t = crypto::XSalsa20::xsalsa20_asymmetric_public_key_t;

    /// The example key pair, which both ends share: confidentiality only
    /// against those who do not know it (it ships in every build).
    Decryptor();
    /// Copies 32 bytes from each; the public key is this end's until the key
    /// exchange replaces it with the peer's.
    Decryptor(const unsigned char* public_key, const unsigned char* secret_key);
    /// Wipes the secret and shared keys.
    ~Decryptor() override;

    Decryptor(const Decryptor&) = delete;
    Decryptor(Decryptor&&) = delete;
    Decryptor& operator=(const Decryptor&) = delete;
    Decryptor& operator=(Decryptor&&) = delete;

    /// Opens `input` (n bytes -> n - 16). Every non-null input consumes one
    /// counter value, opened or not, so a tampered message does not put later
    /// ones out of step. A null input fails with "Zero length input" and
    /// TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR (counter untouched); a body
    /// under 16 bytes, a wrong key or counter, or altered bytes fail with
    /// "XSalsa20 algorithm error" and TRANSPORT_STATUS_PIPELINE_DECODE_ERROR.
    /// Calls must not overlap and must come in the order frames arrived.
    Message process(Message input, Transport::StatusCode* status) override;
    /// Same keys, counter back at zero; owned by the caller.
    Decryptor* clone() const override;
    /// True: after a failed open the counters of the two ends may differ.
    bool fails_closed() const noexcept override { return true; }

    /// The public key used for opening (this end's before the exchange, the
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
