#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "util/InlineList.hpp"

namespace korvane {
namespace {

// Elements past the inline room keep their order, a moved-from list is
// empty (a run of actions moved on must not be carried out twice), and an
// emptied one lets go of what it held (callbacks and their captures).
TEST(InlineList, KeepsOrderPastItsInlineRoomAndMovesOutWhole)
{
    detail::InlineList<std::unique_ptr<int>, 2> list;
    for (int i = 0; i < 5; ++i) {
        list.emplace_back(new int(i));
    }
    detail::InlineList<std::unique_ptr<int>, 2> moved(std::move(list));
    EXPECT_TRUE(list.empty());
    std::vector<int> seen;
    for (const auto& element : moved) {
        seen.push_back(*element);
    }
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), seen);
    list = std::move(moved);
    EXPECT_EQ(5u, list.size());
    EXPECT_TRUE(moved.empty());

    // Emptying a list by assignment releases what it held, there and then.
    auto held = std::make_shared<int>(7);
    detail::InlineList<std::shared_ptr<int>, 2> shares;
    shares.push_back(held);
    shares = detail::InlineList<std::shared_ptr<int>, 2>();
    EXPECT_EQ(1, held.use_count());
}

} // namespace
} // namespace korvane
