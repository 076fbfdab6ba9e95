// The change log: hosts killed at any instant, logs cut and damaged, processes that see
// each other's changes at their next call, and logs that cannot be trusted.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <regex>
#include <set>

#include "regp.h"
#include "testutil.h"
#include "zrlogtest.h"
#include "zrplat.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K0 ( ) KEY K1 ( ) KEY K2 ( ) KEY K3 ( )\n)\n";
const int kKeys = 4;

// The stream of changes the kill tests make: each step is one exported call on one of
// four keys, and the model says what the keys hold after any number of steps.
struct Model {
    std::map<std::string, int> values[kKeys];
    std::set<std::string> subkeys[kKeys];
    bool operator==(const Model& o) const {
        for (int k = 0; k < kKeys; ++k)
            if (values[k] != o.values[k] || subkeys[k] != o.subkeys[k]) return false;
        return true;
    }
};

struct Step {
    int key;
    enum { SET, DELETE_VALUE, CREATE, CLEAR } what;
    std::string name;
    int value;
};

Step StepAt(int i) {
    int k = (i / 3) % kKeys;  // runs of three changes to one key, which the log names once a run
    switch (i % 5) {
        case 0:
        case 1:
            return {k, Step::SET, "v" + std::to_string(i % 11), i};
        case 2:
            return {k, Step::DELETE_VALUE, "v" + std::to_string((i * 7) % 11), 0};
        case 3:
            return {k, Step::CREATE, "S" + std::to_string(i % 3), 0};
        default:
            return {k, i % 20 == 4 ? Step::CLEAR : Step::SET, "w", i};
    }
}

// Applies the step; false when it changes nothing and so leaves no record in the log (a
// deletion of a missing value, a creation of a key that is there).
bool ApplyStep(Model* m, const Step& s) {
    switch (s.what) {
        case Step::SET:
            m->values[s.key][s.name] = s.value;
            return true;
        case Step::DELETE_VALUE:
            return m->values[s.key].erase(s.name) > 0;
        case Step::CREATE:
            return m->subkeys[s.key].insert(s.name).second;
        case Step::CLEAR:
            m->values[s.key].clear();
            m->subkeys[s.key].clear();
            return true;
    }
    return false;
}

// The state after the first `records` records of the step stream.
Model ModelOfRecords(int records) {
    Model m;
    for (int i = 0; records > 0; ++i) records -= ApplyStep(&m, StepAt(i));
    return m;
}

Model ModelAfter(int steps) {
    Model m;
    for (int i = 0; i < steps; ++i) ApplyStep(&m, StepAt(i));
    return m;
}

void* OpenKey(int k) {
    void* h = nullptr;
    ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("K" + std::to_string(k))), 0, &h);
    return h;
}

// One call of the library per step; a deletion of a missing value returns too.
int32_t RunStep(void* keys[], const Step& s) {
    void* h = keys[s.key];
    switch (s.what) {
        case Step::SET:
            return ZrRegSetValueEx(h, WP(W(s.name)), ZRREG_TYPE_DWORD,
                                   reinterpret_cast<const unsigned char*>(&s.value), 4);
        case Step::DELETE_VALUE: {
            int32_t rc = ZrRegDeleteValue(h, WP(W(s.name)));
            return rc == ZRREG_NOT_FOUND ? 0 : rc;
        }
        case Step::CREATE: {
            void* made = nullptr;
            int32_t rc = ZrRegCreateKey(h, WP(W(s.name)), &made);
            if (rc == 0) ZrRegCloseKey(made);
            return rc;
        }
        case Step::CLEAR:
            return ZrRegDeleteTree(h, nullptr);
    }
    return -1;
}

// What the loaded registry holds in the four keys, read through the exported calls.
Model Loaded() {
    Model m;
    for (int k = 0; k < kKeys; ++k) {
        void* h = OpenKey(k);
        unsigned short name[256];
        for (uint32_t i = 0;; ++i) {
            uint32_t chars = 256, type = 0, bytes = 4;
            int32_t v = 0;
            if (ZrRegEnumValue(h, i, name, &chars, &type, reinterpret_cast<unsigned char*>(&v), &bytes) != 0)
                break;
            m.values[k][std::string(name, name + chars)] = v;
        }
        for (uint32_t i = 0;; ++i) {
            uint32_t chars = 256;
            if (ZrRegEnumKeyEx(h, i, name, &chars) != 0) break;
            m.subkeys[k].insert(std::string(name, name + chars));
        }
        ZrRegCloseKey(h);
    }
    return m;
}

class ChangeLog : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        log_ = dir_.File("reg.txt-log");
        WriteBytes(reg_, kBase);
        fflush(stdout);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        RegLogSetBound(0);
        zrIoFailAt(ZR_IO_NONE);
        ResetRegistry();
    }
    // A child that loads, makes `steps` steps (counting each that returned in *done) and
    // then waits to be killed, or with `leave` ends without unloading.
    pid_t Host(int steps, volatile int* done, bool leave = false) {
        pid_t pid = fork();
        if (pid != 0) return pid;
        if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        void* keys[kKeys];
        for (int k = 0; k < kKeys; ++k) keys[k] = OpenKey(k);
        for (int i = 0; i < steps; ++i) {
            if (RunStep(keys, StepAt(i)) != 0) _exit(3);
            if (done) __atomic_store_n(done, i + 1, __ATOMIC_RELEASE);
        }
        if (leave) _exit(0);
        for (;;) pause();
    }
    static void Reap(pid_t pid, bool killed) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (killed) {
            EXPECT_TRUE(WIFSIGNALED(status)) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }
    TempDir dir_;
    std::string reg_, log_;
};

int* SharedInt() {
    void* p = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return static_cast<int*>(p);
}

// Killed at random instants of a stream of sets, creations and deletions: each next load
// holds exactly the calls that returned, or those and the one in flight. The first host
// makes its 100 calls and waits to be killed: it keeps all 100, recovered from the log
// that it left, and the clean unload after leaves the registry file alone in its folder.
TEST_F(ChangeLog, HostsKilledAtRandomInstantsLeaveAPrefix) {
    int* done = SharedInt();
    std::mt19937 rnd(20261206);
#ifdef ZR_TSAN_BUILD
    const int kRounds = 20;  // a fork costs a tenth of a second there; the other builds kill 300
#else
    const int kRounds = 300;
#endif
    int inFlight = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        WriteBytes(reg_, kBase);
        *done = 0;
        bool idle = round == 0;
        int target = idle ? 100 : static_cast<int>(rnd() % 120);
        pid_t pid = Host(idle ? target : 1000000, done);
        while (__atomic_load_n(done, __ATOMIC_ACQUIRE) < target) sched_yield();
        for (unsigned spin = idle ? 0 : rnd() % 20000; spin; --spin) __asm__ __volatile__("" ::: "memory");
        kill(pid, SIGKILL);
        Reap(pid, true);
        if (idle) {
            EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt", "reg.txt-log"}));
        }
        int n = __atomic_load_n(done, __ATOMIC_ACQUIRE);
        CaptureStdout();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        EXPECT_EQ(GetCapturedStdout(), "");
        Model got = Loaded();
        bool exact = got == ModelAfter(n);
        if (!exact) ++inFlight;
        EXPECT_TRUE(exact || (!idle && got == ModelAfter(n + 1))) << "after " << n << " calls";
        ZrUnloadRegistry();
        ASSERT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
    }
    printf("[ kills ] %d hosts killed, %d of them with a call's change in flight\n", kRounds, inFlight);
    munmap(done, sizeof(int));
}

// A log cut at every byte, or with a byte damaged: the load keeps the changes before the
// first record it cannot trust, says which record that is, and never fails.
TEST_F(ChangeLog, ACutOrDamagedLogLoadsAsAPrefix) {
#ifdef ZR_TSAN_BUILD
    GTEST_SKIP() << "one process at a time: the other builds run it";
#endif
    const int kSteps = 24;
    pid_t pid = Host(kSteps, nullptr, true);
    Reap(pid, false);
    const std::string whole = ReadBytes(log_);
    Model m;
    int records = 0;
    for (int i = 0; i < kSteps; ++i) records += ApplyStep(&m, StepAt(i));
    // The records lie between the header page and the end of what was written.
    size_t end = RecordsEnd(whole);
    const size_t written = end;
    end = std::min(whole.size(), ((end + 7) & ~size_t(7)) + 16);  // a record may end in zero bytes
    std::regex said(
        "zrregdll: .*reg.txt-log: record ([0-9]+) is cut or damaged; the ([0-9]+) changes before it are "
        "kept\n");
    int* kept = SharedInt();
    // Each load in a process of its own that ends without unloading, so that the registry
    // file stays the one the log was made on. Its answer: the changes kept, or -1.
    auto loadWith = [&](const std::string& log) {
        WriteBytes(log_, log);
        *kept = -2;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            CaptureStdout();
            if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
            std::string out = GetCapturedStdout();
            std::smatch m;
            int n = records;
            if (std::regex_match(out, m, said)) {
                n = std::stoi(m[2]);
                if (std::stoi(m[1]) != n + 1) _exit(3);
            } else if (!out.empty()) {
                _exit(4);
            }
            *kept = Loaded() == ModelOfRecords(n) ? n : -1;
            if (*kept < 0) fprintf(stderr, "%s", out.c_str());
            _exit(0);
        }
        Reap(pid, false);
        return *kept;
    };
    int last = 0, boundaries = 0;
    for (size_t cut = 4096; cut <= end; ++cut) {
        SCOPED_TRACE(cut);
        int kept = loadWith(whole.substr(0, cut));
        ASSERT_GE(kept, last);
        boundaries += kept > last;
        last = kept;
    }
    EXPECT_EQ(last, records);
    EXPECT_EQ(boundaries, records);
    std::mt19937 rnd(7);
    for (int i = 0; i < 200; ++i) {
        size_t at = 4096 + rnd() % (written - 4096);
        SCOPED_TRACE(at);
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 + rnd() % 255));
        int kept = loadWith(damaged);
        EXPECT_GE(kept, 0);
        EXPECT_LT(kept, records);
    }
    munmap(kept, sizeof(int));
}

// A run of changes to one key names the key once: a set of a 4-byte value then takes 40
// bytes of the log (the end mark in the header tells).
TEST_F(ChangeLog, ARunOfChangesToOneKeyNamesItOnce) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    auto end = [&] {
        uint64_t at = 0;
        memcpy(&at, ReadBytes(log_).data() + 24, sizeof at);
        return at;
    };
    ASSERT_EQ(SetDw("v0", 0), 0);
    uint64_t before = end();
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(SetDw(("v" + std::to_string(i)).c_str(), i), 0);
    EXPECT_EQ(end() - before, 100u * 40);
}

// Records of every length of key path, name and data up to a few words (each byte of the
// texts at every place in a word), left by a host that ended without unloading, are read
// back by the next load as they were written.
TEST_F(ChangeLog, RecordsOfEveryShapeReadBack) {
    auto text = [](size_t n, size_t seed) {
        std::string t;
        for (size_t i = 0; i < n; ++i) t += static_cast<char>('a' + (i * 7 + seed) % 26);
        return t;
    };
    struct Value {
        std::string key, name, data;
    };
    std::vector<Value> values;
    for (size_t key = 1; key <= 9; ++key)
        for (size_t name = 1; name <= 9; ++name)
            for (size_t data = 0; data <= 17; data += 1 + name % 3)
                values.push_back({text(key, 1), text(name, data), text(data, name)});
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        for (const Value& v : values) {
            void* h = nullptr;
            if (ZrRegCreateKey(HkeyRegRoot(), WP(W(v.key)), &h) != 0 ||
                ZrRegSetValueEx(h, WP(W(v.name)), ZRREG_TYPE_SZ,
                                reinterpret_cast<const unsigned char*>(v.data.c_str()),
                                static_cast<uint32_t>(v.data.size() + 1)) != 0)
                _exit(3);
            ZrRegCloseKey(h);
        }
        _exit(0);
    }
    Reap(pid, false);
    CaptureStdout();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    EXPECT_EQ(GetCapturedStdout(), "");
    for (const Value& v : values) {
        unsigned short* got = nullptr;
        ASSERT_EQ(ZrRegQueryValueSz(HkeyRegRoot(), WP(W(v.key)), WP(W(v.name)), nullptr, &got), 0u);
        EXPECT_EQ(std::string(got, got + v.data.size() + 1), v.data + '\0') << v.key << "\\" << v.name;
        free(got);
    }
}

// Two and four processes with the file loaded: a change that one made is seen by the
// others at their next call, through every kind of call, without a reload.
TEST_F(ChangeLog, EveryProcessSeesAChangeAtItsNextCall) {
    for (int procs : {2, 4}) {
        SCOPED_TRACE(procs);
        WriteBytes(reg_, kBase);
        int* turn = SharedInt();
        std::vector<pid_t> pids;
        for (int p = 0; p < procs; ++p) {
            pid_t pid = fork();
            if (pid == 0) {
                if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
                void* k0 = OpenKey(0);
                // In turn: process p waits for its turn, checks what those before it did,
                // and makes its own change.
                while (__atomic_load_n(turn, __ATOMIC_ACQUIRE) != p) usleep(200);
                uint32_t subkeys = ZrRegCountSubKeys(k0), values = 0;
                ZrRegQueryInfoKey(k0, nullptr, nullptr, &values, nullptr, nullptr);
                if (subkeys != static_cast<uint32_t>(p) || values != static_cast<uint32_t>(p)) _exit(3);
                for (int q = 0; q < p; ++q) {
                    void* h = nullptr;
                    if (ZrRegOpenKeyEx(k0, WP(W("P" + std::to_string(q))), 0, &h) != 0) _exit(4);
                    ZrRegCloseKey(h);
                    uint32_t v = 0;
                    ZrRegQueryValueDw(k0, nullptr, WP(W("p" + std::to_string(q))), 99, &v);
                    if (v != static_cast<uint32_t>(q)) _exit(5);
                }
                void* made = nullptr;
                int32_t v = p;
                if (ZrRegCreateKey(k0, WP(W("P" + std::to_string(p))), &made) != 0 ||
                    ZrRegSetValueEx(k0, WP(W("p" + std::to_string(p))), ZRREG_TYPE_DWORD,
                                    reinterpret_cast<unsigned char*>(&v), 4) != 0)
                    _exit(6);
                ZrRegCloseKey(made);
                __atomic_store_n(turn, p + 1, __ATOMIC_RELEASE);
                // Everyone's changes, seen before the unload.
                while (__atomic_load_n(turn, __ATOMIC_ACQUIRE) < procs) usleep(200);
                if (ZrRegCountSubKeys(k0) != static_cast<uint32_t>(procs)) _exit(7);
                ZrRegCloseKey(k0);
                ZrUnloadRegistry();
                _exit(0);
            }
            pids.push_back(pid);
        }
        for (pid_t pid : pids) Reap(pid, false);
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        void* k0 = OpenKey(0);
        EXPECT_EQ(ZrRegCountSubKeys(k0), static_cast<uint32_t>(procs));
        ZrRegCloseKey(k0);
        ZrUnloadRegistry();
        munmap(turn, sizeof(int));
    }
}

// A key that another process deletes is gone behind this one's handle, as in one process;
// a handle that lives through the other's checkpoints (which make this process read the
// file anew) still finds its key.
TEST_F(ChangeLog, HandlesFollowTheOtherProcessesChanges) {
    RegLogSetBound(16384);
    int* go = SharedInt();
    pid_t pid = fork();
    if (pid == 0) {
        while (!__atomic_load_n(go, __ATOMIC_ACQUIRE)) usleep(200);
        if (ZrLoadRegistry(reg_.c_str()) != 0) _exit(2);
        void* root = HkeyRegRoot();
        if (ZrRegDeleteKey(root, WP(u"K1")) != 0) _exit(3);
        void* k2c = OpenKey(2);
        for (int32_t i = 0; i < 2000; ++i)
            if (ZrRegSetValueEx(k2c, WP(W("n" + std::to_string(i % 300))), ZRREG_TYPE_DWORD,
                                reinterpret_cast<unsigned char*>(&i), 4) != 0)
                _exit(4);
        ZrRegCloseKey(k2c);
        ZrUnloadRegistry();
        _exit(0);
    }
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k1 = OpenKey(1);
    void* k2 = OpenKey(2);
    __atomic_store_n(go, 1, __ATOMIC_RELEASE);
    Reap(pid, false);
    munmap(go, sizeof(int));
    uint32_t type, bytes = 4;
    int32_t v = 0;
    EXPECT_EQ(ZrRegQueryValueEx(k1, WP(u"x"), &type, reinterpret_cast<unsigned char*>(&v), &bytes),
              ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(ZrRegCloseKey(k1), ZRREG_SUCCESS);
    bytes = 4;
    EXPECT_EQ(ZrRegQueryValueEx(k2, WP(u"n299"), &type, reinterpret_cast<unsigned char*>(&v), &bytes),
              ZRREG_SUCCESS);
    EXPECT_EQ(v, 1799);
    uint32_t values = 0;
    EXPECT_EQ(ZrRegQueryInfoKey(k2, nullptr, nullptr, &values, nullptr, nullptr), ZRREG_SUCCESS);
    EXPECT_EQ(values, 300u);
    // This process's open handle keeps the key from being deleted here, as always.
    EXPECT_EQ(ZrRegDeleteKey(HkeyRegRoot(), WP(u"K2")), ZRREG_KEY_BUSY);
    ZrRegCloseKey(k2);
}

// A full disk while a change is recorded: the call fails with its own result and changes
// nothing, and the next call succeeds once there is room.
TEST_F(ChangeLog, AChangeThatCannotBeRecordedChangesNothing) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = OpenKey(0);
    std::string text(900, 'x');
    int i = 0;
    for (; ReadBytes(log_).size() <= (size_t(1) << 20) + 4096; ++i)
        ASSERT_EQ(ZrRegSetValueEx(k0, WP(W("t" + std::to_string(i))), ZRREG_TYPE_SZ,
                                  reinterpret_cast<const unsigned char*>(text.c_str()), 901),
                  0);
    // Fill what was grown, then fail the next growth.
    zrIoFailAt(ZR_IO_GROW);
    int32_t rc = 0;
    std::string before;
    for (; rc == 0; ++i) {
        before = DumpTree(RootNode);
        rc = ZrRegSetValueEx(k0, WP(W("t" + std::to_string(i))), ZRREG_TYPE_SZ,
                             reinterpret_cast<const unsigned char*>(text.c_str()), 901);
    }
    EXPECT_EQ(rc, ZRREG_WRITE_FAULT);
    EXPECT_EQ(DumpTree(RootNode), before);
    zrIoFailAt(ZR_IO_NONE);
    EXPECT_EQ(
        ZrRegSetValueEx(k0, WP(u"after"), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("y"), 2), 0);
    ZrRegCloseKey(k0);
}

// A companion that cannot be trusted is left alone: the library says so once and shares
// the file as it did without a log, keeping the changes until the unload.
TEST_F(ChangeLog, ALogThatCannotBeTrustedIsLeftAlone) {
    struct Case {
        const char* name;
        void (*plant)(const std::string& log, const std::string& dir);
        const char* said;
    };
    const Case cases[] = {
        {"not a log", [](const std::string& log, const std::string&) { WriteBytes(log, "hello\n"); },
         "is not a change log of this library's format"},
        {"another format",
         [](const std::string& log, const std::string&) {
             std::string page(8192, '\0');
             memcpy(&page[0], "zrreglog\x63\0\0\0", 12);
             WriteBytes(log, page);
         },
         "is not a change log of this library's format"},
        {"a link",
         [](const std::string& log, const std::string& dir) {
             symlink((dir + "/elsewhere").c_str(), log.c_str());
         },
         "is not a plain file of the registry file's owner"},
        {"a second name",
         [](const std::string& log, const std::string& dir) {
             WriteBytes(dir + "/other", "");
             link((dir + "/other").c_str(), log.c_str());
         },
         "is not a plain file of the registry file's owner"},
        {"another owner",
         [](const std::string& log, const std::string&) {
             WriteBytes(log, "");
             if (chown(log.c_str(), 65534, 65534) != 0) GTEST_SKIP();
         },
         "is not a plain file of the registry file's owner"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(reg_, kBase);
        c.plant(log_, dir_.Path().string());
        std::string planted = ReadBytes(log_);
        CaptureStdout();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        std::string out = GetCapturedStdout();
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
        void* k0 = OpenKey(0);
        EXPECT_EQ(
            ZrRegSetValueEx(k0, WP(u"kept"), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("y"), 2),
            0);
        ZrRegCloseKey(k0);
        ZrUnloadRegistry();
        EXPECT_NE(ReadBytes(reg_).find("kept"), std::string::npos);
        EXPECT_EQ(ReadBytes(log_), planted);
        fs::remove(log_);
        fs::remove(dir_.File("other"));
        fs::remove(dir_.File("REG.LCK"));
    }
}

// The log takes the registry file's permission bits whatever the umask, as the temporary
// file does: never more open than the registry, never less for who may load it.
TEST_F(ChangeLog, TheLogTakesTheRegistryFilesMode) {
    for (mode_t mode : {0600, 0640, 0644, 0664}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(reg_.c_str(), mode), 0);
        mode_t was = umask(077);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        umask(was);
        struct stat st;
        ASSERT_EQ(stat(log_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
        ZrUnloadRegistry();
    }
}

// Something else writes the registry file while it is loaded: the last unload reads it
// anew and puts the log's changes on top, as the merge without a log does.
TEST_F(ChangeLog, AFileChangedByAnotherProgramGetsTheChangesOnTop) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = OpenKey(0);
    int32_t v = 5;
    ASSERT_EQ(ZrRegSetValueEx(k0, WP(u"mine"), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&v), 4), 0);
    ZrRegCloseKey(k0);
    WriteBytes(reg_, "KEY \"My Computer\"\n(\n  KEY K0 ( [REG_SZ] edited = \"by hand\"; )\n)\n");
    CaptureStdout();
    ZrUnloadRegistry();
    EXPECT_NE(GetCapturedStdout().find("was changed by another program; the 1 changes"), std::string::npos);
    EXPECT_EQ(TreeInFile(reg_), "[My Computer]\n  [K0]\n    edited = \"by hand\"\n    mine = 5\n");
    EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
}

// A flush returns once the changes are on disk: with the log, its sync (which can fail
// and be tried again); without it, the tree written back, merged onto a file that another
// process replaced meanwhile.
TEST_F(ChangeLog, AFlushPutsTheChangesOnDisk) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* k0 = OpenKey(0);
    ASSERT_EQ(ZrRegSetValueEx(k0, WP(u"a"), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("1"), 2),
              0);
    zrIoFailAt(ZR_IO_SYNC);
    EXPECT_EQ(ZrRegFlushKey(k0), ZRREG_WRITE_FAULT);
    zrIoFailAt(ZR_IO_NONE);
    EXPECT_EQ(ZrRegFlushKey(k0), ZRREG_SUCCESS);
    ZrRegCloseKey(k0);
    ZrUnloadRegistry();

    RegViewUseLog(false);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    k0 = OpenKey(0);
    EXPECT_EQ(ZrRegFlushKey(k0), ZRREG_SUCCESS);  // nothing to write
    ASSERT_EQ(ZrRegSetValueEx(k0, WP(u"b"), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("2"), 2),
              0);
    EXPECT_EQ(ZrRegFlushKey(k0), ZRREG_SUCCESS);
    std::string text = ReadBytes(reg_);
    EXPECT_TRUE(text.find("\"a\"") != std::string::npos && text.find("\"b\"") != std::string::npos) << text;
    WriteBytes(reg_, "KEY \"My Computer\" ( KEY K9 ( ) )\n");
    ASSERT_EQ(ZrRegSetValueEx(k0, WP(u"c"), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>("3"), 2),
              0);
    EXPECT_EQ(ZrRegFlushKey(k0), ZRREG_SUCCESS);
    text = ReadBytes(reg_);
    EXPECT_TRUE(text.find("K9") != std::string::npos && text.find("\"c\"") != std::string::npos &&
                text.find("\"a\"") == std::string::npos)
        << text;
    ZrRegCloseKey(k0);
}

}  // namespace
#endif
