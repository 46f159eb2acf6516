// Slab allocator: a fixed pool of slices, filled on first use, reused once
// every user has released a slice, with a heap fallback that never blocks.
#include "util/Allocator.hpp"

#include <atomic>

namespace korvane {

Allocator::Allocator(korvane_buf_len_t allocation_size, korvane_size_t slices)
    : m_allocation_size(allocation_size), m_slices(slices)
{
}

Allocator::~Allocator()
{
    // Slices still held by users keep their own reference and are freed
    // (as arrays) when the last one goes.
    m_free.clear();
    m_used.clear();
}

std::shared_ptr<char> Allocator::allocate(korvane_buf_len_t size)
{
    if (size < 1) {
        return std::shared_ptr<char>();
    }
    if (m_free.empty()) {
        if (m_used.empty()) {
            if (m_slices == 0) {
                return make_shared_array<char>(size);
            }
            m_free.reserve(m_slices);
            m_used.reserve(m_slices);
            for (korvane_size_t i = 0; i < m_slices; ++i) {
                m_free.push_back(make_shared_array<char>(m_allocation_size));
            }
        } else {
            reclaim();
        }
    }
    if (size > m_allocation_size || m_free.empty()) {
        return make_shared_array<char>(size);
    }
    m_used.push_back(std::move(m_free.back()));
    m_free.pop_back();
    return m_used.back();
}

korvane_buf_len_t Allocator::allocation_size() const
{
    return m_allocation_size;
}

korvane_size_t Allocator::slices() const
{
    return m_slices;
}

korvane_size_t Allocator::free() const
{
    if (!m_free.empty()) {
        return m_free.size();
    }
    if (!m_used.empty()) {
        return 0;
    }
    return m_slices;
}

void Allocator::reclaim()
{
    bool reclaimed = false;
    for (auto it = m_used.begin(); it != m_used.end();) {
        if (it->use_count() == 1) {
            m_free.push_back(*it);
            it = m_used.erase(it);
            reclaimed = true;
        } else {
            ++it;
        }
    }
    // The last user may have released its slice on another thread: make its
    // writes visible before this thread hands the slice out again.
    // (use_count() is a relaxed load; the release decrement pairs with this.)
    if (reclaimed) {
        std::atomic_thread_fence(std::memory_order_acquire);
    }
}

} // namespace korvane
