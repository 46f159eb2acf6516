// Whole messages over a byte-stream transport, one length-prefixed frame each:
// 4 bytes that carry nothing, a 4-byte big-endian payload length
// (1..MAX_FRAME_SIZE), then the payload.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "message/Message.hpp"
#include "transport/Transport.hpp"

namespace korvane {

namespace detail {
struct ReadAhead;
struct ReceiveState;
struct SendQueue;
} // namespace detail

class TransportFramer {
public:
    using recv_callback_t = std::function<void(TransportFramer&, Message, Transport::StatusCode)>;
    using send_callback_t = std::function<void(TransportFramer&, long, Transport::StatusCode)>;

    /// Takes ownership of `transport`.
    explicit TransportFramer(std::unique_ptr<Transport> transport);
    virtual ~TransportFramer();

    TransportFramer(const TransportFramer&) = delete;
    TransportFramer(TransportFramer&&) = delete;
    TransportFramer& operator=(const TransportFramer&) = delete;
    TransportFramer& operator=(TransportFramer&&) = delete;

    /// Receives one frame, blocking. Returns the payload, or a null Message:
    /// the transport's status at end of stream or on failure, or
    /// TRANSPORT_STATUS_MSG_TOO_LARGE for a length of 0 or above MAX_FRAME_SIZE.
    /// The payload buffer grows with the bytes that arrive, so a header alone
    /// reserves at most 64 KiB; TRANSPORT_STATUS_NO_MEMORY when it cannot.
    virtual Message message(Transport::StatusCode* status);
    /// Sends one frame, blocking: write_frame() of the message's bytes.
    virtual Transport::StatusCode message(Message message);
    /// Sends one frame of `length` bytes read from `payload`, blocking, as
    /// one gather write of header and payload: the bytes are not copied and
    /// may change once this returns. TRANSPORT_STATUS_MSG_TOO_LARGE, nothing
    /// written, above MAX_FRAME_SIZE.
    Transport::StatusCode write_frame(const void* payload, korvane_buf_len_t length);

    /// Receives one frame; a frame ending in the middle of its header or
    /// payload is BROKEN_PIPE "Incomplete read". `callback` runs once, where the transport
    /// completes reads (a loop thread for TCP and TLS; it may be this one,
    /// before the call returns, for other transports), with the payload or
    /// a null Message and the reason.
    void message(recv_callback_t callback);
    /// Sends one frame; the framer owns `message` until `callback` ran.
    /// Sends may be started while earlier ones are in flight: they queue in
    /// call order, and whatever queued while a write ran goes out in the
    /// next one, as one gather write of many frames. `callback` runs once,
    /// in call order, where the transport completes writes (a loop thread
    /// for TCP and TLS), with the bytes of its frame (8 + length), 0 at the
    /// end of the stream, or -1 and the reason. A message above
    /// MAX_FRAME_SIZE is refused on the calling thread before this returns.
    /// Once the framer is destroyed, callbacks not yet run are dropped.
    void message(Message message, send_callback_t callback);
    /// The same for `length` bytes read from `payload`, which may change
    /// once this returns: a frame that nothing queued holds back goes out
    /// from them as far as the system takes it at once, and only the rest is
    /// copied.
    void write_frame(const void* payload, korvane_buf_len_t length, send_callback_t callback);
    /// The same for a frame whose payload is `prefix_length` bytes read from
    /// `prefix`, then `length` bytes read from `payload`: a caller's own
    /// header goes before its bytes without copying them together first.
    void write_frame(const void* prefix, korvane_buf_len_t prefix_length, const void* payload,
                     korvane_buf_len_t length, send_callback_t callback);

    /// Forgets the bytes read ahead of the frame being received, so that
    /// frames which had arrived are not delivered once the transport is
    /// closed. Call it with the close; safe from any thread.
    void discard_read_ahead() noexcept;
    /// A further owner of the framed transport.
    std::shared_ptr<Transport> transport();

    /// With `resumable` set, a blocking receive reads the first bytes of its
    /// header with a partial read (an asynchronous one always does, reading
    /// up to 8 KiB ahead for the frames after it), so a read deadline that
    /// passes before any byte of a frame arrived leaves the stream usable; a
    /// deadline that passes part-way through a frame closes the transport
    /// (the stream cannot be resynchronised). Off by default; set only while
    /// no receive runs.
    void resumable_receive(bool resumable) noexcept;

    /// The largest payload a frame carries: 5,242,880 bytes.
    static korvane_buf_len_t max_payload_length() noexcept;

    /// A frame's header: 4 unused bytes, then the payload length.
    static constexpr korvane_buf_len_t HEADER_SIZE = 8;

protected:
    using korvane_frame_length_t = std::uint32_t;
    struct korvane_frame_t {
        std::uint32_t ____unused;
        korvane_frame_length_t length; // big-endian
        // payload follows
    };
    static const korvane_buf_len_t MAX_FRAME_SIZE;

    std::shared_ptr<Transport> m_transport;
    bool m_resumable = false;

private:
    struct AsyncReceive;
    /// Refuses an oversize frame or queues one with `push`, which fills in
    /// its payload; an allocation failure reaches `callback`.
    template <typename Push>
    void queue_frame(korvane_buf_len_t length, send_callback_t callback, Push push);
    std::shared_ptr<detail::SendQueue> m_sends;
    /// Made by the first receive; shared with an asynchronous read filling it.
    std::shared_ptr<detail::ReadAhead> m_ahead;
    /// The asynchronous receive's state, made by the first one and reused by
    /// each next one once the last has called back.
    std::shared_ptr<detail::ReceiveState> m_receive;
    /// Set by discard_read_ahead(); the next receive to start empties the
    /// buffer, which only receives touch (one in progress finishes its frame).
    std::atomic<bool> m_ahead_discarded{false};
    /// The largest payload received whole on this connection; only receives
    /// touch it. A later frame's buffer may start at that size.
    korvane_buf_len_t m_largest_received = 0;
    void note_received(korvane_buf_len_t length);
    /// The read-ahead buffer, emptied first when discard_read_ahead() was called.
    detail::ReadAhead& current_read_ahead();
    Message receive(Transport::StatusCode& status);
    Message receive_payload(korvane_buf_len_t length, detail::ReadAhead* ahead, Transport::StatusCode& status);
    /// Reads exactly `length` bytes; false with the reason in `status`.
    bool read_fully(void* buffer, korvane_buf_len_t length, Transport::StatusCode& status, bool mid_frame);
    /// The read-ahead buffer; null with NO_MEMORY in `status` when it cannot be made.
    detail::ReadAhead* read_ahead(Transport::StatusCode& status);
    void abandon_frame(const Transport::StatusCode& status, bool mid_frame);
};

} // namespace korvane
