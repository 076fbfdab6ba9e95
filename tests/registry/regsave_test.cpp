// The save under faults: failed writes, a full disk, leftovers of an earlier crash, a
// replaced registry path, the file's mode, owner and links, texts at the length limit.
#include <string>

#include "savetest.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace {

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
            EXPECT_EQ(TreeInFile(tmp), new_);
        }
        long syncs = zrSyncCount();
        SaveChanged();
        EXPECT_TRUE(LoadsOldOrNew());
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
        // The temporary file before the rename, the folder after it: else the rename
        // could be lost in a power cut while the old file is already gone from the cache.
        EXPECT_EQ(zrSyncCount() - syncs, 2);
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

// A registry file named like its own temporary or lock file is never removed, cut short
// or locked in its own place: its companions take their extension once more.
TEST_F(SaveFaults, AFileNamedLikeItsCompanions) {
    struct Case {
        const char* file;
        std::set<std::string> names;  // after a save
    } cases[] = {
        {"R.TMP", {"R.TMP", "R.LCK"}},
        {"APP.LCK", {"APP.LCK", "APP.LCK.LCK"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        reg_ = dir_.File(c.file);
        Trees(Registry(3));
        for (ZrIoFault f : {ZR_IO_WRITE, ZR_IO_RENAME}) {
            zrIoFailAt(f);
            WriteBytes(reg_, Registry(3));
            SaveChanged();
            zrIoFailAt(ZR_IO_NONE);
            EXPECT_EQ(ReadBytes(reg_), Registry(3)) << f;
        }
        for (const auto& e : fs::directory_iterator(dir_.Path()))
            if (e.path().filename() != c.file) fs::remove(e.path());
        SaveChanged();
        EXPECT_TRUE(LoadsOldOrNew());
        EXPECT_EQ(dir_.Names(), c.names);
        for (const std::string& n : c.names) fs::remove(dir_.File(n));
    }
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
    HKEY root = RegHandleOf(HkeyRegRoot());
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

// A real full disk rather than an injected one: the file size limit makes a write fail
// in the middle of the temporary file. The lock file that the failed save made goes too.
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
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
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
    EXPECT_EQ(TreeInFile(dir_.File("REG.TMP")), new_);
}

// A save keeps the file's permission bits, owner and group, and the temporary file has
// them from the moment it exists, so the content is never more open than before.
mode_t s_tmpMode, s_createdMode;
std::string s_tmpPath;
void NoteTempMode(ZrSaveStep step) {
    struct stat st;
    if (step == ZR_STEP_CREATED && stat(s_tmpPath.c_str(), &st) == 0) s_createdMode = st.st_mode & 07777;
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
        EXPECT_EQ(s_createdMode & 077, 0u);  // before it has its owner, none but this user reads it
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

#endif

}  // namespace
