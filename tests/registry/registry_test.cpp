// The registry as an object: a load makes one, a failed load and the unload end it with
// everything it started.
#include <gtest/gtest.h>

#include "registry.h"
#include "registry/DLL/zrsignal.h"
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

}  // namespace
