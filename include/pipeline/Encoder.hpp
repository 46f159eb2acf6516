// A stage applied to outgoing messages.
#pragma once

#include "pipeline/PipelineImpl.hpp"

namespace korvane {

class Encoder : public PipelineImpl {
public:
    ~Encoder() override = default;
    /// A new stage with the same settings and keys and any per-message state
    /// (counters) reset; the caller owns it.
    virtual Encoder* clone() const = 0;
    /// True for a stage that spends state (a counter) on every message, even
    /// one that never reaches the peer: the socket refuses a message such a
    /// stage would make too large for a frame before running it.
    virtual bool spends_per_message() const noexcept { return false; }
    /// True for a stage whose process() only reads its input and returns its
    /// output in a new buffer: the socket may then lend it the caller's bytes
    /// instead of a copy. False unless a stage promises it.
    virtual bool leaves_input_intact() const noexcept { return false; }
    /// The most bytes process() makes of `length` bytes; -1 when unknown.
    virtual korvane_buf_len_t max_output_length(korvane_buf_len_t length) const noexcept
    {
        (void)length;
        return -1;
    }
};

} // namespace korvane
