// Every writer of a registry file takes its lock file: zrreg import, which saves without the
// change log, racing a logged host's last unload loses neither's change.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regp.h"
#include "testutil.h"
#include "zrplat.h"

namespace {

#ifdef ZR_ZRREG  // (a build without zrreg, as the 32-bit one, has nothing to race)
// Two megabytes: each save takes some tens of milliseconds, its write and sync.
std::string Base() {
    std::string text = "KEY \"My Computer\"\n(\n  KEY K ( )\n  KEY Big\n  (\n";
    for (int i = 0; i < 40000; ++i)
        text += "    [REG_SZ] v" + std::to_string(i) + " = \"some text of a value\";\n";
    return text + "  )\n)\n";
}

int Status(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

bool Exited0(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
#endif

// The host's unload starts a little later in each try, so that the tries sweep it across
// the import's load and save.
TEST(Writers, AnImportRacingALoggedHostsLastUnloadLosesNothing) {
#ifndef ZR_ZRREG
    GTEST_SKIP() << "no zrreg to run";
#else
    ResetRegistry();
    TempDir dir;
    std::string reg = dir.File("reg.txt"), in = dir.File("in.reg");
    const int kTries = 50;
    int lost = 0;
    const std::string base = Base();
    for (int i = 0; i < kTries; ++i) {
        SCOPED_TRACE(i);
        WriteBytes(reg, base);
        WriteBytes(in, "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Imp]\n\"n\"=\"" +
                           std::to_string(i) + "\"\n");
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        fflush(stdout);
        pid_t host = fork();
        if (host == 0) {
            void* k = nullptr;
            const unsigned char one[] = "1";
            if (ZrLoadRegistry(reg.c_str()) != 0 || ZrRegCreateKey(HkeyRegRoot(), WP(u"K"), &k) != 0 ||
                ZrRegSetValueEx(k, WP(u"host"), ZRREG_TYPE_SZ, one, 2) != 0)
                _exit(2);
            ZrRegCloseKey(k);
            char c;
            if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) _exit(3);
            usleep(static_cast<useconds_t>(i % 25) * 2000);
            ZrUnloadRegistry();
            // The last of the two to leave the log writes the file: the host, or the import.
            RegViewSaveResult r = RegViewLastUnload().result;
            _exit(r == REGVIEW_SAVE_WRITTEN || r == REGVIEW_SAVE_NONE ? 0 : 4);
        }
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        pid_t import = fork();
        if (import == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(ZR_ZRREG, ZR_ZRREG, "import", reg.c_str(), in.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_EQ(write(go[1], "g", 1), 1);
        EXPECT_TRUE(Exited0(Status(host)));
        EXPECT_TRUE(Exited0(Status(import)));
        for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
        std::string tree = TreeInFile(reg);
        bool both = tree.find("host = \"1\"") != std::string::npos &&
                    tree.find("n = \"" + std::to_string(i) + "\"") != std::string::npos;
        lost += !both;
        EXPECT_TRUE(both) << tree;
    }
    EXPECT_EQ(lost, 0) << "of " << kTries;
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"reg.txt", "in.reg"}));
#endif
}

// An import into a file whose log a host uses goes through the log: the host sees all of it
// at its next call, without a reload; an import that fails leaves it nothing to see.
TEST(Writers, AnImportIsSeenByALiveHostAtItsNextCall) {
#ifndef ZR_ZRREG
    GTEST_SKIP() << "no zrreg to run";
#else
    ResetRegistry();
    TempDir dir;
    std::string reg = dir.File("reg.txt"), in = dir.File("in.reg");
    WriteBytes(reg, "KEY \"My Computer\"\n(\n  KEY HKEY_CURRENT_USER ( )\n)\n");
    ASSERT_EQ(ZrLoadRegistry(reg.c_str()), 0u);
    auto import = [&](const std::string& body, const char* option) {
        WriteBytes(in, "Windows Registry Editor Version 5.00\n\n" + body);
        std::string cmd =
            std::string(ZR_ZRREG) + " import " + reg + " " + in + " " + option + " >/dev/null 2>&1";
        return std::system(cmd.c_str());
    };
    auto value = [](const char16_t* key, const char16_t* name) {
        void* k = nullptr;
        if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(key), 0, &k) != 0) return std::string("(no key)");
        uint32_t type = 0, n = 32;
        unsigned short text[16] = {};
        int32_t rc = ZrRegQueryValueEx(k, WP(name), &type, reinterpret_cast<unsigned char*>(text), &n);
        ZrRegCloseKey(k);
        std::string got = rc == 0 ? "" : "(none)";
        for (int i = 0; rc == 0 && text[i]; ++i) got += static_cast<char>(text[i]);
        return got;
    };
    EXPECT_NE(import("[HKEY_CURRENT_USER\\Bad]\n\"x\"=\"1\"\nnot a line\n", "--strict"), 0);
    EXPECT_EQ(value(u"HKEY_CURRENT_USER\\Bad", u"x"), "(no key)");
    EXPECT_EQ(
        import("[HKEY_CURRENT_USER\\Imp]\n\"a\"=\"1\"\n\"b\"=\"2\"\n[HKEY_CURRENT_USER\\Imp\\Sub]\n@=\"3\"\n",
               ""),
        0);
    EXPECT_EQ(value(u"HKEY_CURRENT_USER\\Imp", u"a"), "1");
    EXPECT_EQ(value(u"HKEY_CURRENT_USER\\Imp", u"b"), "2");
    EXPECT_EQ(value(u"HKEY_CURRENT_USER\\Imp\\Sub", u""), "3");
    ZrUnloadRegistry();
    EXPECT_NE(TreeInFile(reg).find("b = \"2\""), std::string::npos) << TreeInFile(reg);
#endif
}

}  // namespace
#endif
