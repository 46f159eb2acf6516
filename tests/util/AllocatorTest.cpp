// Slab pool behaviour: fill, hand-out order, reclaim, fallbacks, and slices
// outliving their pool or released on other threads.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "util/Allocator.hpp"

using namespace korvane;

namespace {

// Exposes the pool's bookkeeping so tests can tell slices from fallbacks.
class InspectedAllocator : public Allocator {
public:
    using Allocator::Allocator;
    std::size_t used() const { return m_used.size(); }
    bool owns(const std::shared_ptr<char>& buffer) const
    {
        for (const auto& slice : m_used) {
            if (slice.get() == buffer.get()) return true;
        }
        return false;
    }
};

} // namespace

TEST(Allocator, NonPositiveSizesReturnNothingAndLeaveThePoolUnfilled)
{
    InspectedAllocator pool(100, 6);
    EXPECT_FALSE(pool.allocate(0));
    EXPECT_FALSE(pool.allocate(-5));
    EXPECT_EQ(6u, pool.free());
    EXPECT_EQ(0u, pool.used());
}

TEST(Allocator, FirstRequestFillsThePoolEvenWhenItDoesNotFit)
{
    InspectedAllocator small(100, 6);
    auto slice = small.allocate(10);
    ASSERT_TRUE(slice);
    EXPECT_EQ(5u, small.free());
    EXPECT_TRUE(small.owns(slice));

    InspectedAllocator big(100, 6);
    auto heap = big.allocate(200);
    ASSERT_TRUE(heap);
    EXPECT_EQ(6u, big.free()); // filled, but the request went to the heap
    EXPECT_FALSE(big.owns(heap));
    std::memset(heap.get(), 0xAB, 200); // the whole fallback buffer is usable
}

TEST(Allocator, ExhaustedPoolFallsBackToTheHeap)
{
    InspectedAllocator pool(100, 6);
    std::vector<std::shared_ptr<char>> held;
    for (int i = 0; i < 6; ++i) {
        held.push_back(pool.allocate(10));
        EXPECT_TRUE(pool.owns(held.back()));
    }
    auto seventh = pool.allocate(10);
    ASSERT_TRUE(seventh);
    EXPECT_FALSE(pool.owns(seventh));
    EXPECT_EQ(0u, pool.free());
}

TEST(Allocator, ReleasedSliceIsReclaimedOnlyByTheNextAllocationWithItsContent)
{
    InspectedAllocator pool(100, 6);
    std::vector<std::shared_ptr<char>> held;
    for (int i = 0; i < 6; ++i) {
        held.push_back(pool.allocate(10));
    }
    char* released = held[2].get();
    std::strcpy(released, "left over");
    held[2].reset();
    EXPECT_EQ(0u, pool.free()); // free() does not reclaim

    auto again = pool.allocate(10);
    EXPECT_EQ(released, again.get());
    EXPECT_STREQ("left over", again.get()); // slices are not cleared
}

TEST(Allocator, MostRecentSliceComesFirstAndReclaimKeepsHandOutOrder)
{
    InspectedAllocator pool(100, 3);
    auto a = pool.allocate(1);
    auto b = pool.allocate(1);
    auto c = pool.allocate(1);
    char* pa = a.get();
    char* pc = c.get();
    EXPECT_NE(pa, b.get());
    // Release the first and last handed out; the reclaim appends them in
    // m_used order, so the one handed out most recently is reused first.
    a.reset();
    c.reset();
    auto first = pool.allocate(1);
    auto second = pool.allocate(1);
    EXPECT_EQ(pc, first.get());
    EXPECT_EQ(pa, second.get());
    EXPECT_TRUE(pool.owns(b)); // the held slice never moved
}

TEST(Allocator, ZeroSlicesServesEverythingFromTheHeap)
{
    InspectedAllocator pool(100, 0);
    auto buffer = pool.allocate(10);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(0u, pool.free());
    EXPECT_EQ(0u, pool.used());
}

TEST(Allocator, HeldSliceOutlivesTheAllocator)
{
    std::shared_ptr<char> survivor;
    {
        Allocator pool(64, 2);
        survivor = pool.allocate(64);
    }
    std::memset(survivor.get(), 0x5A, 64); // ASan flags this if the slice was freed
    EXPECT_EQ(0x5A, static_cast<unsigned char>(survivor.get()[63]));
}

TEST(Allocator, SliceReleasedOnAnotherThreadIsReusedAfterItsLastWrites)
{
    InspectedAllocator pool(4096, 1);
    for (int round = 0; round < 200; ++round) {
        auto slice = pool.allocate(4096);
        ASSERT_TRUE(pool.owns(slice)) << "round " << round;
        char* raw = slice.get();
        std::thread user([buffer = std::move(slice), round]() mutable {
            std::memset(buffer.get(), round & 0xFF, 4096);
            buffer.reset();
        });
        user.join();
        auto reused = pool.allocate(4096);
        EXPECT_EQ(raw, reused.get());
        EXPECT_EQ(static_cast<char>(round & 0xFF), reused.get()[4095]);
    }
}

TEST(Allocator, LargeBuffersReuseTheWarmestReleasedSliceBeforeAFreshOne)
{
    const korvane_buf_len_t large = 32 * 1024;
    InspectedAllocator pool(large, 4);
    auto a = pool.allocate(large), b = pool.allocate(large);
    char *pa = a.get(), *pb = b.get();
    a.reset();
    b.reset();
    auto small = pool.allocate(large - 1); // below the threshold: a fresh slice
    EXPECT_TRUE(small.get() != pa && small.get() != pb);
    auto warm = pool.allocate(large);
    EXPECT_EQ(pb, warm.get()); // handed out last, released: reused first
    auto warmer = pool.allocate(large);
    EXPECT_EQ(pa, warmer.get()); // still before the fourth, never used slice
    EXPECT_EQ(1u, pool.free());
    EXPECT_EQ(3u, pool.used());
}
