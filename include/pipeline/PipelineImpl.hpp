// Root of every pipeline stage: one message in, one new message out.
#pragma once

#include "message/Message.hpp"
#include "transport/Transport.hpp"

namespace korvane {

class PipelineImpl {
public:
    virtual ~PipelineImpl() = default;

    /// Turns `input` into a new message. On success returns a non-null message
    /// and sets `*status` (when given) to the default status; on failure
    /// returns a null Message and sets `*status` to the code and text.
    virtual Message process(Message input, Transport::StatusCode* status) = 0;
};

} // namespace korvane
