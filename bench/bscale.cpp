// The report's tables of calls and changes at scale (CPU time per call across list sizes and
// depths) and of the change log.
#include <stdio.h>

#include "bench.h"
#include "breport.h"

namespace zrbench {
namespace report {

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

}  // namespace report
}  // namespace zrbench
