// The benchmarks of single calls through the exported functions: per call beside N siblings
// at a given depth, changes beside N entries, deleting every subkey, deep keys, two threads.
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"
#include "regview.h"

namespace zrbench {
namespace {

// ---- per-call costs through the exported functions -----------------------------------

void PerCall(benchmark::State& st, Op op, int depth, int n) {
    if (!EnsureWide(depth, n)) {
        st.SkipWithError("fixture failed");
        return;
    }
    RunCalls(st, op, depth, n);
}

}  // namespace

void RunCalls(benchmark::State& st, Op op, int depth, int n) {
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
        case OP_CREATE_DELETE: {
            WStr sub = Wide("x");
            for (auto _ : st) {
                void* h;
                bad |= ZrRegCreateKey(target.h, sub.data(), &h);
                bad |= ZrRegCloseKey(h);
                bad |= ZrRegDeleteKey(target.h, sub.data());
            }
            break;
        }
#ifndef ZR_BENCH_BASELINE
        case OP_ENUM_VALUE:
            for (auto _ : st) {
                uint32_t chars = sizeof name / sizeof name[0], type, cb = 4;
                int32_t v;
                bad |= ZrRegEnumValue(target.h, static_cast<uint32_t>(index), name, &chars, &type,
                                      reinterpret_cast<unsigned char*>(&v), &cb);
                if (++index == n) index = 0;
            }
            break;
        case OP_INFO:
            for (auto _ : st) {
                uint32_t keys, values;
                bad |= ZrRegQueryInfoKey(target.h, &keys, nullptr, &values, nullptr, nullptr);
                benchmark::DoNotOptimize(values);
            }
            break;
        case OP_GET: {
            WStr last = Wide(WideKeyName(n - 1));
            for (auto _ : st) {
                uint32_t type, cb = 4;
                int32_t v;
                bad |= ZrRegGetValue(parent.h, last.data(), lastValue.data(), ZRREG_RT_DWORD, &type, &v, &cb);
                benchmark::DoNotOptimize(v);
            }
            break;
        }
        case OP_FLUSH:
            for (auto _ : st) {
                int32_t v = index++;
                bad |=
                    ZrRegSetValueEx(target.h, lastValue.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
                bad |= ZrRegFlushKey(target.h);
            }
            break;
        case OP_NOTIFY: {
            int fds[2];
            if (pipe(fds) != 0) break;
            for (auto _ : st) {
                int32_t v = index++;
                bad |= ZrRegNotifyChangeKeyValue(target.h, 0, ZRREG_NOTIFY_CHANGE_LAST_SET, &fds[1], 1);
                bad |=
                    ZrRegSetValueEx(target.h, lastValue.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
                uint64_t one;
                bad |= read(fds[0], &one, sizeof one) != sizeof one;
            }
            close(fds[0]);
            close(fds[1]);
            break;
        }
#endif
        default:
            break;
    }
    if (bad) st.SkipWithError("a call failed");
}

namespace {

// ---- changes at scale: removals, overwrites and counting beside N entries -------------
// The fixture of PerCall at depth 2: Level_1 holds N subkeys, the last of which holds N
// values. Each change addresses the entry second in its list (the first stays), where a
// removal used to move every later entry. What a batch takes out is put back untimed;
// the fixture is loaded afresh afterwards.

void ChurnCall(benchmark::State& st, Churn op, int n) {
    UnloadWide();
    if (!EnsureWide(2, n)) {
        st.SkipWithError("fixture failed");
        return;
    }
    Opened parent(WideParentPath(2));
    Opened target(TargetPath(2, n));
    if (!parent.h || !target.h) {
        st.SkipWithError("open failed");
        return;
    }
    std::vector<WStr> names;
    int count = op == CH_DELETE_KEY ? n - 2 : n - 1;  // the key holding the values stays
    for (int i = 1; i <= count; ++i)
        names.push_back(Wide(op == CH_DELETE_KEY ? WideKeyName(i) : WideValueName(i)));
    {
        uint32_t type, cb = 4;
        int32_t v;
        ZrRegQueryValueEx(target.h, names[0].data(), &type, reinterpret_cast<unsigned char*>(&v), &cb);
        ZrRegCountSubKeys(parent.h);
    }
    int32_t bad = 0;
    size_t next = 0;
    auto putBack = [&] {
        for (const WStr& w : names) {
            int32_t v = 1;
            if (op == CH_DELETE_KEY) {
                void* h = nullptr;
                bad |= ZrRegCreateKey(parent.h, w.data(), &h);
                ZrRegCloseKey(h);
            } else {
                bad |= ZrRegSetValueEx(target.h, w.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
            }
        }
    };
    for (auto _ : st) {
        if (next == names.size()) {
            next = 0;
            if (op == CH_DELETE_KEY || op == CH_DELETE_VALUE) {
                st.PauseTiming();
                putBack();
                st.ResumeTiming();
            }
        }
        const WStr& w = names[next++];
        int32_t v = static_cast<int32_t>(next);
        switch (op) {
            case CH_SET:
                bad |= ZrRegSetValueEx(target.h, w.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
                break;
            case CH_DELETE_KEY:
                bad |= ZrRegDeleteKey(parent.h, w.data());
                break;
            case CH_DELETE_VALUE:
                bad |= ZrRegDeleteValue(target.h, w.data());
                break;
            case CH_COUNT:
                bad |= ZrRegCountSubKeys(parent.h) != static_cast<uint32_t>(n);
                break;
            case CH_QUERY: {
                uint32_t type, cb = 4;
                bad |=
                    ZrRegQueryValueEx(target.h, w.data(), &type, reinterpret_cast<unsigned char*>(&v), &cb);
                benchmark::DoNotOptimize(v);
                break;
            }
        }
    }
    if (bad) st.SkipWithError("a call failed");
    parent = Opened();
    target = Opened();
    UnloadWide();
}

// Deleting every subkey of one key by enumerating index 0 and deleting what it names.
void DeleteAll(benchmark::State& st, int n) {
    UnloadWide();
    std::string path = g_dataDir + "/flat_" + std::to_string(n) + ".reg";
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) {
        FILE* fp = fopen(path.c_str(), "w");
        if (!fp) {
            st.SkipWithError("fixture failed");
            return;
        }
        fprintf(fp, "KEY \"My Computer\"\n(\n    KEY \"P\"\n    (\n");
        for (int i = 0; i < n; ++i) fprintf(fp, "        KEY \"%s\" ( )\n", WideKeyName(i).c_str());
        fprintf(fp, "    )\n)\n");
        fclose(fp);
    }
    int32_t bad = 0;
    for (auto _ : st) {
        st.PauseTiming();
        bool loaded = ZrLoadRegistry(path.c_str()) == 0;
        Opened p("P");
        st.ResumeTiming();
        if (!loaded || !p.h) {
            st.SkipWithError("load failed");
            break;
        }
        unsigned short name[300];
        for (;;) {
            uint32_t cb = 0;
            int32_t rc = ZrRegEnumKeyEx(p.h, 0, name, &cb);
            if (rc == 259) break;
            bad |= rc | ZrRegDeleteKey(p.h, name);
        }
        st.PauseTiming();
        p = Opened();
        RegViewSetChanged(false);
        ZrUnloadRegistry();
        st.ResumeTiming();
    }
    if (bad) st.SkipWithError("a call failed");
}

// ---- deep keys: calls through a handle at depth D, and walking down to it ----------------
// The fixture of PerCall with N = 10 at depth D. Its paths are longer than a name the wide
// functions take, so every handle is opened one level at a time, as a host would.

struct Walk {
    std::vector<void*> handles;  // one per level below the root
    void* Deepest() const { return handles.empty() ? HkeyRegRoot() : handles.back(); }
    void Down(const std::string& name) {
        void* h = nullptr;
        WStr w = Wide(name);
        if (ZrRegOpenKeyEx(Deepest(), w.data(), 0, &h) == 0) handles.push_back(h);
    }
    void Close() {
        for (void* h : handles) ZrRegCloseKey(h);
        handles.clear();
    }
};

void DeepCall(benchmark::State& st, Deep op, int depth) {
    const int n = 10;
    if (!EnsureWide(depth, n)) {
        st.SkipWithError("fixture failed");
        return;
    }
    std::vector<std::string> levels;
    for (int l = 1; l < depth; ++l) levels.push_back("Level_" + std::to_string(l));
    Walk walk;
    for (const std::string& l : levels) walk.Down(l);
    void* parent = walk.Deepest();
    walk.Down(WideKeyName(n - 1));
    if (static_cast<int>(walk.handles.size()) != depth) {
        walk.Close();
        st.SkipWithError("open failed");
        return;
    }
    void* target = walk.Deepest();
    WStr value = Wide(WideValueName(n - 1)), key = Wide(WideKeyName(n - 1));
    std::vector<WStr> levelNames;
    for (const std::string& l : levels) levelNames.push_back(Wide(l));
    unsigned short name[300];
    int32_t bad = 0;
    int index = 0;
    for (auto _ : st) {
        switch (op) {
            case DP_WALK: {  // each level's handle closed once the next is open, as a host would
                void* cur = HkeyRegRoot();
                int reached = 0;
                for (int l = 0; l < depth; ++l) {
                    void* h = nullptr;
                    const WStr& w = l + 1 < depth ? levelNames[static_cast<size_t>(l)] : key;
                    if (ZrRegOpenKeyEx(cur, w.data(), 0, &h) != 0) break;
                    if (cur != HkeyRegRoot()) ZrRegCloseKey(cur);
                    cur = h;
                    ++reached;
                }
                if (cur != HkeyRegRoot()) ZrRegCloseKey(cur);
                bad |= reached != depth;
                break;
            }
            case DP_QUERY: {
                uint32_t type, cb = 4;
                int32_t v;
                bad |=
                    ZrRegQueryValueEx(target, value.data(), &type, reinterpret_cast<unsigned char*>(&v), &cb);
                benchmark::DoNotOptimize(v);
                break;
            }
            case DP_SET: {
                int32_t v = index++;
                bad |= ZrRegSetValueEx(target, value.data(), 4, reinterpret_cast<unsigned char*>(&v), 4);
                break;
            }
            case DP_ENUM: {
                uint32_t cb = 0;
                bad |= ZrRegEnumKeyEx(parent, static_cast<uint32_t>(index), name, &cb);
                if (++index == n) index = 0;
                break;
            }
            case DP_OPEN: {
                void* h;
                bad |= ZrRegOpenKeyEx(parent, key.data(), 0, &h);
                bad |= ZrRegCloseKey(h);
                break;
            }
        }
    }
    walk.Close();
    if (bad) st.SkipWithError("a call failed");
}

// Threads querying the same value at once, each through its own handle.

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

}  // namespace

void RegisterCalls() {
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
    for (int n : kChurnN)
        for (int op = CH_SET; op <= CH_QUERY; ++op)
            benchmark::RegisterBenchmark(ChurnName(op, n).c_str(), ChurnCall, static_cast<Churn>(op), n)
                ->UseRealTime();
    for (int n : kDeleteAllN)
        benchmark::RegisterBenchmark(DeleteAllName(n).c_str(), DeleteAll, n)
            ->Iterations(n >= 300000 ? 1 : 3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    for (int d : kDeepDepths)
        for (int op = DP_WALK; op <= DP_OPEN; ++op)
            benchmark::RegisterBenchmark(DeepName(op, d).c_str(), DeepCall, static_cast<Deep>(op), d)
                ->UseRealTime();
    for (int t = 1; t <= 2; ++t)
        benchmark::RegisterBenchmark(kQueryThreads[t - 1], QueryThreads)
            ->Setup([](const benchmark::State&) { EnsureWide(4, 1000); })
            ->Threads(t)
            ->UseRealTime();
}

}  // namespace zrbench
