// The fixture of the save's fault and crash tests: a registry of a given size, the one
// change every save writes, and the trees before and after it.
#ifndef SAVETEST_H
#define SAVETEST_H

#include <stdint.h>

#include <string>

#include "testutil.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

inline std::string Saved() { return DumpTree(RootNode, false); }

// A registry of `keys` keys with a few values each, in the writer's layout.
inline std::string Registry(int keys) {
    std::string s = "KEY \"My Computer\"\n(\n    [REG_SZ] \"Name\" = \"old\";\n";
    for (int i = 0; i < keys; ++i) {
        s += "    KEY \"K" + std::to_string(i) + "\"\n    (\n        [REG_INT] \"n\" = " + std::to_string(i) +
             ";\n        [REG_SZ] \"s\" = \"value number " + std::to_string(i) + "\";\n    )\n";
    }
    return s + ")\n";
}

// The change every save here writes: values replaced, added and deleted, keys added and
// deleted, so that no mix of old and new content could pass for either tree.
inline void Change() {
    void* root = HkeyRegRoot();
    ASSERT_EQ(ZrRegSetValueEx(root, WP(u"Name"), 1, reinterpret_cast<const unsigned char*>("new"), 4), 0);
    int32_t v = -7;
    ASSERT_EQ(ZrRegSetValueEx(root, WP(u"Added"), 4, reinterpret_cast<const unsigned char*>(&v), 4), 0);
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(root, WP(u"New\\Sub"), &h), 0);
    ASSERT_EQ(ZrRegCloseKey(h), 0);
    ASSERT_EQ(ZrRegDeleteKey(root, WP(u"K0")), 0);
}

// Without the change log: these test the save that an unload makes alone, which the
// checkpoints of the log use as well.
class SaveFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        RegViewUseLog(false);
        reg_ = dir_.File("reg.txt");
    }
    void TearDown() override {
        zrIoFailAt(ZR_IO_NONE);
        zrSaveStepHook = nullptr;
        ZrUnloadRegistry();
        ResetRegistry();
    }
    // The trees before and after Change, as loaded from `text`.
    void Trees(const std::string& text) {
        WriteBytes(reg_, text);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        old_ = Saved();
        Change();
        new_ = Saved();
        bRegChanged = 0;
        ZrUnloadRegistry();
    }
    // Loads the registry file, changes it and unloads, which saves with `hook` told each step.
    void SaveChanged(void (*hook)(ZrSaveStep) = nullptr) {
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        Change();
        zrSaveStepHook = hook;
        ZrUnloadRegistry();
        zrSaveStepHook = nullptr;
    }
    // Loads the file, which must hold one of the two trees; true for the new one.
    bool LoadsOldOrNew() {
        std::string now = TreeInFile(reg_);
        EXPECT_TRUE(now == old_ || now == new_) << now;
        return now == new_;
    }
    TempDir dir_;
    std::string reg_, old_, new_;
};

#ifndef _WIN32

// Runs f in a child process and returns its wait status.
template <class F>
int InChild(F f) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        f();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

inline struct stat StatOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

#endif

#endif
