// The benchmarks: loading, saving, memory and per-call costs, beside libconfig++, RapidJSON and fread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <libconfig.h++>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bgen.h"
#include "regview.h"
#include "zrregdll.h"

namespace {

std::string g_dataDir = ".";

typedef std::vector<unsigned short> WStr;

WStr Wide(const std::string& s) {
    WStr w(s.begin(), s.end());
    w.push_back(0);
    return w;
}

size_t HeapInUse() {
    // The library's block pool maps its largest chunks itself, outside the C allocator.
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd + RegViewPoolBytes();
}

void SyncFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// ---- the generated content -------------------------------------------------------------

struct DataSet {
    std::string base;
    GenStats stats;
};

std::map<int, DataSet> g_sets;  // by size in MB
DataSet g_keysOnly;             // for the memory split between keys and values

bool MakeSet(const std::string& name, size_t bytes, const GenShape& shape, DataSet* set) {
    set->base = g_dataDir + "/" + name;
    if (!GenerateFiles(set->base, bytes, shape, &set->stats)) {
        fprintf(stderr, "cannot write %s\n", set->base.c_str());
        return false;
    }
    return true;
}

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

void SaveZr(benchmark::State& st, const DataSet* d) {
    std::string path = d->base + ".reg";
    if (ZrLoadRegistry(path.c_str()) != 0) {
        st.SkipWithError("load failed");
        return;
    }
    char tmp[REGVIEW_PATH_MAX];
    for (auto _ : st) {
        RegViewSetChanged(true);
        if (!RegViewSaveToTemp(tmp)) {
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

// ---- per-call costs through the exported functions -----------------------------------

struct WideFixture {
    int depth = 0, n = 0;
    bool loaded = false;
} g_wide;

void UnloadWide() {
    if (g_wide.loaded) {
        RegViewSetChanged(false);  // the set benchmark's changes are not written back
        ZrUnloadRegistry();
        g_wide.loaded = false;
    }
}

bool EnsureWide(int depth, int n) {
    if (g_wide.loaded && g_wide.depth == depth && g_wide.n == n) return true;
    UnloadWide();
    std::string path = g_dataDir + "/wide_" + std::to_string(depth) + "_" + std::to_string(n) + ".reg";
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0 && !GenerateWide(path, depth, n)) return false;
    if (ZrLoadRegistry(path.c_str()) != 0) return false;
    g_wide = WideFixture{depth, n, true};
    return true;
}

struct Opened {
    void* h = nullptr;
    explicit Opened(const std::string& path) {
        WStr w = Wide(path);
        if (ZrRegOpenKeyEx(HkeyRegRoot(), w.data(), 0, &h) != 0) h = nullptr;
    }
    ~Opened() {
        if (h) ZrRegCloseKey(h);
    }
};

std::string TargetPath(int depth, int n) { return WideParentPath(depth) + "\\" + WideKeyName(n - 1); }

enum Op { OP_OPEN, OP_QUERY, OP_SET, OP_ENUM, OP_COUNT, OP_OPEN_ALL };

void PerCall(benchmark::State& st, Op op, int depth, int n) {
    if (!EnsureWide(depth, n)) {
        st.SkipWithError("fixture failed");
        return;
    }
    Opened parent(WideParentPath(depth));
    Opened target(TargetPath(depth, n));
    if (!parent.h || !target.h) {
        st.SkipWithError("open failed");
        return;
    }
    WStr targetPath = Wide(TargetPath(depth, n));
    WStr lastValue = Wide(WideValueName(n - 1));
    unsigned short name[300];
    int32_t bad = 0;
    int index = 0;
    {
        // The first lookups in a long list build its name index: not part of a call's cost.
        uint32_t type, cb = 4;
        int32_t v;
        ZrRegQueryValueEx(target.h, lastValue.data(), &type, reinterpret_cast<unsigned char*>(&v), &cb);
    }
    switch (op) {
        case OP_OPEN:
            for (auto _ : st) {
                void* h;
                bad |= ZrRegOpenKeyEx(HkeyRegRoot(), targetPath.data(), 0, &h);
                bad |= ZrRegCloseKey(h);
            }
            break;
        case OP_QUERY:
            for (auto _ : st) {
                uint32_t type, cb = 4;
                int32_t v;
                bad |= ZrRegQueryValueEx(target.h, lastValue.data(), &type,
                                         reinterpret_cast<unsigned char*>(&v), &cb);
                benchmark::DoNotOptimize(v);
            }
            break;
        case OP_SET:
            for (auto _ : st) {
                int32_t v = index++;
                bad |=
                    ZrRegSetValueEx(target.h, lastValue.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
            }
            break;
        case OP_ENUM:
            for (auto _ : st) {
                uint32_t cb = sizeof name / sizeof name[0];
                bad |= ZrRegEnumKeyEx(parent.h, static_cast<uint32_t>(index), name, &cb);
                if (++index == n) index = 0;
            }
            break;
        case OP_COUNT:
            for (auto _ : st) bad |= ZrRegCountSubKeys(parent.h) != static_cast<uint32_t>(n);
            break;
        case OP_OPEN_ALL: {
            std::vector<WStr> names;
            for (int i = 0; i < n; ++i) names.push_back(Wide(WideKeyName(i)));
            for (auto _ : st) {
                for (const WStr& w : names) {
                    void* h;
                    bad |= ZrRegOpenKeyEx(parent.h, w.data(), 0, &h);
                    bad |= ZrRegCloseKey(h);
                }
            }
            break;
        }
    }
    if (bad) st.SkipWithError("a call failed");
}

// Threads querying the same value at once, each through its own handle.
const char* const kQueryThreads[] = {"query/threads:1", "query/threads:2"};

void QueryThreads(benchmark::State& st) {
    Opened target(TargetPath(4, 1000));
    WStr lastValue = Wide(WideValueName(999));
    int32_t bad = target.h ? 0 : 1;
    for (auto _ : st) {
        uint32_t type, cb = 4;
        int32_t v;
        bad |=
            ZrRegQueryValueEx(target.h, lastValue.data(), &type, reinterpret_cast<unsigned char*>(&v), &cb);
        benchmark::DoNotOptimize(v);
    }
    st.SetItemsProcessed(st.iterations());
    if (bad) st.SkipWithError("a call failed");
}

// ---- the Markdown report ---------------------------------------------------------------

struct Result {
    double seconds = 0;  // real time per iteration
    double cpuSeconds = 0;
    std::map<std::string, double> counters;
    bool ok = false;
};

std::map<std::string, Result> g_results;

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            Result& res = g_results[r.run_name.function_name];
            res.ok = !r.error_occurred;
            res.seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            res.cpuSeconds = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            for (const auto& c : r.counters) res.counters[c.first] = c.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

const Result* Find(const std::string& name) {
    auto it = g_results.find(name);
    return it != g_results.end() && it->second.ok ? &it->second : nullptr;
}

std::string Fmt(const char* f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string Cell(const std::string& name, size_t bytes) {
    const Result* r = Find(name);
    if (!r) return "–";
    double mb = static_cast<double>(bytes) / 1e6;
    return Fmt("%.0f MB/s", mb / r->seconds) + Fmt(" (%.0f MB/s CPU)", mb / r->cpuSeconds);
}

std::string Time(const std::string& name) {
    const Result* r = Find(name);
    if (!r) return "–";
    double ns = r->seconds * 1e9;
    if (ns < 10000) return Fmt("%.0f ns", ns);
    if (ns < 1e7) return Fmt("%.1f µs", ns / 1e3);
    return Fmt("%.1f ms", ns / 1e6);
}

const int kDepths[] = {2, 4, 6, 8, 10};
const int kSiblings[] = {10, 1000, 100000};

std::string LoadName(const char* lib, int mb) {
    return std::string("load/") + lib + "/" + std::to_string(mb) + "MB";
}
std::string SaveName(const char* lib, int mb) {
    return std::string("save/") + lib + "/" + std::to_string(mb) + "MB";
}
std::string CallName(const char* op, int d, int n) {
    return std::string(op) + "/depth:" + std::to_string(d) + "/siblings:" + std::to_string(n);
}

const char* const kOpNames[] = {"open+close", "query", "set", "enum", "count", "open_each"};

struct Row {
    const char* label;
    const char* lib;
    int file;  // 0 reg, 1 cfg, 2 json
};

// One throughput table: a row per reader or writer, a column per file size.
template <size_t N>
void WriteThroughputTable(FILE* md, const char* first, const Row (&rows)[N],
                          std::string (*name)(const char*, int)) {
    fprintf(md, "| %s |", first);
    for (auto& s : g_sets) fprintf(md, " %d MB |", s.first);
    fprintf(md, "\n|---|");
    for (size_t i = 0; i < g_sets.size(); ++i) fprintf(md, "---|");
    fprintf(md, "\n");
    for (const Row& r : rows) {
        fprintf(md, "| %s |", r.label);
        for (auto& s : g_sets) {
            size_t b = r.file == 0   ? s.second.stats.regBytes
                       : r.file == 1 ? s.second.stats.cfgBytes
                                     : s.second.stats.jsonBytes;
            fprintf(md, " %s |", Cell(name(r.lib, s.first), b).c_str());
        }
        fprintf(md, "\n");
    }
}

void WriteMarkdown(FILE* md) {
    fprintf(md, "### Loading a file\n\n");
    fprintf(md,
            "Throughput over each file's own size, by wall-clock time and (in brackets) by the process's\n"
            "CPU time, which other work on the machine disturbs less.\n\n");
    const Row loads[] = {{"fread of the registry file (floor)", "fread", 0},
                         {"**zrregdll** `ZrLoadRegistry`", "zrregdll", 0},
                         {"libconfig++ `Config::readFile`", "libconfig", 1},
                         {"RapidJSON `Document::ParseStream`", "rapidjson", 2}};
    WriteThroughputTable(md, "reader", loads, LoadName);
    fprintf(md, "\nContent per size (keys / values; bytes of the registry, libconfig and JSON files):");
    for (auto& s : g_sets)
        fprintf(md, " %d MB: %zu / %zu; %zu, %zu, %zu.", s.first, s.second.stats.keys, s.second.stats.values,
                s.second.stats.regBytes, s.second.stats.cfgBytes, s.second.stats.jsonBytes);
    fprintf(md, "\n\n### Saving (the file written and synced to disk)\n\n");
    const Row saves[] = {{"**zrregdll** writer", "zrregdll", 0},
                         {"libconfig++ `Config::writeFile`", "libconfig", 1},
                         {"RapidJSON `Writer`", "rapidjson", 2}};
    WriteThroughputTable(md, "writer", saves, SaveName);
    fprintf(md,
            "\n### Memory held by the loaded content (heap bytes; the loaders stream, so this is their "
            "peak)\n\n");
    fprintf(md, "| library | per key | per value | heap per byte of registry file |\n|---|---|---|---|\n");
    const char* mems[][2] = {{"**zrregdll**", "memory/zrregdll"},
                             {"libconfig++", "memory/libconfig"},
                             {"RapidJSON", "memory/rapidjson"}};
    for (auto& m : mems) {
        const Result* r = Find(m[1]);
        if (!r) continue;
        fprintf(md, "| %s | %.0f B | %.0f B | %.2f |\n", m[0], r->counters.at("bytes_per_key"),
                r->counters.at("bytes_per_value"), r->counters.at("heap_per_file_byte"));
    }
    fprintf(md, "\n### Per call through the exported functions\n\n");
    fprintf(md,
            "The key at the given depth below the root is the last of `siblings` subkeys of its parent and\n"
            "holds as many values; the query and the set address its last value, the enumeration walks the\n"
            "parent's subkeys, and an open is followed by its close.\n\n");
    fprintf(md, "| call | siblings |");
    for (int d : kDepths) fprintf(md, " depth %d |", d);
    fprintf(md, "\n|---|---|");
    for (size_t i = 0; i < sizeof kDepths / sizeof kDepths[0]; ++i) fprintf(md, "---|");
    fprintf(md, "\n");
    for (int op = OP_OPEN; op <= OP_COUNT; ++op) {
        for (int n : kSiblings) {
            fprintf(md, "| %s | %d |", kOpNames[op], n);
            for (int d : kDepths) fprintf(md, " %s |", Time(CallName(kOpNames[op], d, n)).c_str());
            fprintf(md, "\n");
        }
    }
    const Result* one = Find(kQueryThreads[0]);
    const Result* two = Find(kQueryThreads[1]);
    if (one && two)
        fprintf(md,
                "\nQueries of one value at depth 4 (1000 siblings), each thread through its own handle: "
                "%.1f million calls/s from 1 thread, %.1f million calls/s from 2 threads at once.\n",
                one->counters.at("items_per_second") / 1e6, two->counters.at("items_per_second") / 1e6);
    fprintf(md, "\n### Opening every subkey of one key in turn (open and close, relative name, depth 2)\n\n");
    fprintf(md, "| siblings | per open |\n|---|---|\n");
    for (int n : kSiblings) {
        const Result* r = Find(CallName(kOpNames[OP_OPEN_ALL], 2, n));
        if (r) fprintf(md, "| %d | %.2f µs |\n", n, r->seconds * 1e6 / n);
    }

    fprintf(md, "\n### Targets\n\n| target | measured | met |\n|---|---|---|\n");
    auto target = [&](const char* what, const char* name, double value, bool ok, const char* unit) {
        if (!Find(name)) {
            fprintf(md, "| %s | not measured | – |\n", what);
            return;
        }
        fprintf(md, "| %s | %.2f %s | %s |\n", what, value, unit, ok ? "yes" : "**no**");
    };
    if (g_sets.count(100)) {
        std::string n = LoadName("zrregdll", 100);
        const Result* r = Find(n);
        double mb = static_cast<double>(g_sets[100].stats.regBytes) / 1e6;
        double wall = r ? mb / r->seconds : 0, cpu = r ? mb / r->cpuSeconds : 0;
        target("loading the 100 MB file at >= 300 MB/s (wall clock)", n.c_str(), wall, wall >= 300, "MB/s");
        target("loading the 100 MB file at >= 300 MB/s (CPU time)", n.c_str(), cpu, cpu >= 300, "MB/s");
    }
    {
        std::string n = CallName(kOpNames[OP_OPEN_ALL], 2, 100000);
        const Result* r = Find(n);
        double us = r ? r->seconds * 1e6 / 100000 : 0;
        target("opening each of 100,000 siblings in turn < 2 µs per open", n.c_str(), us, us < 2, "µs");
    }
    for (int n : kSiblings) {
        std::string name = CallName(kOpNames[OP_QUERY], 10, n);
        const Result* r = Find(name);
        double ns = r ? r->seconds * 1e9 : 0;
        std::string what = "a value query at depth 10 < 1 µs (" + std::to_string(n) + " siblings and values)";
        target(what.c_str(), name.c_str(), ns / 1e3, ns < 1000, "µs");
    }
}

// ---- registration --------------------------------------------------------------------

void Register(const std::vector<int>& sizesMb) {
    benchmark::RegisterBenchmark("memory/zrregdll", Memory, LIB_ZR)->Iterations(1);
    benchmark::RegisterBenchmark("memory/libconfig", Memory, LIB_LIBCONFIG)->Iterations(1);
    benchmark::RegisterBenchmark("memory/rapidjson", Memory, LIB_RAPIDJSON)->Iterations(1);
    for (int mb : sizesMb) {
        const DataSet* d = &g_sets[mb];
        // Big files: a fixed few rounds; small ones: as many as the minimum time takes.
        auto fix = [mb](benchmark::internal::Benchmark* b) {
            b->Unit(benchmark::kMillisecond)->UseRealTime();
            if (mb >= 10) b->Iterations(mb >= 100 ? 3 : 10);
        };
        fix(benchmark::RegisterBenchmark(LoadName("fread", mb).c_str(), LoadFread, d));
        fix(benchmark::RegisterBenchmark(LoadName("zrregdll", mb).c_str(), LoadZr, d));
        fix(benchmark::RegisterBenchmark(LoadName("libconfig", mb).c_str(), LoadLibconfig, d));
        fix(benchmark::RegisterBenchmark(LoadName("rapidjson", mb).c_str(), LoadRapidJson, d));
        fix(benchmark::RegisterBenchmark(SaveName("zrregdll", mb).c_str(), SaveZr, d));
        fix(benchmark::RegisterBenchmark(SaveName("libconfig", mb).c_str(), SaveLibconfig, d));
        fix(benchmark::RegisterBenchmark(SaveName("rapidjson", mb).c_str(), SaveRapidJson, d));
    }
    for (int n : kSiblings) {
        for (int d : kDepths)
            for (int op = OP_OPEN; op <= OP_COUNT; ++op)
                benchmark::RegisterBenchmark(CallName(kOpNames[op], d, n).c_str(), PerCall,
                                             static_cast<Op>(op), d, n)
                    ->UseRealTime();
        benchmark::RegisterBenchmark(CallName(kOpNames[OP_OPEN_ALL], 2, n).c_str(), PerCall, OP_OPEN_ALL, 2,
                                     n)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    for (int t = 1; t <= 2; ++t)
        benchmark::RegisterBenchmark(kQueryThreads[t - 1], QueryThreads)
            ->Setup([](const benchmark::State&) { EnsureWide(4, 1000); })
            ->Threads(t)
            ->UseRealTime();
}

}  // namespace

// Options of our own, before Google Benchmark's: --data=DIR, --sizes=1,10,100 (MB), --md=FILE.
int main(int argc, char** argv) {
    std::vector<int> sizes = {1, 10, 100};
    std::string mdPath;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--data=", 0) == 0) {
            g_dataDir = a.substr(7);
        } else if (a.rfind("--md=", 0) == 0) {
            mdPath = a.substr(5);
        } else if (a.rfind("--sizes=", 0) == 0) {
            sizes.clear();
            for (size_t p = 8; p < a.size();) {
                sizes.push_back(atoi(a.c_str() + p));
                size_t c = a.find(',', p);
                p = c == std::string::npos ? a.size() : c + 1;
            }
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());

    // As in a host: another thread exists, so the C library takes its stream locks.
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread other([&] {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done; });
    });

    mkdir(g_dataDir.c_str(), 0755);
    GenShape shape;
    bool ok = true;
    for (int mb : sizes)
        ok = ok && MakeSet(std::to_string(mb) + "mb", static_cast<size_t>(mb) * 1000000, shape, &g_sets[mb]);
    GenShape keysOnly = shape;
    keysOnly.valuesPerKey = 0;
    ok = ok && MakeSet("keysonly", 4000000, keysOnly, &g_keysOnly);
    if (ok) {
        Register(sizes);
        Collector reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        UnloadWide();
        if (!mdPath.empty()) {
            FILE* md = fopen(mdPath.c_str(), "w");
            if (md) {
                WriteMarkdown(md);
                fclose(md);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        done = true;
    }
    cv.notify_one();
    other.join();
    benchmark::Shutdown();
    return ok ? 0 : 1;
}
