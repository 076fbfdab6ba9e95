// Loading beside the peers, like with like: every reader cold (a fresh process for each load)
// and warm (loading again in the same process with its memory kept), in rounds that take
// the readers in turn so that the machine's slow periods hit all alike; our load pinned to
// one core; the first load of a fresh process when the host still backs the memory it is
// given and when it does not; and the first lookups in a key of 100,000 values after a load.
#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <sched.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <simdjson.h>
#include <algorithm>
#include <libconfig.h++>
#include <memory>
#include <thread>

#include "bench.h"
#include "regview.h"

namespace zrbench {

double WallNow() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU time of all the process's threads, those that have ended included.
double CpuNow() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

bool PinToCpu0() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;  // this thread; the threads it starts inherit it
}

namespace {

void Unpin(const cpu_set_t& saved) { sched_setaffinity(0, sizeof saved, &saved); }

std::string FileOf(int lib, const DataSet& d) {
    switch (lib) {
        case PEER_RAPIDJSON:
        case PEER_RAPIDJSON_PINNED:
        case PEER_SIMDJSON:
            return d.base + ".json";
        case PEER_LIBCONFIG:
            return d.base + ".cfg";
        default:
            return d.base + ".reg";
    }
}

// ---- warm: each reader's state kept between its loads ---------------------------------

struct Warm {
    const DataSet* d = nullptr;
    std::string path[kPeerCount];
    // RapidJSON: its MemoryPoolAllocator over one buffer that holds the whole document,
    // touched before the first timing; the document reused; parsed from a FileReadStream
    // (64 KB reads), as our loader reads the file.
    std::vector<char> rjBuffer, rjRead;
    std::unique_ptr<rapidjson::MemoryPoolAllocator<>> rjAlloc;
    std::unique_ptr<rapidjson::Document> rjDoc;
    // simdjson: one parser, whose buffers keep their capacity; parser.load reads the file.
    simdjson::dom::parser sj;
    std::unique_ptr<libconfig::Config> cfg;

    bool Setup(const DataSet* set) {
        d = set;
        for (int l = 0; l < kPeerCount; ++l) path[l] = FileOf(l, *d);
        rjRead.resize(1 << 16);
        size_t need = 0;
        {
            FILE* fp = fopen(path[PEER_RAPIDJSON].c_str(), "rb");
            if (!fp) return false;
            rapidjson::FileReadStream is(fp, rjRead.data(), rjRead.size());
            rapidjson::Document probe;
            probe.ParseStream(is);
            fclose(fp);
            if (probe.HasParseError()) return false;
            need = probe.GetAllocator().Size();
        }
        rjBuffer.assign(need + need / 16 + (1 << 20), 0);
        rjAlloc.reset(new rapidjson::MemoryPoolAllocator<>(rjBuffer.data(), rjBuffer.size()));
        rjDoc.reset(new rapidjson::Document(rjAlloc.get()));
        // One untimed load of each, as every reader's first (libconfig++'s first, see Rounds).
        for (int l = kPeerCount - 1; l >= 0; --l) {
            if (!Load(l)) return false;
            Release(l);
        }
        return true;
    }

    // The timed part of a warm load.
    bool Load(int lib) {
        switch (lib) {
            case PEER_ZR:
            case PEER_ZR_PINNED:
                return ZrLoadRegistry(path[lib].c_str()) == 0;
            case PEER_RAPIDJSON:
            case PEER_RAPIDJSON_PINNED: {
                FILE* fp = fopen(path[lib].c_str(), "rb");
                if (!fp) return false;
                rapidjson::FileReadStream is(fp, rjRead.data(), rjRead.size());
                rjDoc->ParseStream(is);
                fclose(fp);
                return !rjDoc->HasParseError();
            }
            case PEER_SIMDJSON: {
                simdjson::dom::element root;
                return sj.load(path[lib]).get(root) == simdjson::SUCCESS;
            }
            case PEER_LIBCONFIG:
                try {
                    cfg.reset(new libconfig::Config);
                    cfg->readFile(path[lib].c_str());
                    return true;
                } catch (...) {
                    return false;
                }
        }
        return false;
    }

    void Release(int lib) {
        switch (lib) {
            case PEER_ZR:
            case PEER_ZR_PINNED:
                ZrUnloadRegistry();
                break;
            case PEER_RAPIDJSON:
            case PEER_RAPIDJSON_PINNED:
                rjDoc->SetNull();
                rjAlloc->Clear();  // keeps the buffer
                break;
            case PEER_LIBCONFIG:
                cfg.reset();
                break;
            default:
                break;
        }
    }
};

// ---- cold: a child process loads the file once --------------------------------------------

struct ChildResult {
    double wall = 0, cpu = 0, touchMsPerMb = 0;
    long hwmKb = 0;
};

// Starts this program again with --child-load=ARG; false when the child failed.
bool RunChild(const std::string& arg, ChildResult* r, double* total = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::string a = "--child-load=" + arg;
    char* argv[] = {const_cast<char*>("zrbench"), const_cast<char*>(a.c_str()), nullptr};
    double start = WallNow();
    pid_t pid;
    int err = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char out[256] = {0};
    ssize_t n = 0;
    if (err == 0)
        for (ssize_t k; n < static_cast<ssize_t>(sizeof out) - 1 &&
                        (k = read(fds[0], out + n, sizeof out - 1 - static_cast<size_t>(n))) > 0;)
            n += k;
    close(fds[0]);
    int status = 0;
    if (err != 0 || waitpid(pid, &status, 0) != pid) return false;
    if (total) *total = WallNow() - start;
    return n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           sscanf(out, "%lf %lf %ld %lf", &r->wall, &r->cpu, &r->hwmKb, &r->touchMsPerMb) == 4;
}

// A child that touches `mb` MB and exits: the next process is then given memory that the
// host still backs.
void Prime(size_t mb) {
    ChildResult r;
    RunChild("touch:" + std::to_string(mb), &r);
}

}  // namespace

double MedianOf(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

namespace {

struct Samples {
    std::vector<double> wall, cpu, touch, hwm;
    void Add(const ChildResult& r) {
        wall.push_back(r.wall);
        cpu.push_back(r.cpu);
        touch.push_back(r.touchMsPerMb);
        hwm.push_back(static_cast<double>(r.hwmKb) * 1024);
    }
};

void Put(benchmark::State& st, const std::string& key, const Samples& s) {
    if (s.wall.empty()) return;
    st.counters[key + "/wall"] = MedianOf(s.wall);
    st.counters[key + "/wall_min"] = *std::min_element(s.wall.begin(), s.wall.end());
    st.counters[key + "/wall_max"] = *std::max_element(s.wall.begin(), s.wall.end());
    st.counters[key + "/cpu"] = MedianOf(s.cpu);
    if (!s.touch.empty()) st.counters[key + "/touch"] = MedianOf(s.touch);
    if (!s.hwm.empty()) st.counters[key + "/hwm"] = *std::max_element(s.hwm.begin(), s.hwm.end());
}

const int kRounds = 5;

// Per round: each reader cold in a child of its own (after a child that touched and freed
// memory, so that the host still backs what the next process is given), then each reader
// warm in this process; ours and RapidJSON's also pinned to one core.
void Rounds(benchmark::State& st, const DataSet* d, int mb) {
    Warm w;
    if (!w.Setup(d)) {
        st.SkipWithError("a reader failed");
        return;
    }
    int reps = mb >= 100 ? 1 : mb >= 10 ? 3 : 20;  // warm loads per round
    size_t prime = static_cast<size_t>(3 * mb + 32);
    Samples cold[kPeerCount], warm[kPeerCount], firstCall;
    cpu_set_t saved;
    sched_getaffinity(0, sizeof saved, &saved);
    auto warmLoads = [&](int lib) {
        bool pinned = lib == PEER_ZR_PINNED || lib == PEER_RAPIDJSON_PINNED;
        if (pinned) PinToCpu0();
        // Load -1 is not timed, so that every reader's timed loads follow one of its own and
        // none follows the cold children or another reader: the first load after the
        // children took 10-15 ms longer than the next (2026-12-07, ours, 100 MB file), and
        // ours always came first.
        for (int k = -1; k < reps; ++k) {
            double t0 = WallNow(), c0 = CpuNow();
            bool ok = w.Load(lib);
            double t1 = WallNow(), c1 = CpuNow();
            w.Release(lib);
            if (!ok) {
                if (pinned) Unpin(saved);
                return false;
            }
            if (k < 0) continue;
            warm[lib].wall.push_back(t1 - t0);
            warm[lib].cpu.push_back(c1 - c0);
        }
        if (pinned) Unpin(saved);
        return true;
    };
    for (auto _ : st) {
        for (int round = 0; round < kRounds; ++round) {
            for (int lib = 0; lib < kPeerCount; ++lib) {
                if (lib == PEER_RAPIDJSON_PINNED) continue;  // one thread either way: not run cold
                Prime(prime);
                ChildResult r;
                std::string arg = std::string(kPeerKeys[lib]) + ":" + w.path[lib];
                if (!RunChild(arg, &r)) {
                    st.SkipWithError("child failed");
                    return;
                }
                cold[lib].Add(r);
            }
            {
                ChildResult r;
                if (RunChild("first-call:", &r)) {
                    firstCall.wall.push_back(r.wall);
                    firstCall.cpu.push_back(r.cpu);
                }
            }
            for (int lib = 0; lib < kPeerCount; ++lib) {
                if (lib == PEER_LIBCONFIG) continue;  // after the rounds, below
                if (!warmLoads(lib)) {
                    st.SkipWithError("load failed");
                    return;
                }
            }
        }
        // libconfig++'s warm loads come last: each allocates and frees some 2.5 bytes of heap
        // per file byte in small blocks, after which our next load in this process took up
        // to twice its CPU time (2026-12-07, 100 MB file: 295 ms against 141 ms).
        for (int round = 0; round < kRounds; ++round)
            if (!warmLoads(PEER_LIBCONFIG)) {
                st.SkipWithError("load failed");
                return;
            }
    }
    for (int lib = 0; lib < kPeerCount; ++lib) {
        Put(st, std::string(kPeerKeys[lib]) + "/cold", cold[lib]);
        Put(st, std::string(kPeerKeys[lib]) + "/warm", warm[lib]);
    }
    Put(st, "first-call", firstCall);
    std::vector<double> t;
    for (auto& c : cold) t.insert(t.end(), c.touch.begin(), c.touch.end());
    st.counters["touch"] = MedianOf(t);
}

// The first load of a fresh process when the host no longer backs the free memory: after
// a pause in which this program touches nothing, the child first takes (and keeps) 1 GB, so
// that its load is given pages that have been free longer than those other processes on
// this shared machine just freed. Ours and RapidJSON's in turn.
const int kIdleSeconds = 10;

void AfterIdle(benchmark::State& st, const DataSet* d) {
    Samples s[2];
    const int libs[2] = {PEER_ZR, PEER_RAPIDJSON};
    for (auto _ : st) {
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 2; ++i) {
                sleep(kIdleSeconds);
                ChildResult r;
                setenv("ZRBENCH_BALLAST_MB", "1024", 1);
                bool ok = RunChild(std::string(kPeerKeys[libs[i]]) + ":" + FileOf(libs[i], *d), &r);
                unsetenv("ZRBENCH_BALLAST_MB");
                if (!ok) {
                    st.SkipWithError("child failed");
                    return;
                }
                s[i].Add(r);
            }
        }
    }
    for (int i = 0; i < 2; ++i) Put(st, std::string(kPeerKeys[libs[i]]) + "/idle", s[i]);
}

// Values of every type: the plain file of `d` and a file of the same tree with values of every
// type (bgen.h's GenerateMixed) of about the same size, each loaded warm in turn, as the
// rounds above load ours, and each after an untimed load of its own.
void Types(benchmark::State& st, const DataSet* d, int mb) {
    std::string mixed = g_dataDir + "/mixed_" + std::to_string(mb) + "mb.reg";
    GenStats stats;
    if (!GenerateMixed(mixed, static_cast<size_t>(mb) * 1000000, GenShape(), &stats)) {
        st.SkipWithError("fixture failed");
        return;
    }
    const std::string paths[2] = {d->base + ".reg", mixed};
    Samples s[2];
    for (auto _ : st) {
        for (int round = -1; round < kRounds; ++round) {
            for (int i = 0; i < 2; ++i) {
                double t0 = WallNow(), c0 = CpuNow();
                bool ok = ZrLoadRegistry(paths[i].c_str()) == 0;
                double t1 = WallNow(), c1 = CpuNow();
                ZrUnloadRegistry();
                if (!ok) {
                    st.SkipWithError("load failed");
                    return;
                }
                if (round < 0) continue;
                s[i].wall.push_back(t1 - t0);
                s[i].cpu.push_back(c1 - c0);
            }
        }
    }
    Put(st, "plain", s[0]);
    Put(st, "mixed", s[1]);
    st.counters["plain_bytes"] = static_cast<double>(d->stats.regBytes);
    st.counters["mixed_bytes"] = static_cast<double>(stats.regBytes);
}

// The program alone, loading nothing: its start to exit and its memory.
void FreshNone(benchmark::State& st) {
    ChildResult r;
    for (auto _ : st) {
        double total = 0;
        if (!RunChild("none:", &r, &total)) {
            st.SkipWithError("child failed");
            break;
        }
        st.SetIterationTime(total);
    }
    st.counters["peak_rss_bytes"] = static_cast<double>(r.hwmKb) * 1024;
}

}  // namespace

std::string RoundsName(int mb) { return "loads/" + std::to_string(mb) + "MB"; }
std::string TypesName(int mb) { return "types/" + std::to_string(mb) + "MB"; }

void RegisterPeers(const std::vector<int>& sizesMb) {
    benchmark::RegisterBenchmark("fresh/none", FreshNone)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
    for (int mb : sizesMb)
        benchmark::RegisterBenchmark(RoundsName(mb).c_str(), Rounds, &g_sets[mb], mb)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    int big = sizesMb.empty() ? 0 : *std::max_element(sizesMb.begin(), sizesMb.end());
    if (big)
        benchmark::RegisterBenchmark(TypesName(big).c_str(), Types, &g_sets[big], big)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    if (big)
        benchmark::RegisterBenchmark("fresh/after-idle", AfterIdle, &g_sets[big])
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    benchmark::RegisterBenchmark("first-use/100000", FirstUse)->Unit(benchmark::kMillisecond)->Iterations(1);
}

}  // namespace zrbench
