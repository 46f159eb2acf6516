// Ordered encoder and decoder stages applied to every message of a socket.
// Both lists run front to back: to undo a peer that compresses then encrypts,
// list the decoders as decryption then decompression.
#pragma once

#include <list>
#include <memory>

#include "message/Message.hpp"
#include "pipeline/Decoder.hpp"
#include "pipeline/Encoder.hpp"
#include "transport/Transport.hpp"

namespace korvane {

/// True when `ptr` points to a T or to a type derived from T; false for null.
template <typename T, typename Base>
bool instanceof(const Base* ptr)
{
    return dynamic_cast<const T*>(ptr) != nullptr;
}

class Pipeline {
public:
    using EncoderEntry = std::shared_ptr<Encoder>;
    using DecoderEntry = std::shared_ptr<Decoder>;

    /// No stages: messages pass through unchanged.
    Pipeline();
    /// Clones every stage of `other`, in order; counters restart at zero.
    Pipeline(const Pipeline& other);
    /// Appends clones of `other`'s stages behind the stages already here.
    /// Self-assignment does nothing.
    Pipeline& operator=(const Pipeline& other);
    Pipeline(Pipeline&&) = delete;
    Pipeline& operator=(Pipeline&&) = delete;
    virtual ~Pipeline();

    /// Runs `input` through every encoder, stopping at the first null result,
    /// whose stage has set `*status`. With no encoders, sets the default
    /// status and returns `input`. `status` may be null. Calls must come one at
    /// a time in wire order (stages may count messages).
    virtual Message encode(Message input, Transport::StatusCode* status);
    /// The same over the decoders, in the order frames arrived.
    virtual Message decode(Message input, Transport::StatusCode* status);

    /// encode() for a connection: before a stage that spends_per_message(), a
    /// message that stage would make longer than `limit` is refused with
    /// TRANSPORT_STATUS_MSG_TOO_LARGE (nothing spent). Allocation failure is
    /// TRANSPORT_STATUS_NO_MEMORY. Never throws.
    Message encode_bounded(Message input, Transport::StatusCode& status, korvane_buf_len_t limit) noexcept;
    /// decode() for a connection: on failure `fatal` is true when the stage
    /// that failed fails_closed() or memory ran out (TRANSPORT_STATUS_NO_MEMORY),
    /// i.e. the connection cannot go on. Never throws.
    Message decode_checked(Message input, Transport::StatusCode& status, bool& fatal) noexcept;

    /// The most bytes encode() can make of `length` bytes, from the stages'
    /// worst cases; -1 when a stage cannot say.
    korvane_buf_len_t max_encoded_length(korvane_buf_len_t length) const noexcept;

    /// Whether any encoder is set: without one, encode() hands back its input.
    bool has_encoders() const noexcept;
    /// Whether the first encoder only reads its input (see
    /// Encoder::leaves_input_intact); false without encoders.
    bool first_encoder_leaves_input_intact() const noexcept;

    /// Appends a stage, shared with the caller; an empty entry is ignored.
    /// Configure both ends before connecting or accepting; not thread-safe.
    void append_encoder(EncoderEntry encoder);
    void append_decoder(DecoderEntry decoder);

    /// The first encoder (front to back) that is a T, or an empty entry.
    template <typename T>
    EncoderEntry encoder()
    {
        for (const EncoderEntry& entry : m_encoders) {
            if (entry && instanceof<T, Encoder>(entry.get())) {
                return entry;
            }
        }
        return EncoderEntry();
    }

    /// The first decoder (front to back) that is a T, or an empty entry.
    template <typename T>
    DecoderEntry decoder()
    {
        for (const DecoderEntry& entry : m_decoders) {
            if (entry && instanceof<T, Decoder>(entry.get())) {
                return entry;
            }
        }
        return DecoderEntry();
    }

protected:
    std::list<EncoderEntry> m_encoders;
    std::list<DecoderEntry> m_decoders;
};

} // namespace korvane
