// Chains encoder and decoder stages; copies of a pipeline clone every stage so
// that no two pipelines ever share per-message state.
#include "pipeline/Pipeline.hpp"

#include <new>
#include <string>
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

Transport::StatusCode too_large_once_encoded(korvane_buf_len_t input, korvane_buf_len_t output,
                                             korvane_buf_len_t limit)
{
    return Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_MSG_TOO_LARGE,
                                 "Message of size " + std::to_string(input) + " is > maximum length " +
                                     std::to_string(limit) + " once encoded (" + std::to_string(output) + ")");
}

Transport::StatusCode out_of_memory()
{
    return Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_NO_MEMORY, "Out of memory");
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

bool Pipeline::has_encoders() const noexcept
{
    return !m_encoders.empty();
}

bool Pipeline::first_encoder_leaves_input_intact() const noexcept
{
    return !m_encoders.empty() && m_encoders.front()->leaves_input_intact();
}

korvane_buf_len_t Pipeline::max_encoded_length(korvane_buf_len_t length) const noexcept
{
    for (const EncoderEntry& stage : m_encoders) {
        if (length < 0) {
            break;
        }
        length = stage->max_output_length(length);
    }
    return length;
}

Message Pipeline::encode_bounded(Message input, Transport::StatusCode& status, korvane_buf_len_t limit) noexcept
{
    const korvane_buf_len_t original = input.length();
    status = Transport::StatusCode();
    try {
        Message result(std::move(input));
        for (const EncoderEntry& stage : m_encoders) {
            const korvane_buf_len_t bound = stage->spends_per_message() ? stage->max_output_length(result.length()) : -1;
            if (bound > limit) {
                status = too_large_once_encoded(original, bound, limit);
                return Message();
            }
            result = stage->process(std::move(result), &status);
            if (result.null()) {
                break;
            }
        }
        return result;
    } catch (const std::bad_alloc&) {
        status = out_of_memory();
    }
    return Message();
}

Message Pipeline::decode_checked(Message input, Transport::StatusCode& status, bool& fatal) noexcept
{
    status = Transport::StatusCode();
    fatal = false;
    try {
        Message result(std::move(input));
        for (const DecoderEntry& stage : m_decoders) {
            result = stage->process(std::move(result), &status);
            if (result.null()) {
                fatal = stage->fails_closed();
                break;
            }
        }
        return result;
    } catch (const std::bad_alloc&) {
        status = out_of_memory();
        fatal = true;
    }
    return Message();
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
