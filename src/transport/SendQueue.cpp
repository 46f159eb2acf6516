#include "transport/SendQueue.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

// A batch stays within what the system takes in one gather call (asio hands
// it at most 64 pieces) and bounds how long the first callback waits.
constexpr std::size_t MAX_BATCH_FRAMES = 32;
constexpr korvane_buf_len_t HEADER_SIZE = TransportFramer::HEADER_SIZE;

} // namespace

SendQueue::SendQueue(TransportFramer& owner, std::shared_ptr<Transport> transport)
    : m_framer(&owner), m_transport(std::move(transport))
{
}

void SendQueue::push(Pending&& pending)
{
    std::shared_ptr<Batch> batch = empty_batch();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queued.push_back(std::move(pending));
        if (m_writing) {
            return;
        }
        m_writing = true;
        take_batch(*batch);
    }
    write(std::move(batch));
}

std::shared_ptr<SendQueue::Batch> SendQueue::empty_batch()
{
    auto batch = std::make_shared<Batch>();
    batch->reserve(MAX_BATCH_FRAMES);
    return batch;
}

void SendQueue::forget_framer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_framer = nullptr;
    m_queued.clear();
}

void SendQueue::take_batch(Batch& batch)
{
    const std::size_t count = std::min(m_queued.size(), MAX_BATCH_FRAMES);
    for (std::size_t i = 0; i < count; ++i) {
        batch.push_back(std::move(m_queued.front()));
        m_queued.pop_front();
    }
}

void SendQueue::write(std::shared_ptr<Batch> batch)
{
    Transport::ConstBuffer pieces[2 * MAX_BATCH_FRAMES];
    std::size_t count = 0;
    for (const Pending& pending : *batch) {
        pieces[count++] = {pending.header, HEADER_SIZE};
        if (pending.length > 0) {
            pieces[count++] = {pending.payload.buffer(), pending.length};
        }
    }
    const std::shared_ptr<Transport> transport = m_transport.lock();
    if (!transport) {
        written(batch, -1, Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, "Transport is gone"));
        return;
    }
    std::shared_ptr<SendQueue> self = shared_from_this();
    try {
        transport->write_gather_async(pieces, count, [self, batch](Transport&, long bytes, Status status) {
            self->written(batch, bytes, status);
        });
    } catch (const std::exception& error) {
        written(batch, -1, Status(Status::TRANSPORT_STATUS_NO_MEMORY, error.what()));
    }
}

// Every frame of the batch shares the write's outcome; the callbacks run
// before the next batch starts, so they keep call order whatever thread the
// next write completes on.
void SendQueue::written(const std::shared_ptr<Batch>& batch, long bytes, const Status& status)
{
    for (Pending& pending : *batch) {
        TransportFramer* framer = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            framer = m_framer;
        }
        if (framer == nullptr) {
            break;
        }
        const long own = bytes > 0 ? HEADER_SIZE + pending.length : bytes;
        TransportFramer::send_callback_t callback = std::move(pending.callback);
        pending.payload = Message();
        callback(*framer, own, status);
    }
    batch->clear(); // its frames are done: the next write reuses its room
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queued.empty() || m_framer == nullptr) {
            m_writing = false;
            return;
        }
        take_batch(*batch);
    }
    write(batch);
}

} // namespace detail
} // namespace korvane
