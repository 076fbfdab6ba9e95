// The benchmarks of whole files: loading, saving, the memory the content holds, and the
// first load in a fresh process with its peak memory, beside libconfig++, RapidJSON and fread.
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <libconfig.h++>
#include <memory>

#include "bench.h"
#include "regview.h"

namespace zrbench {
namespace {

// ---- loading -------------------------------------------------------------------------
// Each reader loads once untimed before it is timed: on a virtual machine the first touch
// of memory that a process has never used can cost more than the load itself, for every
// reader alike. docs/performance.md gives the first load of a fresh process separately.

void LoadZr(benchmark::State& st, const DataSet* d) {
    std::string path = d->base + ".reg";
    if (ZrLoadRegistry(path.c_str()) == 0) ZrUnloadRegistry();
    for (auto _ : st) {
        if (ZrLoadRegistry(path.c_str()) != 0) {
            st.SkipWithError("load failed");
            break;
        }
        st.PauseTiming();
        ZrUnloadRegistry();
        st.ResumeTiming();
    }
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.regBytes) * st.iterations());
}

void LoadLibconfig(benchmark::State& st, const DataSet* d) {
    std::string path = d->base + ".cfg";
    {
        libconfig::Config warm;
        warm.readFile(path.c_str());
    }
    for (auto _ : st) {
        std::unique_ptr<libconfig::Config> cfg(new libconfig::Config);
        cfg->readFile(path.c_str());
        st.PauseTiming();
        cfg.reset();
        st.ResumeTiming();
    }
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.cfgBytes) * st.iterations());
}

void LoadRapidJson(benchmark::State& st, const DataSet* d) {
    std::string path = d->base + ".json";
    std::vector<char> buf(1 << 16);
    if (FILE* fp = fopen(path.c_str(), "rb")) {
        rapidjson::FileReadStream is(fp, buf.data(), buf.size());
        rapidjson::Document warm;
        warm.ParseStream(is);
        fclose(fp);
    }
    for (auto _ : st) {
        FILE* fp = fopen(path.c_str(), "rb");
        rapidjson::FileReadStream is(fp, buf.data(), buf.size());
        std::unique_ptr<rapidjson::Document> doc(new rapidjson::Document);
        doc->ParseStream(is);
        fclose(fp);
        if (doc->HasParseError()) {
            st.SkipWithError("parse failed");
            break;
        }
        st.PauseTiming();
        doc.reset();
        st.ResumeTiming();
    }
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.jsonBytes) * st.iterations());
}

void LoadFread(benchmark::State& st, const DataSet* d) {
    std::string path = d->base + ".reg";
    std::vector<char> buf(d->stats.regBytes + 1);
    if (FILE* fp = fopen(path.c_str(), "rb")) {
        benchmark::DoNotOptimize(fread(buf.data(), 1, buf.size(), fp));
        fclose(fp);
    }
    for (auto _ : st) {
        FILE* fp = fopen(path.c_str(), "rb");
        size_t n = fread(buf.data(), 1, buf.size(), fp);
        fclose(fp);
        benchmark::DoNotOptimize(n);
    }
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.regBytes) * st.iterations());
}

// ---- saving, each with the file synced to disk as the library's writer does ----------

void SaveZr(benchmark::State& st, const DataSet* d, bool sync) {
    std::string path = d->base + ".reg";
    if (ZrLoadRegistry(path.c_str()) != 0) {
        st.SkipWithError("load failed");
        return;
    }
    char tmp[REGVIEW_PATH_MAX];
    for (auto _ : st) {
        RegViewSetChanged(true);
#ifdef ZR_BENCH_BASELINE  // built against an older core, for its per-call figures only
        bool saved = sync && RegViewSaveToTemp(tmp);
#else
        bool saved = RegViewSaveToTemp(tmp, sync);
#endif
        if (!saved) {
            st.SkipWithError("save failed");
            break;
        }
        st.PauseTiming();
        unlink(tmp);
        st.ResumeTiming();
    }
    RegViewSetChanged(false);
    ZrUnloadRegistry();
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.regBytes) * st.iterations());
}

// The floor of a save: the registry file's bytes, already in memory, written with fwrite.
void SaveFwrite(benchmark::State& st, const DataSet* d, bool sync) {
    std::string bytes;
    {
        FILE* in = fopen((d->base + ".reg").c_str(), "rb");
        std::vector<char> buf(1 << 16);
        for (size_t n; in && (n = fread(buf.data(), 1, buf.size(), in)) > 0;) bytes.append(buf.data(), n);
        if (in) fclose(in);
    }
    std::string out = d->base + ".out.reg";
    for (auto _ : st) {
        FILE* fp = fopen(out.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), fp);
        fflush(fp);
        if (sync) fsync(fileno(fp));
        fclose(fp);
        st.PauseTiming();
        unlink(out.c_str());  // a new file each time, as the writer's temporary file is
        st.ResumeTiming();
    }
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.regBytes) * st.iterations());
}

void SaveLibconfig(benchmark::State& st, const DataSet* d) {
    libconfig::Config cfg;
    cfg.readFile((d->base + ".cfg").c_str());
    std::string out = d->base + ".out.cfg";
    for (auto _ : st) {
        cfg.writeFile(out.c_str());
        SyncFile(out);
    }
    unlink(out.c_str());
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.cfgBytes) * st.iterations());
}

void SaveRapidJson(benchmark::State& st, const DataSet* d) {
    std::vector<char> buf(1 << 16);
    rapidjson::Document doc;
    FILE* in = fopen((d->base + ".json").c_str(), "rb");
    rapidjson::FileReadStream is(in, buf.data(), buf.size());
    doc.ParseStream(is);
    fclose(in);
    std::string out = d->base + ".out.json";
    for (auto _ : st) {
        FILE* fp = fopen(out.c_str(), "wb");
        rapidjson::FileWriteStream os(fp, buf.data(), buf.size());
        rapidjson::Writer<rapidjson::FileWriteStream> w(os);
        doc.Accept(w);
        os.Flush();
        fflush(fp);
        fsync(fileno(fp));
        fclose(fp);
    }
    unlink(out.c_str());
    st.SetBytesProcessed(static_cast<int64_t>(d->stats.jsonBytes) * st.iterations());
}

// ---- memory: heap held by the loaded content; a keys-only file separates keys from values

enum Lib { LIB_ZR, LIB_LIBCONFIG, LIB_RAPIDJSON };

// Heap bytes that holding the loaded file costs.
size_t HeldBytes(Lib lib, const DataSet& d) {
    size_t before = HeapInUse(), after = 0;
    if (lib == LIB_ZR) {
        if (ZrLoadRegistry((d.base + ".reg").c_str()) != 0) return 0;
        after = HeapInUse();
        ZrUnloadRegistry();
    } else if (lib == LIB_LIBCONFIG) {
        libconfig::Config cfg;
        cfg.readFile((d.base + ".cfg").c_str());
        after = HeapInUse();
    } else {
        std::vector<char> buf(1 << 16);
        before = HeapInUse();
        rapidjson::Document doc;
        FILE* in = fopen((d.base + ".json").c_str(), "rb");
        rapidjson::FileReadStream is(in, buf.data(), buf.size());
        doc.ParseStream(is);
        fclose(in);
        after = HeapInUse();
    }
    return after > before ? after - before : 0;
}

void Memory(benchmark::State& st, Lib lib) {
    auto it = g_sets.lower_bound(10);
    const DataSet& full = it != g_sets.end() ? it->second : g_sets.rbegin()->second;
    size_t keysHeld = 0, fullHeld = 0;
    for (auto _ : st) {
        keysHeld = HeldBytes(lib, g_keysOnly);
        fullHeld = HeldBytes(lib, full);
    }
    double perKey = static_cast<double>(keysHeld) / static_cast<double>(g_keysOnly.stats.keys);
    double perValue = (static_cast<double>(fullHeld) - perKey * static_cast<double>(full.stats.keys)) /
                      static_cast<double>(full.stats.values);
    st.counters["bytes_per_key"] = perKey;
    st.counters["bytes_per_value"] = perValue;
    st.counters["heap_per_file_byte"] =
        static_cast<double>(fullHeld) / static_cast<double>(full.stats.regBytes);
}

// ---- the first load in a fresh process, and its peak memory -----------------------------
// The benchmark starts itself again with --child-load=LIB:FILE; the child loads the file
// once, prints its load time and peak RSS, and exits without releasing the content.

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int ChildLoad(const std::string& arg) {
    size_t colon = arg.find(':');
    std::string lib = arg.substr(0, colon), path = arg.substr(colon + 1);
    double start = Now();
    bool ok;
    rapidjson::Document doc;
    if (lib == "rapidjson") {
        std::vector<char> buf(1 << 16);
        FILE* fp = fopen(path.c_str(), "rb");
        ok = fp != nullptr;
        if (ok) {
            rapidjson::FileReadStream is(fp, buf.data(), buf.size());
            doc.ParseStream(is);
            fclose(fp);
            ok = !doc.HasParseError();
        }
    } else if (lib == "zrregdll") {
        ok = ZrLoadRegistry(path.c_str()) == 0;
    } else {
        ok = true;  // the program alone
    }
    double seconds = Now() - start;
    // The high-water mark of this program's own memory: getrusage's would also count the
    // memory of the benchmark process that started it.
    long hwmKb = 0;
    if (FILE* st = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, st))
            if (sscanf(line, "VmHWM: %ld", &hwmKb) == 1) break;
        fclose(st);
    }
    printf("%.9f %ld\n", seconds, hwmKb);
    fflush(stdout);
    return ok ? 0 : 1;
}

namespace {

// Runs a child; false when it failed. *total is from its start to its end.
bool RunChild(const std::string& arg, double* total, double* load, long* rssKb) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::string a = "--child-load=" + arg;
    char* argv[] = {const_cast<char*>("zrbench"), const_cast<char*>(a.c_str()), nullptr};
    double start = Now();
    pid_t pid;
    int err = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char out[128] = {0};
    ssize_t n = err == 0 ? read(fds[0], out, sizeof out - 1) : -1;
    close(fds[0]);
    int status = 0;
    if (err != 0 || waitpid(pid, &status, 0) != pid) return false;
    *total = Now() - start;
    return n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && sscanf(out, "%lf %ld", load, rssKb) == 2;
}

void FreshLoad(benchmark::State& st, const char* lib, const DataSet* d) {
    std::string arg = std::string(lib) + ":" + d->base + (strcmp(lib, "rapidjson") == 0 ? ".json" : ".reg");
    double load = 0, sumLoad = 0;
    long rss = 0, maxRss = 0;
    for (auto _ : st) {
        double total;
        if (!RunChild(arg, &total, &load, &rss)) {
            st.SkipWithError("child failed");
            break;
        }
        st.SetIterationTime(total);
        sumLoad += load;
        if (rss > maxRss) maxRss = rss;
    }
    st.counters["load_seconds"] = sumLoad / static_cast<double>(st.iterations());
    st.counters["peak_rss_bytes"] = static_cast<double>(maxRss) * 1024;
}

void FreshNone(benchmark::State& st) {
    double load = 0;
    long rss = 0;
    for (auto _ : st) {
        double total;
        if (!RunChild("none:", &total, &load, &rss)) {
            st.SkipWithError("child failed");
            break;
        }
        st.SetIterationTime(total);
    }
    st.counters["peak_rss_bytes"] = static_cast<double>(rss) * 1024;
}

}  // namespace

void RegisterFresh(const std::vector<int>& sizesMb) {
    benchmark::RegisterBenchmark("fresh/none", FreshNone)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
    for (int mb : sizesMb)
        for (const char* lib : {"zrregdll", "rapidjson"})
            benchmark::RegisterBenchmark(FreshName(lib, mb).c_str(), FreshLoad, lib, &g_sets[mb])
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(mb >= 100 ? 3 : 5);
}

void RegisterFiles(const std::vector<int>& sizesMb) {
    benchmark::RegisterBenchmark("memory/zrregdll", Memory, LIB_ZR)->Iterations(1);
    benchmark::RegisterBenchmark("memory/libconfig", Memory, LIB_LIBCONFIG)->Iterations(1);
    benchmark::RegisterBenchmark("memory/rapidjson", Memory, LIB_RAPIDJSON)->Iterations(1);
    for (int mb : sizesMb) {
        const DataSet* d = &g_sets[mb];
        // Big files: a fixed few rounds; small ones: as many as the minimum time takes.
        // CPU time is the whole process's: the library's loader reads ahead on threads.
        auto fix = [mb](benchmark::internal::Benchmark* b) {
            b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
            if (mb >= 10) b->Iterations(mb >= 100 ? 3 : 10);
        };
        fix(benchmark::RegisterBenchmark(LoadName("fread", mb).c_str(), LoadFread, d));
        fix(benchmark::RegisterBenchmark(LoadName("zrregdll", mb).c_str(), LoadZr, d));
        fix(benchmark::RegisterBenchmark(LoadName("libconfig", mb).c_str(), LoadLibconfig, d));
        fix(benchmark::RegisterBenchmark(LoadName("rapidjson", mb).c_str(), LoadRapidJson, d));
        fix(benchmark::RegisterBenchmark(SaveName("fwrite", mb).c_str(), SaveFwrite, d, true));
        fix(benchmark::RegisterBenchmark(SaveName("zrregdll", mb).c_str(), SaveZr, d, true));
        fix(benchmark::RegisterBenchmark(SaveName("fwrite-unsynced", mb).c_str(), SaveFwrite, d, false));
        fix(benchmark::RegisterBenchmark(SaveName("zrregdll-unsynced", mb).c_str(), SaveZr, d, false));
        fix(benchmark::RegisterBenchmark(SaveName("libconfig", mb).c_str(), SaveLibconfig, d));
        fix(benchmark::RegisterBenchmark(SaveName("rapidjson", mb).c_str(), SaveRapidJson, d));
    }
}

}  // namespace zrbench
