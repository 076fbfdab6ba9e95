// A host that forks after its load: its child joins the change log as a process of its own,
// and whatever the child does, the log its parent uses stays.
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

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K ( )\n)\n";

std::string Text(const char16_t* name) {
    void* h = nullptr;
    if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"K"), 0, &h) != 0) return "?";
    unsigned char buf[64] = {};
    uint32_t type = 0, size = sizeof buf;
    int32_t rc = ZrRegQueryValueEx(h, WP(name), &type, buf, &size);
    ZrRegCloseKey(h);
    return rc == 0 ? std::string(reinterpret_cast<char*>(buf)) : "";
}

int Status(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}

class ForkedHost : public OneFileTest {
protected:
    ForkedHost() : OneFileTest(kBase) {}
};

// The host loads, changes, forks; the child does what the case says and ends; the host
// changes again and waits to be killed. Another process sees the host's last change, and
// after the kill a load holds every change that returned.
TEST_F(ForkedHost, TheChildNeverEndsItsParentsLog) {
#ifdef ZR_TSAN_BUILD
    GTEST_SKIP() << "the host forks with its syncer thread running, which ThreadSanitizer does not follow";
#endif
#ifdef ZR_EMULATED_BUILD
    GTEST_SKIP() << "the host forks with its syncer thread running, which stops qemu-user itself";
#endif
    struct Case {
        const char* name;
        bool childSets, childUnloads;
        const char* after;  // the file after the kill and a reload
    };
    const Case cases[] = {
        {"the child unloads", false, true, "[My Computer]\n  [K]\n    before = \"1\"\n    after = \"3\"\n"},
        {"the child changes and unloads", true, true,
         "[My Computer]\n  [K]\n    before = \"1\"\n    child = \"2\"\n    after = \"3\"\n"},
        {"the child changes and exits", true, false,
         "[My Computer]\n  [K]\n    before = \"1\"\n    child = \"2\"\n    after = \"3\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(reg_, kBase);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t host = fork();
        if (host == 0) {
            if (ZrLoadRegistry(reg_.c_str()) != 0 || SetText(u"before", "1") != 0) _exit(2);
            pid_t child = fork();
            if (child == 0) {
                if (c.childSets && SetText(u"child", "2") != 0) _exit(3);
                if (c.childUnloads) ZrUnloadRegistry();
                _exit(0);
            }
            int status = Status(child);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) _exit(4);
            if (SetText(u"after", "3") != 0) _exit(5);
            if (write(ready[1], "r", 1) != 1) _exit(6);
            for (;;) pause();
        }
        close(ready[1]);
        char r;
        ASSERT_EQ(read(ready[0], &r, 1), 1);
        close(ready[0]);
        pid_t other = fork();
        if (other == 0) {
            if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
            bool seen = Text(u"after") == "3" && Text(u"before") == "1";
            ZrUnloadRegistry();
            _exit(seen ? 0 : 7);
        }
        int status = Status(other);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        kill(host, SIGKILL);
        status = Status(host);
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        ZrUnloadRegistry();
        EXPECT_EQ(TreeInFile(reg_), c.after);
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
    }
}

}  // namespace
#endif
