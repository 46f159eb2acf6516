// Secret-key and public-key authenticated encryption over libsodium, with
// source-before-destination argument order and a decimal counter nonce.
// Every function may be called from any thread once init() returned true.
#pragma once

#include "Types.hpp"

namespace korvane {
namespace crypto {
namespace XSalsa20 {

typedef unsigned char xsalsa20_nonce_t[24];
typedef unsigned char xsalsa20_key_t[32];
typedef unsigned char xsalsa20_asymmetric_nonce_t[24];
typedef unsigned char xsalsa20_asymmetric_public_key_t[32];
typedef unsigned char xsalsa20_asymmetric_secret_key_t[32];
/// X25519 shared key of one public and one secret key, precomputed once so
/// that each box costs only the stream cipher and the tag.
typedef unsigned char xsalsa20_asymmetric_shared_key_t[32];

/// The default key pair of the encryption stages. It is public: two peers
/// that keep it authenticate nothing. Generate your own with key_pair().
extern const xsalsa20_asymmetric_public_key_t EXAMPLE_PUBLIC_KEY;
extern const xsalsa20_asymmetric_secret_key_t EXAMPLE_SECRET_KEY;

/// Initialises libsodium; true unless it failed. Repeated calls are harmless.
bool init();

/// 24 random bytes.
void nonce(xsalsa20_nonce_t& nonce);
/// Counter nonce: `value` in decimal, right-aligned in 24 ASCII characters
/// padded with '0' (0 gives 24 bytes of 0x30).
void nonce(xsalsa20_nonce_t& nonce, korvane_size_t value);
/// 32 random bytes.
void key(xsalsa20_key_t& key);
/// A new X25519 key pair.
void key_pair(xsalsa20_asymmetric_public_key_t& public_key, xsalsa20_asymmetric_secret_key_t& secret_key);

/// Secret-key box: writes src_length + 16 bytes to `dest`. True on success.
bool encrypt(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
             const xsalsa20_nonce_t& nonce, const xsalsa20_key_t& key);
/// Opens a secret-key box: writes src_length - 16 bytes. False when the box
/// does not authenticate or is shorter than its 16-byte tag.
bool decrypt(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
             const xsalsa20_nonce_t& nonce, const xsalsa20_key_t& key);

/// Public-key box to the owner of `public_key` from the owner of `secret_key`:
/// writes src_length + 16 bytes (tag, then ciphertext).
bool encrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_public_key_t& public_key,
                        const xsalsa20_asymmetric_secret_key_t& secret_key);
/// Opens a public-key box from the owner of `public_key`: writes
/// src_length - 16 bytes. False on any authentication failure.
bool decrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_public_key_t& public_key,
                        const xsalsa20_asymmetric_secret_key_t& secret_key);

/// Computes the shared key of `public_key` (the peer's) and `secret_key`
/// (this end's). False when the peer's key is a degenerate point; `shared_key`
/// is then zeroed and must not be used.
bool shared_key(xsalsa20_asymmetric_shared_key_t& shared_key,
                const xsalsa20_asymmetric_public_key_t& public_key,
                const xsalsa20_asymmetric_secret_key_t& secret_key);
/// encrypt_asymmetric() with a precomputed shared key: the same bytes.
bool encrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_shared_key_t& shared_key);
/// decrypt_asymmetric() with a precomputed shared key.
bool decrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_shared_key_t& shared_key);
/// Overwrites `length` bytes of key material in a way the compiler keeps.
void wipe(void* key, korvane_size_t length);

/// `size` + 16.
korvane_buf_len_t encrypted_size_asymmetric(korvane_buf_len_t size);
/// `size` - 16.
korvane_buf_len_t dencrypted_size_asymmetric(korvane_buf_len_t size);

/// True when the two 32-byte keys are equal.
bool public_key_equal(const xsalsa20_asymmetric_public_key_t& lhs, const xsalsa20_asymmetric_public_key_t& rhs);

} // namespace XSalsa20
} // namespace crypto
} // namespace korvane
