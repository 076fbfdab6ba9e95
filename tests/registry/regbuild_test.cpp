// The tree-building actions: root rules, the stack, the two messages, no-memory paths.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

typedef RegistryTest BuildTest;

TEST_F(BuildTest, FirstKeyNamedMyComputerInAnyCaseBecomesTheRoot) {
    ASSERT_EQ(CreateKeyNode(Dup("my computer")), 0);
    EXPECT_STREQ(RootNode->GetName(), "my computer");
    EXPECT_EQ(rootCreated, 0);
    ASSERT_EQ(CreateKeyNode(Dup("Second")), 0);
    EXPECT_EQ(RootNode->GetRegNodeList()->GetSize(), 1);
    EXPECT_STREQ(RootNode->GetRegNodeList()->GetAt(0)->GetName(), "Second");
    EXPECT_EQ(NodeStack->GetSize(), 2);
}

TEST_F(BuildTest, AnyOtherFirstKeyGetsAMadeRoot) {
    ASSERT_EQ(CreateKeyNode(Dup("HKEY_LOCAL_MACHINE")), 0);
    EXPECT_STREQ(RootNode->GetName(), "My Computer");
    EXPECT_EQ(rootCreated, 1);
    ASSERT_EQ(NodeStack->GetSize(), 2);
    EXPECT_STREQ(NodeStack->GetAt(0)->GetName(), "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(NodeStack->GetAt(1), RootNode);
    EXPECT_EQ(RootNode->GetRegNodeList()->GetSize(), 1);
}

TEST_F(BuildTest, MyComputerBelowTheTopIsAnOrdinaryKey) {
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
    RegNode* root = RootNode;
    ASSERT_EQ(CreateKeyNode(Dup("MY COMPUTER")), 0);
    EXPECT_EQ(RootNode, root);
    EXPECT_EQ(root->GetRegNodeList()->GetSize(), 1);
}

TEST_F(BuildTest, DuplicatesAreKeptInCallOrder) {
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
    RegNode* k1 = AddKey("k");
    RegNode* k2 = AddKey("k");
    ASSERT_EQ(AddValue(Dup("v"), REG_SZ, Dup("one")), 0);
    ASSERT_EQ(AddValue(Dup("v"), REG_INT, Dup("12")), 0);
    RegNodeList* subs = RootNode->GetRegNodeList();
    ASSERT_EQ(subs->GetSize(), 2);
    EXPECT_EQ(subs->GetAt(0), k1);
    EXPECT_EQ(subs->GetAt(1), k2);
    RegKeyValueList* vals = RootNode->GetRegKeyValueList();
    ASSERT_EQ(vals->GetSize(), 2);
    EXPECT_STREQ(static_cast<char*>(vals->GetAt(0)->GetValue()), "one");
    EXPECT_EQ(*static_cast<int*>(vals->GetAt(1)->GetValue()), 12);
}

TEST_F(BuildTest, EndKeyNodeComparesNamesExactly) {
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
    ASSERT_EQ(CreateKeyNode(Dup("Key")), 0);
    CaptureStdout();
    EXPECT_EQ(EndKeyNode("KEY"), 1);
    EXPECT_EQ(GetCapturedStdout(), "syntax error, unexpected end of key KEY\n");
    EXPECT_EQ(NodeStack->GetSize(), 2);
    EXPECT_EQ(EndKeyNode("Key"), 0);
    EXPECT_EQ(EndKeyNode("My Computer"), 0);
    CaptureStdout();
    EXPECT_EQ(EndKeyNode("My Computer"), 1);  // empty stack
    EXPECT_EQ(GetCapturedStdout(), "syntax error, unexpected end of key My Computer\n");
}

TEST_F(BuildTest, AddValueWithoutAnOpenKeyIsReportedWithTheLine) {
    lineno = 7;
    char* name = Dup("v");
    char* data = Dup("x");
    CaptureStdout();
    EXPECT_EQ(AddValue(name, REG_SZ, data), 1);
    EXPECT_EQ(GetCapturedStdout(), "line 7: syntax error, unexpected value\n");
    zrFree(name);  // a refused value leaves its texts with the caller
    zrFree(data);
}

TEST_F(BuildTest, TopLevelKeyAfterACompleteRootJoinsIt) {
    ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
    ASSERT_EQ(EndKeyNode("My Computer"), 0);
    RegNode* root = RootNode;
    ASSERT_EQ(CreateKeyNode(Dup("Later")), 0);
    EXPECT_EQ(RootNode, root);
    ASSERT_EQ(root->GetRegNodeList()->GetSize(), 1);
    EXPECT_EQ(EndKeyNode("Later"), 0);
}

// Every allocation that CreateKeyNode and AddValue make is failed in turn: each failure
// reports 2, leaves the tree and the stack as they were, and hands the texts back.
TEST_F(BuildTest, NoMemoryAtEveryAllocationLeavesTheStateUnchanged) {
    for (long n = 1;; ++n) {
        ResetRegistry();
        NodeStack = new RegNodeList;
        char* name = Dup("HKEY_LOCAL_MACHINE");
        zrAllocFailAt(n);
        int rc = CreateKeyNode(name);
        zrAllocFailAt(0);
        if (rc == 0) {
            EXPECT_GT(n, 3);
            break;
        }
        EXPECT_EQ(rc, REGERR_NO_MEMORY);
        EXPECT_EQ(RootNode, nullptr);
        EXPECT_EQ(rootCreated, 0);
        EXPECT_EQ(NodeStack->GetSize(), 0);
        zrFree(name);
    }
    for (long n = 1;; ++n) {
        char* vname = Dup("v");
        char* data = Dup("42");
        int before = NodeStack->GetAt(0)->GetRegKeyValueList()->GetSize();
        zrAllocFailAt(n);
        int rc = AddValue(vname, REG_INT, data);
        zrAllocFailAt(0);
        if (rc == 0) break;
        EXPECT_EQ(rc, REGERR_NO_MEMORY);
        EXPECT_EQ(NodeStack->GetAt(0)->GetRegKeyValueList()->GetSize(), before);
        zrFree(vname);
        zrFree(data);
    }
}

TEST_F(BuildTest, LoadCountIsTheLoadedState) {
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    lRegLoadCnt = 1;
    EXPECT_EQ(NWREGIsRegLoaded(), 1);
}
