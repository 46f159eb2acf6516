// libsodium boxes with source-first arguments and the decimal counter nonce.
#include "util/XSalsa20.hpp"

#include <sodium.h>

#include <cstdio>
#include <cstring>

namespace korvane {
namespace crypto {
namespace XSalsa20 {

static_assert(sizeof(xsalsa20_nonce_t) == crypto_secretbox_NONCEBYTES, "secretbox nonce size");
static_assert(sizeof(xsalsa20_key_t) == crypto_secretbox_KEYBYTES, "secretbox key size");
static_assert(sizeof(xsalsa20_asymmetric_nonce_t) == crypto_box_NONCEBYTES, "box nonce size");
static_assert(sizeof(xsalsa20_asymmetric_public_key_t) == crypto_box_PUBLICKEYBYTES, "box public key size");
static_assert(sizeof(xsalsa20_asymmetric_secret_key_t) == crypto_box_SECRETKEYBYTES, "box secret key size");
static_assert(sizeof(xsalsa20_asymmetric_shared_key_t) == crypto_box_BEFORENMBYTES, "box shared key size");
static_assert(crypto_box_MACBYTES == 16 && crypto_secretbox_MACBYTES == 16, "tag size");

// A real X25519 pair, fixed for good: peers built from any version that keep
// the default stages must derive the same shared key.
const xsalsa20_asymmetric_public_key_t EXAMPLE_PUBLIC_KEY = {
    0xb3, 0x48, 0xf4, 0x55, 0x7e, 0x66, 0xbf, 0x4c, 0xb2, 0x3c, 0x3c, 0xfc, 0xef, 0xaf, 0x55, 0x81,
    0x6d, 0xa2, 0xed, 0x53, 0x5e, 0x55, 0x38, 0xb8, 0xf5, 0xa5, 0x28, 0xbd, 0xd9, 0xb4, 0xe0, 0x56,
};
const xsalsa20_asymmetric_secret_key_t EXAMPLE_SECRET_KEY = {
    0x44, 0x11, 0x8c, 0xe3, 0xc3, 0xc7, 0xeb, 0x52, 0x9b, 0xd7, 0xe1, 0x62, 0x33, 0x61, 0xd2, 0xcb,
    0xc6, 0xfb, 0x76, 0xf6, 0x6f, 0x13, 0xee, 0xfa, 0x44, 0x9a, 0xb8, 0x5c, 0x09, 0x28, 0x85, 0x0b,
};

namespace {

const unsigned char* bytes(korvane_const_buf_t buffer)
{
    return static_cast<const unsigned char*>(buffer);
}

unsigned char* bytes(korvane_buf_t buffer)
{
    return static_cast<unsigned char*>(buffer);
}

} // namespace

bool init()
{
    return sodium_init() != -1;
}

void nonce(xsalsa20_nonce_t& nonce)
{
    randombytes_buf(nonce, sizeof nonce);
}

void nonce(xsalsa20_nonce_t& nonce, korvane_size_t value)
{
    // 24 characters of '0' with the decimal digits right-aligned.
    char digits[21];
    const int count = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    std::memset(nonce, '0', sizeof nonce);
    std::memcpy(nonce + sizeof nonce - count, digits, static_cast<std::size_t>(count));
}

void key(xsalsa20_key_t& key)
{
    randombytes_buf(key, sizeof key);
}

void key_pair(xsalsa20_asymmetric_public_key_t& public_key, xsalsa20_asymmetric_secret_key_t& secret_key)
{
    crypto_box_keypair(public_key, secret_key);
}

bool encrypt(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
             const xsalsa20_nonce_t& nonce, const xsalsa20_key_t& key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_secretbox_easy(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce, key) == 0;
}

bool decrypt(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
             const xsalsa20_nonce_t& nonce, const xsalsa20_key_t& key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_secretbox_open_easy(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce,
                                      key) == 0;
}

bool encrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_public_key_t& public_key,
                        const xsalsa20_asymmetric_secret_key_t& secret_key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_box_easy(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce, public_key,
                           secret_key) == 0;
}

bool decrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce,
                        const xsalsa20_asymmetric_public_key_t& public_key,
                        const xsalsa20_asymmetric_secret_key_t& secret_key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_box_open_easy(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce,
                                public_key, secret_key) == 0;
}

bool shared_key(xsalsa20_asymmetric_shared_key_t& shared_key, const xsalsa20_asymmetric_public_key_t& public_key,
                const xsalsa20_asymmetric_secret_key_t& secret_key)
{
    if (crypto_box_beforenm(shared_key, public_key, secret_key) != 0) {
        sodium_memzero(shared_key, sizeof shared_key);
        return false;
    }
    return true;
}

bool encrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce, const xsalsa20_asymmetric_shared_key_t& shared_key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_box_easy_afternm(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce,
                                   shared_key) == 0;
}

bool decrypt_asymmetric(korvane_const_buf_t src, korvane_buf_t dest, korvane_buf_len_t src_length,
                        const xsalsa20_asymmetric_nonce_t& nonce, const xsalsa20_asymmetric_shared_key_t& shared_key)
{
    if (src_length < 0) {
        return false;
    }
    return crypto_box_open_easy_afternm(bytes(dest), bytes(src), static_cast<unsigned long long>(src_length), nonce,
                                        shared_key) == 0;
}

void wipe(void* key, korvane_size_t length)
{
    sodium_memzero(key, static_cast<std::size_t>(length));
}

korvane_buf_len_t encrypted_size_asymmetric(korvane_buf_len_t size)
{
    return size + static_cast<korvane_buf_len_t>(crypto_box_MACBYTES);
}

korvane_buf_len_t dencrypted_size_asymmetric(korvane_buf_len_t size)
{
    return size - static_cast<korvane_buf_len_t>(crypto_box_MACBYTES);
}

bool public_key_equal(const xsalsa20_asymmetric_public_key_t& lhs, const xsalsa20_asymmetric_public_key_t& rhs)
{
    return std::memcmp(lhs, rhs, sizeof lhs) == 0;
}

} // namespace XSalsa20
} // namespace crypto
} // namespace korvane
