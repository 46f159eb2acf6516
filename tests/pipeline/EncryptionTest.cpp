#include <gtest/gtest.h>

#include <sodium.h>

#include <cstring>
#include <vector>

#include "StageHelpers.hpp"
#include "pipeline/CounterNonce.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "util/XSalsa20.hpp"

using namespace korvane;
using namespace korvane::testing;
namespace xs = korvane::crypto::XSalsa20;

namespace {

struct KeyPair {
    KeyPair() { xs::key_pair(public_key, secret_key); }
    xs::xsalsa20_asymmetric_public_key_t public_key;
    xs::xsalsa20_asymmetric_secret_key_t secret_key;
};

// Two ends after a key exchange: each stage holds the peer's public key.
struct Peers {
    Peers()
        : sender(receiver_keys.public_key, sender_keys.secret_key),
          receiver(sender_keys.public_key, receiver_keys.secret_key)
    {
    }
    KeyPair sender_keys;
    KeyPair receiver_keys;
    Encryptor sender;
    Decryptor receiver;
};

Message seal(Encryptor& encryptor, const Message& input)
{
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    Message output = encryptor.process(input, &status);
    EXPECT_EQ(Status(), status);
    return output;
}

Message open(Decryptor& decryptor, const Message& input, Status* status)
{
    *status = Status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    return decryptor.process(input, status);
}

const Status XSALSA_DECODE_ERROR = decode_error("XSalsa20 algorithm error");

} // namespace

TEST(Encryption, RoundTripsAtSmallBoundaryAndLargeSizes)
{
    Peers peers;
    const korvane_buf_len_t sizes[] = {1, 15, 16, 17, 63, 64, 65, 4096, 0x480000 - 16, 0x480000, 5 * 1024 * 1024};
    for (korvane_buf_len_t size : sizes) {
        SCOPED_TRACE(size);
        const Message plain = random_message(size);
        const Message sealed = seal(peers.sender, plain);
        EXPECT_EQ(size + 16, sealed.length());
        Status status;
        EXPECT_TRUE(same_bytes(plain, open(peers.receiver, sealed, &status)));
        EXPECT_EQ(Status(), status);
    }
}

TEST(Encryption, BodyIsTheStandardBoxUnderTheDecimalCounterNonce)
{
    // What a peer that does not precompute the shared key would send.
    Peers peers;
    for (unsigned long long k = 0; k < 12; ++k) {
        const Message plain = random_message(5);
        const Message sealed = seal(peers.sender, plain);
        ASSERT_EQ(21, sealed.length());

        unsigned char nonce[24];
        std::memset(nonce, '0', sizeof nonce);
        const std::string digits = std::to_string(k);
        std::memcpy(nonce + 24 - digits.size(), digits.data(), digits.size());
        std::vector<unsigned char> expected(21);
        ASSERT_EQ(0, crypto_box_easy(expected.data(), static_cast<const unsigned char*>(plain.buffer()), 5, nonce,
                                     peers.receiver_keys.public_key, peers.sender_keys.secret_key));
        EXPECT_EQ(0, std::memcmp(expected.data(), sealed.buffer(), 21)) << "message " << k;
    }
}

TEST(Encryption, SkippedOrRepeatedMessageFailsAndTamperingDoesNotDesynchronise)
{
    {
        Peers peers;
        seal(peers.sender, random_message(10));
        const Message second = seal(peers.sender, random_message(10));
        Status status;
        EXPECT_TRUE(open(peers.receiver, second, &status).null());
        EXPECT_EQ(XSALSA_DECODE_ERROR, status);
    }
    {
        Peers peers;
        const Message first = seal(peers.sender, random_message(10));
        Status status;
        EXPECT_FALSE(open(peers.receiver, first, &status).null());
        EXPECT_TRUE(open(peers.receiver, first, &status).null());
        EXPECT_EQ(XSALSA_DECODE_ERROR, status);
    }
    {
        Peers peers;
        Message tampered = seal(peers.sender, random_message(40));
        const Message plain = random_message(40);
        const Message next = seal(peers.sender, plain);
        static_cast<unsigned char*>(tampered.buffer())[20] ^= 0x01;
        Status status;
        EXPECT_TRUE(open(peers.receiver, tampered, &status).null());
        EXPECT_EQ(XSALSA_DECODE_ERROR, status);
        EXPECT_TRUE(same_bytes(plain, open(peers.receiver, next, &status)));
        EXPECT_EQ(Status(), status);
    }
}

TEST(Encryption, ShortBodyConsumesACounterValueButNullInputDoesNot)
{
    Peers peers;
    const Message first = seal(peers.sender, random_message(8));
    const Message second = seal(peers.sender, random_message(8));
    Status status;

    EXPECT_TRUE(open(peers.receiver, Message(), &status).null());
    EXPECT_EQ(encode_error("Zero length input"), status);
    EXPECT_FALSE(open(peers.receiver, first, &status).null());

    EXPECT_TRUE(open(peers.receiver, random_message(10), &status).null());
    EXPECT_EQ(XSALSA_DECODE_ERROR, status);
    // Counter 1 went to the short body, so the second message is now out of step.
    EXPECT_TRUE(open(peers.receiver, second, &status).null());
    EXPECT_EQ(XSALSA_DECODE_ERROR, status);
}

TEST(Encryption, WrongKeyFailsAndNullInputLeavesEncryptorCounter)
{
    Peers peers;
    Status status;
    EXPECT_TRUE(peers.sender.process(Message(), &status).null());
    EXPECT_EQ(encode_error("Zero length input"), status);

    KeyPair stranger;
    Decryptor eavesdropper(peers.sender_keys.public_key, stranger.secret_key);
    const Message plain = random_message(32);
    const Message sealed = seal(peers.sender, plain);
    EXPECT_TRUE(open(eavesdropper, sealed, &status).null());
    EXPECT_EQ(XSALSA_DECODE_ERROR, status);
    // The null input above did not use up nonce 0.
    EXPECT_TRUE(same_bytes(plain, open(peers.receiver, sealed, &status)));
}

TEST(Encryption, CloneRestartsCountersAndKeepsKeys)
{
    Peers peers;
    for (int i = 0; i < 7; ++i) {
        Status status;
        open(peers.receiver, seal(peers.sender, random_message(3)), &status);
        ASSERT_EQ(Status(), status);
    }
    std::unique_ptr<Encryptor> sender(peers.sender.clone());
    std::unique_ptr<Decryptor> receiver(peers.receiver.clone());
    EXPECT_TRUE(xs::public_key_equal(peers.sender.public_key(), sender->public_key()));

    const Message plain = random_message(3);
    const Message sealed = seal(*sender, plain);
    // Nonce 0 again: a fresh stage pair with the same keys agrees.
    Decryptor fresh(peers.sender_keys.public_key, peers.receiver_keys.secret_key);
    Status status;
    EXPECT_TRUE(same_bytes(plain, open(fresh, sealed, &status)));
    EXPECT_TRUE(same_bytes(plain, open(*receiver, sealed, &status)));
    // The originals carry on at counter 7, unaffected by their clones.
    EXPECT_TRUE(same_bytes(plain, open(peers.receiver, seal(peers.sender, plain), &status)));
}

TEST(Encryption, SettingThePeerKeyRederivesTheSharedKey)
{
    // As after a key exchange: both ends start with their own public key.
    KeyPair a_keys;
    KeyPair b_keys;
    Encryptor a(a_keys.public_key, a_keys.secret_key);
    Decryptor b(b_keys.public_key, b_keys.secret_key);
    const Message plain = random_message(50);
    Status status;
    EXPECT_TRUE(open(b, seal(a, plain), &status).null());

    Encryptor a2(a_keys.public_key, a_keys.secret_key);
    Decryptor b2(b_keys.public_key, b_keys.secret_key);
    a2.public_key(b_keys.public_key);
    b2.public_key(a_keys.public_key);
    EXPECT_TRUE(same_bytes(plain, open(b2, seal(a2, plain), &status)));
    // A clone made after the change keeps the peer's key.
    std::unique_ptr<Encryptor> a3(a2.clone());
    std::unique_ptr<Decryptor> b3(b2.clone());
    EXPECT_TRUE(same_bytes(plain, open(*b3, seal(*a3, plain), &status)));
}

TEST(Encryption, KeysWrittenInPlaceTakeEffectAtTheNextMessage)
{
    KeyPair a_keys;
    KeyPair b_keys;
    Encryptor a(a_keys.public_key, a_keys.secret_key);
    Decryptor b(b_keys.public_key, b_keys.secret_key);
    const Message plain = random_message(50);
    Status status;
    EXPECT_TRUE(open(b, seal(a, plain), &status).null()); // each still holds its own key

    // Writing the peer's key through the writable accessor, between messages.
    std::memcpy(a.public_key(), b_keys.public_key, sizeof b_keys.public_key);
    std::memcpy(b.public_key(), a_keys.public_key, sizeof a_keys.public_key);
    EXPECT_TRUE(same_bytes(plain, open(b, seal(a, plain), &status))) << status;
}

TEST(Encryption, DegeneratePeerKeyFailsInsteadOfSealing)
{
    // An all-zero point makes the X25519 agreement fail; nothing may be sealed
    // under the resulting zero key.
    const unsigned char zero[32] = {};
    Encryptor encryptor(zero, xs::EXAMPLE_SECRET_KEY);
    Decryptor decryptor(zero, xs::EXAMPLE_SECRET_KEY);
    Status status;
    EXPECT_TRUE(encryptor.process(random_message(8), &status).null());
    EXPECT_EQ(encode_error("XSalsa20 algorithm error"), status);
    EXPECT_TRUE(decryptor.process(random_message(24), &status).null());
    EXPECT_EQ(XSALSA_DECODE_ERROR, status);
}

TEST(Encryption, IncrementedNoncesMatchFormattedOnesAcrossEveryCarry)
{
    // From 0 through several carries, and up to the counter's wrap-around.
    const korvane_size_t starts[] = {0, 999990, 18446744073709551600ull};
    for (korvane_size_t start : starts) {
        xs::xsalsa20_asymmetric_nonce_t incremented;
        xs::nonce(incremented, start);
        for (korvane_size_t k = start + 1; k != start + 20000 && k != 0; ++k) {
            detail::next_counter_nonce(incremented, k);
            xs::xsalsa20_asymmetric_nonce_t formatted;
            xs::nonce(formatted, k);
            ASSERT_EQ(0, std::memcmp(formatted, incremented, sizeof formatted)) << k;
        }
    }
    xs::xsalsa20_asymmetric_nonce_t wrapped;
    xs::nonce(wrapped, 18446744073709551615ull);
    detail::next_counter_nonce(wrapped, 0);
    EXPECT_EQ(0, std::memcmp(std::string(24, '0').data(), wrapped, 24));
}
