# The table of the hosts' view from zrhostbench's runs ("who metric value" lines): the best of
# the runs for each build (the worst of the worst first calls), set beside e9bf54c's.
{
    k = $1 SUBSEP $2
    if ($2 ~ /worst/) { if (!(k in v) || $3 > v[k]) v[k] = $3 }
    else if (!(k in v) || $3 < v[k]) v[k] = $3
    who[$1] = 1
}
function cell(w, m, unit,   k) {
    k = w SUBSEP m
    return (k in v) ? sprintf("%.*f %s", (unit == "ms") ? 3 : 1, v[k], unit) : "-"
}
function ratio(a, b) { return (a > 0 && b > 0) ? sprintf("%.2f", a / b) : "-" }
function g(w, m) { return v[w SUBSEP m] + 0 }
function row(what, m, unit, goal) {
    printf "| %s | %s | %s | %s | %s | %s |\n", what, cell("e9bf54c", m, unit), cell("88825a8", m, unit),
           cell("now", m, unit), ratio(g("now", m), g("e9bf54c", m)), goal
}
END {
    print ""
    print "### The hosts' view: a change's cost beside the library before the change log"
    print ""
    print "`bench/bhost.cpp` drives each build's own shared library through the exported calls, the same"
    print "program for all, in turns: e9bf54c is the last build without the change log (its changes wait"
    print "in the process until the unload), 88825a8 an older one. Wall clock, the best of three runs of"
    print "five rounds (the worst for the worst first set). The key holds 20,000 integer values v0, v1, ..."
    print "e9bf54c keeps a journal of its changes for its unload, 16 MB at most: after about 200,000"
    print "changes it records nothing more, so its later sets (the rows after the mixed round) cost"
    print "less than the first ones."
    print ""
    print "| workload | e9bf54c | 88825a8 | now | now / e9bf54c | goal |"
    print "|---|---|---|---|---|---|"
    row("query, each value in turn", "overwrite-query-ns", "ns", "at most 1.1")
    row("set, each value in turn with new data (the first 120,000 sets)", "overwrite-set-ns", "ns", "at most 1.6")
    mixed = sprintf("%.2f of 88825a8's speed", g("88825a8", "mixed-ns") / g("now", "mixed-ns"))
    row("mixed, per round: open, query, set, create, close, delete, close", "mixed-ns", "ns", "at least 1.0 of 88825a8's speed: " mixed)
    # The journal of e9bf54c is full here: its set is the bare one the log's cost is set against.
    row("set, alone, after 480,000 changes (in turns with the next row)", "set-alone-ns", "ns", "at most 1.6")
    row("set, a second process idle on the file", "set-idle-peer-ns", "ns",
        "within 5% of alone: " ratio(g("now", "set-idle-peer-ns"), g("now", "set-alone-ns")))
    row("first set after a fresh process loads a key of 100,000 values, best", "first-set-ms", "ms", "at most 0.5 ms")
    row("the same, worst", "first-set-worst-ms", "ms", "at most 0.5 ms")
    row("first query there, best", "first-query-ms", "ms", "")
    row("a warm load of a file of 40,000 keys (13 MB)", "warm-load-ms", "ms", "")
    row("a fresh process's first load of it", "fresh-load-ms", "ms",
        "at most 1.3x warm: " ratio(g("now", "fresh-load-ms"), g("now", "warm-load-ms")))
    row("change log bytes per change of a 4-byte value", "log-bytes-per-change", "B", "at most 48")
}
