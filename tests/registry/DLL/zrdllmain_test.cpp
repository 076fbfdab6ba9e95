// The entry points: ZrLoadRegistry's results by name (syntax errors: the golden files).
#include <string>

#include "testutil.h"
#include "zrplat.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

TEST(EntryPoints, LoadResults) {
    ResetRegistry();
    TempDir dir;
    std::string reg = dir.File("reg.txt");
    WriteBytes(reg, "KEY \"My Computer\" ( [REG_INT] n = 1; )\n");
    EXPECT_EQ(ZrLoadRegistry(dir.File("missing.txt").c_str()), ZRREG_LOAD_NO_FILE);
    EXPECT_EQ(ZrLoadRegistry(std::string(512, 'p').c_str()), ZRREG_LOAD_NO_FILE);  // too long a path
    EXPECT_EQ(ZrLoadRegistry(nullptr), ZRREG_LOAD_NO_FILE);
    // What is not a regular file cannot be read as one: a directory would read as a syntax
    // error, and a FIFO without a writer would hang the host.
    fs::create_directory(dir.File("dir.txt"));
    EXPECT_EQ(ZrLoadRegistry(dir.File("dir.txt").c_str()), ZRREG_LOAD_NO_FILE);
#ifndef _WIN32
    ASSERT_EQ(mkfifo(dir.File("fifo.txt").c_str(), 0600), 0);
    EXPECT_EQ(ZrLoadRegistry(dir.File("fifo.txt").c_str()), ZRREG_LOAD_NO_FILE);
    EXPECT_EQ(ZrLoadRegistry("/dev/null"), ZRREG_LOAD_NO_FILE);
    fs::create_symlink(reg, dir.File("link.txt"));
    ASSERT_EQ(ZrLoadRegistry(dir.File("link.txt").c_str()), ZRREG_LOAD_OK);
    ZrUnloadRegistry();
#endif
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_OK);
    void* root = HkeyRegRoot();
    EXPECT_NE(root, nullptr);
    EXPECT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_REFUSED);  // already loaded: untouched
    EXPECT_EQ(HkeyRegRoot(), root);
    ZrUnloadRegistry();
    EXPECT_EQ(HkeyRegRoot(), nullptr);

    // A file that cannot be read to its end is not loaded, whether the loader reads it
    // itself or through its reader thread: saving the part that was read would lose the
    // rest. The read after the first one fails, inside the file or at its end.
    std::string large =
        "KEY \"My Computer\" (\n" + std::string(8 * ZR_AHEAD_BLOCK, ' ') + "[REG_INT] n = 1; )\n";
    for (const std::string& bytes : {ReadBytes(reg), large})
        for (long long aheadFrom : {1LL << 62, 0LL}) {
            WriteBytes(reg, bytes);
            zrReadAheadFrom(aheadFrom);
            zrIoFailAt(ZR_IO_READ);
            testing::internal::CaptureStdout();
            EXPECT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_NO_FILE) << bytes.size() << " " << aheadFrom;
            testing::internal::GetCapturedStdout();
            zrIoFailAt(ZR_IO_NONE);
            EXPECT_EQ(HkeyRegRoot(), nullptr);
            EXPECT_EQ(ReadBytes(reg), bytes);
            ASSERT_EQ(ZrLoadRegistry(reg.c_str()), ZRREG_LOAD_OK);  // and loads once it can be read
            ZrUnloadRegistry();
            zrReadAheadFrom(-1);
        }
}
