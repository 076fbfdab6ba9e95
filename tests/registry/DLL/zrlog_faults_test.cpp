// The change log where it is hard to see: a recovery, a checkpoint or a writer cut short,
// a failed load, edits that keep the file's size, a full disk, and a registry file of
// another user in a shared folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "regp.h"
#include "testutil.h"
#include "zrlogtest.h"
#include "zrplat.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K0 ( [REG_SZ] \"edited\" = \"aaaa\"; )\n)\n";

// Whether the flag reached `value` within 30 s: a process whose partner failed gives up.
bool WaitFor(int* flag, int value) {
    for (int waited = 0; waited < 150000; ++waited) {
        if (__atomic_load_n(flag, __ATOMIC_ACQUIRE) >= value) return true;
        usleep(200);
    }
    return false;
}

// The step of a save at which the process kills itself.
ZrSaveStep s_killAt;
void KillAt(ZrSaveStep step) {
    if (step == s_killAt) raise(SIGKILL);
}

class LogFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        log_ = dir_.File("reg.txt-log");
        WriteBytes(reg_, kBase);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        RegViewUseLog(true);
        RegLogReadHook = nullptr;
        zrIoFailAt(ZR_IO_NONE);
        ResetRegistry();
    }
    // A host that sets a = 1, b = 2, c = 3 and dies without unloading: its log holds them.
    void LeaveThreeChanges() {
        ASSERT_EQ(InChild([&] {
                      if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                      return SetDw("a", 1) || SetDw("b", 2) || SetDw("c", 3) ? 3 : 0;
                  }),
                  0);
        ASSERT_TRUE(fs::exists(log_));
    }
    TempDir dir_;
    std::string reg_, log_;
};

// A recovery that drops a damaged record numbers the next change after the last kept one:
// a second process sees it at once, and the next crash keeps it.
TEST_F(LogFaults, AChangeAfterARecoveryIsSeenAndKept) {
    LeaveThreeChanges();
    std::string log = ReadBytes(log_);
    size_t end = RecordsEnd(log);
    log[end - 1] = static_cast<char>(log[end - 1] ^ 0x5A);  // inside the record of c
    WriteBytes(log_, log);
    int* step = SharedInt();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        CaptureStdout();
        if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        std::string said = GetCapturedStdout();
        if (said.find("record 3 is cut or damaged; the 2 changes before it are kept") == std::string::npos)
            _exit(3);
        if (SetDw("after", 7) != 0) _exit(4);
        __atomic_store_n(step, 1, __ATOMIC_RELEASE);
        WaitFor(step, 2);  // killed before that
        _exit(5);
    }
    ASSERT_TRUE(WaitFor(step, 1));
    EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(GetDw("after"), 7);
    ZrUnloadRegistry();
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(GetDw("a"), 1);
    EXPECT_EQ(GetDw("b"), 2);
    EXPECT_EQ(GetDw("c"), -1);
    EXPECT_EQ(GetDw("after"), 7);
    munmap(step, sizeof(int));
}

// The last unload's checkpoint killed just before and just after its rename: the next load
// holds every change either way, from the log or from the file.
TEST_F(LogFaults, ACheckpointKilledAtItsRenameLosesNothing) {
    for (ZrSaveStep step : {ZR_STEP_RENAME, ZR_STEP_RENAMED}) {
        SCOPED_TRACE(step);
        WriteBytes(reg_, kBase);
        EXPECT_EQ(InChild([&] {
                      if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                      if (SetDw("a", 1) || SetDw("b", 2)) return 3;
                      s_killAt = step;
                      zrSaveStepHook = KillAt;
                      ZrUnloadRegistry();
                      return 4;
                  }),
                  128 + SIGKILL);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        EXPECT_EQ(GetDw("a"), 1);
        EXPECT_EQ(GetDw("b"), 2);
        ZrUnloadRegistry();
        // The lock file the killed save made stays, as any killed save's does.
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
    }
}

// Another program edits the registry file in place without changing its size: only the
// modification time tells, and the unload puts the changes on top of the edit, with the
// log and without it.
TEST_F(LogFaults, AnEditInPlaceOfTheSameSizeIsKept) {
    for (bool logged : {true, false}) {
        SCOPED_TRACE(logged);
        WriteBytes(reg_, kBase);
        RegViewUseLog(logged);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        ASSERT_EQ(SetDw("mine", 5), 0);
        struct stat was;
        ASSERT_EQ(stat(reg_.c_str(), &was), 0);
        std::string text = ReadBytes(reg_);
        size_t at = text.find("aaaa");
        ASSERT_NE(at, std::string::npos);
        int fd = open(reg_.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, "bbbb", 4, static_cast<off_t>(at)), 4);
        struct timespec times[2] = {was.st_atim, was.st_mtim};
        times[1].tv_sec += 2;  // a clock's coarse tick could give the edit the same time
        ASSERT_EQ(futimens(fd, times), 0);
        close(fd);
        CaptureStdout();
        ZrUnloadRegistry();
        GetCapturedStdout();
        EXPECT_EQ(TreeInFile(reg_), "[My Computer]\n  [K0]\n    edited = \"bbbb\"\n    mine = 5\n");
    }
}

// A registry file broken after its host died fails to load, and the log keeps its changes
// until the file loads again; they then go on top of the file as it is.
TEST_F(LogFaults, AFailedLoadKeepsTheLog) {
    LeaveThreeChanges();
    std::string log = ReadBytes(log_);
    WriteBytes(reg_, "KEY \"My Computer\"\n(\n  KEY K0 (\n");
    CaptureStdout();
    EXPECT_NE(ZrLoadRegistry(reg_.c_str()), 0u);
    GetCapturedStdout();
    ASSERT_TRUE(fs::exists(log_));
    EXPECT_TRUE(ReadBytes(log_).substr(4096) == log.substr(4096));  // the records, whatever the header says
    WriteBytes(reg_, kBase);
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_NE(GetCapturedStdout().find("was changed by another program; the 3 changes"), std::string::npos);
    EXPECT_EQ(GetDw("a"), 1);
    EXPECT_EQ(GetDw("c"), 3);
}

// A process dies inside a change, holding the writer lock (its checkpoint killed as it
// begins): the survivor's next changes all succeed.
TEST_F(LogFaults, AWriterThatDiesLeavesTheLockUsable) {
    int* go = SharedInt();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!WaitFor(go, 1) || ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        RegLogSetBound(1);  // every change after the first checkpoints
        if (SetDw("lives", 1) != 0) _exit(3);
        s_killAt = ZR_STEP_OPEN;
        zrSaveStepHook = KillAt;
        SetDw("dies", 1);
        _exit(4);
    }
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    __atomic_store_n(go, 1, __ATOMIC_RELEASE);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(SetDw("first", 1), 0);
    EXPECT_EQ(SetDw("second", 2), 0);
    EXPECT_EQ(GetDw("second"), 2);
    munmap(go, sizeof(int));
}

// The log's blocks are the file system's when it grows, not promised: a full disk fails a
// growth, never a store into the mapping.
TEST_F(LogFaults, TheLogsBlocksAreAllocatedAsItGrows) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    std::string text(900, 'x');
    void* k = K0();
    for (int round = 0; round < 2; ++round) {
        struct stat st;
        ASSERT_EQ(stat(log_.c_str(), &st), 0);
        EXPECT_GE(static_cast<long long>(st.st_blocks) * 512, static_cast<long long>(st.st_size));
        for (int i = 0; stat(log_.c_str(), &st) == 0 && st.st_size < (1 << 20) + 4096; ++i)
            ASSERT_EQ(
                ZrRegSetValueEx(k, WP(W("t" + std::to_string(round) + "." + std::to_string(i))),
                                ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>(text.c_str()), 901),
                0);
    }
    ZrRegCloseKey(k);
}

// A load whose file is replaced at every read gives up after its tries, loads nothing and
// says so; the log it made goes with it.
TEST_F(LogFaults, AFileReplacedAtEveryReadIsNotLoaded) {
    static std::string* s_path;
    s_path = &reg_;
    RegLogReadHook = [] {
        struct stat st;
        stat(s_path->c_str(), &st);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
        utimensat(AT_FDCWD, s_path->c_str(), times, 0);
    };
    CaptureStdout();
    EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), static_cast<uint32_t>(ZRREG_LOAD_NO_FILE));
    EXPECT_NE(GetCapturedStdout().find("was replaced while it was read, 100 times; it is not loaded"),
              std::string::npos);
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
    RegLogReadHook = nullptr;
    EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
}

// A log made is durable in its folder: the load that makes it syncs the folder.
TEST_F(LogFaults, MakingTheLogSyncsItsFolder) {
    long before = zrSyncCount();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(zrSyncCount() - before, 1);
    ZrUnloadRegistry();
}

// A full disk at the load and the save (the platform's faults): the load goes without a
// log and the save fails, and neither leaves a file of its own beside the registry file.
TEST_F(LogFaults, AFullDiskLeavesNoCompanionBehind) {
    zrIoFailAt(ZR_IO_GROW);
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_NE(GetCapturedStdout().find("its change log cannot be opened or mapped"), std::string::npos);
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
    ASSERT_EQ(SetDw("a", 1), 0);
    zrIoFailAt(ZR_IO_WRITE);
    ZrUnloadRegistry();
    zrIoFailAt(ZR_IO_NONE);
    EXPECT_EQ(RegViewLastUnload().result, REGVIEW_SAVE_FAILED);
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
    EXPECT_EQ(ReadBytes(reg_), kBase);
}

// A file system of its own, small enough to fill (root only: it is mounted).
class SmallDisk : public LogFaults {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
        at_ = dir_.File("small");
        fs::create_directory(at_);
        if (mount("zrtest", at_.c_str(), "tmpfs", 0, "size=2m") != 0) GTEST_SKIP() << "no tmpfs mount here";
        mounted_ = true;
        ResetRegistry();
        reg_ = at_ + "/reg.txt";
        log_ = at_ + "/reg.txt-log";
        WriteBytes(reg_, kBase);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
        LogFaults::TearDown();
    }
    // Fills the file system but for `room` bytes.
    void Fill(long long room) {
        struct statvfs vs;
        ASSERT_EQ(statvfs(at_.c_str(), &vs), 0);
        long long n = static_cast<long long>(vs.f_bavail) * static_cast<long long>(vs.f_bsize) - room;
        int fd = open((at_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        std::string chunk(65536, 'f');
        while (n > 0) {
            ssize_t put = write(fd, chunk.data(), static_cast<size_t>(std::min<long long>(n, 65536)));
            if (put <= 0) break;
            n -= put;
        }
        close(fd);
    }
    std::string at_;
    bool mounted_ = false;
};

// A log that cannot be made whole goes again; so does the lock file of a save that failed.
TEST_F(SmallDisk, AFullDiskLeavesNoCompanionBehind) {
    std::string big =
        "KEY \"My Computer\"\n(\n  KEY K0 ( [REG_SZ] \"edited\" = \"" + std::string(9000, 'e') + "\"; )\n)\n";
    WriteBytes(reg_, big);
    Fill(4096);
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_NE(GetCapturedStdout().find("its change log cannot be opened or mapped"), std::string::npos);
    ASSERT_EQ(SetDw("a", 1), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(RegViewLastUnload().result, REGVIEW_SAVE_FAILED);
    EXPECT_EQ(dir_.Names("small"), (std::set<std::string>{"filler", "reg.txt"}));
    EXPECT_EQ(ReadBytes(reg_), big);
}

// The disk fills while the log grows: the change that needs the room fails with its result
// (no signal ends the process), and every change before it stays in the log.
TEST_F(SmallDisk, AFullDiskFailsAChangeNotTheProcess) {
    int* done = SharedInt();
    EXPECT_EQ(InChild([&] {
                  if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                  Fill(0);
                  std::string text(900, 'x');
                  void* k = K0();
                  for (int i = 0; i < 2000; ++i) {
                      int32_t rc = ZrRegSetValueEx(k, WP(W("t" + std::to_string(i))), ZRREG_TYPE_SZ,
                                                   reinterpret_cast<const unsigned char*>(text.c_str()), 901);
                      if (rc == ZRREG_WRITE_FAULT) return 0;
                      if (rc != 0) return 3;
                      *done = i + 1;
                  }
                  return 4;
              }),
              0);
    ASSERT_GT(*done, 10);
    fs::remove(at_ + "/filler");
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k = K0();
    uint32_t values = 0;
    ZrRegQueryInfoKey(k, nullptr, nullptr, &values, nullptr, nullptr);
    EXPECT_EQ(values, static_cast<uint32_t>(*done) + 1);  // and "edited"
    ZrRegCloseKey(k);
    munmap(done, sizeof(int));
}

// A registry file of another user that this one may write (mode 666 in a shared folder).
// Run as root, with two users of no name made by setuid in children.
class SharedFolder : public LogFaults {
protected:
    static constexpr uid_t kOwner = 47001, kOther = 47002;
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "two users need root";
        LogFaults::SetUp();
        ASSERT_EQ(chmod(dir_.Path().c_str(), 0777), 0);
        ASSERT_EQ(chown(reg_.c_str(), kOwner, kOwner), 0);
        ASSERT_EQ(chmod(reg_.c_str(), 0666), 0);
    }
    // f run by `user` in a child process.
    template <class F>
    int As(uid_t user, F f) {
        return InChild([&] {
            if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0) return 100;
            return f();
        });
    }
    void ExpectOwnerKept() {
        struct stat st;
        ASSERT_EQ(stat(reg_.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kOwner);
        EXPECT_EQ(st.st_gid, kOwner);
        EXPECT_EQ(st.st_mode & 07777, 0666u);
    }
};

// The other user goes without a log and leaves none; its save keeps its tree aside rather
// than take the file over; the owner then gets a log again.
TEST_F(SharedFolder, AnotherUsersProcessLeavesTheFileAndItsLogAlone) {
    EXPECT_EQ(As(kOther,
                 [&] {
                     CaptureStdout();
                     if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                     if (fs::exists(log_)) return 3;
                     if (SetDw("theirs", 2) != 0) return 4;
                     ZrUnloadRegistry();
                     std::string said = GetCapturedStdout();
                     if (said.find("no change log can be made") == std::string::npos) return 5;
                     if (said.find("cannot be replaced by this user without changing its owner or mode; "
                                   "this process's changes are kept in") == std::string::npos)
                         return 6;
                     return RegViewLastUnload().result == REGVIEW_SAVE_ASIDE ? 0 : 7;
                 }),
              0);
    ExpectOwnerKept();
    EXPECT_EQ(ReadBytes(reg_), kBase);
    std::set<std::string> names = dir_.Names();
    ASSERT_EQ(names.size(), 2u);
    names.erase("reg.txt");
    std::string kept = dir_.File(*names.begin());
    EXPECT_NE(ReadBytes(kept).find("theirs"), std::string::npos);
    fs::remove(kept);
    EXPECT_EQ(As(kOwner,
                 [&] {
                     CaptureStdout();
                     if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                     bool logged = fs::exists(log_);
                     if (SetDw("mine", 1) != 0) return 3;
                     ZrUnloadRegistry();
                     return logged && GetCapturedStdout().empty() ? 0 : 4;
                 }),
              0);
    ExpectOwnerKept();
    EXPECT_EQ(TreeInFile(reg_), "[My Computer]\n  [K0]\n    edited = \"aaaa\"\n    mine = 1\n");
}

// The other user joins the owner's log and unloads last: its checkpoint is refused, its
// changes stay in the log, and the owner's next load writes them.
TEST_F(SharedFolder, TheOtherUsersChangesWaitInTheLogForTheOwner) {
    int* step = SharedInt();
    fflush(stdout);
    pid_t owner = fork();
    if (owner == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kOwner) != 0 || setuid(kOwner) != 0) _exit(100);
        if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        __atomic_store_n(step, 1, __ATOMIC_RELEASE);
        if (!WaitFor(step, 2)) _exit(3);
        ZrUnloadRegistry();
        __atomic_store_n(step, 3, __ATOMIC_RELEASE);
        _exit(0);
    }
    ASSERT_TRUE(WaitFor(step, 1));
    EXPECT_EQ(As(kOther,
                 [&] {
                     CaptureStdout();
                     if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                     if (SetDw("theirs", 2) != 0) return 3;
                     __atomic_store_n(step, 2, __ATOMIC_RELEASE);
                     if (!WaitFor(step, 3)) return 5;
                     ZrUnloadRegistry();
                     std::string said = GetCapturedStdout();
                     return said.find("could not be written; its changes stay in") != std::string::npos ? 0
                                                                                                        : 4;
                 }),
              0);
    int status = 0;
    waitpid(owner, &status, 0);
    ExpectOwnerKept();
    EXPECT_TRUE(fs::exists(log_));
    EXPECT_EQ(As(kOwner,
                 [&] {
                     if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                     ZrUnloadRegistry();
                     return fs::exists(log_) ? 3 : 0;
                 }),
              0);
    ExpectOwnerKept();
    EXPECT_EQ(TreeInFile(reg_), "[My Computer]\n  [K0]\n    edited = \"aaaa\"\n    theirs = 2\n");
    munmap(step, sizeof(int));
}

}  // namespace
#endif
