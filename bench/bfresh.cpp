// The report's tables of fresh processes: peak memory of a cold load, a fresh process's
// first load against a warm one, and the first exported call's own cost.
#include <stdio.h>

#include "bench.h"
#include "breport.h"

namespace zrbench {

using namespace report;

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
