// The handle table's chunks: every slot of a full chunk lies inside the block allocated for
// it (the sanitizer build checks the stores), and the slots of later chunks follow.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "testutil.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZR_ASAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_ASAN_BUILD 1
#endif
#endif
#if defined(ZR_ASAN_BUILD) && !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Three chunks filled to their last slot and a handle in the fourth, each reaching its key
// and closing, twice.
TEST_F(WideTest, EverySlotOfAFullChunkServes) {
#if defined(ZR_ASAN_BUILD) && !defined(_WIN32)
    // The sanitizer's large blocks begin on 64 bytes only by the size of their redzones: with
    // small ones they begin on 16, and a chunk given no room for its alignment overruns its
    // block. The test runs again in a process with those.
    const char* options = getenv("ASAN_OPTIONS");
    if (!options || !strstr(options, "max_redzone=16")) {
        std::string env = "ASAN_OPTIONS=" + std::string(options ? options : "") + ":max_redzone=16";
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            putenv(&env[0]);
            execl("/proc/self/exe", "zrreg_tests", "--gtest_filter=WideTest.EverySlotOfAFullChunkServes",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return;
    }
#endif
    const size_t kOpen = (size_t(1) << kRegFirstChunkBits) * 7 + 1;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::vector<void*> held(kOpen);
        for (void*& h : held) ASSERT_EQ(ZrRegOpenKeyEx(root, WP(u"Software"), 0, &h), ZRREG_SUCCESS);
        for (void* h : held) {
            uint32_t v = 0;
            ASSERT_EQ(ZrRegQueryValueDw(h, nullptr, WP(u"n300"), 0, &v), ZRREG_SUCCESS);
            ASSERT_EQ(v, 300u);
        }
        for (void* h : held) ASSERT_EQ(ZrRegCloseKey(h), ZRREG_SUCCESS);
    }
}

}  // namespace
