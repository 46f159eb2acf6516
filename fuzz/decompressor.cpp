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
