// The precomputed X25519 shared key of the encryption stages, recomputed
// whenever either key behind it changes. Both stages keep the same state.
#pragma once

#include <cstring>

#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {

/// Derives `shared` from the two keys and records them in `source`
/// (public key, then secret key). `valid` is false for a degenerate key.
inline void precompute_shared_key(crypto::XSalsa20::xsalsa20_asymmetric_shared_key_t& shared, bool& valid,
                                  unsigned char (&source)[64],
                                  const crypto::XSalsa20::xsalsa20_asymmetric_public_key_t& public_key,
                                  const crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t& secret_key)
{
    valid = crypto::XSalsa20::shared_key(shared, public_key, secret_key);
    std::memcpy(source, public_key, sizeof public_key);
    std::memcpy(source + sizeof public_key, secret_key, sizeof secret_key);
}

/// Recomputes `shared` only when a key was written since the last derivation.
inline void refresh_shared_key(crypto::XSalsa20::xsalsa20_asymmetric_shared_key_t& shared, bool& valid,
                               unsigned char (&source)[64],
                               const crypto::XSalsa20::xsalsa20_asymmetric_public_key_t& public_key,
                               const crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t& secret_key)
{
    if (std::memcmp(source, public_key, sizeof public_key) != 0 ||
        std::memcmp(source + sizeof public_key, secret_key, sizeof secret_key) != 0) {
        precompute_shared_key(shared, valid, source, public_key, secret_key);
    }
}

} // namespace detail
} // namespace korvane
