// Processes sharing one registry file: another process's save between this one's load and
// unload is merged, not overwritten; several processes and zrreg lose no change.
#include <stdint.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "testutil.h"

namespace {

const char kBase[] =
    "KEY \"My Computer\"\n(\n    KEY A\n    (\n        [REG_SZ] x = \"base\";\n    )\n"
    "    KEY B\n    (\n        [REG_SZ] y = \"base\";\n    )\n)\n";

// Another process's save: a new file takes the registry file's place.
void ReplaceFile(const std::string& path, const std::string& text) {
    WriteBytes(path + ".other", text);
    fs::rename(path + ".other", path);
}

void* Key(const char16_t* path) {
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(HkeyRegRoot(), WP(path), &h), 0);
    return h;
}

void SetText(const char16_t* key, const char16_t* name, const char* text) {
    void* h = Key(key);
    EXPECT_EQ(ZrRegSetValueEx(h, WP(name), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>(text),
                              static_cast<uint32_t>(strlen(text) + 1)),
              0);
    ZrRegCloseKey(h);
}

// Without the change log: the journal and the merge at the unload (the log's own tests
// are in zrlog_test.cpp).
class SharedFile : public ::testing::Test {
protected:
    void SetUp() override {
        RegViewUseLog(false);
        reg_ = dir_.File("reg.txt");
        WriteBytes(reg_, kBase);
        own_ = dir_.File("REG." + std::to_string(zrProcessId()) + ".TMP");
    }
    void TearDown() override { RegViewUseLog(true); }
    TempDir dir_;
    std::string reg_, own_;
};

// This process changes the tree, another replaces the file, this one unloads: the file
// then holds the other's tree with this process's changes replayed onto it.
TEST_F(SharedFile, ChangesAreReplayedOntoAnotherProcessesFile) {
    struct Case {
        const char* name;
        std::function<void()> ours;
        const char* theirs;  // the file as the other process left it
        const char* merged;
    };
    const Case cases[] = {
        {"both set one value: the later unload's stays", [] { SetText(u"A", u"x", "ours"); },
         "KEY \"My Computer\" ( KEY A ( [REG_SZ] x = \"theirs\"; [REG_SZ] z = \"theirs\"; ) )",
         "[My Computer]\n  [A]\n    z = \"theirs\"\n    x = \"ours\"\n"},
        {"one value name set in two keys, one after the other, lands in each",
         [] {
             SetText(u"A", u"v", "one");
             SetText(u"B", u"v", "two");
         },
         "KEY \"My Computer\" ( KEY A ( ) KEY B ( ) )",
         "[My Computer]\n  [A]\n    v = \"one\"\n  [B]\n    v = \"two\"\n"},
        {"a key they deleted and we changed comes back with our change only",
         [] { SetText(u"B", u"w", "ours"); }, "KEY \"My Computer\" ( KEY A ( [REG_SZ] x = \"base\"; ) )",
         "[My Computer]\n  [A]\n    x = \"base\"\n  [B]\n    w = \"ours\"\n"},
        {"a key we deleted goes, whatever they put into it",
         [] { EXPECT_EQ(ZrRegDeleteKey(HkeyRegRoot(), WP(u"B")), 0); },
         "KEY \"My Computer\" ( KEY B ( [REG_SZ] y = \"theirs\"; KEY C ( ) ) KEY D ( ) )",
         "[My Computer]\n  [D]\n"},
        {"a tree we deleted goes, whatever they put into it",
         [] { EXPECT_EQ(ZrRegDeleteTree(HkeyRegRoot(), WP(u"B")), 0); },
         "KEY \"My Computer\" ( KEY B ( KEY C ( [REG_SZ] y = \"theirs\"; ) ) KEY D ( ) )",
         "[My Computer]\n  [D]\n"},
        {"a key we emptied loses what they put into it, and keeps what we put in after",
         [] {
             void* h = Key(u"A");
             EXPECT_EQ(ZrRegDeleteTree(h, nullptr), 0);
             ZrRegCloseKey(h);
             SetText(u"A", u"after", "ours");
         },
         "KEY \"My Computer\" ( KEY A ( [REG_SZ] v = \"theirs\"; KEY C ( ) ) KEY D ( ) )",
         "[My Computer]\n  [A]\n    after = \"ours\"\n  [D]\n"},
        {"a value we deleted goes",
         [] {
             void* h = Key(u"A");
             EXPECT_EQ(ZrRegDeleteValue(h, WP(u"x")), 0);
             ZrRegCloseKey(h);
         },
         "KEY \"My Computer\" ( KEY A ( [REG_SZ] x = \"theirs\"; [REG_SZ] v = \"theirs\"; ) )",
         "[My Computer]\n  [A]\n    v = \"theirs\"\n"},
        {"keys both made stay, and so does an integer",
         [] {
             ZrRegCloseKey(Key(u"New\\Deep"));
             int32_t v = -3;
             EXPECT_EQ(ZrRegSetValueEx(HkeyRegRoot(), WP(u"n"), ZRREG_TYPE_DWORD,
                                       reinterpret_cast<const unsigned char*>(&v), 4),
                       0);
         },
         "KEY \"My Computer\" ( KEY Theirs ( ) )",
         "[My Computer]\n  n = -3\n  [Theirs]\n  [New]\n    [Deep]\n"},
        {"the predefined keys, made on first use, are changes too",
         [] { EXPECT_NE(HkeyArdoRoot(), nullptr); },
         "KEY \"My Computer\" ( KEY HKEY_LOCAL_MACHINE ( KEY Software ( KEY Other ( ) ) ) )",
         "[My Computer]\n  [HKEY_LOCAL_MACHINE]\n    [Software]\n      [Other]\n      [MORVANE]\n        "
         "[Ardo]\n"
         "          [1.0]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(reg_, kBase);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        c.ours();
        ReplaceFile(reg_, c.theirs);
        testing::internal::CaptureStdout();
        ZrUnloadRegistry();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(TreeInFile(reg_), c.merged);
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
    }
}

// When the merge cannot be made, or the lock that every save takes cannot be had, the
// registry file stays as it is and this process's tree waits in a file of its own, named
// in one line.
TEST_F(SharedFile, WhatCannotBeMergedIsKeptAside) {
    const std::string mine = "[My Computer]\n  [A]\n    x = \"ours\"\n  [B]\n    y = \"base\"\n";
    const std::string other = "KEY \"My Computer\" ( KEY C ( ) )";
    enum Lock { FREE, HELD, FOLDER, DANGLING_LINK };
    struct Case {
        const char* name;
        std::string theirs;  // empty: the file stays as this process loaded it
        Lock lock;
        bool unrecorded;  // the journal has no room for this process's last change
        ZrIoFault fault;  // of the merged tree's save
        const char* line;
    };
    const Case cases[] = {
        {"their file does not parse", "KEY \"My Computer\" ( KEY A (\n", FREE, false, ZR_IO_NONE,
         "cannot be read back (line 2)"},
        {"their file holds a text over the scanner's limit",
         "KEY \"My Computer\"\n(\n    [REG_SZ] x = \"" + std::string(12000, 'a') + "\";\n)\n", FREE, false,
         ZR_IO_NONE, "cannot be read back (line 3: a text longer than the scanner's limit"},
        {"the lock is not had in time", "", HELD, false, ZR_IO_NONE, "is locked by another process"},
        {"the lock file is a folder", "", FOLDER, false, ZR_IO_NONE, "cannot be locked"},
#ifndef _WIN32
        {"the lock file is a dangling link", "", DANGLING_LINK, false, ZR_IO_NONE, "cannot be locked"},
#endif
        {"a change not recorded", other, FREE, true, ZR_IO_NONE, "a change was not recorded"},
        {"the merged tree cannot replace the file", other, FREE, false, ZR_IO_RENAME, "cannot be written"},
    };
    zrLockWaitMs = 100;
    const std::string lockFile = dir_.File("REG.LCK");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(reg_, kBase);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        SetText(u"A", u"x", "ours");
        if (c.unrecorded) {
            void* b = Key(u"B");
            zrAllocFailAt(1);  // the deletion itself allocates nothing, its record does
            EXPECT_EQ(ZrRegDeleteValue(b, WP(u"y")), 0);
            zrAllocFailAt(0);
            EXPECT_EQ(ZrRegSetValueEx(b, WP(u"y"), ZRREG_TYPE_SZ,
                                      reinterpret_cast<const unsigned char*>("base"), 5),
                      0);
            ZrRegCloseKey(b);
        }
        ZrLock lock = -1;
        if (!c.theirs.empty()) ReplaceFile(reg_, c.theirs);
        fs::remove(lockFile);
        if (c.lock == HELD) {
            ASSERT_EQ(zrLockFile(lockFile.c_str(), true, &lock), ZR_LOCK_TAKEN);
        }
        if (c.lock == FOLDER) fs::create_directory(lockFile);
        if (c.lock == DANGLING_LINK) fs::create_symlink(dir_.File("nowhere"), lockFile);
        const std::string before = ReadBytes(reg_);
        testing::internal::CaptureStdout();
        zrIoFailAt(c.fault);
        ZrUnloadRegistry();
        zrIoFailAt(ZR_IO_NONE);
        std::string out = testing::internal::GetCapturedStdout();
        zrUnlockFile(lock);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_NE(out.find(fs::path(own_).filename().string()), std::string::npos) << out;
        EXPECT_EQ(ReadBytes(reg_), before);
        EXPECT_EQ(TreeInFile(own_), mine);
        fs::remove(own_);
        fs::remove(dir_.File("REG.TMP"));
        fs::remove(lockFile);
    }
    zrLockWaitMs = 5000;
}

#ifndef _WIN32
// Processes that load, change and unload the same file at random moments: every value
// any of them set is there at the end, and the shared one holds some process's last word.
TEST_F(SharedFile, ProcessesLoseNoUpdate) {
    const int kProcs = 4, kRounds = 12;
    std::vector<pid_t> pids;
    fflush(stdout);
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            std::mt19937 rnd(static_cast<unsigned>(p) * 7919u);
            for (int r = 0; r < kRounds; ++r) {
                if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
                std::u16string key = W("Procs\\P" + std::to_string(p));
                std::u16string name = W("r" + std::to_string(r));
                void* h;
                if (ZrRegCreateKey(HkeyRegRoot(), WP(key), &h) != 0) _exit(3);
                int32_t v = p * 100 + r;
                if (ZrRegSetValueEx(h, WP(name), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&v), 4) !=
                    0)
                    _exit(4);
                ZrRegCloseKey(h);
                std::string word = "p" + std::to_string(p) + "r" + std::to_string(r);
                if (ZrRegSetValueEx(HkeyRegRoot(), WP(u"shared"), ZRREG_TYPE_SZ,
                                    reinterpret_cast<const unsigned char*>(word.c_str()),
                                    static_cast<uint32_t>(word.size() + 1)) != 0)
                    _exit(5);
                usleep(rnd() % 3000);
                ZrUnloadRegistry();
                usleep(rnd() % 2000);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    int lost = 0;
    for (int p = 0; p < kProcs; ++p) {
        for (int r = 0; r < kRounds; ++r) {
            uint32_t v = 0xFFFFFFFF;
            ZrRegQueryValueDw(HkeyRegRoot(), WP(W("Procs\\P" + std::to_string(p))),
                              WP(W("r" + std::to_string(r))), 0xFFFFFFFF, &v);
            if (v != static_cast<uint32_t>(p * 100 + r)) ++lost;
        }
    }
    unsigned short* shared = nullptr;
    ASSERT_EQ(ZrRegQueryValueSz(HkeyRegRoot(), nullptr, WP(u"shared"), nullptr, &shared), 0u);
    std::u16string w(reinterpret_cast<char16_t*>(shared));
    std::string word(w.begin(), w.end());
    free(shared);
    std::set<std::string> written;
    for (int p = 0; p < kProcs; ++p)
        for (int r = 0; r < kRounds; ++r) written.insert("p" + std::to_string(p) + "r" + std::to_string(r));
    ZrUnloadRegistry();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(written.count(word), 1u) << word;
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
    printf("processes: %d x %d rounds, %d updates lost\n", kProcs, kRounds, lost);
}

// The lock file, made by a process under a strict umask, may be read by every user who may
// read the registry file, so that their saves lock too (here the file's owner, whose file
// root wrote); one this user cannot open keeps the user's tree aside instead of saving
// unlocked.
TEST_F(SharedFile, EveryUserWhoReadsTheRegistryLocksIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    fs::permissions(dir_.Path(), fs::perms::all);
    fs::permissions(reg_, static_cast<fs::perms>(0644));
    ASSERT_EQ(chown(reg_.c_str(), 65534, 65534), 0);
    mode_t old = umask(077);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    SetText(u"A", u"x", "root");
    ZrUnloadRegistry();
    umask(old);
    const std::string lockFile = dir_.File("REG.LCK");
    EXPECT_EQ(static_cast<int>(fs::status(lockFile).permissions()), 0644);

    // The owner sets B\y: the lock as made, then one that this user cannot read.
    auto otherUser = [&]() {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(3);
            SetText(u"B", u"y", "other");
            ZrUnloadRegistry();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return pid;
    };
    otherUser();
    EXPECT_EQ(TreeInFile(reg_), "[My Computer]\n  [A]\n    x = \"root\"\n  [B]\n    y = \"other\"\n");

    fs::permissions(lockFile, static_cast<fs::perms>(0600));
    WriteBytes(reg_, kBase);
    fs::permissions(reg_, static_cast<fs::perms>(0644));
    ASSERT_EQ(chown(reg_.c_str(), 65534, 65534), 0);
    pid_t pid = otherUser();
    EXPECT_EQ(ReadBytes(reg_), kBase);
    EXPECT_EQ(TreeInFile(dir_.File("REG." + std::to_string(pid) + ".TMP")),
              "[My Computer]\n  [A]\n    x = \"base\"\n  [B]\n    y = \"other\"\n");
}

// zrreg changes the file while a host holds it loaded; the host's unload keeps both.
TEST_F(SharedFile, ZrregAddWhileAHostHoldsTheFile) {
#ifndef ZR_ZRREG
    GTEST_SKIP() << "no zrreg to run";
#else
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    SetText(u"A", u"host", "1");
    std::string cmd = std::string(ZR_ZRREG) + " add '" + reg_ + "' 'My Computer/B' -v tool -t REG_DWORD -d 5";
    fflush(stdout);
    ASSERT_EQ(system(cmd.c_str()), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(
        TreeInFile(reg_),
        "[My Computer]\n  [A]\n    x = \"base\"\n    host = \"1\"\n  [B]\n    y = \"base\"\n    tool = 5\n");
#endif
}

#endif

}  // namespace
