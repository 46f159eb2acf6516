#include "message/MessageView.hpp"

#include <memory>

namespace korvane {
namespace detail {

namespace {

class TailView : public Message {
public:
    TailView(const Message& whole, korvane_buf_len_t offset)
    {
        const korvane_buf_len_t length = whole.length() - offset;
        if (whole.null() || offset < 0 || length <= 0) {
            return;
        }
        const std::shared_ptr<char>& owner = whole.*(&TailView::m_buffer);
        m_buffer = std::shared_ptr<char>(owner, owner.get() + offset);
        m_length = length;
        m_capacity = whole.capacity() - offset;
    }
};

class PartView : public Message {
public:
    PartView(const std::shared_ptr<char>& owner, char* at, korvane_buf_len_t length)
    {
        if (!owner || at == nullptr || length <= 0) {
            return;
        }
        m_buffer = std::shared_ptr<char>(owner, at);
        m_length = length;
        m_capacity = length;
    }
};

} // namespace

Message part_view(const std::shared_ptr<char>& owner, char* at, korvane_buf_len_t length)
{
    return PartView(owner, at, length);
}

Message tail_view(const Message& whole, korvane_buf_len_t offset)
{
    return TailView(whole, offset);
}

} // namespace detail
} // namespace korvane
