// Slab allocator: a fixed pool of slices, filled on first use, reused once
// every user has released a slice, with a heap fallback that never blocks.
#include "util/Allocator.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>

namespace korvane {

namespace {

// A heap buffer and its share count in one block: the count's allocator hands
// out the front of the block and frees the whole block once the count goes,
// so a buffer the pool cannot serve costs one heap allocation, not two.
constexpr std::size_t COUNT_ROOM = 64;

template <typename T>
struct BlockAllocator {
    using value_type = T;
    void* block;

    explicit BlockAllocator(void* whole) : block(whole) {}
    template <typename U>
    BlockAllocator(const BlockAllocator<U>& other) : block(other.block)
    {
    }
    T* allocate(std::size_t count)
    {
        if (count * sizeof(T) > COUNT_ROOM) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T*, std::size_t) noexcept { ::operator delete(block); }
    template <typename U>
    bool operator==(const BlockAllocator<U>& other) const { return block == other.block; }
    template <typename U>
    bool operator!=(const BlockAllocator<U>& other) const { return block != other.block; }
};

std::shared_ptr<char> heap_buffer(korvane_buf_len_t size)
{
    void* block = ::operator new(COUNT_ROOM + static_cast<std::size_t>(size));
    try {
        return std::shared_ptr<char>(static_cast<char*>(block) + COUNT_ROOM, [](char*) {},
                                     BlockAllocator<char>(block));
    } catch (...) {
        ::operator delete(block);
        throw;
    }
}

// A buffer this large is written whole right after it is handed out: a slice
// released since it was last handed out is likely still in cache, where a
// fresh one or one idle for a whole cycle of the pool is not. Small buffers
// touch too little of a slice to care, and skip the search.
constexpr korvane_buf_len_t WARM_REUSE_FROM = 32 * 1024;

} // namespace

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
    if (m_free.empty() && m_used.empty()) {
        if (m_slices == 0) {
            return heap_buffer(size);
        }
        m_free.reserve(m_slices);
        m_used.reserve(m_slices);
        for (korvane_size_t i = 0; i < m_slices; ++i) {
            m_free.push_back(make_shared_array<char>(m_allocation_size));
        }
    }
    if (size > m_allocation_size) {
        return heap_buffer(size);
    }
    if (size >= WARM_REUSE_FROM) {
        if (std::shared_ptr<char> warm = reuse_released()) {
            return warm;
        }
        // nothing is released: a reclaim would find nothing either
    } else if (m_free.empty()) {
        reclaim();
    }
    if (m_free.empty()) {
        return heap_buffer(size);
    }
    m_used.push_back(std::move(m_free.back()));
    m_free.pop_back();
    return m_used.back();
}

std::shared_ptr<char> Allocator::heap(korvane_buf_len_t size)
{
    return size < 1 ? std::shared_ptr<char>() : heap_buffer(size);
}

// The slice handed out most recently among those no user holds any more,
// moved to the back of the used list so that it is found first next time.
std::shared_ptr<char> Allocator::reuse_released()
{
    for (auto it = m_used.rbegin(); it != m_used.rend(); ++it) {
        if (it->use_count() == 1) {
            std::atomic_thread_fence(std::memory_order_acquire); // as in reclaim()
            std::rotate(std::next(it).base(), it.base(), m_used.end());
            return m_used.back();
        }
    }
    return std::shared_ptr<char>();
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
