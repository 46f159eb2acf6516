// The input is the peer's whole answer to the public key exchange, after which
// it closes: a BasicSocket with encryption stages connects (blocking and
// asynchronously) or accepts (likewise) over an in-memory transport that
// reports the end of the stream once the input is used up.
//
// Property: the socket sends exactly one frame holding its own public key; it
// succeeds only when the answer starts with a whole frame of exactly 32 bytes,
// and then has read nothing beyond it (asynchronously: nothing beyond one
// read-ahead) and seals and opens with precisely the
// key received; otherwise it fails with a negative status and a text (the
// framer's or "Invalid public key length"), its stages keep their own key, a
// failed blocking accept closes the connection and a failed connect leaves it
// open. Nothing allocates more than one maximum frame.
#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.hpp"
#include "support/ScriptedTransport.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "socket/BasicSocket.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;
using testing::Script;
using testing::ScriptedTransport;

constexpr std::size_t KEY_SIZE = 32;
constexpr std::size_t HEADER_SIZE = 8;
constexpr std::size_t KEY_FRAME_SIZE = HEADER_SIZE + KEY_SIZE;
constexpr std::uint32_t MAX_FRAME_SIZE = 5242880;
constexpr std::size_t SLACK = 4096;
// An asynchronous receive reads up to this much ahead in one partial read.
constexpr std::size_t READ_AHEAD = 8192;

const Status INVALID_LENGTH(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Invalid public key length");
const Status INCOMPLETE(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Incomplete read");
const Status CANNOT_SEAL(Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "XSalsa20 algorithm error");
const Status CANNOT_OPEN(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "XSalsa20 algorithm error");

// This end's key pair, fixed.
struct OwnKeys {
    unsigned char public_key[KEY_SIZE];
    unsigned char secret_key[KEY_SIZE];

    OwnKeys()
    {
        for (unsigned char i = 0; i < KEY_SIZE; ++i) {
            secret_key[i] = static_cast<unsigned char>(0xC3 ^ (5 * i));
        }
        FUZZ_CHECK(sodium_init() >= 0);
        FUZZ_CHECK(crypto_scalarmult_base(public_key, secret_key) == 0);
    }
};

const OwnKeys& own()
{
    static const OwnKeys keys;
    return keys;
}

// What the exchange must make of the answer, as the framer reads it.
Status expected_outcome(const std::uint8_t* data, std::size_t size, bool reads_ahead)
{
    // Read ahead whole, a cut-short answer leaves the whole read of the rest
    // nothing: the end of the stream, as if the peer closed without a word.
    const Status cut_short = reads_ahead && size <= READ_AHEAD ? INVALID_LENGTH : INCOMPLETE;
    if (size == 0) {
        return INVALID_LENGTH; // closed without a word: no frame at all
    }
    if (size < HEADER_SIZE) {
        return cut_short;
    }
    const std::uint32_t length = endian::load_big32(data + 4);
    if (length == 0 || length > MAX_FRAME_SIZE) {
        return Status(Status::TRANSPORT_STATUS_MSG_TOO_LARGE,
                      "Message of size " + std::to_string(length) + " is zero or > maximum length 5242880");
    }
    if (size == HEADER_SIZE) {
        return INVALID_LENGTH; // closed right after a header
    }
    if (size - HEADER_SIZE < length) {
        return cut_short;
    }
    return length == KEY_SIZE ? Status() : INVALID_LENGTH;
}

Encryptor& encryptor_of(SocketImpl& socket)
{
    const Pipeline::EncoderEntry entry = socket.pipeline().encoder<Encryptor>();
    FUZZ_CHECK(entry);
    return static_cast<Encryptor&>(*entry);
}

Decryptor& decryptor_of(SocketImpl& socket)
{
    const Pipeline::DecoderEntry entry = socket.pipeline().decoder<Decryptor>();
    FUZZ_CHECK(entry);
    return static_cast<Decryptor&>(*entry);
}

bool same_key(const unsigned char* lhs, const unsigned char* rhs)
{
    return std::memcmp(lhs, rhs, KEY_SIZE) == 0;
}

// The first box with counter nonce 0 between this end's secret key and
// `public_key`: what the socket must send and be able to open. Empty when
// the key is degenerate and no box can be made with it.
std::vector<unsigned char> first_box(const unsigned char* public_key, const std::string& plain)
{
    unsigned char nonce[crypto_box_NONCEBYTES];
    std::memset(nonce, '0', sizeof nonce);
    std::vector<unsigned char> box(plain.size() + crypto_box_MACBYTES);
    if (crypto_box_easy(box.data(), reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), nonce,
                        public_key, own().secret_key)
        != 0) {
        return {};
    }
    return box;
}

// The key received is the key used, both ways.
void check_key_in_use(SocketImpl& socket, Script& record, const unsigned char* peer_key)
{
    FUZZ_CHECK(same_key(encryptor_of(socket).public_key(), peer_key));
    FUZZ_CHECK(same_key(decryptor_of(socket).public_key(), peer_key));

    const std::string probe = "probe";
    const std::vector<unsigned char> sealed = first_box(peer_key, probe);
    record.outgoing.clear();
    const Status sent = socket.send(Message(probe.data(), static_cast<korvane_buf_len_t>(probe.size())));
    if (sealed.empty()) {
        FUZZ_CHECK(sent == CANNOT_SEAL && record.outgoing.empty());
    } else {
        FUZZ_CHECK(sent == Status());
        const fuzz::Bytes wire = fuzz::frame(fuzz::Bytes(sealed.begin(), sealed.end()));
        FUZZ_CHECK(record.outgoing == std::vector<unsigned char>(wire.begin(), wire.end()));
    }

    const std::string reply = "reply";
    std::vector<unsigned char> box = first_box(peer_key, reply);
    Status opened_status;
    if (box.empty()) {
        box.assign(reply.size() + crypto_box_MACBYTES, 0x5A);
        FUZZ_CHECK(socket.pipeline().decode(Message(box.data(), static_cast<korvane_buf_len_t>(box.size())),
                                            &opened_status).null());
        FUZZ_CHECK(opened_status == CANNOT_OPEN);
        return;
    }
    const Message opened =
        socket.pipeline().decode(Message(box.data(), static_cast<korvane_buf_len_t>(box.size())), &opened_status);
    FUZZ_CHECK(opened_status == Status());
    FUZZ_CHECK(static_cast<std::size_t>(opened.length()) == reply.size()
               && std::memcmp(opened.buffer(), reply.data(), reply.size()) == 0);
}

void check_outcome(SocketImpl* socket, Script& record, const Status& status, const std::uint8_t* data,
                   std::size_t size, bool reads_ahead)
{
    // Exactly our own key frame went out, whatever came back.
    const fuzz::Bytes key_frame = fuzz::frame(fuzz::Bytes(own().public_key, own().public_key + KEY_SIZE));
    FUZZ_CHECK(record.outgoing == std::vector<unsigned char>(key_frame.begin(), key_frame.end()));
    for (long request : record.read_requests) {
        FUZZ_CHECK(request >= 0 && static_cast<std::size_t>(request) <= MAX_FRAME_SIZE);
    }

    const Status expected = expected_outcome(data, size, reads_ahead);
    FUZZ_CHECK(status == expected);
    if (status != Status()) {
        FUZZ_CHECK(status.code() < 0 && !status.message().empty());
        if (socket != nullptr) {
            FUZZ_CHECK(same_key(encryptor_of(*socket).public_key(), own().public_key));
            FUZZ_CHECK(same_key(decryptor_of(*socket).public_key(), own().public_key));
        }
        return;
    }
    FUZZ_CHECK(socket != nullptr);
    FUZZ_CHECK(size - record.incoming.size() == (reads_ahead ? std::min(size, READ_AHEAD) : KEY_FRAME_SIZE));
    check_key_in_use(*socket, record, data + HEADER_SIZE);
}

// Reads deliver the input and then the end of the stream (0, OKAY); writes
// are kept; connecting succeeds; as a listener, every accept hands out a
// connection over the same script. The target keeps the script: the socket
// owns (and may destroy) the transport.
Socket encrypting_socket(const std::shared_ptr<Script>& record)
{
    Socket socket = BasicSocket::create(std::make_unique<ScriptedTransport>(record));
    socket->pipeline().append_encoder(std::make_shared<Encryptor>(own().public_key, own().secret_key));
    socket->pipeline().append_decoder(std::make_shared<Decryptor>(own().public_key, own().secret_key));
    return socket;
}

std::shared_ptr<Script> record_of(const std::uint8_t* data, std::size_t size)
{
    auto record = std::make_shared<Script>();
    record->incoming.assign(data, data + size);
    record->endpoint = Status();
    return record;
}

void connect_blocking(const std::uint8_t* data, std::size_t size)
{
    const std::shared_ptr<Script> shared = record_of(data, size);
    Script& record = *shared;
    const Socket socket = encrypting_socket(shared);
    fuzz::watch_allocations();
    const Status status = socket->connect("memory", 1);
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    FUZZ_CHECK(record.closes == 0); // a failed exchange leaves the connection to the caller
    check_outcome(socket.get(), record, status, data, size, false);
}

void connect_async(const std::uint8_t* data, std::size_t size)
{
    const std::shared_ptr<Script> shared = record_of(data, size);
    Script& record = *shared;
    const Socket socket = encrypting_socket(shared);
    int calls = 0;
    Status status;
    fuzz::watch_allocations();
    socket->connect("memory", 1, [&](SocketImpl& context, Status outcome) {
        FUZZ_CHECK(&context == socket.get());
        ++calls;
        status = std::move(outcome);
    });
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    FUZZ_CHECK(calls == 1);
    FUZZ_CHECK(record.closes == 0);
    check_outcome(socket.get(), record, status, data, size, true);
}

void accept_blocking(const std::uint8_t* data, std::size_t size)
{
    const std::shared_ptr<Script> shared = record_of(data, size);
    Script& record = *shared;
    const Socket listener = encrypting_socket(shared);
    FUZZ_CHECK(listener->bind(1, "memory") == Status());
    Status status;
    fuzz::watch_allocations();
    const Socket accepted = listener->accept(&status);
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    // A connection whose exchange failed is closed and dropped.
    FUZZ_CHECK(!accepted == (status != Status()));
    FUZZ_CHECK(accepted || record.closes >= 1);
    check_outcome(accepted.get(), record, status, data, size, false);
    // The listener's stages serve the next connection unchanged.
    FUZZ_CHECK(same_key(encryptor_of(*listener).public_key(), own().public_key));
}

void accept_async(const std::uint8_t* data, std::size_t size)
{
    const std::shared_ptr<Script> shared = record_of(data, size);
    Script& record = *shared;
    const Socket listener = encrypting_socket(shared);
    FUZZ_CHECK(listener->bind(1, "memory") == Status());
    int calls = 0;
    Socket accepted;
    Status status;
    fuzz::watch_allocations();
    listener->accept_async([&](SocketImpl&, Socket socket, Status outcome) {
        ++calls;
        accepted = std::move(socket);
        status = std::move(outcome);
    });
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_FRAME_SIZE + SLACK);
    FUZZ_CHECK(calls == 1);
    // Handed over even when the exchange failed, still open.
    FUZZ_CHECK(accepted && record.closes == 0);
    check_outcome(accepted.get(), record, status, data, size, true);
    FUZZ_CHECK(same_key(encryptor_of(*listener).public_key(), own().public_key));
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    fuzz::exhaust_message_pool();
    connect_blocking(data, size);
    connect_async(data, size);
    accept_blocking(data, size);
    accept_async(data, size);
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

Bytes key_of_secret(unsigned char fill)
{
    unsigned char secret[KEY_SIZE];
    std::memset(secret, fill, sizeof secret);
    Bytes key(KEY_SIZE);
    FUZZ_CHECK(crypto_scalarmult_base(key.data(), secret) == 0);
    return key;
}

} // namespace

std::vector<Seed> seeds()
{
    const Bytes peer = key_of_secret(0x42);
    const Bytes example(crypto::XSalsa20::EXAMPLE_PUBLIC_KEY, crypto::XSalsa20::EXAMPLE_PUBLIC_KEY + KEY_SIZE);
    const Bytes own_key(own().public_key, own().public_key + KEY_SIZE);
    return {
        {"key-frame", frame(peer)},
        {"key-frame-example-key", frame(example)},
        {"key-frame-own-key-echoed", frame(own_key)},
        {"key-frame-all-zero", frame(Bytes(KEY_SIZE, 0))},
        {"key-frame-all-ones", frame(Bytes(KEY_SIZE, 0xFF))},
        {"key-frame-unused-bytes-set", cat({hex("deadbeef"), big32(KEY_SIZE), peer})},
        {"key-frame-then-application-frame", cat({frame(peer), frame(text("application data"))})},
        {"empty-answer", Bytes()},
        {"header-cut-at-4", first(frame(peer), 4)},
        {"header-only", frame_header(KEY_SIZE)},
        {"key-cut-at-20", first(frame(peer), HEADER_SIZE + 20)},
        {"key-of-31-bytes", frame(first(peer, 31))},
        {"key-of-33-bytes", frame(cat({peer, Bytes{0}}))},
        {"key-of-1-byte", frame(Bytes{7})},
        {"length-zero", cat({frame_header(0), peer})},
        {"length-max-plus-one", cat({frame_header(MAX_FRAME_SIZE + 1), peer})},
        {"length-max-cut", cat({frame_header(MAX_FRAME_SIZE), peer})},
        {"length-sign-bit", cat({frame_header(0x80000000u), peer})},
    };
}

} // namespace fuzz
} // namespace korvane
