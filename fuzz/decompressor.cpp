// The input is a compressed body from a peer. Property: Decompressor never
// crashes, never allocates more than the block could expand to (whatever
// length the header declares), and never returns more than it declares; and
// the body Compressor makes of the same bytes decompresses back to them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "FuzzSupport.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

constexpr std::size_t HEADER_SIZE = 4;
// An LZ4 block grows at most 255-fold; the slack covers status texts.
constexpr std::size_t MAX_EXPANSION = 255;
constexpr std::size_t SLACK = 1024;

const Status ZERO_LENGTH(Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
const Status MALFORMED(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "LZ4 algorithm error");

void decompress_hostile(const std::uint8_t* data, std::size_t size)
{
    Decompressor decompressor;
    Message body(data, static_cast<korvane_buf_len_t>(size));
    Status status;
    fuzz::watch_allocations();
    const Message output = decompressor.process(std::move(body), &status);
    FUZZ_CHECK(fuzz::largest_allocation() <= MAX_EXPANSION * size + SLACK);
    if (size == 0) {
        FUZZ_CHECK(output.null() && status == ZERO_LENGTH);
        return;
    }
    if (output.null()) {
        FUZZ_CHECK(status == MALFORMED);
        return;
    }
    FUZZ_CHECK(status == Status());
    FUZZ_CHECK(size >= HEADER_SIZE);
    const std::uint32_t declared = endian::load_big32(data);
    FUZZ_CHECK(output.length() >= 1 && static_cast<std::uint64_t>(output.length()) <= declared);
}

void round_trip(const std::uint8_t* data, std::size_t size)
{
    Compressor compressor;
    Status status;
    Message body = compressor.process(Message(data, static_cast<korvane_buf_len_t>(size)), &status);
    if (size == 0) {
        FUZZ_CHECK(body.null() && status == ZERO_LENGTH);
        return;
    }
    FUZZ_CHECK(!body.null() && status == Status());
    FUZZ_CHECK(endian::load_big32(body.buffer()) == size);

    Decompressor decompressor;
    const Message restored = decompressor.process(std::move(body), &status);
    FUZZ_CHECK(status == Status());
    FUZZ_CHECK(static_cast<std::size_t>(restored.length()) == size);
    FUZZ_CHECK(std::memcmp(restored.buffer(), data, size) == 0);
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    korvane::fuzz::exhaust_message_pool();
    korvane::decompress_hostile(data, size);
    korvane::round_trip(data, size);
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

// Compressor's body for `plain`: the 4-byte length, then the block.
Bytes compressed(const Bytes& plain)
{
    Compressor compressor;
    Status status;
    const Message body = compressor.process(Message(plain.data(), static_cast<korvane_buf_len_t>(plain.size())),
                                            &status);
    FUZZ_CHECK(status == Status());
    const auto* start = static_cast<const std::uint8_t*>(body.buffer());
    return Bytes(start, start + body.length());
}

// The same block behind another declared length.
Bytes declaring(std::uint32_t length, const Bytes& body)
{
    return cat({big32(length), Bytes(body.begin() + HEADER_SIZE, body.end())});
}

Bytes repeated(const std::string& piece, std::size_t times)
{
    std::string whole;
    for (std::size_t i = 0; i < times; ++i) {
        whole += piece;
    }
    return text(whole);
}

} // namespace

std::vector<Seed> seeds()
{
    const Bytes greeting = compressed(repeated("hello ", 8));
    const Bytes zeros = compressed(Bytes(3000, 0));
    return {
        {"empty-body", Bytes()},
        {"header-cut-at-1", Bytes{0}},
        {"header-cut-at-3", hex("000005")},
        {"header-only", big32(5)},
        {"literals-only", cat({big32(5), hex("50"), text("hello")})},
        {"valid-repetitive-text", greeting},
        {"valid-3000-zeros", zeros},
        {"block-cut-short", first(greeting, greeting.size() - 3)},
        {"declares-zero", cat({big32(0), hex("50"), text("hello")})},
        {"declares-less-than-block-holds", declaring(10, greeting)},
        {"declares-more-than-output", declaring(1000, greeting)},
        {"declares-more-than-block-holds", declaring(1000000, zeros)},
        // A literal run whose length bytes alone claim far more than follows.
        {"declares-2GiB", cat({big32(0x80000000u), hex("f0"), Bytes(60, 0xFF)})},
        {"declares-4GiB", cat({big32(0xFFFFFFFFu), hex("1f41"), Bytes(40, 0)})},
        {"literal-length-runs-past-end", cat({big32(600), hex("f0ffff10"), text("abc")})},
        {"match-offset-zero", cat({big32(40), hex("14"), text("abcd"), hex("0000"), hex("50"), text("vwxyz")})},
        {"match-offset-before-start", cat({big32(40), hex("14"), text("abcd"), hex("4000"), hex("50"), text("vwxyz")})},
    };
}

} // namespace fuzz
} // namespace korvane
