// Encoder that compresses each message on its own with LZ4. The body it
// produces is a 4-byte big-endian uncompressed length and a raw LZ4 block.
#pragma once

#include "pipeline/Encoder.hpp"

namespace korvane {

class Compressor : public Encoder {
public:
    Compressor() = default;
    ~Compressor() override = default;

    Compressor(const Compressor&) = delete;
    Compressor(Compressor&&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    Compressor& operator=(Compressor&&) = delete;

    /// Compresses `input`. Fails with TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR:
    /// "Zero length input" for a null input, "LZ4 algorithm error" when liblz4
    /// cannot compress it (above about 2 GiB). Stateless: safe on any thread.
    Message process(Message input, Transport::StatusCode* status) override;
    /// A new Compressor, owned by the caller.
    Compressor* clone() const override;
    /// LZ4's worst case plus the 4-byte length; -1 beyond what LZ4 takes.
    korvane_buf_len_t max_output_length(korvane_buf_len_t length) const noexcept override;
    /// True: the compressed bytes go to a new buffer.
    bool leaves_input_intact() const noexcept override { return true; }
};

} // namespace korvane
