// The Markdown report of docs/performance.md: each result kept as it is reported, then the
// tables of loading, saving, memory, calls and changes at scale, with targets (fresh
// processes: bfresh.cpp).
#include <string.h>

#include "bench.h"
#include "breport.h"

namespace zrbench {
namespace report {

std::map<std::string, Result> g_results;

}  // namespace report

using namespace report;

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

namespace report {

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

}  // namespace report

namespace report {

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

extern const char* const kPeerLabels[] = {"**zrregdll** `ZrLoadRegistry`", "**zrregdll**, pinned to one core",
                                          "RapidJSON DOM, `ParseStream`",  "RapidJSON, pinned to one core",
                                          "simdjson DOM, `parser.load`",   "libconfig++ `Config::readFile`"};

// The first-touch cost of fresh memory (ms per MB, huge pages, memset) tells whether the host
// still backed the free memory a process was given. Measured on these VMs (2026-12-07): about
// 0.12-0.15 ms/MB right after another process freed as much, 2-4 ms/MB after 10 s idle.
extern const double kBackedMsPerMb = 0.5, kUnbackedMsPerMb = 1.5;

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

}  // namespace report

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

}  // namespace zrbench
