// A change log that another program cuts while hosts map it: no host ends, every change a
// call returned stays, and a bus error that is not the log's still ends the process (or
// reaches the host's own handler) as it would have.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regp.h"
#include "testutil.h"
#include "zrlogtest.h"

// A sanitizer's runtime has a bus-error handler of its own, which ends the process its way.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZR_SANITIZED 1
#endif
#endif
#ifdef ZR_SANITIZED
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

namespace {

const char kBase[] = "KEY \"My Computer\"\n(\n  KEY K0 ( )\n)\n";

// A page of a file of its own, mapped, and the file then cut to nothing: touching it faults.
volatile char* CutMapping(const std::string& path) {
    WriteBytes(path, std::string(4096, 'x'));
    int fd = open(path.c_str(), O_RDWR);
    void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    truncate(path.c_str(), 0);
    return static_cast<volatile char*>(p);
}

class LogCut : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef ZR_EMULATED_BUILD
        GTEST_SKIP() << "qemu-user does not hand a file mapping's bus error to the program's handler";
#endif
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        log_ = dir_.File("reg.txt-log");
        WriteBytes(reg_, kBase);
    }
    void TearDown() override { ResetRegistry(); }
    TempDir dir_;
    std::string reg_, log_;
};

// Cut to nothing, to its header, and inside the records, between two calls of a host that
// goes on changing: the calls answer, the change that met the cut is refused or kept, and
// the unload writes every change that returned.
TEST_F(LogCut, AHostGoesOnAndKeepsWhatReturned) {
    const struct {
        const char* what;
        off_t cut;
    } cases[] = {{"to nothing", 0}, {"to its header", 4096}, {"inside the records", 4096 + 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(reg_, kBase);
        std::string said = dir_.File("said");
        int* b = SharedInt();
        *b = -2;
        int rc = InChild([&] {
            if (!freopen(said.c_str(), "w", stdout)) return 9;
            if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
            for (int i = 0; i < 20; ++i)  // records past the first page of the log
                if (SetDw(("early" + std::to_string(i)).c_str(), i) != 0) return 3;
            if (truncate(log_.c_str(), c.cut) != 0) return 4;
            if (GetDw("early7") != 7) return 5;
            *b = SetDw("b", 2);
            if (*b != 0 && *b != ZRREG_WRITE_FAULT) return 6;
            if (SetDw("c", 3) != 0 || GetDw("c") != 3) return 7;
            ZrUnloadRegistry();
            fflush(stdout);
            return 0;
        });
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(GetDw(("early" + std::to_string(i)).c_str()), i);
        EXPECT_EQ(GetDw("b"), *b == 0 ? 2 : -1) << "the set answered " << *b;
        EXPECT_EQ(GetDw("c"), 3);
        ZrUnloadRegistry();
        EXPECT_NE(ReadBytes(said).find("was cut by another program"), std::string::npos) << ReadBytes(said);
        munmap(b, sizeof(int));
        fs::remove(log_);
    }
}

// The guard takes only the log's faults: another mapping's fault still ends the process,
// or reaches the handler the host had installed.
TEST_F(LogCut, OtherBusErrorsAreNotTaken) {
    const std::string other = dir_.File("other.bin");
    // Ended by the signal, or by a sanitizer's own handler (which exits or aborts); a guard
    // that took the fault would have read a zero (0).
    int ended = InChild([&] {
        if (ZrLoadRegistry(reg_.c_str()) != 0 || SetDw("a", 1) != 0) return 2;
        return static_cast<int>(*CutMapping(other));
    });
    EXPECT_TRUE(ended != 0 && ended != 2) << ended;
    if (!kSanitized) {
        EXPECT_EQ(ended, 128 + SIGBUS);
    }
    EXPECT_EQ(InChild([&] {
                  struct sigaction own = {};
                  own.sa_handler = [](int) { _exit(42); };
                  sigaction(SIGBUS, &own, nullptr);
                  if (ZrLoadRegistry(reg_.c_str()) != 0 || SetDw("a", 1) != 0) return 2;
                  return static_cast<int>(*CutMapping(other));
              }),
              42);
    // And once the last log closes, the handler before the guard is back.
    EXPECT_EQ(InChild([&] {
                  struct sigaction own = {};
                  own.sa_handler = [](int) { _exit(43); };
                  sigaction(SIGBUS, &own, nullptr);
                  if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                  ZrUnloadRegistry();
                  struct sigaction now;
                  sigaction(SIGBUS, nullptr, &now);
                  return now.sa_handler == own.sa_handler ? 0 : 3;
              }),
              0);
}

}  // namespace
#endif
