// Change notification: which changes fire which watches, with and without the change log;
// waiting callers, closed handles, and changes of another process.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "regp.h"
#include "testutil.h"
#include "zrplat.h"
#include "zrsignal.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
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

class Notify : public OneFileTest {
protected:
    Notify() : OneFileTest(kBase) {}
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
// Another process's change reaches this one's watch through the log within 100 ms. Its
// record names K1 back to one written before the watch began, which the notifier never read.
TEST_F(Notify, AnotherProcessesChangeFiresTheWatch) {
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        char c;
        if (ZrLoadRegistry(reg_.c_str()) != 0 || SetSz(Open(u"K1"), u"before the watch") != 0) _exit(2);
        if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
        if (SetSz(Open(u"K1"), u"from the child") != 0) _exit(3);
        ZrUnloadRegistry();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
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
    for (int fd : {go[0], go[1], ready[0], ready[1]}) close(fd);
}
#endif

// What a synchronous watch of `h` answers, `during` run while it waits; "still waiting"
// (-2) when it had not returned 2 s after that, and then the handle's close releases it.
const int32_t kStillWaiting = -2;
int32_t WaitOn(void* h, uint32_t filter, void (*during)()) {
    auto answer =
        std::async(std::launch::async, [&] { return ZrRegNotifyChangeKeyValue(h, 0, filter, nullptr, 0); });
    if (answer.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) return answer.get();
    if (during) during();
    if (answer.wait_for(std::chrono::seconds(2)) == std::future_status::ready) return answer.get();
    ZrRegCloseKey(h);
    answer.get();
    return kStillWaiting;
}

void DeleteK0() { EXPECT_EQ(ZrRegDeleteKey(HkeyRegRoot(), WP(u"K0")), 0); }
void SetInS() {
    void* s = Open(u"K0\\S");
    EXPECT_EQ(SetSz(s, u"b"), 0);
    ZrRegCloseKey(s);
}
std::string s_regPath;  // the tool's registry file
#ifdef ZR_ZRREG
// Another process deletes K0: zrreg, through the change log.
void ToolDeletesK0() {
    std::string cmd =
        std::string(ZR_ZRREG) + " delete '" + s_regPath + "' 'My Computer/K0' --force > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
#endif

// A watch of a key that is gone, or goes while a caller waits, answers ZRREG_KEY_NOT_FOUND
// rather than wait for a change that cannot come. The watched handle names K0\S and stays
// open throughout: a key with open handles is not deleted itself, only with its parent.
TEST_F(Notify, AWatchOfAKeyThatGoesAnswersKeyNotFound) {
    const uint32_t kValues = ZRREG_NOTIFY_CHANGE_LAST_SET, kNames = ZRREG_NOTIFY_CHANGE_NAME;
    struct Case {
        const char* name;
        bool logOnly;
        void (*before)();  // before the watch
        uint32_t filter;
        void (*during)();  // while it waits
        int32_t answer;
    };
    const Case cases[] = {
        {"deleted before", false, DeleteK0, kValues, nullptr, ZRREG_KEY_NOT_FOUND},
        {"deleted while it waits", false, nullptr, kValues, DeleteK0, ZRREG_KEY_NOT_FOUND},
        {"deleted while it waits for names", false, nullptr, kNames, DeleteK0, ZRREG_KEY_NOT_FOUND},
        {"a value set while it waits", false, nullptr, kValues, SetInS, ZRREG_SUCCESS},
        {"thread-agnostic, a value set", false, nullptr, kValues | ZRREG_NOTIFY_THREAD_AGNOSTIC, SetInS,
         ZRREG_SUCCESS},
#ifdef ZR_ZRREG
        {"deleted before by another process", true, ToolDeletesK0, kValues, nullptr, ZRREG_KEY_NOT_FOUND},
        {"deleted by another process while it waits", true, nullptr, kValues, ToolDeletesK0,
         ZRREG_KEY_NOT_FOUND},
#endif
    };
    s_regPath = reg_;
    for (bool logged : {true, false}) {
        for (const Case& c : cases) {
            if (c.logOnly && !logged) continue;
            SCOPED_TRACE(std::string(c.name) + (logged ? ", with the log" : ", without the log"));
            RegViewUseLog(logged);
            WriteBytes(reg_, kBase);
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            void* s = Open(u"K0\\S");
            if (c.before) c.before();
            EXPECT_EQ(WaitOn(s, c.filter, c.during), c.answer);
            if (c.before) {
                EXPECT_EQ(ZrRegNotifyChangeKeyValue(s, 0, c.filter, signal_.Event(), 1), ZRREG_KEY_NOT_FOUND);
            }
            ZrRegCloseKey(s);
            EXPECT_FALSE(signal_.Fired(0));
            ZrUnloadRegistry();
        }
    }
}

#ifndef _WIN32
int OpenDescriptors() {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) n += !entry.path().empty();
    return n;
}

// The host closes its eventfd while two watches hold it and opens a file, which gets the
// same number: neither the change that fires one nor the unload that ends the other
// writes into the file.
TEST_F(Notify, AWatchNeverWritesIntoWhatTheHostOpensUnderItsNumber) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    int fd = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* k0 = Open(u"K0");
    void* k1 = Open(u"K1");
    ASSERT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, &fd, 1), 0);
    ASSERT_EQ(ZrRegNotifyChangeKeyValue(k1, 0, ZRREG_NOTIFY_CHANGE_NAME, &fd, 1), 0);
    int number = fd;
    close(fd);
    std::string file = dir_.File("host.bin");
    int other = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_EQ(other, number);
    ASSERT_EQ(SetSz(k0, u"a"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the notifier's round too
    ZrRegCloseKey(k0);
    ZrRegCloseKey(k1);
    ZrUnloadRegistry();
    struct stat st;
    ASSERT_EQ(fstat(other, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    close(other);
}

// Every way a watch ends gives back the descriptor it holds, and a refused one holds none.
TEST_F(Notify, WatchesLeaveNoDescriptorBehind) {
    for (bool logged : {true, false}) {
        SCOPED_TRACE(logged ? "with the log" : "without the log");
        RegViewUseLog(logged);
        WriteBytes(reg_, kBase);
        int before = OpenDescriptors();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        void* k1 = Open(u"K1");
        void* s = Open(u"K0\\S");
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(k1, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, signal_.Event(), 1), 0);
        ASSERT_EQ(SetSz(k1, u"c"), 0);  // fired
        EXPECT_TRUE(signal_.Fired(2000));
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(s, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, signal_.Event(), 1), 0);
        ASSERT_EQ(ZrRegDeleteKey(HkeyRegRoot(), WP(u"K0")), 0);  // its key deleted
        EXPECT_TRUE(signal_.Fired(2000));
        EXPECT_EQ(ZrRegNotifyChangeKeyValue(s, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, signal_.Event(), 1),
                  ZRREG_KEY_NOT_FOUND);
        int closed = -1;
        EXPECT_EQ(ZrRegNotifyChangeKeyValue(k1, 0, ZRREG_NOTIFY_CHANGE_NAME, &closed, 1), ZRREG_BAD_ARG);
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(k1, 1, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1), 0);
        ZrRegCloseKey(k1);  // its handle closed
        EXPECT_TRUE(signal_.Fired(0));
        k1 = Open(u"K1");
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(k1, 1, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1), 0);
        ZrRegCloseKey(s);
        ZrUnloadRegistry();  // the unload
        EXPECT_TRUE(signal_.Fired(0));
        EXPECT_EQ(OpenDescriptors(), before);
    }
}
#endif

// The library's unload with a registry loaded (DllMain's detach, as a dlclose or a
// FreeLibrary runs it) ends every thread of the library: its code is about to go. Its
// watches end as at an unload; the process may call on, syncing for itself.
TEST_F(Notify, TheLibrarysUnloadEndsItsThreads) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = Open(u"K0");
    void* k1 = Open(u"K1");
    ASSERT_EQ(ZrRegNotifyChangeKeyValue(k0, 1, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1), 0);
    auto waiter = std::async(std::launch::async, [&] {
        return ZrRegNotifyChangeKeyValue(k1, 0, ZRREG_NOTIFY_CHANGE_NAME, nullptr, 0);
    });
    EXPECT_EQ(SetSz(k1, u"c"), 0);  // a sync pending
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
#ifdef _WIN32
    EXPECT_EQ(zrThreadsLive(), 1);  // the notifier; no thread syncs the log there
#else
    EXPECT_EQ(zrThreadsLive(), 2);  // the notifier and the syncer
#endif
    DllMain(nullptr, 0, nullptr);
    EXPECT_EQ(zrThreadsLive(), 0);
    EXPECT_TRUE(signal_.Fired(0));
    if (waiter.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        ADD_FAILURE() << "the waiting caller is still waiting";
        ZrRegCloseKey(k1);
        k1 = Open(u"K1");
    }
    EXPECT_EQ(waiter.get(), ZRREG_INVALID_HANDLE);
    ASSERT_EQ(SetSz(k1, u"after"), 0);
    ZrRegCloseKey(k0);
    ZrRegCloseKey(k1);
    ZrUnloadRegistry();
    EXPECT_NE(TreeInFile(reg_).find("after"), std::string::npos);
}

// An app key's watches beside the default registry's: each registry's changes fire its own
// watches only, here and (through the app key's log) from another process; the watches and
// the notifier of the app key end with its last handle.
TEST_F(Notify, AppKeysWatchesBesideTheDefaultRegistrys) {
    std::string app = dir_.File("app.txt");
    WriteBytes(app, kBase);
    s_regPath = app;
    int threads = zrThreadsLive();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* root = nullptr;
    ASSERT_EQ(ZrRegLoadAppKey(app.c_str(), &root, 0, 0, 0), 0);
    Signal appSignal;
    const uint32_t kAll = ZRREG_NOTIFY_CHANGE_NAME | ZRREG_NOTIFY_CHANGE_LAST_SET;
    struct Case {
        const char* what;
        bool inApp;  // changed through the app key (or the default registry)
        int32_t (*change)(void* k0);
    } cases[] = {
        {"a value of the app key", true, [](void* k0) { return SetSz(k0, u"a"); }},
        {"a value of the default registry", false, [](void* k0) { return SetSz(k0, u"a"); }},
        {"a subkey of the app key deleted", true, [](void* k0) { return ZrRegDeleteKey(k0, WP(u"S")); }},
        {"a subkey of the default registry deleted", false,
         [](void* k0) { return ZrRegDeleteKey(k0, WP(u"S")); }},
#ifdef ZR_ZRREG
        {"zrreg's deletion in the app key's file", true,
         [](void*) { return ToolDeletesK0(), ZRREG_SUCCESS; }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void *appK0 = nullptr, *k0 = Open(u"K0");
        ASSERT_EQ(ZrRegOpenKeyEx(root, WP(u"K0"), 0, &appK0), 0);
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(appK0, 1, kAll, appSignal.Event(), 1), 0);
        ASSERT_EQ(ZrRegNotifyChangeKeyValue(k0, 1, kAll, signal_.Event(), 1), 0);
        ASSERT_EQ(c.change(c.inApp ? appK0 : k0), 0);
        EXPECT_EQ(appSignal.Fired(c.inApp ? 2000 : 150), c.inApp);
        EXPECT_EQ(signal_.Fired(c.inApp ? 150 : 2000), !c.inApp);
        ZrRegCloseKey(appK0);
        ZrRegCloseKey(k0);
        appSignal.Fired(0);  // the closes fire the watches left
        signal_.Fired(0);
    }
    // A caller waiting on an app key's handle returns when another thread closes it, which
    // lets the app key go: its notifier ends too.
    void* appK1 = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(root, WP(u"K1"), 0, &appK1), 0);
    ASSERT_EQ(ZrRegCloseKey(root), 0);
    auto waiter = std::async(std::launch::async, [&] {
        return ZrRegNotifyChangeKeyValue(appK1, 0, ZRREG_NOTIFY_CHANGE_NAME, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ZrRegCloseKey(appK1);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), ZRREG_INVALID_HANDLE);
    ZrUnloadRegistry();
    EXPECT_EQ(zrThreadsLive(), threads);
}

TEST_F(Notify, BadArgumentsAreRefused) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = Open(u"K0");
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(nullptr, 0, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1),
              ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, 0, signal_.Event(), 1), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, 0x10, signal_.Event(), 1), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_THREAD_AGNOSTIC, signal_.Event(), 1),
              ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_NAME | 0x20000000, signal_.Event(), 1),
              ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_NAME, nullptr, 1), ZRREG_BAD_ARG);
    ZrRegCloseKey(k0);
    EXPECT_EQ(ZrRegNotifyChangeKeyValue(k0, 0, ZRREG_NOTIFY_CHANGE_NAME, signal_.Event(), 1),
              ZRREG_INVALID_HANDLE);
}

}  // namespace
