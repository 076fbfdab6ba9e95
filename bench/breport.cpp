// The Markdown report of docs/performance.md: each result kept as it is reported, then the
// tables of loading, saving, memory, calls, changes at scale and fresh processes, with targets.
#include <string.h>

#include "bench.h"

namespace zrbench {
namespace {

struct Result {
    double seconds = 0;  // real time per iteration
    double cpuSeconds = 0;
    std::map<std::string, double> counters;
    bool ok = false;
};

std::map<std::string, Result> g_results;

}  // namespace

void Collector::ReportRuns(const std::vector<Run>& runs) {
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

namespace {

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

// A table's head: the fixed columns ("call", or "call | siblings"), then a column per value
// of `values`, headed "<label> <value>".
template <size_t N>
void TableHead(FILE* md, const char* fixed, int fixedColumns, const char* label, const int (&values)[N]) {
    fprintf(md, "| %s |", fixed);
    for (int v : values) fprintf(md, " %s %d |", label, v);
    fprintf(md, "\n|");
    for (size_t i = 0; i < static_cast<size_t>(fixedColumns) + N; ++i) fprintf(md, "---|");
    fprintf(md, "\n");
}

// CPU time per iteration: the scale tables compare calls across sizes, and the machine's
// other work disturbs wall-clock time more.
std::string CpuTime(const std::string& name, double per = 1) {
    const Result* r = Find(name);
    if (!r) return "–";
    double ns = r->cpuSeconds * 1e9 / per;
    if (ns < 10000) return Fmt("%.0f ns", ns);
    if (ns < 1e7) return Fmt("%.1f µs", ns / 1e3);
    return Fmt("%.1f ms", ns / 1e6);
}

void WriteScaleTables(FILE* md) {
    fprintf(md, "\n### Changes beside N entries (warm: the fixture loaded and its lists indexed)\n\n");
    fprintf(md,
            "A key at depth 2 holds N subkeys, the last of which holds N values. Each call addresses the\n"
            "entry second in its list; the set replaces an existing value, which moves to the end of the\n"
            "list. What the deletions take out is put back untimed between batches. CPU time per call;\n"
            "in brackets, the cost over the same call's at N = 1000. Each call meets other entries, so at\n"
            "large N it waits for memory: the query, which changes nothing, shows that floor.\n\n");
    TableHead(md, "call", 1, "N =", kChurnN);
    for (int op = CH_SET; op <= CH_QUERY; ++op) {
        fprintf(md, "| %s |", kChurnNames[op]);
        const Result* base = Find(ChurnName(op, kChurnN[0]));
        for (int n : kChurnN) {
            const Result* r = Find(ChurnName(op, n));
            std::string cell = CpuTime(ChurnName(op, n));
            if (r && base && n != kChurnN[0]) cell += Fmt(" (%.2fx)", r->cpuSeconds / base->cpuSeconds);
            fprintf(md, " %s |", cell.c_str());
        }
        fprintf(md, "\n");
    }
    fprintf(md, "\n### Deleting every subkey by enumerating index 0 and deleting it\n\n");
    fprintf(
        md,
        "| subkeys | all of them (CPU) | per subkey (CPU) | all of them (wall clock) |\n|---|---|---|---|\n");
    for (int n : kDeleteAllN) {
        const Result* r = Find(DeleteAllName(n));
        if (r)
            fprintf(md, "| %d | %s | %.2f µs | %s |\n", n, CpuTime(DeleteAllName(n)).c_str(),
                    r->cpuSeconds * 1e6 / n, Time(DeleteAllName(n)).c_str());
    }
    fprintf(md, "\n### Through a handle at depth D (warm: the handle opened before the timing)\n\n");
    fprintf(md,
            "The key at depth D is the last of 10 subkeys of its parent and holds 10 values; every level\n"
            "above it has three siblings before it. Handles are opened one level at a time (such paths\n"
            "are longer than a name the wide functions take); the walk opens the D levels from the root,\n"
            "each from the one above, which it then closes, and its figure is per level. CPU time.\n\n");
    TableHead(md, "call", 1, "depth", kDeepDepths);
    for (int op = DP_WALK; op <= DP_OPEN; ++op) {
        fprintf(md, "| %s |", kDeepNames[op]);
        for (int d : kDeepDepths) {
            fprintf(md, " %s |", CpuTime(DeepName(op, d), op == DP_WALK ? d : 1).c_str());
        }
        fprintf(md, "\n");
    }
}

void WriteLogTables(FILE* md) {
    fprintf(md, "\n### The change log\n\n");
    fprintf(md,
            "Each call at depth 2 beside 1000 siblings and values (as above): without a log (one process\n"
            "keeping its changes until the unload, as the library was before the log), with the log, and\n"
            "with the log and a second process that has the file loaded and is idle. CPU time per call\n"
            "(wall-clock for the largest file's load and unload); the ratio is against the run without a "
            "log.\n\n");
    fprintf(
        md,
        "| call | without a log | with the log | with the log, a second process idle |\n|---|---|---|---|\n");
    for (Op o : kLogOps) {
        const char* op = kOpNames[o];
        const Result* off = Find(LogName(op, LOG_OFF));
        fprintf(md, "| %s | %s |", op, CpuTime(LogName(op, LOG_OFF)).c_str());
        for (LogMode m : {LOG_ON, LOG_IDLE}) {
            const Result* r = Find(LogName(op, m));
            std::string cell = CpuTime(LogName(op, m));
            if (r && off) cell += Fmt(" (%.2fx)", r->cpuSeconds / off->cpuSeconds);
            fprintf(md, " %s |", cell.c_str());
        }
        fprintf(md, "\n");
    }
    fprintf(md, "\n| the largest file | without a log | with the log |\n|---|---|---|\n");
    for (const char* what : {"load", "unload"}) {
        const Result* off = Find(LogName(what, LOG_OFF));
        const Result* on = Find(LogName(what, LOG_ON));
        std::string cell = Time(LogName(what, LOG_ON));
        if (on && off) cell += Fmt(" (%.2fx)", on->seconds / off->seconds);
        fprintf(md, "| %s | %s | %s |\n", what, Time(LogName(what, LOG_OFF)).c_str(), cell.c_str());
    }
    fprintf(
        md,
        "\n### The newer calls\n\nEach at depth 2 beside 1000 siblings and values, with the change log (the\n"
        "flush syncs it to disk; the watch is asynchronous, signalling a pipe, and fired by the set). "
        "CPU time per call and, for the two that wait on the system, wall-clock time.\n\n"
        "| call | CPU time | wall-clock time |\n|---|---|---|\n");
    for (Op o : kNewerOps)
        fprintf(md, "| %s | %s | %s |\n", kOpNames[o], CpuTime(LogName(kOpNames[o], LOG_ON)).c_str(),
                Time(LogName(kOpNames[o], LOG_ON)).c_str());
    if (const Result* r = Find("log/four-processes"))
        fprintf(md,
                "\nFour processes, each setting 100,000 values of its own at once: %.0f calls/s in all, "
                "%.0f changes lost; the log holds %.1f bytes per such change (a 4-byte value named v0 to "
                "v99999).\n",
                r->counters.at("calls_per_second"), r->counters.at("lost"),
                r->counters.at("log_bytes_per_change"));
}

}  // namespace

namespace {

// A counter of a load round's result ("zrregdll/warm/wall"), or a negative number.
double Rc(int mb, const std::string& key) {
    const Result* r = Find(RoundsName(mb));
    if (!r) return -1;
    auto it = r->counters.find(key);
    return it != r->counters.end() ? it->second : -1;
}

// A counter of the loads of values of every type beside plain ones (bpeers.cpp's Types) of
// the largest size, or a negative number.
double Tc(const std::string& key) {
    const Result* r = g_sets.empty() ? nullptr : Find(TypesName(g_sets.rbegin()->first));
    if (!r) return -1;
    auto it = r->counters.find(key);
    return it != r->counters.end() ? it->second : -1;
}

// The speed of the file of every type over the plain file's, by CPU time or wall clock.
double TypesRatio(const char* clock) {
    double pb = Tc("plain_bytes"), mb = Tc("mixed_bytes"), p = Tc(std::string("plain/") + clock),
           m = Tc(std::string("mixed/") + clock);
    return pb > 0 && mb > 0 && p > 0 && m > 0 ? (mb / m) / (pb / p) : -1;
}

std::string Ms(double s) {
    return s < 0 ? "–" : s < 0.01 ? Fmt("%.2f ms", s * 1e3) : Fmt("%.1f ms", s * 1e3);
}
std::string Rate(double bytes, double s) { return s <= 0 ? "–" : Fmt("%.0f", bytes / 1e6 / s); }
std::string Ratio(double a, double b) { return a <= 0 || b <= 0 ? "–" : Fmt("%.2fx", a / b); }

const char* const kPeerLabels[] = {"**zrregdll** `ZrLoadRegistry`", "**zrregdll**, pinned to one core",
                                   "RapidJSON DOM, `ParseStream`",  "RapidJSON, pinned to one core",
                                   "simdjson DOM, `parser.load`",   "libconfig++ `Config::readFile`"};

// The first-touch cost of fresh memory (ms per MB, huge pages, memset) tells whether the host
// still backed the free memory a process was given. Measured on these VMs (2026-12-07): about
// 0.12-0.15 ms/MB right after another process freed as much, 2-4 ms/MB after 10 s idle.
const double kBackedMsPerMb = 0.5, kUnbackedMsPerMb = 1.5;

const char* Backing(double msPerMb) {
    return msPerMb <= 0                 ? "–"
           : msPerMb < kBackedMsPerMb   ? "backed"
           : msPerMb > kUnbackedMsPerMb ? "not backed"
                                        : "partly backed";
}

void WriteLoadTables(FILE* md) {
    fprintf(md, "### Loading a file, warm and cold\n\n");
    fprintf(
        md,
        "Every reader is taken both ways, in %d rounds that take the readers in turn, so that the\n"
        "machine's slow periods hit all alike; each figure is the median of its rounds (the wall-clock\n"
        "range in brackets), with the CPU time of all the process's threads beside it.\n\n"
        "- **Warm**: the same process loads again with its memory kept. Ours: `ZrLoadRegistry` after\n"
        "  `ZrUnloadRegistry`, the block pool keeping its chunks. RapidJSON: its `MemoryPoolAllocator`\n"
        "  over one buffer that holds the whole document (touched before the first timing), the\n"
        "  `Document` reused and cleared between loads, parsing from a `FileReadStream` of 64 KB reads,\n"
        "  as our loader reads the file. simdjson (Debian's `libsimdjson-dev`, %s): one\n"
        "  `dom::parser` reused, `parser.load(path)` reading the whole file into its buffer and parsing\n"
        "  it. libconfig++: a new `Config` each time (it has no way to keep its memory), its warm\n"
        "  loads after the rounds: our load right after one of them, in the same process, took twice\n"
        "  its CPU time (the heap it had freed, some 2.5 bytes per file byte in small blocks).\n"
        "- **Cold**: a fresh process for each load (`zrbench --child-load`), timed inside it from\n"
        "  opening the file to the complete tree or document, so that it pays for the first touch of\n"
        "  all the memory it fills. Before each, a process touches and frees 3 bytes per file byte, so\n"
        "  that the host still backs the memory the load is given (the section on fresh processes\n"
        "  below has the other case).\n"
        "- **Pinned**: the loading thread, and the threads it starts, on CPU 0 only\n"
        "  (`sched_setaffinity`, as `taskset -c 0`): our loader reads ahead and faults memory in on\n"
        "  threads of its own for files of 2 MB or more, and this row shows the parse without the second\n"
        "  core. RapidJSON is pinned the same way, warm, for the like row.\n\n"
        "MB/s are megabytes of the **registry file** per second for every reader: all read the same\n"
        "content, so that the rate compares times (the JSON file is %.2f and the libconfig file %.2f of\n"
        "the registry file's size). Ratios are speed against speed: above 1, ours is faster.\n",
        5, "3.0.1",
        g_sets.empty() ? 0.0
                       : static_cast<double>(g_sets.rbegin()->second.stats.jsonBytes) /
                             static_cast<double>(g_sets.rbegin()->second.stats.regBytes),
        g_sets.empty() ? 0.0
                       : static_cast<double>(g_sets.rbegin()->second.stats.cfgBytes) /
                             static_cast<double>(g_sets.rbegin()->second.stats.regBytes));
    for (auto& s : g_sets) {
        int mb = s.first;
        double reg = static_cast<double>(s.second.stats.regBytes);
        fprintf(md, "\n#### %d MB file\n\n", mb);
        fprintf(
            md,
            "| reader | warm, wall (range) | warm, CPU | warm MB/s (CPU) | cold, wall (range) | cold, CPU | "
            "cold MB/s (CPU) | cold / warm |\n|---|---|---|---|---|---|---|---|\n");
        if (const Result* f = Find(LoadName("fread", mb)))
            fprintf(md,
                    "| fread of the registry file into a kept buffer (floor) | %s | %s | %s (%s) | | | | |\n",
                    Ms(f->seconds).c_str(), Ms(f->cpuSeconds).c_str(), Rate(reg, f->seconds).c_str(),
                    Rate(reg, f->cpuSeconds).c_str());
        for (int lib = 0; lib < kPeerCount; ++lib) {
            std::string k = kPeerKeys[lib];
            double ww = Rc(mb, k + "/warm/wall"), wc = Rc(mb, k + "/warm/cpu");
            double cw = Rc(mb, k + "/cold/wall"), cc = Rc(mb, k + "/cold/cpu");
            if (ww < 0 && cw < 0) continue;
            auto range = [&](const char* mode) {
                double lo = Rc(mb, k + "/" + mode + "/wall_min"), hi = Rc(mb, k + "/" + mode + "/wall_max");
                return lo < 0 ? std::string() : Fmt(" (%.1f", lo * 1e3) + Fmt("–%.1f)", hi * 1e3);
            };
            fprintf(md, "| %s | %s%s | %s | %s (%s) | %s%s | %s | %s (%s) | %s |\n", kPeerLabels[lib],
                    Ms(ww).c_str(), ww < 0 ? "" : range("warm").c_str(), Ms(wc).c_str(),
                    Rate(reg, ww).c_str(), Rate(reg, wc).c_str(), Ms(cw).c_str(),
                    cw < 0 ? "" : range("cold").c_str(), Ms(cc).c_str(), Rate(reg, cw).c_str(),
                    Rate(reg, cc).c_str(), Ratio(cw, ww).c_str());
        }
        fprintf(md,
                "\n| ours against | warm (wall) | warm (CPU) | cold (wall) | cold (CPU) "
                "|\n|---|---|---|---|---|\n");
        for (int lib : {PEER_RAPIDJSON, PEER_SIMDJSON, PEER_LIBCONFIG}) {
            std::string k = kPeerKeys[lib], z = kPeerKeys[PEER_ZR];
            fprintf(md, "| %s | %s | %s | %s | %s |\n", kPeerLabels[lib],
                    Ratio(Rc(mb, k + "/warm/wall"), Rc(mb, z + "/warm/wall")).c_str(),
                    Ratio(Rc(mb, k + "/warm/cpu"), Rc(mb, z + "/warm/cpu")).c_str(),
                    Ratio(Rc(mb, k + "/cold/wall"), Rc(mb, z + "/cold/wall")).c_str(),
                    Ratio(Rc(mb, k + "/cold/cpu"), Rc(mb, z + "/cold/cpu")).c_str());
        }
        std::string zp = kPeerKeys[PEER_ZR_PINNED];
        fprintf(md, "| ours pinned against RapidJSON (unpinned) | %s | %s | %s | %s |\n",
                Ratio(Rc(mb, "rapidjson/warm/wall"), Rc(mb, zp + "/warm/wall")).c_str(),
                Ratio(Rc(mb, "rapidjson/warm/cpu"), Rc(mb, zp + "/warm/cpu")).c_str(),
                Ratio(Rc(mb, "rapidjson/cold/wall"), Rc(mb, zp + "/cold/wall")).c_str(),
                Ratio(Rc(mb, "rapidjson/cold/cpu"), Rc(mb, zp + "/cold/cpu")).c_str());
        fprintf(md, "| ours pinned against RapidJSON pinned | %s | %s | | |\n",
                Ratio(Rc(mb, "rapidjson-pinned/warm/wall"), Rc(mb, zp + "/warm/wall")).c_str(),
                Ratio(Rc(mb, "rapidjson-pinned/warm/cpu"), Rc(mb, zp + "/warm/cpu")).c_str());
    }
    if (g_sets.count(100)) {
        double z = Rc(100, "zrregdll/warm/wall"), j = Rc(100, "simdjson/warm/wall");
        double reg = static_cast<double>(g_sets[100].stats.regBytes);
        if (z > 0 && j > 0)
            fprintf(md,
                    "\n**Headline** (100 MB file, this run, warm against warm): ours %.0f MB/s (%.0f MB/s by "
                    "CPU\n"
                    "time), simdjson %.0f MB/s (%.0f) of the same content: **%.2fx simdjson** by wall clock, "
                    "%.2fx\n"
                    "by CPU time; %.2fx RapidJSON (%.2fx by CPU); pinned to one core, %.2fx RapidJSON's warm "
                    "parse\n"
                    "(%.2fx by CPU). Cold against cold: %.2fx simdjson (%.2fx), %.2fx RapidJSON (%.2fx).\n",
                    reg / 1e6 / z, reg / 1e6 / Rc(100, "zrregdll/warm/cpu"), reg / 1e6 / j,
                    reg / 1e6 / Rc(100, "simdjson/warm/cpu"), j / z,
                    Rc(100, "simdjson/warm/cpu") / Rc(100, "zrregdll/warm/cpu"),
                    Rc(100, "rapidjson/warm/wall") / z,
                    Rc(100, "rapidjson/warm/cpu") / Rc(100, "zrregdll/warm/cpu"),
                    Rc(100, "rapidjson/warm/wall") / Rc(100, "zrregdll-pinned/warm/wall"),
                    Rc(100, "rapidjson/warm/cpu") / Rc(100, "zrregdll-pinned/warm/cpu"),
                    Rc(100, "simdjson/cold/wall") / Rc(100, "zrregdll/cold/wall"),
                    Rc(100, "simdjson/cold/cpu") / Rc(100, "zrregdll/cold/cpu"),
                    Rc(100, "rapidjson/cold/wall") / Rc(100, "zrregdll/cold/wall"),
                    Rc(100, "rapidjson/cold/cpu") / Rc(100, "zrregdll/cold/cpu"));
    }
}

void WriteTypesTable(FILE* md) {
    if (TypesRatio("cpu") < 0) return;
    fprintf(md, "\n#### Values of every type (%d MB files)\n\n", g_sets.rbegin()->first);
    fprintf(md,
            "The registry file above, and one of the same tree whose values are of every type: of every\n"
            "eight, two plain strings and a plain integer, then a `REG_BINARY` of 8 to 32 bytes in hex, a\n"
            "`REG_QWORD`, a `REG_SZ_EX` with escapes (a quoted command line), a `REG_MULTI_SZ` of two texts\n"
            "and a `REG_EXPAND_SZ`, as the writer prints them. Each is loaded warm, in turn, in 5 rounds\n"
            "after an untimed load of each; medians, the CPU time of all the process's threads beside the\n"
            "wall clock.\n\n"
            "| file | bytes | warm, wall (range) | warm, CPU | MB/s (CPU) |\n|---|---|---|---|---|\n");
    const char* labels[][2] = {{"plain", "plain values"}, {"mixed", "values of every type"}};
    for (auto& l : labels) {
        std::string k = l[0];
        double bytes = Tc(k + "_bytes"), w = Tc(k + "/wall"), c = Tc(k + "/cpu");
        fprintf(md, "| %s | %.0f | %s (%.1f–%.1f) | %s | %s (%s) |\n", l[1], bytes, Ms(w).c_str(),
                Tc(k + "/wall_min") * 1e3, Tc(k + "/wall_max") * 1e3, Ms(c).c_str(), Rate(bytes, w).c_str(),
                Rate(bytes, c).c_str());
    }
    fprintf(md,
            "\nThe file of every type loads at **%.2f** of the plain file's speed by CPU time (%.2f by wall "
            "clock); the goal is 0.80 or more.\n",
            TypesRatio("cpu"), TypesRatio("wall"));
}

}  // namespace

void WriteMarkdown(FILE* md) {
    WriteLoadTables(md);
    WriteTypesTable(md);
    fprintf(md, "\nContent per size (keys / values; bytes of the registry, libconfig and JSON files):");
    for (auto& s : g_sets)
        fprintf(md, " %d MB: %zu / %zu; %zu, %zu, %zu.", s.first, s.second.stats.keys, s.second.stats.values,
                s.second.stats.regBytes, s.second.stats.cfgBytes, s.second.stats.jsonBytes);
    fprintf(md, "\n\n### Saving (the file written and synced to disk, unless marked not synced)\n\n");
    const Row saves[] = {{"fwrite of the registry file's bytes (floor)", "fwrite", 0},
                         {"**zrregdll** writer", "zrregdll", 0},
                         {"fwrite, not synced", "fwrite-unsynced", 0},
                         {"**zrregdll** writer, not synced", "zrregdll-unsynced", 0},
                         {"libconfig++ `Config::writeFile`", "libconfig", 1},
                         {"RapidJSON `Writer`", "rapidjson", 2}};
    WriteThroughputTable(md, "writer", saves, SaveName);
    fprintf(md, "\nThe writer's CPU time over fwrite's of the same bytes, not synced:");
    for (auto& s : g_sets) {
        const Result* w = Find(SaveName("zrregdll-unsynced", s.first));
        const Result* f = Find(SaveName("fwrite-unsynced", s.first));
        if (w && f) fprintf(md, " %d MB: %.2fx.", s.first, w->cpuSeconds / f->cpuSeconds);
    }
    fprintf(md, "\n");
    fprintf(
        md,
        "\n### Memory held by the loaded content (heap bytes, in the benchmark process)\n\n"
        "Heap in use (the C allocator's and the library's block pool's pages) after a load less before,\n"
        "for a keys-only file (per key) and for the 10 MB file (per value, after its keys). Each holds\n"
        "the same content; the last column is over the registry file's bytes for all. Ours without the\n"
        "name indexes that long lists build on their first lookup; simdjson's parser sizes its buffers\n"
        "by the file's length (its per-key figure is the keys-only file's capacity over its keys).\n"
        "Peak RSS of a fresh process, which also counts what the loader reads through, is further down.\n\n");
    fprintf(md, "| library | per key | per value | heap per byte of registry file |\n|---|---|---|---|\n");
    const char* mems[][2] = {{"**zrregdll**", "memory/zrregdll"},
                             {"libconfig++", "memory/libconfig"},
                             {"RapidJSON (its default allocator)", "memory/rapidjson"},
                             {"simdjson (one parser)", "memory/simdjson"}};
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
    TableHead(md, "call | siblings", 2, "depth", kDepths);
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

    WriteScaleTables(md);
    WriteLogTables(md);

    fprintf(md, "\n### Targets\n\n| target | measured | met |\n|---|---|---|\n");
    auto target = [&](const char* what, const char* name, double value, bool ok, const char* unit) {
        if (!Find(name)) {
            fprintf(md, "| %s | not measured | – |\n", what);
            return;
        }
        fprintf(md, "| %s | %.2f %s | %s |\n", what, value, unit, ok ? "yes" : "**no**");
    };
    if (g_sets.count(100)) {
        double mb = static_cast<double>(g_sets[100].stats.regBytes) / 1e6;
        double wall = Rc(100, "zrregdll/warm/wall"), cpu = Rc(100, "zrregdll/warm/cpu");
        std::string rn = RoundsName(100);
        target("loading the 100 MB file at >= 300 MB/s (warm, wall clock)", rn.c_str(), mb / wall,
               mb / wall >= 300, "MB/s");
        target("loading the 100 MB file at >= 300 MB/s (warm, CPU time)", rn.c_str(), mb / cpu,
               mb / cpu >= 300, "MB/s");
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

void WriteFreshMarkdown(FILE* md) {
    const Result* none = Find("fresh/none");
    double base = none ? none->counters.at("peak_rss_bytes") : 0;
    int big = g_sets.empty() ? 0 : g_sets.rbegin()->first;
    double reg = big ? static_cast<double>(g_sets[big].stats.regBytes) : 0;

    // ---- peak memory of a cold load
    fprintf(md,
            "\n### Peak memory of a cold load (%d MB file)\n\n"
            "Peak RSS (`VmHWM`) of the fresh process of each cold load above, read right after the load,\n"
            "the largest of its rounds; the process exits without releasing the content. Per byte of the\n"
            "reader's own file and per byte of the registry file (the same content for all); the last\n"
            "column leaves out the program alone",
            big);
    if (none)
        fprintf(md, " (%.1f MB; %.1f ms from its start to its exit)",
                none->counters.at("peak_rss_bytes") / 1e6, none->seconds * 1e3);
    fprintf(md,
            ".\n\n| reader | peak RSS | per byte of its own file | per byte of the registry file | the same "
            "above "
            "the program alone |\n|---|---|---|---|---|\n");
    for (int lib : {PEER_ZR, PEER_ZR_PINNED, PEER_RAPIDJSON, PEER_SIMDJSON, PEER_LIBCONFIG}) {
        double rss = big ? Rc(big, std::string(kPeerKeys[lib]) + "/cold/hwm") : -1;
        if (rss < 0) continue;
        const GenStats& g = g_sets[big].stats;
        double own = static_cast<double>(lib == PEER_RAPIDJSON || lib == PEER_SIMDJSON ? g.jsonBytes
                                         : lib == PEER_LIBCONFIG                       ? g.cfgBytes
                                                                                       : g.regBytes);
        fprintf(md, "| %s | %.1f MB | %.2f | %.2f | %.2f |\n", kPeerLabels[lib], rss / 1e6, rss / own,
                rss / reg, (rss - base) / reg);
    }

    // ---- first use
    if (const Result* f = Find("first-use/100000")) {
        auto c = [&](const char* k) { return f->counters.at(k); };
        auto t = [&](double sec) {
            return sec < 1e-3 ? Fmt("%.1f µs", sec * 1e6) : Fmt("%.2f ms", sec * 1e3);
        };
        fprintf(
            md,
            "\n### The first lookups after a load (a key of 100,000 values)\n\n"
            "A file of its own (`firstuse_100000.reg`, %.1f MB): below the root a key `Big` holds 100,000\n"
            "values and then 100,000 empty subkeys, named as the generated content's are (random letters\n"
            "and an index, in no order). Right after a load (%s, wall clock), each call is timed once,\n"
            "then again, through a handle to `Big`: the open of its last subkey, the `ZrRegQueryValueEx`\n"
            "of its last value, and, after a load of its own, the `ZrRegSetValueEx` of that value (4 bytes,\n"
            "replacing it). Medians of 5 loads each: wall clock (the first call's largest in brackets)\n"
            "and the calling thread's CPU time, which the machine's other work disturbs less.\n\n"
            "| call after a load | first | its CPU | second | its CPU |\n|---|---|---|---|---|\n"
            "| `ZrRegOpenKeyEx` of the last of 100,000 subkeys | %s | %s | %s | %s |\n"
            "| `ZrRegQueryValueEx` of the last of 100,000 values | %s (%s) | %s | %s | %s |\n"
            "| `ZrRegSetValueEx` of the last of 100,000 values | %s (%s) | %s | %s | %s |\n",
            c("file_bytes") / 1e6, t(c("load")).c_str(), t(c("open1")).c_str(), t(c("open1_cpu")).c_str(),
            t(c("open2")).c_str(), t(c("open2_cpu")).c_str(), t(c("query1")).c_str(),
            t(c("query1_max")).c_str(), t(c("query1_cpu")).c_str(), t(c("query2")).c_str(),
            t(c("query2_cpu")).c_str(), t(c("set1")).c_str(), t(c("set1_max")).c_str(),
            t(c("set1_cpu")).c_str(), t(c("set2")).c_str(), t(c("set2_cpu")).c_str());
    }

    // ---- a fresh process's first load against a warm one
    const Result* idle = Find("fresh/after-idle");
    fprintf(
        md,
        "\n### A fresh process's first load against a warm load (%d MB file)\n\n"
        "On these VMs the first touch of memory costs more when the host has taken back the free\n"
        "memory the process is given (it does so a few seconds after it was freed) than when it still\n"
        "backs it. Each fresh process times a plain `memset` of 64 MB of fresh memory (huge pages) after\n"
        "its load, and the table says which case each run met (the median of its runs): below %.1f ms\n"
        "per MB backed, above %.1f not backed, between the two partly.\n"
        "*Right after another*: the cold rounds above, each after a process that touched and freed\n"
        "memory. *After %d s idle*: this program waits %d s, touching nothing, before each fresh\n"
        "process (3 each, in turns), which first takes and keeps 1 GB (untimed), so that its load is\n"
        "given memory that has been free longer than what the machine's other processes just freed.\n"
        "Warm: the warm rounds above. Load times inside the process (medians), wall clock and CPU time\n"
        "of all its threads; on a loaded machine the CPU ratio is the steadier one.\n\n"
        "| case | reader | first touch, ms per MB (what it met) | first load | its CPU | warm load | its CPU "
        "| "
        "first / warm | by CPU |\n"
        "|---|---|---|---|---|---|---|---|---|\n",
        big, kBackedMsPerMb, kUnbackedMsPerMb, 10, 10);
    for (int lib : {PEER_ZR, PEER_RAPIDJSON}) {
        std::string k = kPeerKeys[lib];
        double warm = big ? Rc(big, k + "/warm/wall") : -1, warmCpu = big ? Rc(big, k + "/warm/cpu") : -1;
        double cw = big ? Rc(big, k + "/cold/wall") : -1, touch = big ? Rc(big, k + "/cold/touch") : -1;
        if (cw > 0)
            fprintf(md, "| right after another | %s | %.2f (%s) | %s | %s | %s | %s | %s | %s |\n",
                    kPeerLabels[lib], touch, Backing(touch), Ms(cw).c_str(),
                    Ms(Rc(big, k + "/cold/cpu")).c_str(), Ms(warm).c_str(), Ms(warmCpu).c_str(),
                    Ratio(cw, warm).c_str(), Ratio(Rc(big, k + "/cold/cpu"), warmCpu).c_str());
        if (idle && idle->counters.count(k + "/idle/wall")) {
            double iw = idle->counters.at(k + "/idle/wall"), it = idle->counters.at(k + "/idle/touch");
            double ic = idle->counters.at(k + "/idle/cpu");
            fprintf(md, "| after %d s idle | %s | %.2f (%s) | %s | %s | %s | %s | %s | %s |\n", 10,
                    kPeerLabels[lib], it, Backing(it), Ms(iw).c_str(), Ms(ic).c_str(), Ms(warm).c_str(),
                    Ms(warmCpu).c_str(), Ratio(iw, warm).c_str(), Ratio(ic, warmCpu).c_str());
        }
    }

    if (big && Rc(big, "first-call/wall") >= 0)
        fprintf(md,
                "\nOf a fresh process's first load, the first exported call's own cost: a process whose one\n"
                "call is `ZrRegCloseKey` of a dead handle spends %s in it (CPU %s; median of the rounds),\n"
                "settling the lone-thread mode (the registration for `membarrier`, which waits for a grace\n"
                "period of the kernel once the process has a second thread, waits for the first barrier).\n",
                Ms(Rc(big, "first-call/wall")).c_str(), Ms(Rc(big, "first-call/cpu")).c_str());

    // ---- the targets of issue 26
    if (!g_sets.count(100)) return;
    fprintf(md,
            "\n### Targets of the like-with-like comparison (100 MB file)\n\n| target | measured | met "
            "|\n|---|---|---|\n");
    auto row = [&](const char* what, double v, bool ok, const char* f) {
        if (v <= 0 || v != v) {
            fprintf(md, "| %s | not measured | – |\n", what);
            return;
        }
        fprintf(md, "| %s | %s | %s |\n", what, Fmt(f, v).c_str(), ok ? "yes" : "**no**");
    };
    double zw = Rc(100, "zrregdll/warm/wall"), zc = Rc(100, "zrregdll/cold/wall");
    double sj = Rc(100, "simdjson/warm/wall"), rj = Rc(100, "rapidjson/warm/wall");
    double zp = Rc(100, "zrregdll-pinned/warm/wall");
    double x = zw > 0 && sj > 0 ? sj / zw : -1;
    row("warm load >= 0.5x simdjson's warm (same content, wall clock)", x, x >= 0.5, "%.2fx");
    double zwc = Rc(100, "zrregdll/warm/cpu"), sjc = Rc(100, "simdjson/warm/cpu");
    x = zwc > 0 && sjc > 0 ? sjc / zwc : -1;
    row("the same by CPU time of all threads", x, x >= 0.5, "%.2fx");
    x = zp > 0 && rj > 0 ? rj / zp : -1;
    row("warm load pinned to one core beats RapidJSON's warm parse", x, x > 1, "%.2fx");
    double rss = Rc(100, "zrregdll/cold/hwm");
    x = rss > 0 ? rss / static_cast<double>(g_sets[100].stats.regBytes) : -1;
    row("peak RSS <= 0.80 per file byte", x, x <= 0.80, "%.2f");
    x = TypesRatio("cpu");
    row("a file of values of every type loads at >= 0.80 of the plain file's speed (warm, CPU)", x, x >= 0.8,
        "%.2f");
    if (const Result* f = Find("first-use/100000")) {
        x = f->counters.at("query1") * 1e3;
        row("first query in a key of 100,000 values <= 1 ms", x, x <= 1, "%.2f ms");
        x = f->counters.at("query1_cpu") * 1e3;
        row("the same by the thread's CPU time", x, x <= 1, "%.2f ms");
        x = f->counters.at("set1") * 1e3;
        row("first set in a key of 100,000 values <= 1 ms", x, x <= 1, "%.2f ms");
        x = f->counters.at("set1_cpu") * 1e3;
        row("the same by the thread's CPU time", x, x <= 1, "%.2f ms");
    }
    double touch = Rc(100, "zrregdll/cold/touch");
    x = zc > 0 && zw > 0 ? zc / zw : -1;
    std::string what =
        std::string("fresh process's first load <= 1.3x a warm one, host backing its memory (this run: ") +
        Backing(touch) + ")";
    row(what.c_str(), x, x <= 1.3, "%.2fx");
    double zcc = Rc(100, "zrregdll/cold/cpu");
    x = zcc > 0 && zwc > 0 ? zcc / zwc : -1;
    row("the same by CPU time of all threads", x, x <= 1.3, "%.2fx");
}

}  // namespace zrbench
