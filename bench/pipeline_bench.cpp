// Pipeline::encode/decode with the built-in stages, each beside the bare
// liblz4 or libsodium call on the same bytes, so the cost of the stage
// machinery (one output buffer from the slab pool, the counter nonce, the
// status) reads straight off the ratio of the two. The `_send_copy` variants
// add the deep copy that a socket's send makes before encoding. The session
// stages run beside the box stages they would replace.
#include <benchmark/benchmark.h>

#include <lz4.h>
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "pipeline/decoder/SessionDecryptor.hpp"
#include "pipeline/encoder/SessionEncryptor.hpp"
#include "socket/SessionHandshake.hpp"
#include "util/Random.hpp"
#include "util/XSalsa20.hpp"

using namespace korvane;
namespace xs = korvane::crypto::XSalsa20;

namespace {

using Status = Transport::StatusCode;

// A Message over bytes that stay owned elsewhere: what a socket hands its
// pipeline is a buffer the framer has just filled, not a copy of one. The
// stages only read their input, so sharing it between iterations is safe.
class View : public Message {
public:
    View(const std::shared_ptr<char>& bytes, korvane_buf_len_t length)
    {
        m_buffer = bytes;
        m_length = length;
    }
};

struct Bytes {
    explicit Bytes(const Message& message)
        : data(new char[static_cast<std::size_t>(message.length())], std::default_delete<char[]>()),
          length(message.length())
    {
        std::memcpy(data.get(), message.buffer(), static_cast<std::size_t>(length));
    }
    Message view() const { return View(data, length); }
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(data.get()); }
    std::shared_ptr<char> data;
    korvane_buf_len_t length;
};

// Message size of a benchmark; the bound keeps the compiler's size analysis
// from imagining wrapped-around allocations.
std::size_t message_size(const benchmark::State& state)
{
    return std::min<std::size_t>(static_cast<std::size_t>(state.range(0)), 1u << 30);
}

// Bytes from a 16-symbol alphabet: compressible, but not trivially.
Message sample(std::size_t size)
{
    Message message(static_cast<korvane_buf_len_t>(size));
    char* data = static_cast<char*>(message.buffer());
    crypto::Random::bytes(data, static_cast<unsigned long>(size));
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + (static_cast<unsigned char>(data[i]) & 0x0F));
    }
    return message;
}

void count_bytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

struct Keys {
    Keys()
    {
        xs::init();
        xs::key_pair(sender_public, sender_secret);
        xs::key_pair(receiver_public, receiver_secret);
        if (crypto_box_beforenm(shared, receiver_public, sender_secret) != 0) {
            std::abort();
        }
    }
    unsigned char sender_public[32], sender_secret[32];
    unsigned char receiver_public[32], receiver_secret[32];
    unsigned char shared[32];
};

const Keys& keys()
{
    static const Keys k;
    return k;
}

Pipeline::EncoderEntry encryptor()
{
    return std::make_shared<Encryptor>(keys().receiver_public, keys().sender_secret);
}

Pipeline::DecoderEntry decryptor()
{
    return std::make_shared<Decryptor>(keys().sender_public, keys().receiver_secret);
}

// Sealed messages open once each, in counter order: the open benchmarks go
// round a ring of distinct sealed bodies (about 64 MiB of them) and restart
// the receiver's counter each time round.
std::size_t ring_size(std::size_t message_size)
{
    return std::clamp<std::size_t>((64u << 20) / message_size, 16, 65536);
}

// Runs `pipeline.encode` (or decode) on a view of `input` every iteration.
template <typename Run>
void run_stage(benchmark::State& state, Run run)
{
    for (auto _ : state) {
        Message out = run();
        if (out.null()) {
            state.SkipWithError("stage failed");
            break;
        }
        benchmark::DoNotOptimize(out.buffer());
    }
    count_bytes(state);
}

// ---------------------------------------------------------------- LZ4

void raw_lz4_compress(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    std::vector<char> out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(input.length))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(LZ4_compress_default(input.data.get(), out.data(), static_cast<int>(input.length),
                                                      static_cast<int>(out.size())));
    }
    count_bytes(state);
}

void pipeline_compress(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    Pipeline pipeline;
    pipeline.append_encoder(std::make_shared<Compressor>());
    Status status;
    run_stage(state, [&] { return pipeline.encode(input.view(), &status); });
}

void pipeline_compress_send_copy(benchmark::State& state)
{
    const Message input = sample(message_size(state));
    Pipeline pipeline;
    pipeline.append_encoder(std::make_shared<Compressor>());
    Status status;
    run_stage(state, [&] { return pipeline.encode(Message(input), &status); });
}

void raw_lz4_decompress(benchmark::State& state)
{
    const Bytes plain(sample(message_size(state)));
    std::vector<char> block(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(plain.length))));
    const int block_size = LZ4_compress_default(plain.data.get(), block.data(), static_cast<int>(plain.length),
                                                static_cast<int>(block.size()));
    std::vector<char> out(static_cast<std::size_t>(plain.length));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            LZ4_decompress_safe(block.data(), out.data(), block_size, static_cast<int>(out.size())));
    }
    count_bytes(state);
}

void pipeline_decompress(benchmark::State& state)
{
    Pipeline sender;
    sender.append_encoder(std::make_shared<Compressor>());
    Status status;
    const Bytes body(sender.encode(sample(message_size(state)), &status));
    Pipeline receiver;
    receiver.append_decoder(std::make_shared<Decompressor>());
    run_stage(state, [&] { return receiver.decode(body.view(), &status); });
}

// ---------------------------------------------------------------- box

void raw_box_seal_without_precomputation(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    std::vector<unsigned char> out(static_cast<std::size_t>(input.length) + crypto_box_MACBYTES);
    unsigned char nonce[crypto_box_NONCEBYTES] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_box_easy(out.data(), input.bytes(), static_cast<std::size_t>(input.length),
                                                 nonce, keys().receiver_public, keys().sender_secret));
    }
    count_bytes(state);
}

void raw_box_seal(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    std::vector<unsigned char> out(static_cast<std::size_t>(input.length) + crypto_box_MACBYTES);
    unsigned char nonce[crypto_box_NONCEBYTES] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_box_easy_afternm(out.data(), input.bytes(),
                                                         static_cast<std::size_t>(input.length), nonce,
                                                         keys().shared));
    }
    count_bytes(state);
}

void pipeline_seal(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    Pipeline pipeline;
    pipeline.append_encoder(encryptor());
    Status status;
    run_stage(state, [&] { return pipeline.encode(input.view(), &status); });
}

void pipeline_seal_send_copy(benchmark::State& state)
{
    const Message input = sample(message_size(state));
    Pipeline pipeline;
    pipeline.append_encoder(encryptor());
    Status status;
    run_stage(state, [&] { return pipeline.encode(Message(input), &status); });
}

// The ring of bodies sealed with counters 0..n-1, and their nonces.
struct SealedRing {
    explicit SealedRing(std::size_t size)
    {
        Pipeline sender;
        sender.append_encoder(encryptor());
        Status status;
        const Message plain = sample(size);
        for (std::size_t i = 0; i < ring_size(size); ++i) {
            bodies.emplace_back(sender.encode(Message(plain), &status));
            nonces.emplace_back();
            xs::nonce(nonces.back().bytes, i);
        }
    }
    struct Nonce {
        xs::xsalsa20_asymmetric_nonce_t bytes;
    };
    std::vector<Bytes> bodies;
    std::vector<Nonce> nonces;
};

void raw_box_open(benchmark::State& state)
{
    const SealedRing ring(message_size(state));
    std::vector<unsigned char> out(message_size(state));
    std::size_t next = 0;
    for (auto _ : state) {
        const Bytes& body = ring.bodies[next];
        if (crypto_box_open_easy_afternm(out.data(), body.bytes(), static_cast<std::size_t>(body.length),
                                         ring.nonces[next].bytes, keys().shared) != 0) {
            state.SkipWithError("box did not open");
            break;
        }
        next = (next + 1) % ring.bodies.size();
    }
    count_bytes(state);
}

void pipeline_open(benchmark::State& state)
{
    const SealedRing ring(message_size(state));
    Pipeline fresh;
    fresh.append_decoder(decryptor());
    auto receiver = std::make_unique<Pipeline>(fresh);
    Status status;
    std::size_t next = 0;
    run_stage(state, [&] {
        Message out = receiver->decode(ring.bodies[next].view(), &status);
        if (++next == ring.bodies.size()) {
            state.PauseTiming();
            next = 0;
            receiver = std::make_unique<Pipeline>(fresh);
            state.ResumeTiming();
        }
        return out;
    });
}

// ---------------------------------------------------------------- session

// Two ends after an in-memory session handshake.
struct SessionEnds {
    SessionEnds()
    {
        for (Pipeline* end : {&sender, &receiver}) {
            end->append_encoder(std::make_shared<SessionEncryptor>(keys().sender_public, keys().sender_secret));
            end->append_decoder(std::make_shared<SessionDecryptor>(keys().sender_public, keys().sender_secret));
        }
        Status status;
        auto a = detail::SessionHandshake::create(sender, true, &status);
        auto b = detail::SessionHandshake::create(receiver, false, &status);
        Message hello_a = std::move(a->start().out[0]), hello_b = std::move(b->start().out[0]);
        Message confirm_a = std::move(a->receive(std::move(hello_b)).out[0]);
        Message confirm_b = std::move(b->receive(std::move(hello_a)).out[0]);
        if (!a->receive(std::move(confirm_b)).done || !b->receive(std::move(confirm_a)).done) {
            std::abort();
        }
    }
    Pipeline sender;
    Pipeline receiver;
};

void raw_aead_seal(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    std::vector<unsigned char> out(static_cast<std::size_t>(input.length) + crypto_aead_xchacha20poly1305_ietf_ABYTES);
    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_aead_xchacha20poly1305_ietf_encrypt(
            out.data(), nullptr, input.bytes(), static_cast<unsigned long long>(input.length), nullptr, 0, nullptr,
            nonce, keys().shared));
    }
    count_bytes(state);
}

void pipeline_session_seal(benchmark::State& state)
{
    const Bytes input(sample(message_size(state)));
    SessionEnds ends;
    Status status;
    run_stage(state, [&] { return ends.sender.encode(input.view(), &status); });
}

// A ring of bodies the receiver opens in order; when it runs out, the sender
// seals the next round (untimed), so the two counters stay in step.
void pipeline_session_open(benchmark::State& state)
{
    const Message plain = sample(message_size(state));
    SessionEnds ends;
    Status status;
    std::vector<Bytes> ring;
    for (std::size_t i = 0; i < ring_size(message_size(state)); ++i) {
        ring.emplace_back(ends.sender.encode(Message(plain), &status));
    }
    std::size_t next = 0;
    run_stage(state, [&] {
        Message out = ends.receiver.decode(ring[next].view(), &status);
        if (++next == ring.size()) {
            state.PauseTiming();
            for (Bytes& body : ring) {
                body = Bytes(ends.sender.encode(Message(plain), &status));
            }
            next = 0;
            state.ResumeTiming();
        }
        return out;
    });
}

} // namespace

#define SIZES ->Arg(64)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024)

BENCHMARK(raw_lz4_compress) SIZES;
BENCHMARK(pipeline_compress) SIZES;
BENCHMARK(pipeline_compress_send_copy) SIZES;
BENCHMARK(raw_lz4_decompress) SIZES;
BENCHMARK(pipeline_decompress) SIZES;
BENCHMARK(raw_box_seal_without_precomputation) SIZES;
BENCHMARK(raw_box_seal) SIZES;
BENCHMARK(pipeline_seal) SIZES;
BENCHMARK(pipeline_seal_send_copy) SIZES;
BENCHMARK(raw_box_open) SIZES;
BENCHMARK(pipeline_open) SIZES;
BENCHMARK(raw_aead_seal) SIZES;
BENCHMARK(pipeline_session_seal) SIZES;
BENCHMARK(pipeline_session_open) SIZES;

BENCHMARK_MAIN();
