// LZ4 compression stage: one worst-case allocation, trimmed afterwards.
#include "pipeline/encoder/Compressor.hpp"

#include <utility>

#include "pipeline/StageResult.hpp"
#include "util/LZ4.hpp"

namespace korvane {

using Status = Transport::StatusCode;

Message Compressor::process(Message input, Transport::StatusCode* status)
{
    if (input.null()) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    }
    Message output(compression::LZ4::max_compression_size(input.length()));
    const korvane_buf_len_t written =
        compression::LZ4::compress(input.buffer(), output.buffer(), input.length(), output.length());
    if (written <= 0) {
        return detail::stage_failure(status, Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "LZ4 algorithm error");
    }
    output.length(written);
    return detail::stage_success(status, std::move(output));
}

korvane_buf_len_t Compressor::max_output_length(korvane_buf_len_t length) const noexcept
{
    const korvane_buf_len_t bound = compression::LZ4::max_compression_size(length);
    return bound > 4 ? bound : -1;
}

Compressor* Compressor::clone() const
{
    return new Compressor();
}

} // namespace korvane
