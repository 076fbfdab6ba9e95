// The change log belongs to one registry file: files whose names share a stem keep apart,
// a log that belongs to another file is never applied, and a name without a "." is logged
// and saved too.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regp.h"
#include "testutil.h"
#include "zrlogtest.h"
#include "zrplat.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K ( )\n)\n";

void Reap(pid_t pid, bool killed) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (killed) {
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

class LogIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        fflush(stdout);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    TempDir dir_;
};

// One file is loaded while another process changes a second file whose name shares its
// stem: each change lands in its own file, whichever unloads first.
TEST_F(LogIdentity, FilesThatShareAStemKeepTheirChangesApart) {
    const char* pairs[][2] = {{"app.txt", "App.ini"}, {"app.txt", "app.bak"}, {"app.txt", "APP.TXT"}};
    for (auto& pair : pairs) {
        SCOPED_TRACE(std::string(pair[0]) + " and " + pair[1]);
        std::string first = dir_.File(pair[0]), second = dir_.File(pair[1]);
        WriteBytes(first, kBase);
        WriteBytes(second, kBase);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t pid = fork();
        if (pid == 0) {
            char c;
            if (read(go[0], &c, 1) != 1) _exit(2);
            if (ZrLoadRegistry(second.c_str()) != 0) _exit(3);
            if (SetText(u"second", "2") != 0) _exit(4);
            ZrUnloadRegistry();
            _exit(0);
        }
        ASSERT_EQ(ZrLoadRegistry(first.c_str()), 0u);
        ASSERT_EQ(SetText(u"first", "1"), 0);
        ASSERT_EQ(write(go[1], "g", 1), 1);
        Reap(pid, false);
        close(go[0]);
        close(go[1]);
        // A call after the other's unload: nothing of the other file comes in.
        EXPECT_EQ(SetText(u"again", "1"), 0);
        ZrUnloadRegistry();
        EXPECT_EQ(TreeInFile(first), "[My Computer]\n  [K]\n    first = \"1\"\n    again = \"1\"\n");
        EXPECT_EQ(TreeInFile(second), "[My Computer]\n  [K]\n    second = \"2\"\n");
        EXPECT_FALSE(fs::exists(first + "-log"));
        EXPECT_FALSE(fs::exists(second + "-log"));
        fs::remove(first);
        fs::remove(second);
    }
}

// A host killed after a change leaves its log; that log copied or renamed beside another
// file is refused there with one message and left as it is, and its own file still
// recovers the change from it.
TEST_F(LogIdentity, AnotherFilesLogIsNeverApplied) {
    std::string app = dir_.File("app.txt"), other = dir_.File("other.txt");
    WriteBytes(app, kBase);
    WriteBytes(other, kBase);
    pid_t pid = fork();
    if (pid == 0) {
        if (ZrLoadRegistry(app.c_str()) != 0 || SetText(u"lost", "x") != 0) _exit(2);
        raise(SIGKILL);
    }
    Reap(pid, true);
    std::string log = ReadBytes(app + "-log");
    ASSERT_FALSE(log.empty());
    fs::rename(app + "-log", other + "-log");
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(other.c_str()), 0u);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("other.txt-log is the change log of another file (app.txt)"), std::string::npos)
        << out;
    EXPECT_EQ(SetText(u"mine", "y"), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(TreeInFile(other), "[My Computer]\n  [K]\n    mine = \"y\"\n");
    EXPECT_EQ(ReadBytes(other + "-log"), log);

    fs::rename(other + "-log", app + "-log");
    ASSERT_EQ(ZrLoadRegistry(app.c_str()), 0u);
    ZrUnloadRegistry();
    EXPECT_EQ(TreeInFile(app), "[My Computer]\n  [K]\n    lost = \"x\"\n");
    EXPECT_FALSE(fs::exists(app + "-log"));
}

// A file whose name has no "." is saved like any other: through its log (which a crash
// leaves for the next load to recover) or, without one, under the lock.
TEST_F(LogIdentity, AFileWithoutADotIsSaved) {
    for (bool logged : {true, false}) {
        SCOPED_TRACE(logged ? "with the log" : "without a log");
        RegViewUseLog(logged);
        std::string reg = dir_.File("settings");
        WriteBytes(reg, kBase);
        ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
        EXPECT_EQ(fs::exists(reg + "-log"), logged);
        ASSERT_EQ(SetText(u"kept", "1"), 0);
        ZrUnloadRegistry();
        EXPECT_EQ(TreeInFile(reg), "[My Computer]\n  [K]\n    kept = \"1\"\n");
        std::set<std::string> left = {"settings"};
        if (!logged) left.insert("SETTINGS.LCK");
        EXPECT_EQ(dir_.Names(), left);
        fs::remove(dir_.File("SETTINGS.LCK"));
    }
    RegViewUseLog(true);
    std::string reg = dir_.File("settings");
    pid_t pid = fork();
    if (pid == 0) {
        if (ZrLoadRegistry(reg.c_str()) != 0 || SetText(u"crash", "2") != 0) _exit(2);
        raise(SIGKILL);
    }
    Reap(pid, true);
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
    ZrUnloadRegistry();
    EXPECT_EQ(TreeInFile(reg), "[My Computer]\n  [K]\n    kept = \"1\"\n    crash = \"2\"\n");
}

}  // namespace
#endif
