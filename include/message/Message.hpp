// The unit every layer passes around: a byte buffer and the number of
// meaningful bytes in it. Copies are deep, moves hand the buffer over.
#pragma once

#include <memory>

#include "Types.hpp"

namespace korvane {

class Message {
public:
    /// Null message: no buffer, length 0. Allocates nothing.
    Message();
    /// Uninitialised buffer of `length` bytes from this thread's slab pool
    /// (the heap below 512 bytes, above 4.5 MiB or when the pool is busy); null
    /// when `length` < 1.
    explicit Message(korvane_buf_len_t length);
    /// Copies `length` bytes from `buffer`; the caller keeps its memory.
    Message(korvane_buf_t buffer, korvane_buf_len_t length);
    Message(const void* buffer, korvane_buf_len_t length);

    /// Deep copy into a fresh buffer of the same length.
    Message(const Message& other);
    /// Takes `other`'s buffer; `other` keeps its length but no buffer.
    Message(Message&& other) noexcept;
    Message& operator=(const Message& other);
    Message& operator=(Message&& other) noexcept;
    virtual ~Message();

    /// First byte, or nullptr when there is no buffer.
    korvane_buf_t buffer();
    const void* buffer() const; // korvane_const_buf_t without the ignored top-level const

    korvane_buf_len_t length() const;
    /// Sets the meaningful length (stages trim a worst-case allocation with
    /// it); the buffer is not resized. A length below 0 or above the bytes
    /// this message's buffer holds is refused: false, nothing changed.
    bool length(korvane_buf_len_t length);
    /// Bytes the buffer holds: its allocated size, 0 without a buffer.
    korvane_buf_len_t capacity() const;

    /// True when there is no buffer or the length is below 1.
    bool null() const;

protected:
    std::shared_ptr<char> m_buffer;
    korvane_buf_len_t m_length;
    korvane_buf_len_t m_capacity;
};

} // namespace korvane
