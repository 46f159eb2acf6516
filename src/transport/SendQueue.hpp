// The asynchronous sends of one framer: frames queue in call order while a
// write is in flight and leave together in the next gather write, so a
// stream of small messages costs a system call per batch, not per message.
// Small frames are packed side by side into one buffer of the batch, so that
// a batch of them is not bounded by how many pieces one gather call takes.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/TransportFramer.hpp"

namespace korvane {
namespace detail {

struct SendQueue : std::enable_shared_from_this<SendQueue> {
    struct Pending {
        unsigned char header[TransportFramer::HEADER_SIZE];
        Message payload;
        korvane_buf_len_t length;
        TransportFramer::send_callback_t callback;
        bool rest = false; // payload holds the frame's bytes not yet written, header included
    };
    struct Batch {
        std::vector<Pending> frames;
        std::vector<unsigned char> packed; // the small frames, header and payload, in wire order
    };

    SendQueue(TransportFramer& owner, std::shared_ptr<Transport> transport);

    /// Queues one frame and starts a write unless one is in flight. On
    /// allocation failure it throws with `pending` left as it was.
    void push(Pending&& pending);
    /// A frame's payload lent for the call: `prefix_length` bytes at
    /// `prefix`, then the rest of the payload at `payload`.
    struct Lent {
        const void* prefix = nullptr;
        korvane_buf_len_t prefix_length = 0;
        const void* payload = nullptr;
    };
    /// The same for a frame whose payload is read from the caller's bytes,
    /// which may change once this returns: with nothing queued or in flight,
    /// what the system takes at once goes from them, and only the rest is
    /// copied. Throws on allocation failure like push().
    void push_lent(Pending&& pending, const Lent& lent);
    /// The framer is going: callbacks not yet run are dropped.
    void forget_framer();

private:
    std::mutex m_mutex;
    // Read without the lock by completions, once per frame they call back.
    std::atomic<TransportFramer*> m_framer;
    std::weak_ptr<Transport> m_transport; // a write in flight must not keep the connection open
    std::deque<Pending> m_queued;
    bool m_writing = false;
    std::shared_ptr<Batch> m_spare; // the batch while no write is in flight
    std::atomic<bool> m_batch_made{false};
    bool m_wire_idle = true;      // no write on the wire: none started, or the last one ended
    bool m_ahead_claimed = false; // a send is writing ahead on the calling thread
    std::size_t m_unwritten = 0;  // queued frames with bytes still to write
    std::size_t m_claim_at = 0;   // where the claiming send's frame joins the queue

    /// Under m_mutex: moves the frames the next write carries into `batch`,
    /// whose room is reserved beforehand (nothing allocates under the lock).
    void take_batch(Batch& batch);
    /// The pieces of one gather write of `batch`, its small frames packed.
    static std::size_t gather(Batch& batch, Transport::ConstBuffer* pieces);
    static void grow(Batch& batch) noexcept;
    static std::shared_ptr<Batch> empty_batch();
    void write(std::shared_ptr<Batch> batch);
    /// Ends the write `batch` stood for: the next one starts, or the batch
    /// goes back to spare.
    void write_next(const std::shared_ptr<Batch>& batch);
    /// Claims the wire for a write ahead of a frame of `length` bytes:
    /// nothing on it, nothing queued that has bytes left to write.
    bool claim_wire(korvane_buf_len_t length);
    std::shared_ptr<Batch> release_wire();
    void written(const std::shared_ptr<Batch>& batch, long bytes, const Transport::StatusCode& status);
};

} // namespace detail
} // namespace korvane
