// Chains encoder and decoder stages; copies of a pipeline clone every stage so
// that no two pipelines ever share per-message state.
#include "pipeline/Pipeline.hpp"

#include <utility>

namespace korvane {

namespace {

// Runs `input` through `stages` front to back and stops at the first stage
// that returns a null message: that stage has already reported why.
template <typename Entries>
Message run(const Entries& stages, Message input, Transport::StatusCode* status)
{
    Message result(std::move(input));
    if (stages.empty()) {
        if (status != nullptr) {
            *status = Transport::StatusCode();
        }
        return result;
    }
    for (const auto& stage : stages) {
        result = stage->process(std::move(result), status);
        if (result.null()) {
            break;
        }
    }
    return result;
}

} // namespace

Pipeline::Pipeline() = default;

Pipeline::Pipeline(const Pipeline& other)
{
    *this = other;
}

Pipeline& Pipeline::operator=(const Pipeline& other)
{
    if (this == &other) {
        return *this;
    }
    for (const EncoderEntry& entry : other.m_encoders) {
        m_encoders.emplace_back(entry->clone());
    }
    for (const DecoderEntry& entry : other.m_decoders) {
        m_decoders.emplace_back(entry->clone());
    }
    return *this;
}

Pipeline::~Pipeline()
{
    // Decoders go first, then encoders.
    m_decoders.clear();
    m_encoders.clear();
}

Message Pipeline::encode(Message input, Transport::StatusCode* status)
{
    return run(m_encoders, std::move(input), status);
}

Message Pipeline::decode(Message input, Transport::StatusCode* status)
{
    return run(m_decoders, std::move(input), status);
}

void Pipeline::append_encoder(EncoderEntry encoder)
{
    if (encoder) {
        m_encoders.push_back(std::move(encoder));
    }
}

void Pipeline::append_decoder(DecoderEntry decoder)
{
    if (decoder) {
        m_decoders.push_back(std::move(decoder));
    }
}

} // namespace korvane
