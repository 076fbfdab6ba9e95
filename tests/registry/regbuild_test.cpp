// The tree-building actions: the root rule, a value outside any key, no-memory paths.
#include <string>

#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

typedef RegistryTest BuildTest;

// The first key named My Computer in any case is the root, a later one an ordinary key;
// a top-level key after a complete root joins it.
TEST_F(BuildTest, FirstKeyNamedMyComputerInAnyCaseBecomesTheRoot) {
    ASSERT_EQ(CreateKeyNode("my computer"), 0);
    EXPECT_STREQ(RootNode->GetName(), "my computer");
    EXPECT_EQ(g_build.rootCreated, 0);
    RegNode* inner = AddKey("MY COMPUTER");
    ASSERT_EQ(EndKeyNode("my computer"), 0);
    RegNode* later = AddKey("Later");
    ASSERT_EQ(RootNode->GetRegNodeList()->GetSize(), 2);
    EXPECT_EQ(RootNode->GetRegNodeList()->GetAt(0), inner);
    EXPECT_EQ(RootNode->GetRegNodeList()->GetAt(1), later);
    EXPECT_EQ(NodeStackDepth(), 0);
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

// Every allocation that CreateKeyNode and AddValue make is failed in turn: each failure
// reports 2, leaves the tree and the stack as they were, and hands the texts back.
TEST_F(BuildTest, NoMemoryAtEveryAllocationLeavesTheStateUnchanged) {
    for (long n = 1;; ++n) {
        ResetRegistry();
        NodeStackBegin();
        zrAllocFailAt(n);
        int rc = CreateKeyNode("HKEY_LOCAL_MACHINE");
        zrAllocFailAt(0);
        if (rc == 0) break;
        EXPECT_EQ(rc, REGERR_NO_MEMORY);
        EXPECT_EQ(RootNode, nullptr);
        EXPECT_EQ(g_build.rootCreated, 0);
        EXPECT_EQ(NodeStackDepth(), 0);
    }
    for (long n = 1;; ++n) {
        char* vname = Dup("v");
        char* data = Dup("42");
        int before = NodeStackTop()->GetRegKeyValueList()->GetSize();
        zrAllocFailAt(n);
        int rc = AddValue(vname, REG_INT, data);
        zrAllocFailAt(0);
        if (rc == 0) break;
        EXPECT_EQ(rc, REGERR_NO_MEMORY);
        EXPECT_EQ(NodeStackTop()->GetRegKeyValueList()->GetSize(), before);
        zrFree(vname);
        zrFree(data);
    }
}
