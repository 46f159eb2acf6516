// LZ4 decompression stage. The declared length comes from the peer, so it is
// bounded by what the block could possibly produce before any allocation.
#include "pipeline/decoder/Decompressor.hpp"

#include <limits>
#include <string>
#include <utility>

#include "pipeline/StageResult.hpp"
#include "util/LZ4.hpp"

namespace korvane {

using Status = Transport::StatusCode;

namespace {

// An LZ4 block cannot expand by more than this: the longest match costs one
// byte per 255 bytes of output.
const korvane_buf_len_t MAX_EXPANSION = 255;

// True when a block of `block_length` bytes (header excluded) could decode to
// `declared` bytes and liblz4 can address that much.
bool plausible(korvane_buf_len_t declared, korvane_buf_len_t block_length)
{
    if (declared < 1 || declared > std::numeric_limits<int>::max()) {
        return false;
    }
    return declared / MAX_EXPANSION <= block_length;
}

} // namespace

Decompressor::Decompressor(korvane_buf_len_t max_length) : m_max_length(max_length) {}

Message Decompressor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    if (input.length() < compression::LZ4::HEADER_SIZE) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "LZ4 algorithm error");
    }
    const korvane_buf_len_t declared = compression::LZ4::decompressed_size(input.buffer());
    if (!plausible(declared, input.length() - compression::LZ4::HEADER_SIZE)) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "LZ4 algorithm error");
    }
    if (declared > m_max_length) {
        const std::string text = "Decompressed size " + std::to_string(declared) + " is > maximum length " +
                                 std::to_string(m_max_length);
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, text.c_str());
    }
    Message output(declared);
    const korvane_buf_len_t produced =
        compression::LZ4::decompress(input.buffer(), output.buffer(), input.length(), declared);
    if (produced <= 0) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "LZ4 algorithm error");
    }
    output.length(produced);
    return detail::stage_success(status, std::move(output));
}

Decompressor* Decompressor::clone() const
{
    return new Decompressor(m_max_length);
}

} // namespace korvane
