// The save under faults and crashes: failed writes, a full disk, leftovers of an earlier
// crash, and processes killed at every step of the save and at random moments.
#include <stdint.h>

#include <random>
#include <string>

#include "testutil.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
    std::string TreeIn(const std::string& path) {
        EXPECT_EQ(ZrLoadRegistry(path.c_str()), 0u);
        std::string tree = Saved();
        ZrUnloadRegistry();
        return tree;
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
        // A temporary file that was written whole holds the only copy of the changes.
        char tmp[REGFILE_TEMP_MAX];
        ASSERT_TRUE(zrTempNameFor(reg_.c_str(), tmp, sizeof tmp));
        EXPECT_EQ(fs::exists(tmp), f == ZR_IO_RENAME);
        if (f == ZR_IO_RENAME) {
            EXPECT_EQ(TreeIn(tmp), new_);
        }
        SaveChanged();
        EXPECT_TRUE(LoadsOldOrNew());
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
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

// Texts at the scanner's length limit, in each place a text can stand: a key name, a
// value name, string data. Quoted, 9,998 bytes fit; bare, 9,999 do, and the writer must
// then write them bare. One byte more ends a load, so a host can never store it.
enum Place { kKeyName, kValueName, kData };

std::string Text(size_t n, bool bare) {
    std::string t(n, 'w');
    if (!bare) t[n / 2] = ' ';
    return t;
}

std::string FileWith(Place p, const std::string& token) {
    std::string key = p == kKeyName ? token : "\"k\"", name = p == kValueName ? token : "\"v\"";
    std::string data = p == kData ? token : "\"d\"";
    return "KEY \"My Computer\"\n(\n    KEY " + key + "\n    (\n        [REG_SZ] " + name + " = " + data +
           ";\n    )\n)\n";
}

TEST_F(SaveFaults, TextsAtTheLengthLimitRoundTrip) {
    for (Place p : {kKeyName, kValueName, kData}) {
        for (auto [n, bare] : {std::pair<size_t, bool>{9998, false}, {9998, true}, {9999, true}}) {
            SCOPED_TRACE(testing::Message() << "place " << p << ", " << n << (bare ? " bare" : " quoted"));
            std::string t = Text(n, bare);
            WriteBytes(reg_, FileWith(p, bare ? t : "\"" + t + "\""));
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            std::string tree = Saved();
            EXPECT_NE(tree.find(t), std::string::npos);
            bRegChanged = 1;
            ZrUnloadRegistry();
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            EXPECT_EQ(Saved(), tree);
            ZrUnloadRegistry();
        }
        EXPECT_EXIT(
            {
                WriteBytes(reg_, FileWith(p, Text(10000, true)));
                ZrLoadRegistry(reg_.c_str());
            },
            testing::ExitedWithCode(1), "");
    }

    // Through the key operations: what they take, the writer writes so that it loads back.
    WriteBytes(reg_, Registry(0));
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    HKEY root = static_cast<HKEY>(HkeyRegRoot());
    struct Case {
        size_t n;
        bool bare;
        unsigned expect;
    } cases[] = {
        {9998, false, 0}, {9999, true, 0}, {9999, false, REGERR_BAD_NAME}, {10000, true, REGERR_BAD_NAME}};
    int made = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << (c.bare ? " bare" : " with a blank"));
        std::string t = Text(c.n, c.bare), k = "k" + std::to_string(made);
        unsigned char* data = reinterpret_cast<unsigned char*>(t.data());
        HKEY h = nullptr;
        EXPECT_EQ(CfRegCreateKey(root, t.c_str(), &h), c.expect);
        if (h) CfRegCloseKey(h);
        EXPECT_EQ(CfRegSetValue(root, t.c_str(), 1, reinterpret_cast<const unsigned char*>("d"), 2),
                  c.expect);
        EXPECT_EQ(CfRegSetValue(root, k.c_str(), 1, data, static_cast<unsigned>(c.n + 1)), c.expect);
        made += c.expect == 0;
    }
    std::string tree = Saved();
    ZrUnloadRegistry();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(Saved(), tree);
    EXPECT_EQ(made, 2);
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
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
}

// The registry path is taken by a folder after the load: the replacement fails, the
// folder stays as it is, and the changes wait in the temporary file.
TEST_F(SaveFaults, AFailedReplacementKeepsTheChanges) {
    Trees(Registry(3));
    WriteBytes(reg_, Registry(3));
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    Change();
    fs::remove(reg_);
    fs::create_directories(fs::path(reg_) / "inside");
    ZrUnloadRegistry();
    EXPECT_TRUE(fs::is_directory(fs::path(reg_) / "inside"));
    EXPECT_EQ(TreeIn(dir_.File("REG.TMP")), new_);
}

struct stat StatOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// A save keeps the file's permission bits, owner and group, and the temporary file has
// them from the moment it exists, so the content is never more open than before.
mode_t s_tmpMode;
std::string s_tmpPath;
void NoteTempMode(ZrSaveStep step) {
    struct stat st;
    if (step == ZR_STEP_OPENED && stat(s_tmpPath.c_str(), &st) == 0) s_tmpMode = st.st_mode & 07777;
}

TEST_F(SaveFaults, TheSavedFileKeepsItsModeAndOwner) {
    Trees(Registry(2));
    s_tmpPath = dir_.File("REG.TMP");
    for (mode_t mode : {0600, 0640, 0604, 0664}) {
        SCOPED_TRACE(mode);
        WriteBytes(reg_, Registry(2));
        ASSERT_EQ(chmod(reg_.c_str(), mode), 0);
        bool root = geteuid() == 0;
        if (root) {
            ASSERT_EQ(chown(reg_.c_str(), 4321, 8765), 0);
        }
        s_tmpMode = 0;
        SaveChanged(NoteTempMode);
        struct stat st = StatOf(reg_);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(s_tmpMode, mode);
        if (root) {
            EXPECT_EQ(st.st_uid * 100000 + st.st_gid, 4321u * 100000 + 8765u);
        }
        EXPECT_TRUE(LoadsOldOrNew());
    }
}

// A registry path that is a link is written through: the link stays, its target gets the
// new tree, and the temporary file lies beside the target.
TEST_F(SaveFaults, ALinkIsWrittenThrough) {
    Trees(Registry(2));
    fs::create_directory(dir_.Path() / "real");
    std::string target = dir_.File("real/data.txt");
    WriteBytes(target, Registry(2));
    fs::remove(reg_);
    fs::create_symlink(target, reg_);
    s_tmpPath = dir_.File("real/DATA.TMP");
    s_tmpMode = 0;
    SaveChanged(NoteTempMode);
    EXPECT_NE(s_tmpMode, 0u);
    EXPECT_TRUE(fs::is_symlink(reg_));
    EXPECT_EQ(fs::read_symlink(reg_), target);
    EXPECT_TRUE(LoadsOldOrNew());
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt", "real"}));
    EXPECT_EQ(dir_.Names("real"), (std::set<std::string>{"DATA.LCK", "data.txt"}));
}

// A link planted at the temporary file's name is removed, never followed: the file it
// points to is not touched, and the save goes on.
TEST_F(SaveFaults, ALinkAtTheTemporaryNameIsNotFollowed) {
    Trees(Registry(2));
    std::string victim = dir_.File("victim"), tmp = dir_.File("REG.TMP");
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling);
        if (!dangling) WriteBytes(victim, "precious");
        fs::create_symlink(victim, tmp);
        WriteBytes(reg_, Registry(2));
        SaveChanged();
        EXPECT_TRUE(LoadsOldOrNew());
        EXPECT_EQ(fs::exists(victim), !dangling);
        if (!dangling) {
            EXPECT_EQ(ReadBytes(victim), "precious");
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(tmp)));
        fs::remove(victim);
    }
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
    // The last round saves through a link to a file of mode 600 in another folder: at every
    // step the link stays a link and the file keeps its mode.
    fs::create_directory(dir_.Path() / "real");
    const std::string target = dir_.File("real/data.txt");
    for (int keys : {1, 25, 2}) {
        const bool viaLink = keys == 2;
        Trees(Registry(keys));
        if (viaLink) {
            fs::rename(reg_, target);
            fs::create_symlink(target, reg_);
            ASSERT_EQ(chmod(target.c_str(), 0600), 0);
        }
        s_steps = 0;
        s_killAt = -1;
        WriteBytes(reg_, Registry(keys));
        SaveChanged(CountStep);
        const int steps = s_steps, renamed = s_killAt;
        ASSERT_GT(steps, 8);
        for (int k = 0; k < steps; ++k) {
            SCOPED_TRACE(testing::Message() << keys << " keys, killed at step " << k);
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
            EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt", "real", "REG.LCK"}));
            if (viaLink) {
                EXPECT_TRUE(fs::is_symlink(reg_));
                EXPECT_EQ(StatOf(target).st_mode & 07777, 0600u);
                EXPECT_EQ(dir_.Names("real"), (std::set<std::string>{"DATA.LCK", "data.txt"}));
            }
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
