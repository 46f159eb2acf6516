// A stage applied to incoming messages.
#pragma once

#include "pipeline/PipelineImpl.hpp"

namespace korvane {

class Decoder : public PipelineImpl {
public:
    ~Decoder() override = default;
    /// A new stage with the same settings and keys and any per-message state
    /// (counters) reset; the caller owns it.
    virtual Decoder* clone() const = 0;
    /// True for a stage that cannot recover from one failed message (its
    /// counter would stay out of step with the peer's): the socket closes the
    /// connection at the first failure of such a stage.
    virtual bool fails_closed() const noexcept { return false; }
};

} // namespace korvane
