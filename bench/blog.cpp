// The change log's cost: calls without a log (one process, its changes kept until the
// unload, as the library was before it had one), with it, and with it and a second process
// loaded and idle; four processes setting at once; load and unload of the largest file.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench.h"
#include "regview.h"

namespace zrbench {
#ifndef ZR_BENCH_BASELINE  // an older core has no change log
namespace {

const int kN = 1000;  // the wide fixture at depth 2: Level_1 holds 1000 subkeys of 1000 values

// The fixture copied to a file of its own, so that changes and checkpoints leave the shared
// fixture alone; `idle` is a second process that loads it and waits to be killed.
struct LogFixture {
    std::string path;
    pid_t idle = 0;
    bool Load(LogMode mode) {
        UnloadWide();
        std::string from = g_dataDir + "/wide_2_" + std::to_string(kN) + ".reg";
        struct stat sb;
        if (stat(from.c_str(), &sb) != 0 && !EnsureWide(2, kN)) return false;
        UnloadWide();
        path = g_dataDir + "/log_fixture.txt";
        if (system(("cp '" + from + "' '" + path + "'").c_str()) != 0) return false;
        RegViewUseLog(mode != LOG_OFF);
        if (mode == LOG_IDLE) {
            fflush(stdout);
            idle = fork();
            if (idle == 0) {
                if (ZrLoadRegistry(path.c_str()) == 0)
                    for (;;) pause();
                _exit(1);
            }
            usleep(300000);  // loaded before the timing begins
        }
        return ZrLoadRegistry(path.c_str()) == 0;
    }
    ~LogFixture() {
        RegViewSetChanged(false);
        ZrUnloadRegistry();
        if (idle > 0) {
            kill(idle, SIGKILL);
            waitpid(idle, nullptr, 0);
        }
        RegViewUseLog(false);  // the others' way (zrbench.cpp)
        unlink(path.c_str());
        std::string log = path + "-log";
        unlink(log.c_str());
    }
};

void LogCall(benchmark::State& st, Op op, LogMode mode) {
    LogFixture fx;
    if (!fx.Load(mode)) {
        st.SkipWithError("fixture failed");
        return;
    }
    RunCalls(st, op, 2, kN);
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Four processes, each setting 100,000 values of its own at once: the calls per second of
// all together, what the file holds afterwards, and the log's bytes per change.
void FourProcesses(benchmark::State& st) {
    const int kProcs = 4, kSets = 100000;
    for (auto _ : st) {
        LogFixture fx;
        if (!fx.Load(LOG_ON)) {
            st.SkipWithError("fixture failed");
            return;
        }
        RegViewSetChanged(false);
        ZrUnloadRegistry();
        fflush(stdout);
        int go[2];
        if (pipe(go) != 0) return;
        std::vector<pid_t> pids;
        for (int p = 0; p < kProcs; ++p) {
            pid_t pid = fork();
            if (pid == 0) {
                close(go[1]);
                if (ZrLoadRegistry(fx.path.c_str()) != 0) _exit(2);
                void* h;
                if (ZrRegCreateKey(HkeyRegRoot(), Wide("Procs\\P" + std::to_string(p)).data(), &h) != 0)
                    _exit(3);
                char c;
                if (read(go[0], &c, 1) < 0) _exit(4);
                for (int32_t i = 0; i < kSets; ++i)
                    if (ZrRegSetValueEx(h, Wide("v" + std::to_string(i)).data(), 4,
                                        reinterpret_cast<unsigned char*>(&i), 4) != 0)
                        _exit(5);
                ZrRegCloseKey(h);
                ZrUnloadRegistry();
                _exit(0);
            }
            pids.push_back(pid);
        }
        close(go[0]);
        usleep(500000);
        double t0 = Now();
        close(go[1]);
        bool ok = true;
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        double wall = Now() - t0;
        if (!ok || ZrLoadRegistry(fx.path.c_str()) != 0) {
            st.SkipWithError("a process failed");
            return;
        }
        uint32_t held = 0;
        for (int p = 0; p < kProcs; ++p) {
            Opened k("Procs\\P" + std::to_string(p));
            uint32_t values = 0;
            ZrRegQueryInfoKey(k.h, nullptr, nullptr, &values, nullptr, nullptr);
            held += values;
        }
        // One process's records of the same changes, for the log's size per change.
        void* h;
        ZrRegCreateKey(HkeyRegRoot(), Wide("Size").data(), &h);
        for (int32_t i = 0; i < kSets; ++i)
            ZrRegSetValueEx(h, Wide("v" + std::to_string(i)).data(), 4, reinterpret_cast<unsigned char*>(&i),
                            4);
        ZrRegCloseKey(h);
        struct stat sb = {};
        stat((g_dataDir + "/log_fixture.txt-log").c_str(), &sb);
        st.counters["calls_per_second"] = kProcs * kSets / wall;
        st.counters["lost"] = kProcs * kSets - static_cast<double>(held);
        st.counters["log_bytes_per_change"] = static_cast<double>(sb.st_size) / kSets;
    }
}

void LoadUnload(benchmark::State& st, bool unload, LogMode mode) {
    if (g_sets.empty()) return;
    std::string path = g_sets.rbegin()->second.base + ".reg";
    UnloadWide();
    RegViewUseLog(mode != LOG_OFF);
    for (auto _ : st) {
        if (unload) st.PauseTiming();
        if (ZrLoadRegistry(path.c_str()) != 0) {
            st.SkipWithError("load failed");
            break;
        }
        if (unload) {
            st.ResumeTiming();
            ZrUnloadRegistry();
        } else {
            st.PauseTiming();
            ZrUnloadRegistry();
            st.ResumeTiming();
        }
    }
    RegViewUseLog(false);
}

}  // namespace
#endif

std::string LogName(const char* what, LogMode mode) {
    static const char* modes[] = {"off", "on", "idle"};
    return std::string("log/") + what + "/" + modes[mode];
}

void RegisterLog() {
#ifndef ZR_BENCH_BASELINE
    for (int m = LOG_OFF; m <= LOG_IDLE; ++m) {
        for (Op op : kLogOps)
            benchmark::RegisterBenchmark(LogName(kOpNames[op], static_cast<LogMode>(m)).c_str(), LogCall, op,
                                         static_cast<LogMode>(m))
                ->UseRealTime();
    }
    for (int m = LOG_OFF; m <= LOG_ON; ++m) {
        benchmark::RegisterBenchmark(LogName("load", static_cast<LogMode>(m)).c_str(), LoadUnload, false,
                                     static_cast<LogMode>(m))
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(LogName("unload", static_cast<LogMode>(m)).c_str(), LoadUnload, true,
                                     static_cast<LogMode>(m))
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    for (Op op : kNewerOps)
        benchmark::RegisterBenchmark(LogName(kOpNames[op], LOG_ON).c_str(), LogCall, op, LOG_ON)
            ->UseRealTime();
    benchmark::RegisterBenchmark("log/four-processes", FourProcesses)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
#endif
}

}  // namespace zrbench
