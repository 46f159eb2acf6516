// The input is a sealed body from a peer. Property: Decryptor never crashes
// and opens nothing but a real sealed message (whatever it opens, sealing the
// result again gives the input back); sealing the input with the matching
// Encryptor opens to the input; and a body that fails to open, or a tampered
// one, does not put the two counters out of step.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "FuzzSupport.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

constexpr std::size_t TAG_SIZE = 16;
constexpr std::size_t SLACK = 1024;

const Status ZERO_LENGTH(Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
const Status NOT_OPENED(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "XSalsa20 algorithm error");

// Two fixed key pairs: the sender's and the receiver's.
struct Keys {
    unsigned char sender_public[32];
    unsigned char sender_secret[32];
    unsigned char receiver_public[32];
    unsigned char receiver_secret[32];

    Keys()
    {
        for (unsigned char i = 0; i < 32; ++i) {
            sender_secret[i] = static_cast<unsigned char>(0x11 * (i % 7) + 1);
            receiver_secret[i] = static_cast<unsigned char>(0x5A ^ (3 * i));
        }
        FUZZ_CHECK(sodium_init() >= 0);
        FUZZ_CHECK(crypto_scalarmult_base(sender_public, sender_secret) == 0);
        FUZZ_CHECK(crypto_scalarmult_base(receiver_public, receiver_secret) == 0);
    }
};

const Keys& keys()
{
    static const Keys fixed;
    return fixed;
}

Encryptor* new_encryptor()
{
    return new Encryptor(keys().receiver_public, keys().sender_secret);
}

Decryptor* new_decryptor()
{
    return new Decryptor(keys().sender_public, keys().receiver_secret);
}

Message copy(const std::uint8_t* data, std::size_t size)
{
    return Message(data, static_cast<korvane_buf_len_t>(size));
}

bool equal(const Message& message, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::size_t>(message.length()) == size
           && (size == 0 || std::memcmp(message.buffer(), data, size) == 0);
}

// Opens the input as the first message of a connection.
void open_hostile(Decryptor& decryptor, const std::uint8_t* data, std::size_t size)
{
    Status status;
    fuzz::watch_allocations();
    Message opened = decryptor.process(copy(data, size), &status);
    FUZZ_CHECK(fuzz::largest_allocation() <= size + SLACK);
    if (size == 0) {
        FUZZ_CHECK(opened.null() && status == ZERO_LENGTH);
        return;
    }
    if (status != Status()) {
        FUZZ_CHECK(opened.null() && status == NOT_OPENED);
        return;
    }
    // It opened: it must be what the sender would have sealed first.
    FUZZ_CHECK(size >= TAG_SIZE);
    if (size == TAG_SIZE) {
        FUZZ_CHECK(opened.null()); // a sealed empty body opens to nothing
        return;
    }
    FUZZ_CHECK(static_cast<std::size_t>(opened.length()) == size - TAG_SIZE);
    const std::unique_ptr<Encryptor> sender(new_encryptor());
    const Message resealed = sender->process(std::move(opened), &status);
    FUZZ_CHECK(status == Status() && equal(resealed, data, size));
}

Message seal(Encryptor& encryptor, const std::uint8_t* data, std::size_t size)
{
    Status status;
    Message sealed = encryptor.process(copy(data, size), &status);
    FUZZ_CHECK(status == Status() && static_cast<std::size_t>(sealed.length()) == size + TAG_SIZE);
    return sealed;
}

// The receiver has used counter 0 on the hostile body; the sender seals the
// input at 0 (never sent), 1 (delivered), 2 (tampered) and 3 (delivered).
void round_trip(Decryptor& decryptor, const std::uint8_t* data, std::size_t size)
{
    const std::unique_ptr<Encryptor> sender(new_encryptor());
    Status status;
    if (size == 0) {
        FUZZ_CHECK(sender->process(Message(), &status).null() && status == ZERO_LENGTH);
        return;
    }
    seal(*sender, data, size);
    FUZZ_CHECK(equal(decryptor.process(seal(*sender, data, size), &status), data, size));
    FUZZ_CHECK(status == Status());

    Message tampered = seal(*sender, data, size);
    const std::size_t position = data[0] % static_cast<std::size_t>(tampered.length());
    static_cast<unsigned char*>(tampered.buffer())[position] ^= static_cast<unsigned char>(1u << (data[size - 1] % 8));
    FUZZ_CHECK(decryptor.process(std::move(tampered), &status).null());
    FUZZ_CHECK(status == NOT_OPENED);

    FUZZ_CHECK(equal(decryptor.process(seal(*sender, data, size), &status), data, size));
    FUZZ_CHECK(status == Status());
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    korvane::fuzz::exhaust_message_pool();
    const std::unique_ptr<korvane::Decryptor> receiver(korvane::new_decryptor());
    korvane::open_hostile(*receiver, data, size);
    korvane::round_trip(*receiver, data, size);
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

Bytes bytes_of(const Message& message)
{
    const auto* start = static_cast<const std::uint8_t*>(message.buffer());
    return Bytes(start, start + message.length());
}

Bytes flipped(Bytes bytes, std::size_t position, std::uint8_t mask)
{
    bytes[position] ^= mask;
    return bytes;
}

// What libsodium makes of an empty message at counter 0: a bare tag, which
// Encryptor itself never produces.
Bytes sealed_nothing()
{
    unsigned char nonce[crypto_box_NONCEBYTES];
    std::memset(nonce, '0', sizeof nonce);
    Bytes tag(crypto_box_MACBYTES);
    FUZZ_CHECK(crypto_box_easy(tag.data(), nullptr, 0, nonce, keys().receiver_public, keys().sender_secret) == 0);
    return tag;
}

Bytes sealed_with_other_keys(const std::uint8_t* data, std::size_t size)
{
    unsigned char secret[32];
    std::memset(secret, 0x77, sizeof secret);
    Encryptor stranger(keys().receiver_public, secret);
    return bytes_of(seal(stranger, data, size));
}

} // namespace

std::vector<Seed> seeds()
{
    const Bytes hello = text("hello");
    const std::unique_ptr<Encryptor> sender(new_encryptor());
    const Bytes sealed_first = bytes_of(seal(*sender, hello.data(), hello.size()));
    const Bytes sealed_second = bytes_of(seal(*sender, hello.data(), hello.size()));
    return {
        {"empty-body", Bytes()},
        {"one-byte", Bytes{1}},
        {"shorter-than-tag", Bytes(TAG_SIZE - 1, 0xAA)},
        {"zero-tag-only", Bytes(TAG_SIZE, 0)},
        {"all-ones-64", Bytes(64, 0xFF)},
        {"sealed-empty-body", sealed_nothing()},
        {"sealed-first-message", sealed_first},
        {"sealed-second-message", sealed_second},
        {"sealed-tag-flipped", flipped(sealed_first, 3, 0x10)},
        {"sealed-ciphertext-flipped", flipped(sealed_first, TAG_SIZE + 3, 0x01)},
        {"sealed-truncated", first(sealed_first, sealed_first.size() - 1)},
        {"sealed-with-other-keys", sealed_with_other_keys(hello.data(), hello.size())},
    };
}

} // namespace fuzz
} // namespace korvane
