// The registry as an object: a load makes one, a failed load and the unload end it with
// everything it started.
#include <gtest/gtest.h>

#include "registry.h"
#include "registry/DLL/zrsignal.h"
#include "regview.h"
#include "testutil.h"
#include "zrplat.h"

namespace {

const char kGood[] = "KEY \"My Computer\"\n(\n  KEY K ( [REG_SZ] a = \"1\"; )\n)\n";

class RegistryObject : public ::testing::Test {
protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    TempDir dir_;
};

TEST_F(RegistryObject, AFailedLoadLeavesNoRegistry) {
    struct Case {
        const char* what;
        const char* bytes;  // null: no file at all
        uint32_t rc;
    };
    const Case cases[] = {
        {"missing file", nullptr, REGERR_NOT_FOUND},
        {"syntax error", "KEY \"My Computer\"\n(\n  [REG_INT] n = ;\n)\n", REGLOAD_REFUSED},
        {"empty file", "", REGLOAD_REFUSED},
    };
    RegQuiet(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir_.File(std::string(c.what) + ".txt");
        if (c.bytes) WriteBytes(path, c.bytes);
        EXPECT_EQ(ZrLoadRegistry(path.c_str()), c.rc);
        EXPECT_EQ(RegCurrent(), nullptr);
        EXPECT_EQ(RootNode, nullptr);
        EXPECT_EQ(zrThreadsLive(), 0);
        // Nothing of the failed load stays beside the file either.
        EXPECT_FALSE(fs::exists(path + "-log"));
    }
    RegQuiet(false);
    std::string good = dir_.File("good.txt");
    WriteBytes(good, kGood);
    ASSERT_EQ(ZrLoadRegistry(good.c_str()), 0u);
    EXPECT_NE(RegCurrent(), nullptr);
    EXPECT_EQ(ZrLoadRegistry(good.c_str()), static_cast<uint32_t>(REGLOAD_REFUSED));  // one at a time
    EXPECT_NE(RegCurrent(), nullptr);
}

// Each load is a registry of its own: the unload ends the threads the first one started
// (the log's syncer and the notifier of its watch), and the next one starts from nothing.
TEST_F(RegistryObject, UnloadEndsWhatTheRegistryStarted) {
    std::string path = dir_.File("reg.txt");
    WriteBytes(path, kGood);
    Signal signal;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
        Registry* r = RegCurrent();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->changes.notify.watches, nullptr);
        EXPECT_EQ(r->changes.share.first, nullptr);
        void* k = nullptr;
        ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"K"), 0, &k), 0);
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(k, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, signal.Event(), 1), 0);
        EXPECT_GE(zrThreadsLive(), 1);
        EXPECT_TRUE(fs::exists(path + "-log"));
        ZrUnloadRegistry();
        EXPECT_EQ(RegCurrent(), nullptr);
        EXPECT_EQ(zrThreadsLive(), 0);
        EXPECT_TRUE(signal.Fired(0));  // the watch ended with its registry
        EXPECT_FALSE(fs::exists(path + "-log"));
        EXPECT_EQ(ZrRegCloseKey(k), ZRREG_INVALID_HANDLE);
    }
}

// A scratch copy takes every change while it is current and leaves the registry it copied
// exactly as it was: tree, open counts, handles (which reach the copy's keys by their paths),
// log and file. Twice, so that a handle's node cached in the first copy is not taken for
// one of the second (ASan sees the freed node).
TEST_F(RegistryObject, ScratchCopyTakesChangesAlone) {
    std::string path = dir_.File("reg.txt");
    WriteBytes(path,
               "KEY \"My Computer\"\n(\n  KEY K ( [REG_SZ] a = \"1\"; KEY sub ( ) KEY \"x/y\" ( ) )\n)\n");
    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    void *k = nullptr, *sub = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"K"), 0, &k), 0);
    ASSERT_EQ(ZrRegOpenKeyEx(k, WP(u"sub"), 0, &sub), 0);
    const std::string tree = DumpTree(RootNode);
    const auto logBytes = fs::file_size(path + "-log");
    auto text = [](void* h) {  // the value a's one character, or '-' when there is none
        uint16_t buf[8] = {};
        uint32_t n = sizeof buf, type = 0;
        return ZrRegQueryValueEx(h, WP(u"a"), &type, reinterpret_cast<unsigned char*>(buf), &n) == 0
                   ? static_cast<char>(buf[0])
                   : '-';
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(RegViewScratchBegin());
        EXPECT_FALSE(RegViewScratchBegin());  // one copy at a time
        EXPECT_EQ(DumpTree(RootNode), tree);  // open counts too
        EXPECT_EQ(ZrRegSetValueEx(k, WP(u"a"), 1, reinterpret_cast<const unsigned char*>("2"), 2), 0);
        EXPECT_EQ(ZrRegDeleteKey(k, WP(u"sub")), ZRREG_KEY_BUSY);  // its handle counts in the copy
        void* made = nullptr;
        EXPECT_EQ(ZrRegCreateKey(HkeyRegRoot(), WP(u"New"), &made), 0);
        EXPECT_EQ(ZrRegCloseKey(made), 0);
        EXPECT_EQ(ZrRegDeleteKey(k, WP(u"x/y")), 0);
        EXPECT_EQ(text(k), '2');         // cached at the copy's generation
        EXPECT_NE(HkeyHKLM(), nullptr);  // made in the copy, closed with it
        RegViewScratchEnd();
        EXPECT_EQ(text(k), '1');
        EXPECT_EQ(DumpTree(RootNode), tree);
        EXPECT_EQ(fs::file_size(path + "-log"), logBytes);
    }
    EXPECT_EQ(ZrRegCloseKey(sub), 0);
    EXPECT_EQ(ZrRegCloseKey(k), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(TreeInFile(path), "[My Computer]\n  [K]\n    a = \"1\"\n    [sub]\n    [x/y]\n");
}

// Out of memory at any allocation of the copy: no copy, the registry as it was; counted up
// until the copy is made.
TEST_F(RegistryObject, ScratchCopyWithoutMemory) {
    std::string path = dir_.File("reg.txt");
    std::string bytes = "KEY \"My Computer\"\n(\n";
    for (int i = 0; i < 20; ++i)
        bytes += "  KEY k" + std::to_string(i) + " ( [REG_INT] n = " + std::to_string(i) + "; KEY c ( ) )\n";
    WriteBytes(path, bytes + ")\n");
    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    const std::string tree = DumpTree(RootNode);
    long n = 1;
    for (;; ++n) {
        zrAllocFailAt(n);
        bool made = RegViewScratchBegin();
        zrAllocFailAt(0);
        if (made) break;
        ASSERT_EQ(DumpTree(RootNode), tree) << n;
    }
    EXPECT_GT(n, 40);
    EXPECT_EQ(DumpTree(RootNode), tree);
    RegViewScratchEnd();
    EXPECT_EQ(DumpTree(RootNode), tree);
}

}  // namespace
