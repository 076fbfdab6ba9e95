// App keys: registry files loaded privately beside the default registry, each reached
// through its own handles, written back at its last close, shared with other processes.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>
#include <thread>
#include <vector>

#include "testutil.h"
#include "zrsignal.h"

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n    KEY Base\n    (\n        [REG_SZ] from = \"base\";\n    )\n)\n";

std::string Text(void* key, const char16_t* name) {
    unsigned short buf[64];
    uint32_t type = 0, size = sizeof buf;
    int32_t rc = ZrRegQueryValueEx(key, WP(name), &type, reinterpret_cast<unsigned char*>(buf), &size);
    if (rc != ZRREG_SUCCESS) return "error " + std::to_string(rc);
    std::string s;
    for (uint32_t i = 0; i < size && buf[i]; ++i) s += static_cast<char>(buf[i]);
    return s;
}

int32_t SetText(void* key, const char16_t* name, const std::string& text) {
    return ZrRegSetValueEx(key, WP(name), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>(text.c_str()),
                           static_cast<uint32_t>(text.size() + 1));
}

class AppKeys : public OneFileTest {
protected:
    AppKeys() : OneFileTest(kBase) {}
    std::string App(int i) {
        std::string path = dir_.File("app" + std::to_string(i) + ".txt");
        if (!fs::exists(path)) WriteBytes(path, kBase);
        return path;
    }
};

// Each app key's changes stay in its own tree and reach its own file, at its last close
// and not before; the default registry beside them keeps its own.
TEST_F(AppKeys, SeveralBesideTheDefaultEachWrittenAtItsLastClose) {
    for (int count : {2, 3}) {
        SCOPED_TRACE(count);
        for (int i = 0; i < count; ++i) WriteBytes(App(i), kBase);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
        std::vector<void*> roots(count), keys(count);
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(ZrRegLoadAppKey(App(i).c_str(), &roots[i], 0, 0, 0), ZRREG_SUCCESS);
            ASSERT_EQ(ZrRegCreateKey(roots[i], WP(u"Base\\Sub"), &keys[i]), ZRREG_SUCCESS);
            ASSERT_EQ(SetText(keys[i], u"who", "app" + std::to_string(i) + "/" + std::to_string(count)), 0);
        }
        void* base = nullptr;
        ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"Base"), 0, &base), ZRREG_SUCCESS);
        EXPECT_EQ(SetText(base, u"from", "default"), 0);
        EXPECT_EQ(ZrRegCountSubKeys(base), 0u);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(Text(keys[i], u"who"), "app" + std::to_string(i) + "/" + std::to_string(count));
            // The tools' view of a handle finds its key in the handle's own registry.
            const RegViewKey* node = RegViewKeyOf(keys[i]);
            ASSERT_NE(node, nullptr);
            EXPECT_STREQ(RegViewName(node), "Sub");
            ASSERT_EQ(RegViewValueCount(node), 1);
            EXPECT_STREQ(RegViewValueAt(node, 0).name, "who");
            void* appBase = nullptr;
            ASSERT_EQ(ZrRegOpenKeyEx(roots[i], WP(u"Base"), 0, &appBase), ZRREG_SUCCESS);
            EXPECT_EQ(Text(appBase, u"from"), "base");
            EXPECT_EQ(ZrRegCloseKey(appBase), ZRREG_SUCCESS);
        }
        // Closed in turn: the file is written when its last handle goes, whichever that is.
        for (int i = 0; i < count; ++i) {
            void* first = i % 2 ? keys[i] : roots[i];
            void* last = i % 2 ? roots[i] : keys[i];
            EXPECT_EQ(ZrRegCloseKey(first), ZRREG_SUCCESS);
            EXPECT_EQ(ReadBytes(App(i)).find("Sub"), std::string::npos) << i;
            EXPECT_EQ(ZrRegCloseKey(last), ZRREG_SUCCESS);
            EXPECT_NE(ReadBytes(App(i)).find("app" + std::to_string(i) + "/" + std::to_string(count)),
                      std::string::npos)
                << ReadBytes(App(i));
            EXPECT_FALSE(fs::exists(App(i) + "-log")) << "the log goes with the last process";
            // Every handle of the registry let go is dead, as a closed one is.
            unsigned short name[8];
            uint32_t size = 8;
            EXPECT_EQ(ZrRegEnumKeyEx(roots[i], 0, name, &size), ZRREG_INVALID_HANDLE);
            EXPECT_EQ(SetText(keys[i], u"who", "late"), ZRREG_INVALID_HANDLE);
            EXPECT_EQ(ZrRegCloseKey(keys[i]), ZRREG_INVALID_HANDLE);
        }
        EXPECT_EQ(Text(base, u"from"), "default");
        ZrRegCloseKey(base);
        ZrUnloadRegistry();
        EXPECT_NE(ReadBytes(reg_).find("default"), std::string::npos);
    }
}

TEST_F(AppKeys, LoadAnswers) {
    void* h = nullptr;
    WriteBytes(dir_.File("bad.txt"), "KEY \"My Computer\"\n(\n  nonsense\n");
    struct {
        std::string file;
        uint32_t options, reserved;
        int32_t rc;
    } cases[] = {
        {dir_.File("none.txt"), 0, 0, ZRREG_NOT_FOUND},
        {dir_.File("bad.txt"), 0, 0, ZRREG_BAD_FILE},
        {reg_, 0, 0, ZRREG_SHARING_VIOLATION},  // the default registry's own file
        {App(0), 2, 0, ZRREG_BAD_ARG},
        {App(0), 0, 1, ZRREG_BAD_ARG},
    };
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
    for (const auto& c : cases)
        EXPECT_EQ(ZrRegLoadAppKey(c.file.c_str(), &h, 0, c.options, c.reserved), c.rc) << c.file;
    EXPECT_EQ(ZrRegLoadAppKey(nullptr, &h, 0, 0, 0), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegLoadAppKey(App(0).c_str(), nullptr, 0, 0, 0), ZRREG_BAD_ARG);

    // One file loaded twice is one registry: what one handle sets the other reads, and the
    // file is written when both are closed.
    void *a = nullptr, *b = nullptr;
    ASSERT_EQ(ZrRegLoadAppKey(App(0).c_str(), &a, 0, 1, 0), ZRREG_SUCCESS);
    ASSERT_EQ(ZrRegLoadAppKey(App(0).c_str(), &b, 0, 0, 0), ZRREG_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(SetText(a, u"twice", "one"), 0);
    EXPECT_EQ(Text(b, u"twice"), "one");
    EXPECT_EQ(ZrRegCloseKey(a), ZRREG_SUCCESS);
    EXPECT_EQ(Text(b, u"twice"), "one");
    EXPECT_EQ(ZrRegCloseKey(b), ZRREG_SUCCESS);
    EXPECT_NE(ReadBytes(App(0)).find("twice"), std::string::npos);
    // The default registry unloads and loads again without touching an app key.
    ASSERT_EQ(ZrRegLoadAppKey(App(0).c_str(), &a, 0, 0, 0), ZRREG_SUCCESS);
    ZrUnloadRegistry();
    EXPECT_EQ(Text(a, u"twice"), "one");
    EXPECT_EQ(ZrLoadRegistry(App(0).c_str()), ZRREG_LOAD_REFUSED);  // one file, one registry
    ASSERT_EQ(ZrLoadRegistry(App(1).c_str()), ZRREG_LOAD_OK);
    EXPECT_EQ(Text(a, u"twice"), "one");
    EXPECT_EQ(ZrRegCloseKey(a), ZRREG_SUCCESS);
}

#ifndef _WIN32
// A change through an app key reaches another process that has the file as its default
// registry, while the key stays open; and the other way round.
TEST_F(AppKeys, ChangesReachOtherProcesses) {
    std::string file = App(0);
    int go[2], back[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(back), 0);
    pid_t pid = fork();
    if (pid == 0) {
        char c;
        if (read(go[0], &c, 1) != 1 || ZrLoadRegistry(file.c_str()) != ZRREG_LOAD_OK) _exit(2);
        void* key = nullptr;
        if (ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"Base"), 0, &key) != 0 || Text(key, u"from") != "parent")
            _exit(3);
        if (SetText(key, u"reply", "child") != 0 || write(back[1], "r", 1) != 1) _exit(4);
        ZrRegCloseKey(key);
        ZrUnloadRegistry();
        _exit(0);
    }
    void *root = nullptr, *key = nullptr;
    ASSERT_EQ(ZrRegLoadAppKey(file.c_str(), &root, 0, 0, 0), ZRREG_SUCCESS);
    ASSERT_EQ(ZrRegOpenKeyEx(root, WP(u"Base"), 0, &key), ZRREG_SUCCESS);
    EXPECT_EQ(SetText(key, u"from", "parent"), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    char c;
    ASSERT_EQ(read(back[0], &c, 1), 1);
    EXPECT_EQ(Text(key, u"reply"), "child");
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ZrRegCloseKey(key);
    ZrRegCloseKey(root);
    EXPECT_NE(ReadBytes(file).find("child"), std::string::npos);
    for (int fd : {go[0], go[1], back[0], back[1]}) close(fd);
}
#endif

// Threads on the default registry (with a watch, whose notifier reads its log) and on two
// app keys at once: each sees its own registry whole.
TEST_F(AppKeys, ThreadsOnSeveralRegistries) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
    void* watched = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"Base"), 0, &watched), ZRREG_SUCCESS);
    Signal signal;
    ASSERT_EQ(ZrRegNotifyChangeKeyValue(watched, 1, ZRREG_NOTIFY_CHANGE_LAST_SET, signal.Event(), 1),
              ZRREG_SUCCESS);
    void* roots[2] = {};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(ZrRegLoadAppKey(App(i).c_str(), &roots[i], 0, 0, 0), ZRREG_SUCCESS);
    const int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            void* base = t < 2 ? roots[t] : HkeyRegRoot();
            for (int n = 0; n < kRounds; ++n) {
                void* key = nullptr;
                if (ZrRegCreateKey(base, WP(u"Base"), &key) != 0) return ADD_FAILURE();
                std::string mine = std::to_string(t) + ":" + std::to_string(n);
                EXPECT_EQ(SetText(key, u"last", mine), 0);
                EXPECT_EQ(Text(key, u"last"), mine);
                ZrRegCloseKey(key);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ZrRegCloseKey(roots[i]), ZRREG_SUCCESS);
        EXPECT_NE(ReadBytes(App(i)).find(std::to_string(i) + ":" + std::to_string(kRounds - 1)),
                  std::string::npos);
    }
    EXPECT_TRUE(signal.Fired(5000));
    ZrRegCloseKey(watched);
}

}  // namespace
