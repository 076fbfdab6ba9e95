// The key tree: path search (case, "/", backtracking), value sizes, destruction.
#include <gtest/gtest.h>

#include "testutil.h"

class TreeTest : public RegistryTest {
protected:
    // My Computer
    //   a        (holds b)
    //   a/b      (holds c)
    //   Key, KEY
    //   ""       (empty name)
    void BuildTree() {
        ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
        a = AddKey("a");
        Within("My Computer/a", [&] { ab = AddKey("b"); });
        aSlashB = AddKey("a/b");
        NodeStack->InsertAt(0, aSlashB, 1);
        c = AddKey("c");
        NodeStack->RemoveAt(0, 1);
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
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
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
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
    const int depth = 20000;
    std::string path = "My Computer";
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(CreateKeyNode(Dup("k")), 0);
        path += "/k";
    }
    RegNode* deepest = NodeStack->GetAt(0);
    for (int i = 0; i < depth; ++i) ASSERT_EQ(EndKeyNode("k"), 0);
    EndKeyNode("My Computer");
    EXPECT_EQ(Search(path.c_str()), deepest);
    EXPECT_EQ(Search((path + "/x").c_str()), nullptr);
    // TearDown deletes the chain; the sanitizer build checks that nothing leaks.
}

// The loader hands over the digits of a number token, with a minus sign or not; nine
// digits are converted in place, longer ones by atoi.
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
    };
    for (const Case& c : cases) {
        RegKeyValue v(Dup("name"), c.type, Dup(c.data));
        EXPECT_EQ(v.GetSize(), c.size) << c.data;
        EXPECT_EQ(v.GetType(), c.type);
        if (c.type == REG_INT) {
            EXPECT_EQ(*static_cast<int*>(v.GetValue()), c.ivalue) << c.data;
        } else {
            EXPECT_STREQ(static_cast<char*>(v.GetValue()), c.data);
        }
    }
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
