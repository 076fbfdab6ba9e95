// Change notification: which changes fire which watches, with and without the change log;
// waiting callers, closed handles, and changes of another process.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "regp.h"
#include "testutil.h"
#include "zrplat.h"
#include "zrsignal.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n  KEY K0 ( [REG_SZ] a = \"1\"; KEY S ( [REG_SZ] b = \"2\"; ) )\n  KEY K1 ( "
    "[REG_SZ] c = "
    "\"3\"; )\n)\n";

void* Open(const char16_t* path) {
    void* h = nullptr;
    EXPECT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(path), 0, &h), 0);
    return h;
}

int32_t SetSz(void* h, const char16_t* name) {
    return ZrRegSetValueEx(h, WP(name), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("x"), 2);
}

class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        WriteBytes(reg_, kBase);
        fflush(stdout);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    TempDir dir_;
    std::string reg_;
    Signal signal_;
};

// Which change fires which watch: each row once with the change log and once without.
TEST_F(Notify, EachChangeFiresTheWatchesItConcerns) {
    const uint32_t kNames = ZRREG_NOTIFY_CHANGE_NAME, kValues = ZRREG_NOTIFY_CHANGE_LAST_SET;
    struct Case {
        const char* name;
        const char16_t* watched;
        bool subtree;
        uint32_t filter;
        int32_t (*change)();
        bool fires;
    };
    const Case cases[] = {
        {"a subkey made", u"K0", false, kNames,
         [] {
             void* h;
             int32_t rc = ZrRegCreateKey(HkeyRegRoot(), WP(u"K0\\New"), &h);
             ZrRegCloseKey(h);
             return rc;
         },
         true},
        {"a value set is no name", u"K0", false, kNames, [] { return SetSz(Open(u"K0"), u"a"); }, false},
        {"a value set", u"K0", false, kValues, [] { return SetSz(Open(u"K0"), u"a"); }, true},
        {"a value below, without the subtree", u"K0", false, kValues,
         [] { return SetSz(Open(u"K0\\S"), u"b"); }, false},
        {"a value below, with the subtree", u"K0", true, kValues, [] { return SetSz(Open(u"K0\\S"), u"b"); },
         true},
        {"a value deleted", u"K1", false, kValues, [] { return ZrRegDeleteValue(Open(u"K1"), WP(u"c")); },
         true},
        {"another key's value", u"K1", true, kNames | kValues, [] { return SetSz(Open(u"K0"), u"a"); },
         false},
        {"a subkey deleted", u"K0", false, kNames, [] { return ZrRegDeleteKey(Open(u"K0"), WP(u"S")); },
         true},
        {"the watched key deleted", u"K0\\S", false, kValues,
         [] { return ZrRegDeleteKey(HkeyRegRoot(), WP(u"K0")); }, true},
        {"a sibling deleted", u"K0", true, kNames | kValues,
         [] { return ZrRegDeleteKey(HkeyRegRoot(), WP(u"K1")); }, false},
        {"the key emptied", u"K0", false, kValues, [] { return ZrRegDeleteTree(Open(u"K0"), nullptr); },
         true},
    };
    for (bool logged : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (logged ? ", with the log" : ", without the log"));
            RegViewUseLog(logged);
            WriteBytes(reg_, kBase);
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            void* watched = Open(c.watched);
            ASSERT_EQ(ZrRegNotifyChangeKeyValue(watched, c.subtree, c.filter, signal_.Event(), 1), 0);
            ASSERT_EQ(c.change(), 0);
            EXPECT_EQ(signal_.Fired(c.fires ? 2000 : 150), c.fires);
            // Fired once: a second change says nothing more.
            if (c.fires) {
                c.change();
                EXPECT_FALSE(signal_.Fired(100));
            }
            ZrRegCloseKey(watched);
            signal_.Fired(0);  // the close fires a watch that is left
            ZrUnloadRegistry();
        }
    }
}

// A caller that waits returns when another thread changes the key, or when another thread
// closes the handle it waits on.
TEST_F(Notify, AWaitingCallerReturnsOnAChangeOrAClose) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = Open(u"K0");
    int32_t got = -1;
    std::thread waiter(
        [&] { got = ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, nullptr, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    void* other = Open(u"K0");
    ASSERT_EQ(SetSz(other, u"z"), 0);
    waiter.join();
    EXPECT_EQ(got, ZRREG_SUCCESS);

    std::thread closed(
        [&] { got = ZrRegNotifyChangeKeyValue(other, 1, ZRREG_NOTIFY_CHANGE_NAME, nullptr, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ZrRegCloseKey(other);
    closed.join();
    EXPECT_EQ(got, ZRREG_INVALID_HANDLE);
    ZrRegCloseKey(k0);
}

#ifndef _WIN32
// Another process's change reaches this one's watch through the log within 100 ms.
TEST_F(Notify, AnotherProcessesChangeFiresTheWatch) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pid = fork();
    if (pid == 0) {
        char c;
        if (read(go[0], &c, 1) != 1 || ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        if (SetSz(Open(u"K1"), u"from the child") != 0) _exit(3);
        ZrUnloadRegistry();
        _exit(0);
    }
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k1 = Open(u"K1");
    ASSERT_EQ(ZrRegNotifyChangeKeyValue(k1, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, signal_.Event(), 1), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(signal_.Fired(1000));
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    printf("[ notify ] another process's change seen %.1f ms after it returned\n", ms);
    EXPECT_LT(ms, 100);
    ZrRegCloseKey(k1);
    close(go[0]);
    close(go[1]);
}
#endif

TEST_F(Notify, BadArgumentsAreRefused) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = Open(u"K0");
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(nullptr, 0, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1),
              ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, 0, signal_.Event(), 1), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, 0x10, signal_.Event(), 1), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_NAME, nullptr, 1), ZRREG_BAD_ARG);
    ZrRegCloseKey(k0);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1),
              ZRREG_INVALID_HANDLE);
}

}  // namespace
