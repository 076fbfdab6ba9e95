// The lock file of saves: its maker may remove it under the lock (a failed save), and a
// process that was waiting for it then locks the file at the name, not the one removed.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "testutil.h"
#include "zrplat.h"

namespace {

// While the maker holds the lock, a second taker waits; the maker removes the file and
// unlocks. The second then holds the lock on the file now at the name, which excludes a
// third (and without the check both would hold "the" lock, on two files).
TEST(LockFile, AWaiterOfARemovedLockFileLocksTheOneAtTheName) {
    TempDir dir;
    std::string path = dir.File("R.LCK");
    int waitMs = zrLockWaitMs;
    ZrLock first = -1, second = -1;
    bool made = false;
    ASSERT_EQ(zrLockFile(path.c_str(), true, &first, nullptr, &made), ZR_LOCK_TAKEN);
    EXPECT_TRUE(made);
    ZrLockResult got = ZR_LOCK_NONE;
    bool secondMade = true;
    std::thread waiter([&] { got = zrLockFile(path.c_str(), true, &second, nullptr, &secondMade); });
    usleep(200000);  // the waiter has opened the file and polls its lock
    zrUnlockRemoving(first, path.c_str());
    waiter.join();
    ASSERT_EQ(got, ZR_LOCK_TAKEN);
    EXPECT_TRUE(secondMade);  // the name was made anew
    struct stat held, named;
    ASSERT_EQ(fstat(static_cast<int>(second), &held), 0);
    ASSERT_EQ(stat(path.c_str(), &named), 0);
    EXPECT_EQ(held.st_ino, named.st_ino);
    zrLockWaitMs = 50;
    ZrLock third = -1;
    EXPECT_EQ(zrLockFile(path.c_str(), true, &third, nullptr), ZR_LOCK_TIMEOUT);
    zrLockWaitMs = waitMs;
    zrUnlockFile(second);
    // A shared lock does not make the file: with none at the name there is nothing to lock.
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(zrLockFile(path.c_str(), false, &third), ZR_LOCK_NONE);
}

}  // namespace
#endif
