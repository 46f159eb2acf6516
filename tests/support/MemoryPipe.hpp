// An in-memory byte stream for the callback transport: two queues, one per
// direction, behind the four callbacks. Reads block until bytes arrive, the
// writing end closes, or the deadline passes (then they fail), so a broken
// test never hangs.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "support/Loopback.hpp"
#include "transport/CallbackTransport.hpp"

namespace korvane {
namespace testing {

/// One direction of the stream.
class ByteQueue {
public:
    /// Takes every byte; -1 once closed.
    long write(const void* data, long length)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) {
            return -1;
        }
        const auto* bytes = static_cast<const unsigned char*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + length);
        m_cv.notify_all();
        return length;
    }

    /// At least one byte and at most `length`; 0 once closed and drained;
    /// -1 when nothing came before the deadline.
    long read(void* data, long length)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, DEADLINE, [this] { return !m_bytes.empty() || m_closed; })) {
            return -1;
        }
        const long count = std::min<long>(length, static_cast<long>(m_bytes.size()));
        std::copy_n(m_bytes.begin(), count, static_cast<unsigned char*>(data));
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + count);
        return count;
    }

    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<unsigned char> m_bytes;
    bool m_closed = false;
};

/// A callback transport reading from `in` and writing to `out`; its close
/// ends both directions, as hanging up a connection would.
inline std::unique_ptr<CallbackTransport> pipe_end(std::shared_ptr<ByteQueue> in, std::shared_ptr<ByteQueue> out)
{
    return std::make_unique<CallbackTransport>(
        [](const std::string&, int) { return true; },
        [in](void* data, long length, long&) { return in->read(data, length); },
        [out](void* data, long length) { return out->write(data, length); },
        [in, out] {
            in->close();
            out->close();
        });
}

/// Two callback transports joined back to back.
inline std::pair<std::unique_ptr<CallbackTransport>, std::unique_ptr<CallbackTransport>> memory_pipe()
{
    auto forward = std::make_shared<ByteQueue>();
    auto backward = std::make_shared<ByteQueue>();
    return {pipe_end(backward, forward), pipe_end(forward, backward)};
}

} // namespace testing
} // namespace korvane
