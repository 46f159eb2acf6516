// A list that keeps its first few elements inside itself and only the rest
// on the heap: for short lists made and dropped once per message, where a
// vector would allocate every time.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace korvane {
namespace detail {

template <typename T, std::size_t N>
class InlineList {
public:
    template <typename List, typename Element>
    class Iterator {
    public:
        Iterator(List* list, std::size_t at) : m_list(list), m_at(at) {}
        Element& operator*() const { return (*m_list)[m_at]; }
        Iterator& operator++()
        {
            ++m_at;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return m_at != other.m_at; }

    private:
        List* m_list;
        std::size_t m_at;
    };
    using iterator = Iterator<InlineList, T>;
    using const_iterator = Iterator<const InlineList, const T>;

    InlineList() = default;
    InlineList(const InlineList&) = delete;
    InlineList& operator=(const InlineList&) = delete;
    /// Like a vector's, a move leaves `other` empty.
    InlineList(InlineList&& other) noexcept { take(other); }
    InlineList& operator=(InlineList&& other) noexcept
    {
        if (this != &other) {
            take(other);
        }
        return *this;
    }

    /// May throw std::bad_alloc once the list outgrows its inline room.
    template <typename... Args>
    void emplace_back(Args&&... args)
    {
        if (m_size < N) {
            m_inline[m_size] = T(std::forward<Args>(args)...);
        } else {
            m_more.emplace_back(std::forward<Args>(args)...);
        }
        ++m_size;
    }
    void push_back(T value) { emplace_back(std::move(value)); }

    bool empty() const { return m_size == 0; }
    std::size_t size() const { return m_size; }
    T& operator[](std::size_t at) { return at < N ? m_inline[at] : m_more[at - N]; }
    const T& operator[](std::size_t at) const { return at < N ? m_inline[at] : m_more[at - N]; }

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, m_size); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_size); }

private:
    // What this list held beyond `other`'s elements goes now, as a vector's
    // would: the elements may hold callbacks and what they capture.
    void take(InlineList& other) noexcept
    {
        for (std::size_t i = 0; i < N && i < other.m_size; ++i) {
            m_inline[i] = std::move(other.m_inline[i]);
        }
        for (std::size_t i = other.m_size; i < N && i < m_size; ++i) {
            m_inline[i] = T();
        }
        m_more = std::move(other.m_more);
        m_size = other.m_size;
        other.m_more.clear();
        other.m_size = 0;
    }

    T m_inline[N] = {};
    std::vector<T> m_more;
    std::size_t m_size = 0;
};

} // namespace detail
} // namespace korvane
