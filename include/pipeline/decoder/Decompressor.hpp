// Decoder that restores messages compressed by Compressor.
#pragma once

#include "pipeline/Decoder.hpp"

namespace korvane {

class Decompressor : public Decoder {
public:
    static constexpr korvane_buf_len_t DEFAULT_MAX_LENGTH = 5242880;

    /// Refuses messages that declare more than `max_length` bytes (the frame
    /// limit by default).
    explicit Decompressor(korvane_buf_len_t max_length = DEFAULT_MAX_LENGTH);
    ~Decompressor() override = default;

    Decompressor(const Decompressor&) = delete;
    Decompressor(Decompressor&&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    Decompressor& operator=(Decompressor&&) = delete;

    /// Decompresses `input`. A null input fails with "Zero length input" and
    /// TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR; a short or malformed body, or a
    /// declared length of 0 or beyond what the block can expand to, fails with
    /// "LZ4 algorithm error" and TRANSPORT_STATUS_PIPELINE_DECODE_ERROR before
    /// anything is allocated; a declared length above the bound fails with
    /// "Decompressed size N is > maximum length M" (same code), also before
    /// allocating. Stateless: safe on any thread.
    Message process(Message input, Transport::StatusCode* status) override;
    /// A new Decompressor with the same bound, owned by the caller.
    Decompressor* clone() const override;

private:
    korvane_buf_len_t m_max_length;
};

} // namespace korvane
