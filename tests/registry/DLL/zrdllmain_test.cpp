// The entry points: ZrLoadRegistry's results by name (syntax errors: the golden files).
#include <string>

#include "testutil.h"

TEST(EntryPoints, LoadResults) {
    ResetRegistry();
    TempDir dir;
    std::string reg = dir.File("reg.txt");
    WriteBytes(reg, "KEY \"My Computer\" ( [REG_INT] n = 1; )\n");
    EXPECT_EQ(ZrLoadRegistry(dir.File("missing.txt").c_str()), ZRREG_LOAD_NO_FILE);
    EXPECT_EQ(ZrLoadRegistry(std::string(512, 'p').c_str()), ZRREG_LOAD_NO_FILE);  // too long a path
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_OK);
    void* root = HkeyRegRoot();
    EXPECT_NE(root, nullptr);
    EXPECT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_REFUSED);  // already loaded: untouched
    EXPECT_EQ(HkeyRegRoot(), root);
    ZrUnloadRegistry();
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    EXPECT_EQ(yyin, nullptr);  // the file is closed
}
