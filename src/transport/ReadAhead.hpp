// The bytes a framer has read past the frame it is working on. Headers are
// read with one partial read of up to CAPACITY bytes, so a run of small
// frames costs one read of the transport instead of two per frame.
#pragma once

#include <algorithm>
#include <cstring>

#include "Types.hpp"

namespace korvane {
namespace detail {

struct ReadAhead {
    // What one connection keeps for it once it has received: enough for a
    // run of small frames, little beside a server's other per-connection state.
    static constexpr korvane_buf_len_t CAPACITY = 8192;

    char bytes[CAPACITY];
    korvane_buf_len_t begin = 0;
    korvane_buf_len_t end = 0;

    korvane_buf_len_t held() const { return end - begin; }

    /// Moves what is held to the front; returns where a read may append and
    /// how much room it has (`room`).
    char* room(korvane_buf_len_t& room)
    {
        if (begin > 0) {
            std::memmove(bytes, bytes + begin, static_cast<std::size_t>(held()));
            end -= begin;
            begin = 0;
        }
        room = CAPACITY - end;
        return bytes + end;
    }

    /// Copies up to `length` held bytes to `to` and forgets them; returns how many.
    korvane_buf_len_t take(void* to, korvane_buf_len_t length)
    {
        const korvane_buf_len_t taken = std::min(length, held());
        if (taken > 0) {
            std::memcpy(to, bytes + begin, static_cast<std::size_t>(taken));
            begin += taken;
        }
        return taken;
    }
};

} // namespace detail
} // namespace korvane
