// The libsodium wrappers: counter nonces, boxes, hashing, identifiers.
#include <gtest/gtest.h>

#include <sodium.h>

#include <cstring>
#include <string>

#include "util/Blake2b.hpp"
#include "util/Random.hpp"
#include "util/UUID.hpp"
#include "util/XSalsa20.hpp"

using namespace korvane;
namespace x = korvane::crypto::XSalsa20;

namespace {

class Crypto : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(x::init()); }
};

std::string hex(const void* data, std::size_t length)
{
    std::string out;
    char byte[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<const unsigned char*>(data)[i]);
        out += byte;
    }
    return out;
}

} // namespace

TEST_F(Crypto, CounterNonceIsDecimalTextRightAligned)
{
    x::xsalsa20_nonce_t nonce;
    x::nonce(nonce, 0);
    EXPECT_EQ(std::string(24, '0'), std::string(reinterpret_cast<char*>(nonce), 24));
    x::nonce(nonce, 1234);
    EXPECT_EQ(std::string(20, '0') + "1234", std::string(reinterpret_cast<char*>(nonce), 24));
    x::nonce(nonce, 18446744073709551615ull);
    EXPECT_EQ("000018446744073709551615", std::string(reinterpret_cast<char*>(nonce), 24));
}

TEST_F(Crypto, ExampleKeysAreAMatchingPair)
{
    unsigned char derived[32];
    ASSERT_EQ(0, crypto_scalarmult_base(derived, x::EXAMPLE_SECRET_KEY));
    EXPECT_TRUE(x::public_key_equal(derived, x::EXAMPLE_PUBLIC_KEY));
}

TEST_F(Crypto, BoxRoundTripAndWrongCounterFails)
{
    x::xsalsa20_asymmetric_public_key_t alice_pk, bob_pk;
    x::xsalsa20_asymmetric_secret_key_t alice_sk, bob_sk;
    x::key_pair(alice_pk, alice_sk);
    x::key_pair(bob_pk, bob_sk);
    const char plain[] = "attack at dawn";
    const korvane_buf_len_t n = sizeof plain;
    unsigned char sealed[sizeof plain + 16];
    char opened[sizeof plain];
    x::xsalsa20_asymmetric_nonce_t nonce, wrong;
    x::nonce(nonce, 7);
    x::nonce(wrong, 8);

    ASSERT_EQ(n + 16, x::encrypted_size_asymmetric(n));
    ASSERT_TRUE(x::encrypt_asymmetric(plain, sealed, n, nonce, bob_pk, alice_sk));
    ASSERT_TRUE(x::decrypt_asymmetric(sealed, opened, n + 16, nonce, alice_pk, bob_sk));
    EXPECT_STREQ(plain, opened);
    EXPECT_FALSE(x::decrypt_asymmetric(sealed, opened, n + 16, wrong, alice_pk, bob_sk));
    sealed[20] ^= 1;
    EXPECT_FALSE(x::decrypt_asymmetric(sealed, opened, n + 16, nonce, alice_pk, bob_sk));
    EXPECT_FALSE(x::decrypt_asymmetric(sealed, opened, 15, nonce, alice_pk, bob_sk)); // shorter than the tag
}

TEST_F(Crypto, EmptyInputSealsToTheTagAlone)
{
    x::xsalsa20_asymmetric_nonce_t nonce;
    x::nonce(nonce, 0);
    unsigned char sealed[16];
    unsigned char opened[1];
    EXPECT_EQ(16, x::encrypted_size_asymmetric(0));
    EXPECT_EQ(0, x::dencrypted_size_asymmetric(16));
    ASSERT_TRUE(x::encrypt_asymmetric(opened, sealed, 0, nonce, x::EXAMPLE_PUBLIC_KEY, x::EXAMPLE_SECRET_KEY));
    EXPECT_TRUE(x::decrypt_asymmetric(sealed, opened, 16, nonce, x::EXAMPLE_PUBLIC_KEY, x::EXAMPLE_SECRET_KEY));
}

TEST_F(Crypto, SecretBoxRoundTrip)
{
    x::xsalsa20_key_t key;
    x::xsalsa20_nonce_t nonce;
    x::key(key);
    x::nonce(nonce);
    const char plain[] = "secret";
    unsigned char sealed[sizeof plain + 16];
    char opened[sizeof plain];
    ASSERT_TRUE(x::encrypt(plain, sealed, sizeof plain, nonce, key));
    ASSERT_TRUE(x::decrypt(sealed, opened, sizeof sealed, nonce, key));
    EXPECT_STREQ(plain, opened);
    key[0] ^= 1;
    EXPECT_FALSE(x::decrypt(sealed, opened, sizeof sealed, nonce, key));
}

TEST_F(Crypto, PublicKeyEqualSeesTheLastByte)
{
    x::xsalsa20_asymmetric_public_key_t a, b;
    std::memset(a, 7, 32);
    std::memset(b, 7, 32);
    EXPECT_TRUE(x::public_key_equal(a, b));
    b[31] = 8;
    EXPECT_FALSE(x::public_key_equal(a, b));
}

TEST_F(Crypto, Blake2bOfTheEmptyStringIsThePublishedDigest)
{
    crypto::Blake2b::blake2b_hash_t digest;
    ASSERT_TRUE(crypto::Blake2b::hash(digest, nullptr, 0));
    EXPECT_EQ("0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8",
              hex(digest.bytes, sizeof digest.bytes));
    char abc[] = "abc";
    ASSERT_TRUE(crypto::Blake2b::hash(digest, abc, 3));
    EXPECT_EQ("bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319",
              hex(digest.bytes, sizeof digest.bytes));
}

TEST_F(Crypto, RandomValuesDiffer)
{
    // 2^-64 chance of a false failure per pair.
    EXPECT_NE(crypto::uuid64(), crypto::uuid64());
    EXPECT_NE(crypto::Random::int64(), crypto::Random::int64());
    unsigned char a[16] = {}, b[16] = {};
    crypto::Random::bytes(a, sizeof a);
    crypto::Random::bytes(b, sizeof b);
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}
