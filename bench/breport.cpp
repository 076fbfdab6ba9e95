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

void WriteMarkdown(FILE* md) {
    fprintf(md, "### Loading a file\n\n");
    fprintf(md,
            "Throughput over each file's own size, by wall-clock time and (in brackets) by the process's\n"
            "CPU time (all its threads), which other work on the machine disturbs less. The library's\n"
            "loader reads a file of 2 MB or more on a thread of its own while it parses, and faults\n"
            "its memory in on another; the others read on the loading thread.\n\n");
    const Row loads[] = {{"fread of the registry file (floor)", "fread", 0},
                         {"**zrregdll** `ZrLoadRegistry`", "zrregdll", 0},
                         {"libconfig++ `Config::readFile`", "libconfig", 1},
                         {"RapidJSON `Document::ParseStream`", "rapidjson", 2}};
    WriteThroughputTable(md, "reader", loads, LoadName);
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

void WriteFreshMarkdown(FILE* md) {
    const Result* none = Find("fresh/none");
    double base = none ? none->counters.at("peak_rss_bytes") : 0;
    fprintf(
        md,
        "\n### Loading in a fresh process, and its peak memory\n\n"
        "A process of its own loads the file once and exits without releasing it. *In the process*: the\n"
        "load's own time there, first touch of its memory included; *start to exit*: from the spawn to\n"
        "the process's end (the program's start, the load and the release of its memory by the system).\n"
        "*Warm*: the load table above (the same process loading again). Peak RSS is the whole process's.\n");
    if (none)
        fprintf(md, "The program alone, loading nothing, takes %.1f ms from start to exit and %.1f MB.\n",
                none->seconds * 1e3, none->counters.at("peak_rss_bytes") / 1e6);
    fprintf(md, "\n");
    fprintf(md,
            "| reader | size | warm | in the process | start to exit | start to exit / warm | peak RSS | "
            "peak RSS per file byte | the same above the program alone |\n"
            "|---|---|---|---|---|---|---|---|---|\n");
    for (auto& s : g_sets) {
        for (const char* lib : {"zrregdll", "rapidjson"}) {
            const Result* f = Find(FreshName(lib, s.first));
            if (!f) continue;
            const Result* w = Find(LoadName(lib, s.first));
            bool json = strcmp(lib, "rapidjson") == 0;
            double bytes = static_cast<double>(json ? s.second.stats.jsonBytes : s.second.stats.regBytes);
            double rss = f->counters.at("peak_rss_bytes");
            fprintf(md, "| %s | %d MB | %s | %.1f ms | %.1f ms | %s | %.1f MB | %.2f | %.2f |\n",
                    json ? "RapidJSON" : "**zrregdll**", s.first,
                    w ? Fmt("%.1f ms", w->seconds * 1e3).c_str() : "–", f->counters.at("load_seconds") * 1e3,
                    f->seconds * 1e3, w ? Fmt("%.2f", f->seconds / w->seconds).c_str() : "–", rss / 1e6,
                    rss / bytes, (rss - base) / bytes);
        }
    }
    if (!g_sets.count(100)) return;
    const Result* f = Find(FreshName("zrregdll", 100));
    const Result* w = Find(LoadName("zrregdll", 100));
    const Result* j = Find(LoadName("rapidjson", 100));
    fprintf(md, "\n| target (100 MB file) | measured | met |\n|---|---|---|\n");
    double mb = static_cast<double>(g_sets[100].stats.regBytes) / 1e6;
    if (w) {
        fprintf(md, "| warm load >= 1000 MB/s (wall clock) | %.0f MB/s | %s |\n", mb / w->seconds,
                mb / w->seconds >= 1000 ? "yes" : "**no**");
        fprintf(md, "| warm load >= 1000 MB/s (CPU time of all threads) | %.0f MB/s | %s |\n",
                mb / w->cpuSeconds, mb / w->cpuSeconds >= 1000 ? "yes" : "**no**");
    }
    if (w && j) {
        double jmb = static_cast<double>(g_sets[100].stats.jsonBytes) / 1e6;
        double x = (mb / w->seconds) / (jmb / j->seconds);
        fprintf(md, "| warm load >= 2x RapidJSON's MB/s | %.2fx | %s |\n", x, x >= 2 ? "yes" : "**no**");
    }
    if (f && w) {
        double x = f->seconds / w->seconds;
        fprintf(md, "| fresh process start to exit <= 1.5x the warm load | %.2fx | %s |\n", x,
                x <= 1.5 ? "yes" : "**no**");
    }
    if (f) {
        double x = f->counters.at("peak_rss_bytes") / static_cast<double>(g_sets[100].stats.regBytes);
        fprintf(md, "| peak RSS <= 1.0 per file byte | %.2f | %s |\n", x, x <= 1.0 ? "yes" : "**no**");
    }
}

}  // namespace zrbench
