/* unit_list.cpp - the daemon's intrusive list: order, removal anywhere and twice, and iteration */
#include <vector>

#include <gtest/gtest.h>

#include "list.h"

namespace {

struct Item {
    int n;
    LINK<Item> link;
};
using ITEMS = LIST<Item, &Item::link>;

/* order lists the items of l from the head, checking each back link. */
std::vector<int> order(const ITEMS &l) {
    std::vector<int> v;
    const Item *prev = nullptr;
    for (Item *x : l) {
        EXPECT_EQ(ITEMS::prev(x), prev);
        v.push_back(x->n);
        prev = x;
    }
    EXPECT_EQ(l.back(), prev);
    return v;
}

} // namespace

/* Records are kept in push order; removing the head, a middle one or the
 * tail relinks the rest; a record removed twice, or never pushed, changes
 * nothing, and leaves a link that says it is on no list. */
TEST(List, RemovesAnywhereOnceAndKeepsTheOrder) {
    Item it[4] = {{0, {}}, {1, {}}, {2, {}}, {3, {}}};
    ITEMS l;
    EXPECT_TRUE(l.empty());
    for (Item &x : it) l.push_back(&x);
    EXPECT_EQ(order(l), (std::vector<int>{0, 1, 2, 3}));
    l.remove(&it[1]);
    l.remove(&it[1]);
    EXPECT_FALSE(l.contains(&it[1]));
    EXPECT_EQ(it[1].link.next, nullptr);
    EXPECT_EQ(it[1].link.prev, nullptr);
    EXPECT_EQ(order(l), (std::vector<int>{0, 2, 3}));
    l.remove(&it[0]);
    l.remove(&it[3]);
    EXPECT_EQ(order(l), (std::vector<int>{2}));
    /* A lone record is on the list though it has no neighbours. */
    EXPECT_TRUE(l.contains(&it[2]));
    EXPECT_FALSE(l.contains(&it[0]));
    Item stranger{9, {}};
    l.remove(&stranger);
    EXPECT_EQ(order(l), (std::vector<int>{2}));
    l.remove(&it[2]);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(l.front(), nullptr);
    EXPECT_EQ(l.back(), nullptr);
}

/* A loop may remove the record it stands on and still visit every other;
 * move_back puts a record behind the rest, and the tail stays where it is. */
TEST(List, IterationSurvivesRemovingTheCurrentRecord) {
    Item it[5] = {{0, {}}, {1, {}}, {2, {}}, {3, {}}, {4, {}}};
    ITEMS l;
    for (Item &x : it) l.push_back(&x);
    std::vector<int> seen;
    for (Item *x : l) {
        seen.push_back(x->n);
        if (x->n % 2 == 0) l.remove(x);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(order(l), (std::vector<int>{1, 3}));
    l.move_back(&it[1]);
    EXPECT_EQ(order(l), (std::vector<int>{3, 1}));
    l.move_back(&it[1]);
    EXPECT_EQ(order(l), (std::vector<int>{3, 1}));
}
