// The keys' last-write times: the file's for a key as loaded, the change's for a key whose
// values or subkeys changed, here or in another process, on the default registry and app keys.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <functional>
#include <string>

#include "testutil.h"

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n    KEY Base\n    (\n        [REG_SZ] a = \"1\";\n        [REG_SZ] b = \"2\";\n"
    "        KEY S1\n        (\n        )\n        KEY S2\n        (\n        )\n    )\n    KEY Other\n    "
    "(\n"
    "        [REG_SZ] c = \"3\";\n    )\n)\n";

// Twenty years back, far from any time a change is made at.
const std::filesystem::file_time_type kOld =
    std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 20);

// The precise clock's now; `early`, 20 ms before it, more than the tick of the library's coarse clock.
uint64_t Now(bool early = false) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint64_t>(ns / 100) + 116444736000000000ull - (early ? 20 * 10000 : 0);
}

// The key at `path` below root ("": root itself) opened for f; what f answers.
int32_t On(void* root, const char16_t* path, const std::function<int32_t(void*)>& f) {
    if (!*path) return f(root);
    void* key = nullptr;
    int32_t rc = ZrRegOpenKeyEx(root, WP(path), 0, &key);
    if (rc != ZRREG_SUCCESS) return rc;
    rc = f(key);
    ZrRegCloseKey(key);
    return rc;
}

uint64_t TimeOf(void* root, const std::u16string& path) {
    uint64_t t = 0;
    EXPECT_EQ(On(root, path.c_str(), [&](void* k) { return ZrRegQueryLastWriteTime(k, &t); }), ZRREG_SUCCESS);
    return t;
}

int32_t Create(void* root, const char16_t* path) {
    void* k = nullptr;
    int32_t rc = ZrRegCreateKey(root, WP(path), &k);
    ZrRegCloseKey(k);
    return rc;
}

class KeyTimes : public OneFileTest {
protected:
    KeyTimes() : OneFileTest(kBase) {}
    // The registry loaded anew from the base file, aged: the default one or an app key.
    void* Load(bool app) {
        WriteBytes(reg_, kBase);
        fs::last_write_time(reg_, kOld);
        ZrFileStamp s;
        EXPECT_TRUE(zrStampOf(reg_.c_str(), &s));
        fileTime_ = zrFileTimeOf(s);
        void* root = nullptr;
        if (!app) return ZrLoadRegistry(reg_.c_str()) == ZRREG_LOAD_OK ? HkeyRegRoot() : nullptr;
        return ZrRegLoadAppKey(reg_.c_str(), &root, 0, 0, 0) == ZRREG_SUCCESS ? root : nullptr;
    }
    void Unload(void* root, bool app) {
        if (app) {
            ZrRegCloseKey(root);
        } else {
            ZrUnloadRegistry();
        }
    }
    uint64_t fileTime_ = 0;
};

// Each change moves the times of the keys whose values or subkey lists it changes to the
// change's, and leaves every other key at the file's.
TEST_F(KeyTimes, EachChangeMovesItsKeysOnly) {
    struct Case {
        const char* what;
        std::function<int32_t(void*)> change;
        std::u16string moved, kept;
    } cases[] = {
        {"set", [](void* r) { return ZrRegSetKeyValue(r, WP(u"Base"), WP(u"a"), ZRREG_TYPE_SZ, "x", 2); },
         u"Base", u"Base\\S1"},
        {"set new",
         [](void* r) { return ZrRegSetKeyValue(r, WP(u"Base\\S1"), WP(u"n"), ZRREG_TYPE_DWORD, "1234", 4); },
         u"Base\\S1", u"Base"},
        {"delete value",
         [](void* r) { return On(r, u"Base", [](void* k) { return ZrRegDeleteValue(k, WP(u"b")); }); },
         u"Base", u"Other"},
        {"create", [](void* r) { return Create(r, u"Base\\New"); }, u"Base", u"Base\\S2"},
        {"created key", [](void* r) { return Create(r, u"Base\\New\\Deeper"); }, u"Base\\New", u"Base\\S1"},
        {"delete key",
         [](void* r) { return On(r, u"Base", [](void* k) { return ZrRegDeleteKey(k, WP(u"S2")); }); },
         u"Base", u"Base\\S1"},
        {"rename key", [](void* r) { return ZrRegRenameKey(r, WP(u"Base\\S1"), WP(u"S3")); }, u"Base",
         u"Other"},
        {"renamed key", [](void* r) { return ZrRegRenameKey(r, WP(u"Base\\S1"), WP(u"S3")); }, u"Base\\S3",
         u"Base\\S2"},
        {"rename value", [](void* r) { return ZrRegRenameValue(r, WP(u"Base"), WP(u"a"), WP(u"z")); },
         u"Base", u"Base\\S1"},
        {"delete tree", [](void* r) { return ZrRegDeleteTree(r, WP(u"Other")); }, u"", u"Base"},
        {"clear", [](void* r) { return On(r, u"Base", [](void* k) { return ZrRegDeleteTree(k, nullptr); }); },
         u"Base", u"Other"},
    };
    for (bool app : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (app ? " (app key)" : ""));
            void* root = Load(app);
            ASSERT_NE(root, nullptr);
            ASSERT_EQ(TimeOf(root, c.kept), fileTime_);
            uint64_t before = Now(true);
            ASSERT_EQ(c.change(root), ZRREG_SUCCESS);
            uint64_t after = Now();
            uint64_t moved = TimeOf(root, c.moved);
            EXPECT_GE(moved, before);
            EXPECT_LE(moved, after);
            EXPECT_EQ(TimeOf(root, c.kept), fileTime_);
            Unload(root, app);
        }
    }
}

// A key made later at a gone key's address (the pool hands it out again) does not inherit
// its time.
TEST_F(KeyTimes, AKeyGoneTakesItsTimeAlong) {
    ASSERT_NE(Load(false), nullptr);
    RegNode* gone = NewRegNode("Gone");
    RegKeyChanged(gone);
    EXPECT_NE(RegKeyTime(gone), fileTime_);
    delete gone;
    RegNode* again = NewRegNode("Gone");
    bool same = again == gone;
    EXPECT_EQ(RegKeyTime(again), fileTime_);
    delete again;
    if (!same) GTEST_SKIP() << "the allocator gave the new key another address";
}

#ifndef _WIN32
// Another process's change moves the key's time here when this process applies it from the
// log (its next call); the keys it did not touch keep the file's. The child is made before
// the load, while this process runs no thread of the library's.
TEST_F(KeyTimes, AnotherProcesssChangeMovesTheKey) {
    for (bool app : {false, true}) {
        SCOPED_TRACE(app ? "app key" : "default registry");
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t pid = fork();
        if (pid == 0) {
            char c;
            if (read(go[0], &c, 1) != 1 || ZrLoadRegistry(reg_.c_str()) != ZRREG_LOAD_OK) _exit(2);
            if (ZrRegSetKeyValue(HkeyRegRoot(), WP(u"Other"), WP(u"d"), ZRREG_TYPE_SZ, "x", 2) != 0) _exit(3);
            ZrUnloadRegistry();
            _exit(0);
        }
        void* root = Load(app);
        uint64_t before = Now(true);
        ASSERT_EQ(write(go[1], "g", 1), 1);
        int status = 0;
        waitpid(pid, &status, 0);
        close(go[0]);
        close(go[1]);
        ASSERT_NE(root, nullptr);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        uint64_t moved = TimeOf(root, u"Other");
        EXPECT_GE(moved, before);
        EXPECT_LE(moved, Now());
        EXPECT_EQ(TimeOf(root, u"Base"), fileTime_);
        Unload(root, app);
    }
}
#endif

TEST_F(KeyTimes, BadArguments) {
    uint64_t t = 0;
    EXPECT_EQ(ZrRegQueryLastWriteTime(nullptr, &t), ZRREG_BAD_ARG);
    EXPECT_EQ(ZrRegQueryLastWriteTime(HkeyRegRoot(), nullptr), ZRREG_BAD_ARG);
    void* root = Load(true);
    ASSERT_NE(root, nullptr);
    ZrRegCloseKey(root);
    EXPECT_EQ(ZrRegQueryLastWriteTime(root, &t), ZRREG_INVALID_HANDLE);
}

}  // namespace
