// Counter nonces for the encryption stages, made by a decimal increment of the
// previous one: the same 24 bytes as XSalsa20::nonce(nonce, k), without
// formatting a number for every message.
#pragma once

#include <cstddef>

#include "util/XSalsa20.hpp"

namespace korvane {
namespace detail {

/// Turns `nonce`, which holds the counter nonce of k - 1, into that of k. For
/// k = 0, or when `nonce` holds no counter nonce, formats k afresh.
inline void next_counter_nonce(crypto::XSalsa20::xsalsa20_asymmetric_nonce_t& nonce, korvane_size_t k)
{
    // A 64-bit counter has at most 20 digits: the first byte is always '0'.
    if (k == 0 || nonce[0] != '0') {
        crypto::XSalsa20::nonce(nonce, k);
        return;
    }
    for (std::size_t i = sizeof nonce; i-- > 0;) {
        if (nonce[i] != '9') {
            ++nonce[i];
            return;
        }
        nonce[i] = '0';
    }
}

/// Fills `nonce` with the counter nonce of `k`: an increment when `k` is the
/// `next` value the previous nonce leads to, formatted afresh otherwise (the
/// counter may have been set directly). `next` then becomes k + 1.
inline void advance_counter_nonce(crypto::XSalsa20::xsalsa20_asymmetric_nonce_t& nonce, korvane_size_t& next,
                                  korvane_size_t k)
{
    if (k != 0 && k == next) {
        next_counter_nonce(nonce, k);
    } else {
        crypto::XSalsa20::nonce(nonce, k);
    }
    next = k + 1;
}

} // namespace detail
} // namespace korvane
