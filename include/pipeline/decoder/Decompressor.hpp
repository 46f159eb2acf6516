// Decoder that restores messages compressed by Compressor.
#pragma once

#include "pipeline/Decoder.hpp"

namespace korvane {

class Decompressor : public Decoder {
public:
    Decompressor() = default;
    ~Decompressor() override = default;

    Decompressor(const Decompressor&) = delete;
    Decompressor(Decompressor&&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    Decompressor& operator=(Decompressor&&) = delete;

    /// Decompresses `input`. A null input fails with "Zero length input" and
    /// TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR; a short or malformed body, or a
    /// declared length of 0 or beyond what the block can expand to, fails with
    /// "LZ4 algorithm error" and TRANSPORT_STATUS_PIPELINE_DECODE_ERROR before
    /// anything is allocated. Stateless: safe on any thread.
    Message process(Message input, Transport::StatusCode* status) override;
    /// A new Decompressor, owned by the caller.
    Decompressor* clone() const override;
};

} // namespace korvane
