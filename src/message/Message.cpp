// Message buffers come from a per-thread slab pool: six slices of 4.5 MiB,
// created on the thread's first request, so steady-state messages cost no
// heap allocation. Small ones come from the heap: its per-thread caches
// serve them faster than a look through the pool for a released slice, and
// a queue of small messages then leaves the slices to the large ones.
#include "message/Message.hpp"

#include <cstring>
#include <utility>

#include "util/Allocator.hpp"

namespace korvane {

namespace {

const korvane_buf_len_t ALLOCATOR_SLICE_SIZE = 0x480000;
const korvane_buf_len_t ALLOCATOR_SLICE_AMNT = 6;

const korvane_buf_len_t POOLED_FROM = 512;

thread_local Allocator g_allocator(ALLOCATOR_SLICE_SIZE, ALLOCATOR_SLICE_AMNT);

std::shared_ptr<char> buffer_for(korvane_buf_len_t length)
{
    return length < POOLED_FROM ? Allocator::heap(length) : g_allocator.allocate(length);
}

} // namespace

Message::Message() : m_buffer(), m_length(0), m_capacity(0) {}

Message::Message(korvane_buf_len_t length)
    : m_buffer(buffer_for(length)), m_length(length), m_capacity(m_buffer ? length : 0)
{
}

Message::Message(korvane_buf_t buffer, korvane_buf_len_t length)
    : Message(static_cast<const void*>(buffer), length)
{
}

Message::Message(const void* buffer, korvane_buf_len_t length)
    : m_buffer(buffer_for(length)), m_length(length), m_capacity(m_buffer ? length : 0)
{
    if (length > 0) {
        std::memcpy(m_buffer.get(), buffer, static_cast<std::size_t>(length));
    }
}

Message::Message(const Message& other)
    : m_buffer(buffer_for(other.m_length)), m_length(other.m_length), m_capacity(m_buffer ? m_length : 0)
{
    if (!other.null()) {
        std::memcpy(m_buffer.get(), other.m_buffer.get(), static_cast<std::size_t>(m_length));
    }
}

Message::Message(Message&& other) noexcept
    : m_buffer(std::move(other.m_buffer)), m_length(other.m_length), m_capacity(other.m_capacity)
{
    other.m_capacity = 0;
}

Message& Message::operator=(const Message& other)
{
    if (this == &other) {
        return *this;
    }
    m_buffer = buffer_for(other.m_length);
    m_length = other.m_length;
    m_capacity = m_buffer ? m_length : 0;
    if (!other.null()) {
        std::memcpy(m_buffer.get(), other.m_buffer.get(), static_cast<std::size_t>(m_length));
    }
    return *this;
}

Message& Message::operator=(Message&& other) noexcept
{
    if (this == &other) {
        return *this;
    }
    m_buffer = std::move(other.m_buffer);
    other.m_buffer.reset();
    m_length = other.m_length;
    m_capacity = other.m_capacity;
    other.m_capacity = 0;
    return *this;
}

Message::~Message() = default;

korvane_buf_t Message::buffer()
{
    return m_buffer.get();
}

const void* Message::buffer() const
{
    return m_buffer.get();
}

korvane_buf_len_t Message::length() const
{
    return m_length;
}

bool Message::length(korvane_buf_len_t length)
{
    // Beyond the buffer a framer would send whatever memory follows it.
    if (length < 0 || length > m_capacity) {
        return false;
    }
    m_length = length;
    return true;
}

korvane_buf_len_t Message::capacity() const
{
    return m_capacity;
}

bool Message::null() const
{
    return !m_buffer || m_length < 1;
}

} // namespace korvane
