// Message value semantics: deep copies, buffer-stealing moves, length as a
// separate field, and the per-thread slab pool behind every buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "message/Message.hpp"

using namespace korvane;

namespace {

Message text(const char* s)
{
    return Message(s, static_cast<korvane_buf_len_t>(std::strlen(s)));
}

bool same_bytes(const Message& m, const char* s)
{
    return m.length() == static_cast<korvane_buf_len_t>(std::strlen(s)) &&
           std::memcmp(m.buffer(), s, std::strlen(s)) == 0;
}

} // namespace

TEST(Message, NullStates)
{
    Message empty;
    EXPECT_TRUE(empty.null());
    EXPECT_EQ(0, empty.length());
    EXPECT_EQ(nullptr, empty.buffer());

    Message zero(korvane_buf_len_t(0));
    EXPECT_TRUE(zero.null());
    EXPECT_EQ(nullptr, zero.buffer());

    Message ten(korvane_buf_len_t(10));
    EXPECT_FALSE(ten.null());
    EXPECT_NE(nullptr, ten.buffer());
    EXPECT_EQ(10, ten.length());
}

TEST(Message, BufferConstructorCopiesTheCallersBytes)
{
    char source[] = "hello";
    Message m(static_cast<korvane_buf_t>(source), 5);
    source[0] = 'J';
    EXPECT_NE(static_cast<const void*>(source), m.buffer());
    EXPECT_TRUE(same_bytes(m, "hello"));
}

TEST(Message, CopyIsDeep)
{
    Message original = text("abcdef");
    Message copy(original);
    EXPECT_NE(original.buffer(), copy.buffer());
    EXPECT_TRUE(same_bytes(copy, "abcdef"));
    static_cast<char*>(copy.buffer())[0] = 'X';
    EXPECT_TRUE(same_bytes(original, "abcdef"));

    Message assigned = text("zz");
    assigned = original;
    EXPECT_NE(original.buffer(), assigned.buffer());
    EXPECT_TRUE(same_bytes(assigned, "abcdef"));
}

TEST(Message, MoveHandsTheBufferOverAndKeepsTheSourceLength)
{
    Message source = text("payload");
    const void* raw = source.buffer();
    Message target(std::move(source));
    EXPECT_EQ(raw, target.buffer());
    EXPECT_TRUE(source.null());
    EXPECT_EQ(7, source.length());

    Message other = text("x");
    other = std::move(target);
    EXPECT_EQ(raw, other.buffer());
    EXPECT_TRUE(target.null());
}

TEST(Message, CopyOfMovedFromMessageGetsAFreshBufferOfTheOldLength)
{
    Message source(korvane_buf_len_t(10));
    Message target(std::move(source));
    Message copy(source);
    EXPECT_EQ(10, copy.length());
    EXPECT_NE(nullptr, copy.buffer());
    EXPECT_FALSE(copy.null());
}

TEST(Message, SelfAssignmentChangesNothing)
{
    Message m = text("same");
    const void* raw = m.buffer();
    Message& alias = m;
    m = alias;
    EXPECT_EQ(raw, m.buffer());
    m = std::move(alias);
    EXPECT_EQ(raw, m.buffer());
    EXPECT_TRUE(same_bytes(m, "same"));
}

TEST(Message, LengthSetterTouchesOnlyTheLength)
{
    Message m(korvane_buf_len_t(10));
    const void* raw = m.buffer();
    m.length(3);
    EXPECT_EQ(3, m.length());
    EXPECT_EQ(raw, m.buffer());
    m.length(0);
    EXPECT_TRUE(m.null());
    EXPECT_EQ(raw, m.buffer());
}

TEST(Message, LargerThanASliceIsServedAndUsable)
{
    const korvane_buf_len_t size = 5 * 1024 * 1024;
    Message big(size);
    ASSERT_FALSE(big.null());
    std::memset(big.buffer(), 0x42, static_cast<std::size_t>(size));
    Message copy(big);
    EXPECT_EQ(0, std::memcmp(copy.buffer(), big.buffer(), static_cast<std::size_t>(size)));
}

TEST(Message, SevenLiveMessagesUseSixSlicesThenTheHeapAndSlicesAreReused)
{
    // A fresh thread has a fresh pool; six live messages occupy all slices.
    std::thread worker([] {
        std::vector<Message> live;
        live.reserve(6);
        std::vector<const void*> slices;
        for (int i = 0; i < 6; ++i) {
            live.emplace_back(korvane_buf_len_t(1024));
            slices.push_back(live.back().buffer());
        }
        Message seventh(korvane_buf_len_t(1024));
        for (const void* slice : slices) {
            EXPECT_NE(slice, seventh.buffer());
        }
        // Release one slice: the next message of pooled size reuses it,
        // and a small one asked for first leaves it alone.
        const void* freed = live[4].buffer();
        live[4] = Message();
        Message small(korvane_buf_len_t(10));
        Message reused(korvane_buf_len_t(1024));
        EXPECT_EQ(freed, reused.buffer());
    });
    worker.join();
}

TEST(Message, MessageBuiltOnOneThreadMayDieOnAnother)
{
    Message m;
    std::thread maker([&m] { m = text("cross thread"); });
    maker.join(); // the maker's pool is gone; the slice must stay valid
    EXPECT_TRUE(same_bytes(m, "cross thread"));
    std::thread killer([moved = std::move(m)]() mutable { moved = Message(); });
    killer.join();
}
