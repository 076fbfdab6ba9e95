// The key tree: path search (case, "/", backtracking), value sizes, destruction, the lists.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "testutil.h"

class TreeTest : public RegistryTest {
protected:
    // My Computer
    //   a        (holds b)
    //   a/b      (holds c)
    //   Key, KEY
    //   ""       (empty name)
    void BuildTree() {
        ASSERT_EQ(CreateKeyNode("My Computer"), 0);
        a = AddKey("a");
        Within("My Computer/a", [&] { ab = AddKey("b"); });
        aSlashB = AddKey("a/b");
        NodeStackPush(aSlashB);
        c = AddKey("c");
        NodeStackPop();
        key1 = AddKey("Key");
        key2 = AddKey("KEY");
        EndKeyNode("My Computer");
    }
    RegNode *a = nullptr, *ab = nullptr, *aSlashB = nullptr, *c = nullptr, *key1 = nullptr, *key2 = nullptr;
};

TEST_F(TreeTest, PathSearch) {
    BuildTree();
    const std::pair<const char*, RegNode*> found[] = {
        {"My Computer", RootNode}, {"my computer", RootNode}, {"MY COMPUTER", RootNode},
        {"/", RootNode},           {"My Computer/a", a},      {"My Computer/A/B", ab},
        {"My Computer/a/b/c", c},  {"My Computer/key", key1}, {"My Computer/KEY", key1}};
    for (auto& f : found) EXPECT_EQ(Search(f.first), f.second) << f.first;
    for (const char* path : {"My Comp", "My ComputerX", "", "/My Computer", "My Computer/", "/x",
                             "My Computer//a", "My Computer/a/", "My Computer/ab", "My Computer/a/b/c/"})
        EXPECT_EQ(Search(path), nullptr) << path;
}

TEST_F(TreeTest, EmptyNamesAreReachableByTrailingAndDoubledSlashes) {
    ASSERT_EQ(CreateKeyNode("My Computer"), 0);
    RegNode* empty = AddKey("");
    RegNode* slashed = AddKey("/lead");
    EndKeyNode("My Computer");
    EXPECT_EQ(Search("My Computer/"), empty);
    EXPECT_EQ(Search("My Computer//lead"), slashed);
}

TEST_F(TreeTest, SearchFromAnInnerNodeStartsWithItsOwnName) {
    BuildTree();
    EXPECT_EQ(a->Search("a"), a);
    EXPECT_EQ(a->Search("A/b"), ab);
    EXPECT_EQ(a->Search("b"), nullptr);
}

TEST_F(TreeTest, DeepPathsNeedNoCStack) {
    ASSERT_EQ(CreateKeyNode("My Computer"), 0);
    const int depth = 20000;
    std::string path = "My Computer";
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(CreateKeyNode("k"), 0);
        path += "/k";
    }
    RegNode* deepest = NodeStackTop();
    for (int i = 0; i < depth; ++i) ASSERT_EQ(EndKeyNode("k"), 0);
    EndKeyNode("My Computer");
    EXPECT_EQ(Search(path.c_str()), deepest);
    EXPECT_EQ(Search((path + "/x").c_str()), nullptr);
    // TearDown deletes the chain; the sanitizer build checks that nothing leaks.
}

// The loader hands over the digits of a number token, with a minus sign or not; nine
// digits are converted in place, longer ones by the C library, and a value beyond 32 bits
// keeps its low 32 bits on every platform.
TEST(RegKeyValue, SizesAndIntegerConversion) {
    struct Case {
        int type;
        const char* data;
        int size;
        int ivalue;
    } cases[] = {
        {REG_SZ, "abc", 4, 0},
        {REG_SZ, "", 1, 0},
        {REG_INT, "12", 4, 12},
        {REG_INT, "-7", 4, -7},
        {REG_INT, "007", 4, 7},
        {REG_INT, "999999999", 4, 999999999},
        {REG_INT, "2147483647", 4, 2147483647},
        {REG_INT, "-2147483648", 4, -2147483647 - 1},
        {REG_INT, "0000000000012", 4, 12},
        {REG_INT, "99999999999", 4, 1215752191},
        {REG_INT, "2147483648", 4, -2147483647 - 1},
        {REG_INT, "-2147483649", 4, 2147483647},
    };
    for (const Case& c : cases) {
        RegKeyValue* v = RegKeyValue::MakeFromText("name", c.type, c.data);
        ASSERT_NE(v, nullptr);
        EXPECT_STREQ(v->GetKey(), "name");
        EXPECT_EQ(v->GetSize(), c.size) << c.data;
        EXPECT_EQ(v->GetType(), c.type);
        if (c.type == REG_INT) {
            EXPECT_EQ(v->GetInt(), c.ivalue) << c.data;
        } else {
            EXPECT_STREQ(static_cast<char*>(v->GetValue()), c.data);
        }
        delete v;
    }
}

// The head holds the name's length and the type in two bytes: names up to the longest
// keep both apart, in both types; a longer name is refused.
TEST(ValueTest, NamesUpToTheLongestKeepTheirTypeAndData) {
    for (size_t len : {size_t(0), size_t(1), size_t(255), RegKeyValue::kNameMax}) {
        std::string name(len, 'n');
        for (int type : {REG_SZ, REG_INT}) {
            RegKeyValue* v = RegKeyValue::Make(name.data(), len, type, "text", 4, -5);
            ASSERT_NE(v, nullptr) << len;
            EXPECT_EQ(v->GetType(), type);
            EXPECT_EQ(v->GetKey(), name);
            if (type == REG_INT) {
                EXPECT_EQ(v->GetInt(), -5);
            } else {
                EXPECT_STREQ(static_cast<char*>(v->GetValue()), "text");
            }
            delete v;
        }
    }
    std::string over(RegKeyValue::kNameMax + 1, 'n');
    EXPECT_EQ(RegKeyValue::Make(over.data(), over.size(), REG_SZ, "", 0, 0), nullptr);
}

TEST_F(TreeTest, DeletingASubtreeReleasesEverything) {
    BuildTree();
    Within("My Computer/a/b", [] {
        AddValue(Dup("s"), REG_SZ, Dup("text"));
        AddValue(Dup("n"), REG_INT, Dup("3"));
    });
    RegNodeList* subs = RootNode->GetRegNodeList();
    RegNode* first = subs->GetAt(0);
    subs->RemoveAt(0, 1);
    delete first;                               // a, b and b's values; the sanitizer build reports any leak
    EXPECT_EQ(Search("My Computer/a/b/c"), c);  // found now under a/b
    EXPECT_EQ(subs->GetSize(), 3);
}

namespace {

// The list against a vector: entries, order, the i-th entry and the slots, after every step.
void ExpectSame(const RegList<int>& l, const std::vector<int*>& model) {
    ASSERT_EQ(l.GetSize(), static_cast<int>(model.size()));
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(l.GetAt(static_cast<int>(i)), model[i]) << i;
    std::vector<int*> bySlot;
    for (int s = l.FirstSlot(); s < l.EndSlot(); ++s)
        if (l.AtSlot(s)) bySlot.push_back(l.AtSlot(s));
    ASSERT_EQ(bySlot, model);
    if (!model.empty()) {
        ASSERT_NE(l.AtSlot(l.FirstSlot()), nullptr);
        ASSERT_NE(l.AtSlot(l.EndSlot() - 1), nullptr);
    }
}

}  // namespace

// Random appends, removals (first, last, anywhere, by runs), insertions at the front and
// failed allocations, on lists that stay short, grow long enough to keep holes, and
// shrink back: every order is the model's, and a failed append changes nothing.
TEST(RegListTest, AgreesWithAVectorThroughRandomChanges) {
    std::vector<int> items(4000);
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        RegList<int> l;
        std::vector<int*> model;
        size_t next = 0;
        int target = seed % 3 == 0 ? 40 : seed % 3 == 1 ? 300 : 1500;
        if (seed % 4 == 0)
            l.Presize(static_cast<int>(seed * 10));  // a load's hint, below and above the rank bound
        for (int step = 0; step < 3000; ++step) {
            unsigned op = rng() % 10;
            bool grow = static_cast<int>(model.size()) < target;
            if (op < (grow ? 5u : 3u)) {
                int* e = &items[next++ % items.size()];
                if (rng() % 50 == 0) {
                    zrAllocFailAt(1);
                    int s = l.Add(e);
                    zrAllocFailAt(0);
                    if (s < 0) {
                        ExpectSame(l, model);
                        continue;
                    }
                } else {
                    ASSERT_GE(l.Add(e), 0);
                }
                model.push_back(e);
            } else if (op == 5 && rng() % 4 == 0) {
                int* e = &items[next++ % items.size()];
                ASSERT_TRUE(l.InsertAt(0, e, 1));
                model.insert(model.begin(), e);
            } else if (!model.empty()) {
                size_t n = model.size();
                size_t at = op == 6 ? 0 : op == 7 ? n - 1 : rng() % n;
                if (op == 8) {
                    size_t run = 1 + rng() % 3;
                    if (at + run > n) run = n - at;
                    l.RemoveAt(static_cast<int>(at), static_cast<int>(run));
                    model.erase(model.begin() + static_cast<long>(at),
                                model.begin() + static_cast<long>(at + run));
                } else {
                    l.RemoveSlot(l.SlotOf(static_cast<int>(at)));
                    model.erase(model.begin() + static_cast<long>(at));
                }
            }
            ExpectSame(l, model);
            if (step == 1000 && seed % 2) l.ReadyForChanges();  // as a load leaves a long list
        }
        ASSERT_TRUE(l.Reserve(5));
        for (int i = 0; i < 5; ++i) {
            zrAllocFailAt(1);  // reserved room needs no memory
            EXPECT_GE(l.Add(&items[i]), 0);
            zrAllocFailAt(0);
            model.push_back(&items[i]);
        }
        ExpectSame(l, model);
    }
}

// Emptying a long list from its front, from its back or from its middle never moves an
// entry to another slot until the holes outnumber the entries.
TEST(RegListTest, RemovalsMoveNothingUntilHolesOutnumberEntries) {
    std::vector<int> items(1000);
    for (int from : {0, 1, 2}) {
        RegList<int> l;
        for (int& i : items) ASSERT_GE(l.Add(&i), 0);
        uint32_t moves = l.Moves();
        std::vector<int*> model;
        for (int& i : items) model.push_back(&i);
        for (int k = 0; k < 400; ++k) {
            int at = from == 0 ? 0 : from == 1 ? l.GetSize() - 1 : l.GetSize() / 2;
            l.RemoveSlot(l.SlotOf(at));
            model.erase(model.begin() + at);
        }
        EXPECT_EQ(l.Moves(), moves) << from;
        ExpectSame(l, model);
        while (l.GetSize() > 0) l.RemoveSlot(l.SlotOf(l.GetSize() / 2));
        EXPECT_EQ(l.FirstSlot(), l.EndSlot());
    }
}
