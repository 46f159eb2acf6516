#include "transport/SendQueue.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

// A batch stays within what the system takes in one gather call (asio hands
// it at most 64 pieces) and bounds how long the first callback waits. A
// frame whose payload is at most MAX_PACKED_PAYLOAD is copied into the
// batch's packed buffer rather than given pieces of its own: copying a few
// hundred bytes costs less than the system call a further batch would.
constexpr std::size_t MAX_PIECES = 64;
constexpr std::size_t FIRST_BATCH_FRAMES = 32;
constexpr std::size_t MAX_BATCH_FRAMES = 256;
constexpr korvane_buf_len_t MAX_PACKED_PAYLOAD = 512;
constexpr std::size_t MAX_PACKED_BYTES = 32 * 1024;
// A frame may write ahead behind frames that did only from this size on,
// where the copy it saves costs more than the system call it adds; smaller
// ones queue and leave together in the next write.
constexpr korvane_buf_len_t MIN_AHEAD_BEHIND_OTHERS = 32 * 1024;
constexpr korvane_buf_len_t HEADER_SIZE = TransportFramer::HEADER_SIZE;

bool packs(const SendQueue::Pending& pending)
{
    return !pending.rest && pending.length <= MAX_PACKED_PAYLOAD;
}

// False for a frame written whole ahead, which waits only for its callback.
bool unwritten(const SendQueue::Pending& pending)
{
    return !pending.rest || pending.payload.length() > 0;
}

// Copies the lent payload's bytes from offset `from` on to `at`.
unsigned char* copy_lent(const SendQueue::Pending& pending, const SendQueue::Lent& lent, std::size_t from,
                         unsigned char* at)
{
    const auto* prefix = static_cast<const unsigned char*>(lent.prefix);
    const std::size_t prefix_length = static_cast<std::size_t>(lent.prefix_length);
    if (from < prefix_length) {
        at = std::copy(prefix + from, prefix + prefix_length, at);
        from = prefix_length;
    }
    const std::size_t rest = static_cast<std::size_t>(pending.length) - from;
    return std::copy_n(static_cast<const unsigned char*>(lent.payload) + (from - prefix_length), rest, at);
}

// The bytes of a frame from `written` on, header and payload, in one buffer.
Message unwritten_rest(const SendQueue::Pending& pending, const SendQueue::Lent& lent, std::size_t written)
{
    const std::size_t total = HEADER_SIZE + static_cast<std::size_t>(pending.length);
    Message rest(static_cast<korvane_buf_len_t>(total - written));
    auto* at = static_cast<unsigned char*>(rest.buffer());
    if (written < HEADER_SIZE) {
        at = std::copy(pending.header + written, pending.header + HEADER_SIZE, at);
        written = HEADER_SIZE;
    }
    copy_lent(pending, lent, written - HEADER_SIZE, at);
    return rest;
}

} // namespace

SendQueue::SendQueue(TransportFramer& owner, std::shared_ptr<Transport> transport)
    : m_framer(&owner), m_transport(std::move(transport))
{
}

void SendQueue::push(Pending&& pending)
{
    // One batch per queue, made by the first send outside the lock; it is
    // in flight or spare from then on, so later sends allocate none.
    std::shared_ptr<Batch> made;
    if (!m_batch_made.load(std::memory_order_acquire)) {
        made = empty_batch();
    }
    std::shared_ptr<Batch> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (made && !m_batch_made.load(std::memory_order_relaxed)) {
            m_spare = std::move(made);
            m_batch_made.store(true, std::memory_order_release);
        }
        const bool left = unwritten(pending);
        m_queued.push_back(std::move(pending));
        m_unwritten += left ? 1 : 0;
        if (m_writing || m_ahead_claimed) {
            return; // the write in flight, or the claim, takes it on
        }
        m_writing = true;
        batch = std::move(m_spare);
        take_batch(*batch);
    }
    write(std::move(batch));
}

// A caller's bytes are lent for the call only. While no write is on the
// wire and no queued frame has bytes left to write, which includes the
// callbacks of a write that has ended, the frame goes out from them as far
// as the system takes it at once; what it leaves is copied and queued, to go
// with the next write. Frames written whole ahead wait in the queue only for
// their callbacks, so the sends after them may write ahead too.
void SendQueue::push_lent(Pending&& pending, const Lent& lent)
{
    // A small frame is copied into the packed buffer anyway: it takes the
    // plain path, one lock pass.
    if (pending.length <= MAX_PACKED_PAYLOAD || !claim_wire(pending.length)) {
        pending.payload = Message(pending.length);
        copy_lent(pending, lent, 0, static_cast<unsigned char*>(pending.payload.buffer()));
        push(std::move(pending));
        return;
    }
    std::size_t ahead = 0;
    const std::shared_ptr<Transport> transport = m_transport.lock();
    if (transport) {
        Transport::ConstBuffer pieces[3] = {{pending.header, HEADER_SIZE}};
        std::size_t count = 1;
        if (lent.prefix_length > 0) {
            pieces[count++] = {lent.prefix, lent.prefix_length};
        }
        pieces[count++] = {lent.payload, pending.length - lent.prefix_length};
        ahead = transport->write_gather_ahead(pieces, count);
    }
    std::shared_ptr<Batch> batch;
    std::exception_ptr failure;
    try {
        pending.payload = unwritten_rest(pending, lent, ahead);
        pending.rest = true;
        std::lock_guard<std::mutex> lock(m_mutex);
        // After the frames written ahead before it, before the sends queued meanwhile.
        const std::size_t at = std::min(m_claim_at, m_queued.size());
        const bool left = unwritten(pending);
        m_queued.insert(m_queued.begin() + static_cast<std::ptrdiff_t>(at), std::move(pending));
        m_unwritten += left ? 1 : 0;
        batch = release_wire();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (ahead > 0) {
            // Part of the frame is out and the rest cannot follow: the
            // stream can carry nothing more.
            transport->close();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        batch = release_wire();
    }
    if (batch) {
        write(std::move(batch));
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool SendQueue::claim_wire(korvane_buf_len_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool behind_others = !m_queued.empty();
    if (!m_wire_idle || m_ahead_claimed || m_unwritten > 0 || (behind_others && length < MIN_AHEAD_BEHIND_OTHERS) ||
        !m_batch_made.load(std::memory_order_relaxed)) {
        return false;
    }
    m_ahead_claimed = true;
    m_claim_at = m_queued.size();
    return true;
}

// Under m_mutex: ends a claim, and claims the spare batch for what queued
// when no write has started since (a write ending meanwhile left it to us).
std::shared_ptr<SendQueue::Batch> SendQueue::release_wire()
{
    m_ahead_claimed = false;
    if (m_writing || m_queued.empty()) {
        return nullptr;
    }
    m_writing = true;
    std::shared_ptr<Batch> batch = std::move(m_spare);
    take_batch(*batch);
    return batch;
}

std::shared_ptr<SendQueue::Batch> SendQueue::empty_batch()
{
    auto batch = std::make_shared<Batch>();
    batch->frames.reserve(FIRST_BATCH_FRAMES);
    return batch;
}

void SendQueue::forget_framer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_framer = nullptr;
    m_queued.clear();
    m_unwritten = 0;
}

// Counts what gather() will make of the frames, so that a batch never needs
// more pieces or packed bytes than it has room for; the first frame always goes.
void SendQueue::take_batch(Batch& batch)
{
    m_wire_idle = false;
    std::size_t pieces = 0, packed_bytes = 0;
    bool packing = false;
    while (!m_queued.empty() && batch.frames.size() < batch.frames.capacity()) {
        const Pending& next = m_queued.front();
        if (packs(next)) {
            const std::size_t bytes = HEADER_SIZE + next.length;
            const std::size_t more = packing ? 0 : 1;
            if (!batch.frames.empty() && (pieces + more > MAX_PIECES || packed_bytes + bytes > MAX_PACKED_BYTES)) {
                break;
            }
            pieces += more;
            packed_bytes += bytes;
            packing = true;
        } else {
            if (!batch.frames.empty() && pieces + 2 > MAX_PIECES) {
                break;
            }
            pieces += 2;
            packing = false;
        }
        m_unwritten -= unwritten(next) ? 1 : 0;
        batch.frames.push_back(std::move(m_queued.front()));
        m_queued.pop_front();
    }
}

std::size_t SendQueue::gather(Batch& batch, Transport::ConstBuffer* pieces)
{
    std::size_t packed_bytes = 0;
    for (const Pending& pending : batch.frames) {
        packed_bytes += packs(pending) ? HEADER_SIZE + pending.length : 0;
    }
    batch.packed.resize(packed_bytes); // before any piece points into it
    unsigned char* at = batch.packed.data();
    std::size_t count = 0;
    bool packing = false;
    for (const Pending& pending : batch.frames) {
        if (pending.rest) {
            pieces[count++] = {pending.payload.buffer(), pending.payload.length()};
            packing = false;
            continue;
        }
        if (!packs(pending)) {
            pieces[count++] = {pending.header, HEADER_SIZE};
            pieces[count++] = {pending.payload.buffer(), pending.length};
            packing = false;
            continue;
        }
        if (!packing) {
            pieces[count++] = {at, 0};
            packing = true;
        }
        std::copy(pending.header, pending.header + HEADER_SIZE, at);
        if (pending.length > 0) {
            std::copy_n(static_cast<const unsigned char*>(pending.payload.buffer()), pending.length, at + HEADER_SIZE);
        }
        at += HEADER_SIZE + pending.length;
        pieces[count - 1].length += HEADER_SIZE + pending.length;
    }
    return count;
}

void SendQueue::write(std::shared_ptr<Batch> batch)
{
    const std::shared_ptr<Transport> transport = m_transport.lock();
    if (!transport) {
        written(batch, -1, Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Transport is gone"));
        return;
    }
    std::shared_ptr<SendQueue> self = shared_from_this();
    try {
        Transport::ConstBuffer pieces[MAX_PIECES];
        const std::size_t count = gather(*batch, pieces);
        transport->write_gather_async(pieces, count, [self, batch](Transport&, long bytes, Status status) {
            self->written(batch, bytes, status);
        });
    } catch (const std::exception& error) {
        written(batch, -1, Status(Status::TRANSPORT_STATUS_NO_MEMORY, error.what()));
    }
}

// Empties a batch whose frames are done. One that was full gets room for
// twice as many frames, up to MAX_BATCH_FRAMES: only a connection that keeps
// many sends queued holds room for them.
void SendQueue::grow(Batch& batch) noexcept
{
    const bool full = batch.frames.size() == batch.frames.capacity();
    batch.frames.clear();
    if (full && batch.frames.capacity() < MAX_BATCH_FRAMES) {
        try {
            batch.frames.reserve(std::min(2 * batch.frames.capacity(), MAX_BATCH_FRAMES));
        } catch (const std::bad_alloc&) {
            // the batch keeps the room it had
        }
    }
}

// Every frame of the batch shares the write's outcome; the callbacks run
// before the next batch starts, so they keep call order whatever thread the
// next write completes on.
void SendQueue::written(const std::shared_ptr<Batch>& batch, long bytes, const Status& status)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wire_idle = true;
    }
    // Frames written whole ahead go out as an empty write, which is no end of stream.
    const bool all_ahead = std::all_of(batch->frames.begin(), batch->frames.end(), [](const Pending& pending) {
        return pending.rest && pending.payload.length() == 0;
    });
    if (status.code() >= 0 && bytes == 0 && all_ahead) {
        bytes = 1;
    }
    for (Pending& pending : batch->frames) {
        // A callback may destroy the framer, which forgets us first.
        TransportFramer* framer = m_framer.load();
        if (framer == nullptr) {
            break;
        }
        const long own = bytes > 0 ? HEADER_SIZE + pending.length : bytes;
        TransportFramer::send_callback_t callback = std::move(pending.callback);
        pending.payload = Message();
        callback(*framer, own, status);
    }
    grow(*batch);
    write_next(batch);
}

void SendQueue::write_next(const std::shared_ptr<Batch>& batch)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queued.empty() || m_framer == nullptr || m_ahead_claimed) {
            m_writing = false; // a claim of the wire starts what queued once it ends
            m_spare = batch;
            return;
        }
        take_batch(*batch);
    }
    write(batch);
}

} // namespace detail
} // namespace korvane
