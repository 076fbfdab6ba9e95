// A companion grown ahead of its writer by the syncer's thread: from the size the process
// knows it has, never over a cut or over another process's growth.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "testutil.h"
#include "zrshared.h"

namespace {

long long SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class GrowAhead : public ::testing::Test {
protected:
    void SetUp() override {
        like_ = dir_.File("reg.txt");
        path_ = dir_.File("reg.txt-log");
        WriteBytes(like_, "x");
        ASSERT_EQ(zrCompanionOpen(path_.c_str(), like_.c_str(), &c_), ZR_COMPANION_OPENED);
        ASSERT_TRUE(zrCompanionGrow(c_, kStep));
    }
    void TearDown() override { zrCompanionClose(c_); }
    static const long long kStep = 1 << 16;
    TempDir dir_;
    std::string like_, path_;
    ZrCompanion* c_ = nullptr;
};

// What the file holds when the growth ahead is asked: as this process grew it, cut by
// another program below that, or grown further by another process. Only the first grows.
TEST_F(GrowAhead, OnlyFromTheSizeTheProcessKnows) {
    struct Case {
        const char* what;
        long long otherSize;  // the size another program gives the file first; 0: none
        bool marked;          // and the end mark at its new end, as a growth writes it
        long long after;
    } cases[] = {
        {"as grown here", 0, false, 3 * kStep},
        {"cut below it", kStep / 2, false, kStep / 2},
        {"cut to nothing", 1, false, 1},
        {"cut where the mark's bytes are found", kStep / 2, true, kStep / 2},
        {"grown by another", 2 * kStep, true, 2 * kStep},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TearDown();
        unlink(path_.c_str());
        SetUp();
        if (k.otherSize) {
            ASSERT_EQ(truncate(path_.c_str(), k.otherSize), 0);
        }
        if (k.marked) {
            ASSERT_TRUE(zrCompanionWrite(c_, static_cast<uint64_t>(k.otherSize) - ZR_COMPANION_MARK,
                                         "zendmark", ZR_COMPANION_MARK));
        }
        zrCompanionGrowAhead(c_, 3 * kStep);
        ASSERT_EQ(SizeOf(path_), k.after);
    }
    // Grown ahead, the writer's own growth finds the room made and writes nothing.
    ASSERT_TRUE(zrCompanionGrow(c_, 2 * kStep));
    ASSERT_EQ(SizeOf(path_), 2 * kStep);
    ASSERT_TRUE(zrCompanionHolds(c_, 2 * kStep - ZR_COMPANION_MARK));
}

// The syncer's thread grows the file when asked, and its end then holds the mark that
// tells a writer the file was not cut below it.
TEST_F(GrowAhead, TheSyncerGrowsWhenAsked) {
    ASSERT_NE(zrCompanionMap(c_, 4096, 8 * kStep), nullptr);
    ZrSyncer* s = zrSyncerStart(c_, 200);
    ASSERT_NE(s, nullptr);
    for (long long want = 2 * kStep; want <= 4 * kStep; want += kStep) {
        zrSyncerGrowAhead(s, want);
        for (int i = 0; i < 500 && SizeOf(path_) < want; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(SizeOf(path_), want);
        ASSERT_TRUE(zrCompanionHolds(c_, want - ZR_COMPANION_MARK));
    }
    zrSyncerStop(s);
}

}  // namespace
#endif
