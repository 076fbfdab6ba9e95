// The save under faults and crashes: failed writes, a full disk, leftovers of an earlier
// crash, and processes killed at every step of the save and at random moments.
#include <stdint.h>

#include <random>
#include <string>

#include "testutil.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

std::string Saved() { return DumpTree(RootNode, false); }

// A registry of `keys` keys with a few values each, in the writer's layout.
std::string Registry(int keys) {
    std::string s = "KEY \"My Computer\"\n(\n    [REG_SZ] \"Name\" = \"old\";\n";
    for (int i = 0; i < keys; ++i) {
        s += "    KEY \"K" + std::to_string(i) + "\"\n    (\n        [REG_INT] \"n\" = " + std::to_string(i) +
             ";\n        [REG_SZ] \"s\" = \"value number " + std::to_string(i) + "\";\n    )\n";
    }
    return s + ")\n";
}

// The change every save here writes: values replaced, added and deleted, keys added and
// deleted, so that no mix of old and new content could pass for either tree.
void Change() {
    void* root = HkeyRegRoot();
    ASSERT_EQ(ZrRegSetValueEx(root, WP(u"Name"), 1, reinterpret_cast<const unsigned char*>("new"), 4), 0);
    int32_t v = -7;
    ASSERT_EQ(ZrRegSetValueEx(root, WP(u"Added"), 4, reinterpret_cast<const unsigned char*>(&v), 4), 0);
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(root, WP(u"New\\Sub"), &h), 0);
    ASSERT_EQ(ZrRegCloseKey(h), 0);
    ASSERT_EQ(ZrRegDeleteKey(root, WP(u"K0")), 0);
}

class SaveFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
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
        EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        std::string now = Saved();
        ZrUnloadRegistry();
        EXPECT_TRUE(now == old_ || now == new_) << now;
        return now == new_;
    }
    TempDir dir_;
    std::string reg_, old_, new_;
};

// After an injected fault the old tree loads again, and the fault does not stick: the
// next save in the same process writes the new tree.
TEST_F(SaveFaults, AFailedSaveLeavesTheOldTreeAndTheNextSaveWorks) {
    Trees(Registry(20));
    for (ZrIoFault f : {ZR_IO_OPEN, ZR_IO_WRITE, ZR_IO_SYNC, ZR_IO_CLOSE, ZR_IO_RENAME}) {
        SCOPED_TRACE(f);
        zrIoFailAt(f);
        WriteBytes(reg_, Registry(20));
        SaveChanged();
        zrIoFailAt(ZR_IO_NONE);
        EXPECT_EQ(bRegChanged, 0);
        EXPECT_FALSE(LoadsOldOrNew());
        SaveChanged();
        EXPECT_TRUE(LoadsOldOrNew());
        EXPECT_EQ(dir_.Names(), std::set<std::string>{"reg.txt"});
    }
}

// What an earlier crash can leave where the temporary file goes: a stale file is simply
// replaced; a folder of that name makes the save fail without touching the registry file.
TEST_F(SaveFaults, LeftoversOfAnEarlierCrash) {
    Trees(Registry(3));
    char tmp[REGFILE_PATH_MAX];
    ASSERT_TRUE(zrTempNameFor(reg_.c_str(), tmp, sizeof tmp));
    WriteBytes(tmp, "KEY \"half");
    WriteBytes(reg_, Registry(3));
    SaveChanged();
    EXPECT_TRUE(LoadsOldOrNew());
    EXPECT_FALSE(fs::exists(tmp));

    ASSERT_TRUE(fs::create_directory(tmp));
    WriteBytes(reg_, Registry(3));
    SaveChanged();
    EXPECT_EQ(ReadBytes(reg_), Registry(3));
    EXPECT_TRUE(fs::is_directory(tmp));
    fs::remove(tmp);
}

// A string value is kept only when the scanner can read it back: one more character and
// the next load would end the process at the scanner's length limit.
TEST_F(SaveFaults, OnlyStringsTheScannerReadsBackAreStored) {
    WriteBytes(reg_, Registry(0));
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    std::string longest(REGFILE_TEXT_MAX, 'x'), tooLong(REGFILE_TEXT_MAX + 1, 'x');
    auto set = [](const char16_t* name, const std::string& text) {
        return ZrRegSetValueEx(HkeyRegRoot(), WP(name), 1,
                               reinterpret_cast<const unsigned char*>(text.c_str()),
                               static_cast<uint32_t>(text.size() + 1));
    };
    EXPECT_EQ(set(u"tooLong", tooLong), REGERR_BAD_NAME);
    EXPECT_EQ(set(u"longest", longest), 0);
    std::string tree = Saved();
    ZrUnloadRegistry();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(Saved(), tree);
}

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

// A real full disk rather than an injected one: the file size limit makes a write fail
// in the middle of the temporary file.
TEST_F(SaveFaults, DiskFullInTheMiddleOfTheFile) {
    Trees(Registry(200));
    WriteBytes(reg_, Registry(200));
    int status = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &lim);
        SaveChanged();
        if (HasFailure()) _exit(2);
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadBytes(reg_), Registry(200));
    EXPECT_EQ(dir_.Names(), std::set<std::string>{"reg.txt"});
}

int s_killAt, s_steps;
int s_pipe[2];

void KillAtStep(ZrSaveStep) {
    if (s_steps++ == s_killAt) kill(getpid(), SIGKILL);
}

long long Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long s_saveStart;
bool s_reportTook;  // the calibrating child sends the length of its save

void ReportStart(ZrSaveStep step) {
    if (step != ZR_STEP_OPEN) return;
    s_saveStart = Now();
    if (write(s_pipe[1], "s", 1) != 1) _exit(3);
}

void CountStep(ZrSaveStep step) {
    if (step == ZR_STEP_RENAMED && s_killAt < 0) s_killAt = s_steps;
    ++s_steps;
}

// A child loads, changes and saves, and is killed at every point of the save in turn;
// the file is the old tree up to the replacement and the new one from then on. A save
// after the crash then works and leaves no temporary file.
TEST_F(SaveFaults, KilledAtEveryStepOfTheSave) {
    int kills = 0;
    for (int keys : {1, 25}) {
        Trees(Registry(keys));
        s_steps = 0;
        s_killAt = -1;
        WriteBytes(reg_, Registry(keys));
        SaveChanged(CountStep);
        const int steps = s_steps, renamed = s_killAt;
        ASSERT_GT(steps, 8);
        for (int k = 0; k < steps; ++k) {
            SCOPED_TRACE(k);
            WriteBytes(reg_, Registry(keys));
            int status = InChild([&] {
                s_steps = 0;
                s_killAt = k;
                SaveChanged(KillAtStep);
            });
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
            ++kills;
            bool isNew = LoadsOldOrNew();
            EXPECT_EQ(isNew, k >= renamed);
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            bRegChanged = 1;
            ZrUnloadRegistry();
            EXPECT_EQ(LoadsOldOrNew(), isNew);
            EXPECT_EQ(dir_.Names(), std::set<std::string>{"reg.txt"});
        }
    }
    printf("[ kills ] %d at chosen steps survived\n", kills);
}

// A large registry is saved by a child that is killed after a random delay from the
// start of the save, with delays spread over the time a whole save takes.
TEST_F(SaveFaults, KilledAtRandomMoments) {
    const int keys = 400, runs = 100;
    Trees(Registry(keys));
    ASSERT_EQ(pipe(s_pipe), 0);
    auto start = [&]() -> pid_t {
        WriteBytes(reg_, Registry(keys));
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            SaveChanged(ReportStart);
            long long took = Now() - s_saveStart;
            if (s_reportTook && write(s_pipe[1], &took, sizeof took) != sizeof took) _exit(3);
            _exit(0);
        }
        char c;
        EXPECT_EQ(read(s_pipe[0], &c, 1), 1);
        return pid;
    };
    // The length of a whole save, as the child measured it once.
    int status = 0;
    s_reportTook = true;
    pid_t first = start();
    s_reportTook = false;
    long long span = 0;
    ASSERT_EQ(read(s_pipe[0], &span, sizeof span), static_cast<ssize_t>(sizeof span));
    waitpid(first, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(LoadsOldOrNew());

    std::mt19937 random(20261205);
    int olds = 0, news = 0;
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE(i);
        pid_t pid = start();
        long long delay = static_cast<long long>(random() % static_cast<unsigned long long>(span + 1));
        timespec d = {static_cast<time_t>(delay / 1000000000), static_cast<long>(delay % 1000000000)};
        nanosleep(&d, nullptr);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        (LoadsOldOrNew() ? news : olds)++;
    }
    close(s_pipe[0]);
    close(s_pipe[1]);
    printf(
        "[ kills ] %d at random moments survived (%d left the old tree, %d the new; a save takes %lld us)\n",
        runs, olds, news, span / 1000);
}

#endif

}  // namespace
