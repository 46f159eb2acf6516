// A fixed pool of equal-size byte slices handed out as shared buffers.
// One allocator serves one thread (see Message); buffers may be released on
// any thread and are taken back by the owning thread's next reclaim(), or,
// for a buffer of 32 KiB or more, by its next allocation.
#pragma once

#include <memory>
#include <vector>

#include "Types.hpp"

namespace korvane {

class Allocator {
public:
    /// Stores the slice size and count; allocates nothing until the first
    /// allocate() that needs the pool.
    Allocator(korvane_buf_len_t allocation_size, korvane_size_t slices);
    virtual ~Allocator();

    Allocator(const Allocator&) = delete;
    Allocator(Allocator&&) = delete;
    Allocator& operator=(const Allocator&) = delete;
    Allocator& operator=(Allocator&&) = delete;

    /// A buffer of at least `size` bytes, or an empty pointer when `size` < 1.
    /// Never blocks: when no slice fits or all are held, a heap buffer of
    /// exactly `size` bytes is returned instead. Content is uninitialised.
    /// From 32 KiB a slice released since it was handed out is preferred to
    /// a free one, the one handed out last first, as likely still in cache.
    /// Throws std::bad_alloc only when the heap itself is exhausted.
    std::shared_ptr<char> allocate(korvane_buf_len_t size);

    /// A heap buffer of exactly `size` bytes, as a fallback gets, in one
    /// block with its share count; an empty pointer when `size` < 1.
    /// Throws std::bad_alloc when the heap is exhausted.
    static std::shared_ptr<char> heap(korvane_buf_len_t size);

    korvane_buf_len_t allocation_size() const;
    korvane_size_t slices() const;

    /// Slices ready to be handed out right now (no reclaim is done here).
    korvane_size_t free() const;

    /// Moves every slice that no user holds any more back to the free list.
    void reclaim();

protected:
    template <typename T>
    static std::shared_ptr<T> make_shared_array(korvane_buf_len_t size)
    {
        return std::shared_ptr<T>(new T[static_cast<std::size_t>(size)], std::default_delete<T[]>());
    }

    std::shared_ptr<char> reuse_released();

    korvane_buf_len_t m_allocation_size;
    korvane_size_t m_slices;
    std::vector<std::shared_ptr<char>> m_used;
    std::vector<std::shared_ptr<char>> m_free;
};

} // namespace korvane
