// The input is everything a peer sends during the session handshake, as
// frames (8-byte header, payload); parsing stops where the driver would end
// the connection (a cut or oversized frame). Both roles run it, with the
// peer's key pinned and with any peer accepted.
//
// Property: this end sends its hello (version 1, its long-term key, an
// ephemeral key), then at most one 32-byte confirmation, and only after a
// well-formed hello from an accepted key; every refusal is a negative status
// with a text, sends nothing and is final; and nothing the input holds, not
// even a recorded real handshake, completes the handshake, because the
// confirmation depends on this run's fresh ephemeral key. The stages never
// hold a session key afterwards. Nothing allocates more than a few KiB.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.hpp"
#include "pipeline/decoder/SessionDecryptor.hpp"
#include "pipeline/encoder/SessionEncryptor.hpp"
#include "socket/SessionHandshake.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

constexpr std::size_t KEY_SIZE = 32;
constexpr std::size_t HELLO_SIZE = 65;
constexpr std::size_t HEADER_SIZE = 8;
constexpr std::uint32_t MAX_FRAME_SIZE = 5242880;
constexpr std::size_t SLACK = 8192;

struct Pair {
    unsigned char public_key[KEY_SIZE];
    unsigned char secret_key[KEY_SIZE];

    explicit Pair(unsigned char seed)
    {
        for (unsigned char i = 0; i < KEY_SIZE; ++i) {
            secret_key[i] = static_cast<unsigned char>(seed ^ (7 * i));
        }
        FUZZ_CHECK(sodium_init() >= 0);
        FUZZ_CHECK(crypto_scalarmult_base(public_key, secret_key) == 0);
    }
    session_peer_key_t key() const
    {
        session_peer_key_t k;
        std::memcpy(k.data(), public_key, KEY_SIZE);
        return k;
    }
};

const Pair& own()
{
    static const Pair pair(0x3C);
    return pair;
}

const Pair& peer()
{
    static const Pair pair(0xA5);
    return pair;
}

std::vector<Message> frames_of(const std::uint8_t* data, std::size_t size)
{
    std::vector<Message> frames;
    std::size_t at = 0;
    while (size - at >= HEADER_SIZE) {
        const std::uint32_t length = endian::load_big32(data + at + 4);
        if (length == 0 || length > MAX_FRAME_SIZE || size - at - HEADER_SIZE < length) {
            break;
        }
        frames.emplace_back(data + at + HEADER_SIZE, static_cast<korvane_buf_len_t>(length));
        at += HEADER_SIZE + length;
    }
    return frames;
}

bool refusal(const Status& status)
{
    static const std::set<std::string> texts = {"Malformed session hello", "Unsupported session version",
                                                "Peer key not accepted", "Peer authentication failed",
                                                "Unexpected handshake frame"};
    return status.code() < 0 && texts.count(status.message()) == 1;
}

void run(const std::vector<Message>& frames, bool initiator, bool pinned)
{
    const session_peer_keys_t accepted = pinned ? session_peer_keys_t{peer().key()} : session_peer_keys_t{};
    auto encryptor = std::make_shared<SessionEncryptor>(own().public_key, own().secret_key, accepted);
    auto decryptor = std::make_shared<SessionDecryptor>(own().public_key, own().secret_key, accepted);
    detail::SessionHandshake handshake(encryptor, decryptor, initiator);

    fuzz::watch_allocations();
    detail::Handshake::Step step = handshake.start();
    FUZZ_CHECK(step.out.size() == 1 && !step.done && step.status == Status());
    FUZZ_CHECK(step.out[0].length() == static_cast<korvane_buf_len_t>(HELLO_SIZE));
    const auto* hello = static_cast<const unsigned char*>(step.out[0].buffer());
    FUZZ_CHECK(hello[0] == 1 && std::memcmp(hello + 1, own().public_key, KEY_SIZE) == 0);

    bool failed = false;
    for (std::size_t i = 0; i < frames.size() && !failed; ++i) {
        const Message& frame = frames[i];
        step = handshake.receive(frame);
        FUZZ_CHECK(!step.done);
        failed = step.status != Status();
        if (failed) {
            FUZZ_CHECK(refusal(step.status) && step.out.empty());
            FUZZ_CHECK(handshake.receive(frame).status != Status());
            continue;
        }
        FUZZ_CHECK(i == 0 && frame.length() == static_cast<korvane_buf_len_t>(HELLO_SIZE));
        const auto* bytes = static_cast<const unsigned char*>(frame.buffer());
        FUZZ_CHECK(bytes[0] == 1 && (!pinned || std::memcmp(bytes + 1, peer().public_key, KEY_SIZE) == 0));
        FUZZ_CHECK(step.out.size() == 1 && step.out[0].length() == 32);
    }
    FUZZ_CHECK(fuzz::largest_allocation() <= SLACK);

    Status status;
    FUZZ_CHECK(encryptor->process(Message("x", 1), &status).null());
    FUZZ_CHECK(status.message() == "Session not established");
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    fuzz::exhaust_message_pool();
    const std::vector<Message> frames = frames_of(data, size);
    for (bool initiator : {true, false}) {
        for (bool pinned : {true, false}) {
            run(frames, initiator, pinned);
        }
    }
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

Bytes hello_of(const unsigned char* static_key, const unsigned char* ephemeral_key, std::uint8_t version = 1)
{
    Bytes hello{version};
    hello.insert(hello.end(), static_key, static_key + KEY_SIZE);
    hello.insert(hello.end(), ephemeral_key, ephemeral_key + KEY_SIZE);
    return hello;
}

Bytes bytes_of(const Message& message)
{
    const auto* at = static_cast<const std::uint8_t*>(message.buffer());
    return Bytes(at, at + message.length());
}

// What a real peer sent in a completed handshake with this end: replayed,
// it must not complete another.
Bytes recorded_handshake(bool peer_initiates)
{
    auto stages = [](const Pair& pair) {
        return std::make_pair(std::make_shared<SessionEncryptor>(pair.public_key, pair.secret_key),
                              std::make_shared<SessionDecryptor>(pair.public_key, pair.secret_key));
    };
    auto ours = stages(own());
    auto theirs = stages(peer());
    detail::SessionHandshake us(ours.first, ours.second, !peer_initiates);
    detail::SessionHandshake them(theirs.first, theirs.second, peer_initiates);
    Message our_hello = std::move(us.start().out[0]);
    Message their_hello = std::move(them.start().out[0]);
    Message our_confirmation = std::move(us.receive(their_hello).out[0]);
    Message their_confirmation = std::move(them.receive(our_hello).out[0]);
    FUZZ_CHECK(us.receive(their_confirmation).done && them.receive(our_confirmation).done);
    return cat({frame(bytes_of(their_hello)), frame(bytes_of(their_confirmation))});
}

} // namespace

std::vector<Seed> seeds()
{
    const Pair stranger(0x77);
    const Bytes hello = hello_of(peer().public_key, stranger.public_key);
    const unsigned char zero[KEY_SIZE] = {};
    return {
        {"recorded-handshake-peer-initiates", recorded_handshake(true)},
        {"recorded-handshake-peer-responds", recorded_handshake(false)},
        {"hello-then-made-up-confirmation", cat({frame(hello), frame(Bytes(32, 0x42))})},
        {"hello-then-short-confirmation", cat({frame(hello), frame(Bytes(31, 0x42))})},
        {"hello-then-hello", cat({frame(hello), frame(hello)})},
        {"hello-only", frame(hello)},
        {"hello-of-unaccepted-key", frame(hello_of(stranger.public_key, stranger.public_key))},
        {"hello-claiming-own-key", frame(hello_of(own().public_key, stranger.public_key))},
        {"hello-zero-ephemeral-key", frame(hello_of(peer().public_key, zero))},
        {"hello-zero-long-term-key", frame(hello_of(zero, stranger.public_key))},
        {"hello-version-0", frame(hello_of(peer().public_key, stranger.public_key, 0))},
        {"hello-version-2", frame(hello_of(peer().public_key, stranger.public_key, 2))},
        {"hello-cut-to-64", frame(first(hello, 64))},
        {"hello-one-byte-long", frame(cat({hello, Bytes{0}}))},
        {"hello-frame-cut", first(frame(hello), 40)},
        {"version-byte-only", frame(Bytes{1})},
        {"length-max-plus-one", cat({frame_header(MAX_FRAME_SIZE + 1), hello})},
        {"empty", Bytes()},
    };
}

} // namespace fuzz
} // namespace korvane
