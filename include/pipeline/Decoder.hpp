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
};

} // namespace korvane
