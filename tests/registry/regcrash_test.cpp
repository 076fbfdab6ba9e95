// The save under crashes: a child process killed at every step of the save, or at a random
// moment of it, leaves a file that holds the old tree or the new one.
#include <random>
#include <string>

#include "savetest.h"

#ifndef _WIN32
#include <signal.h>
#include <time.h>
#endif

namespace {

#ifndef _WIN32

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
