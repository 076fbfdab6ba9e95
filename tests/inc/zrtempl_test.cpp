// TArray: the growth rule, insertion and removal, and growth that finds no memory.
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

TEST(TArray, AppendingGrowsCapacityByTheFixedRule) {
    IntPtrArray a;
    std::vector<int> seen;
    for (int i = 0; i < 2792; ++i) {
        ASSERT_EQ(a.Add(P(i % 64)), i);
        if (seen.empty() || seen.back() != a.GetMaxSize()) seen.push_back(a.GetMaxSize());
    }
    std::vector<int> expected = {1, 9, 17, 25, 37, 55, 82, 123, 184, 276, 414, 621, 931, 1396, 2792};
    EXPECT_EQ(seen, expected);
}

TEST(TArray, DoublesFromOneThousandTwentyFour) {
    IntPtrArray a;
    a.SetSize(1024, -1);
    EXPECT_EQ(a.GetMaxSize(), 1024);
    a.Add(P(0));
    EXPECT_EQ(a.GetMaxSize(), 2048);
}

TEST(TArray, SetSizeRules) {
    IntPtrArray a;
    a.SetSize(0, -1);
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.GetMaxSize(), 0);
    EXPECT_EQ(a.GetData(), nullptr);

    a.SetSize(3, 100);  // the grow-by value is stored but does not change the rule
    EXPECT_EQ(a.GetMaxSize(), 3);
    a.Add(P(1));
    EXPECT_EQ(a.GetMaxSize(), 11);  // 3 + 8, not 3 + 100

    a.SetSize(2, -1);  // shrinking keeps the block
    EXPECT_EQ(a.GetMaxSize(), 11);
    a.SetSize(5, -1);  // growing within the block zeroes the new elements
    EXPECT_EQ(a.GetAt(2), nullptr);
    EXPECT_EQ(a.GetAt(4), nullptr);

    a.SetSize(0, -1);
    EXPECT_EQ(a.GetMaxSize(), 0);
    EXPECT_EQ(a.GetData(), nullptr);
}

TEST(TArray, InsertAtFrontIsAStackPush) {
    IntPtrArray a;
    a.InsertAt(0, P(1), 1);
    EXPECT_EQ(a.GetSize(), 1);
    EXPECT_EQ(a.GetMaxSize(), 1);
    a.InsertAt(0, P(2), 1);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(2), P(1)}));
    EXPECT_EQ(a.GetMaxSize(), 9);
    a.RemoveAt(0, 1);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(1)}));
}

TEST(TArray, InsertAtPastTheEndFillsWithNull) {
    IntPtrArray a;
    a.Add(P(0));
    a.Add(P(1));
    a.InsertAt(5, P(5), 1);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(0), P(1), nullptr, nullptr, nullptr, P(5)}));
}

TEST(TArray, InsertAtMiddleWithCount) {
    IntPtrArray a;
    for (int i = 0; i < 4; ++i) a.Add(P(i));
    a.InsertAt(1, P(9), 2);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(0), P(9), P(9), P(1), P(2), P(3)}));
}

TEST(TArray, RemoveAtClosesTheGapAndKeepsTheBlock) {
    IntPtrArray a;
    for (int i = 0; i < 3; ++i) a.Add(P(i));
    int cap = a.GetMaxSize();
    a.RemoveAt(0, 1);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(1), P(2)}));
    a.RemoveAt(1, 1);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(1)}));
    EXPECT_EQ(a.GetMaxSize(), cap);
}

TEST(TArray, FailedGrowthLeavesTheArrayAsItWas) {
    IntPtrArray a;
    a.Add(P(0));
    zrAllocFailAt(1);
    EXPECT_EQ(a.Add(P(1)), -1);
    EXPECT_FALSE(a.InsertAt(0, P(2), 1));
    EXPECT_FALSE(a.Reserve(1));
    zrAllocFailAt(0);
    EXPECT_EQ(Contents(a), (std::vector<int*>{P(0)}));
    EXPECT_EQ(a.GetMaxSize(), 1);
    EXPECT_TRUE(a.Reserve(1));
    EXPECT_EQ(a.GetSize(), 1);
    EXPECT_EQ(a.GetMaxSize(), 9);  // as an Add would have grown it
}
