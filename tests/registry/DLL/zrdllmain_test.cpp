// The system's attach and detach call; loading and unloading are tested with the registry file.
#include "testutil.h"

TEST(DllMain, AnswersOneForEveryReason) {
    for (ZRREG_REASON reason : {0u, 1u, 2u, 3u}) EXPECT_EQ(DllMain(nullptr, reason, nullptr), 1) << reason;
}
