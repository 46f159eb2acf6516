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
};

} // namespace korvane
