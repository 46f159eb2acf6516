// The key and counter state both encryption stages keep: the two keys, the
// X25519 shared key derived from them (recomputed only when either changes),
// and the counter whose decimal form is the nonce of each message.
#pragma once

#include <cstring>

#include "pipeline/CounterNonce.hpp"
#include "pipeline/SharedKey.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {

struct BoxState {
    BoxState(const unsigned char* public_key_bytes, const unsigned char* secret_key_bytes)
    {
        crypto::XSalsa20::init();
        std::memcpy(public_key, public_key_bytes, sizeof public_key);
        std::memcpy(secret_key, secret_key_bytes, sizeof secret_key);
        precompute();
    }

    ~BoxState()
    {
        crypto::XSalsa20::wipe(shared_key, sizeof shared_key);
        crypto::XSalsa20::wipe(secret_key, sizeof secret_key);
        crypto::XSalsa20::wipe(shared_key_source, sizeof shared_key_source);
    }

    BoxState(const BoxState&) = delete;
    BoxState& operator=(const BoxState&) = delete;

    void replace_public_key(const unsigned char* bytes)
    {
        std::memcpy(public_key, bytes, sizeof public_key);
        precompute();
    }

    /// Makes `nonce` that of the next counter value, which is spent, and
    /// refreshes the shared key if a key was written directly since. False
    /// when the keys give no usable shared key.
    bool next_message()
    {
        refresh_shared_key(shared_key, shared_key_valid, shared_key_source, public_key, secret_key);
        advance_counter_nonce(nonce, nonce_next, count++);
        return shared_key_valid;
    }

    crypto::XSalsa20::xsalsa20_asymmetric_nonce_t nonce = {};
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t secret_key = {};
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t public_key = {};
    korvane_size_t count = 0;
    crypto::XSalsa20::xsalsa20_asymmetric_shared_key_t shared_key = {};
    bool shared_key_valid = false;

private:
    void precompute() { precompute_shared_key(shared_key, shared_key_valid, shared_key_source, public_key, secret_key); }

    unsigned char shared_key_source[64] = {}; // public then secret key behind shared_key
    korvane_size_t nonce_next = 0;            // the counter value nonce's increment stands for
};

} // namespace detail
} // namespace korvane
