// TArray: geometric growth, insertion and removal, and growth that finds no memory.
#include <gtest/gtest.h>

#include <vector>

#include "zrtempl.h"

typedef TArray<int*, int*> IntPtrArray;

static int g_items[64];
static int* P(int i) { return &g_items[i]; }

static std::vector<int*> Contents(const IntPtrArray& a) {
    std::vector<int*> v;
    for (int i = 0; i < a.GetSize(); ++i) v.push_back(a.GetAt(i));
    return v;
}

// Every way a list grows by one (an appended value, a value added after Reserve, a push on
// the key stack) takes a few reallocations for many elements, and never more than about
// twice the room needed: growing by a constant step would make loading quadratic.
TEST(TArray, GrowthIsGeometric) {
    const int n = 100000;
    for (int way = 0; way < 3; ++way) {
        IntPtrArray a;
        int blocks = 0, cap = 0;
        for (int i = 0; i < n; ++i) {
            if (way == 1) {
                ASSERT_TRUE(a.Reserve(1));
            }
            if (way == 2) {
                ASSERT_TRUE(a.InsertAt(0, P(0), 1));
            } else {
                ASSERT_EQ(a.Add(P(0)), i);
            }
            if (a.GetMaxSize() != cap) {
                ++blocks;
                cap = a.GetMaxSize();
            }
            ASSERT_LE(cap, 2 * a.GetSize() + 8) << way;
        }
        EXPECT_EQ(a.GetSize(), n);
        EXPECT_LE(blocks, 40) << way;
    }
}

// Rows: the array 0 1 2 3, an insertion (count > 0) or removal, the contents afterwards.
TEST(TArray, InsertAndRemove) {
    struct {
        int index, count;
        bool insert;
        std::vector<int*> after;
    } cases[] = {
        {0, 1, true, {P(9), P(0), P(1), P(2), P(3)}},                    // a stack push
        {1, 2, true, {P(0), P(9), P(9), P(1), P(2), P(3)}},              // the middle, twice
        {6, 1, true, {P(0), P(1), P(2), P(3), nullptr, nullptr, P(9)}},  // past the end: nulls between
        {0, 1, false, {P(1), P(2), P(3)}},
        {1, 2, false, {P(0), P(3)}},
        {3, 1, false, {P(0), P(1), P(2)}},
    };
    for (auto& c : cases) {
        IntPtrArray a;
        for (int i = 0; i < 4; ++i) a.Add(P(i));
        int cap = a.GetMaxSize();
        if (c.insert) {
            ASSERT_TRUE(a.InsertAt(c.index, P(9), c.count));
        } else {
            a.RemoveAt(c.index, c.count);
            EXPECT_EQ(a.GetMaxSize(), cap);  // removal keeps the block
        }
        EXPECT_EQ(Contents(a), c.after) << c.index << " " << c.count << " " << c.insert;
    }
}

TEST(TArray, SetSizeZeroesNewElementsAndZeroFrees) {
    IntPtrArray a;
    a.SetSize(3, -1);
    a.SetAt(2, P(2));
    a.SetSize(2, -1);
    a.SetSize(4, -1);  // within the block: the elements come back zeroed
    EXPECT_EQ(a.GetAt(2), nullptr);
    EXPECT_EQ(a.GetAt(3), nullptr);
    a.SetSize(0, -1);
    EXPECT_EQ(a.GetMaxSize(), 0);
    EXPECT_EQ(a.GetData(), nullptr);
}

// The tree reserves before it makes a value, so that a made value is always appended.
TEST(TArray, FailedGrowthLeavesTheArrayAsItWasAndReservedRoomCannotFail) {
    IntPtrArray a;
    a.Add(P(0));
    zrAllocFailAt(1);
    EXPECT_EQ(a.Add(P(1)), -1);
    EXPECT_FALSE(a.InsertAt(0, P(2), 1));
    EXPECT_FALSE(a.Reserve(1));
    zrAllocFailAt(0);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(0)}));
    EXPECT_EQ(a.GetMaxSize(), 1);

    ASSERT_TRUE(a.Reserve(3));
    EXPECT_EQ(a.GetSize(), 1);
    zrAllocFailAt(1);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(a.Add(P(i)), i);
    zrAllocFailAt(0);
}
