// The benchmarks: loading, saving, memory and per-call costs, beside libconfig++, RapidJSON and fread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
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
    Opened() = default;
    explicit Opened(const std::string& path) {
        WStr w = Wide(path);
        if (ZrRegOpenKeyEx(HkeyRegRoot(), w.data(), 0, &h) != 0) h = nullptr;
    }
    Opened(const Opened&) = delete;
    Opened& operator=(Opened&& o) noexcept {
        if (h) ZrRegCloseKey(h);
        h = o.h;
        o.h = nullptr;
        return *this;
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

// ---- changes at scale: removals, overwrites and counting beside N entries -------------
// The fixture of PerCall at depth 2: Level_1 holds N subkeys, the last of which holds N
// values. Each change addresses the entry second in its list (the first stays), where a
// removal used to move every later entry. What a batch takes out is put back untimed;
// the fixture is loaded afresh afterwards.

enum Churn { CH_SET, CH_DELETE_KEY, CH_DELETE_VALUE, CH_COUNT, CH_QUERY };
const char* const kChurnNames[] = {"set-overwrite", "delete key", "delete value", "count",
                                   "query (the names the set and the deletions use)"};
const int kChurnN[] = {1000, 100000, 1000000};

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

enum Deep { DP_WALK, DP_QUERY, DP_SET, DP_ENUM, DP_OPEN };
const char* const kDeepNames[] = {"walk down (per level)", "query", "set", "enum", "open+close"};
const int kDeepDepths[] = {1, 10, 100, 1000};

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

// ---- the first load in a fresh process, and its peak memory -----------------------------
// The benchmark starts itself again with --child-load=LIB:FILE; the child loads the file
// once, prints its load time and peak RSS, and exits without releasing the content.

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The child's side: 0 when the file loaded.
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

std::string FreshName(const char* lib, int mb) {
    return std::string("fresh/") + lib + "/" + std::to_string(mb) + "MB";
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

std::string ChurnName(int op, int n) {
    return std::string("churn/") + kChurnNames[op] + "/n:" + std::to_string(n);
}
std::string DeleteAllName(int n) { return "delete_all/n:" + std::to_string(n); }
std::string DeepName(int op, int d) {
    return std::string("deep/") + kDeepNames[op] + "/depth:" + std::to_string(d);
}
const int kDeleteAllN[] = {1000, 10000, 100000, 300000, 1000000};

void WriteScaleTables(FILE* md) {
    fprintf(md, "\n### Changes beside N entries (warm: the fixture loaded and its lists indexed)\n\n");
    fprintf(md,
            "A key at depth 2 holds N subkeys, the last of which holds N values. Each call addresses the\n"
            "entry second in its list; the set replaces an existing value, which moves to the end of the\n"
            "list. What the deletions take out is put back untimed between batches. CPU time per call;\n"
            "in brackets, the cost over the same call's at N = 1000. Each call meets other entries, so at\n"
            "large N it waits for memory: the query, which changes nothing, shows that floor.\n\n");
    fprintf(md, "| call |");
    for (int n : kChurnN) fprintf(md, " N = %d |", n);
    fprintf(md, "\n|---|");
    for (size_t i = 0; i < sizeof kChurnN / sizeof kChurnN[0]; ++i) fprintf(md, "---|");
    fprintf(md, "\n");
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
    fprintf(md, "| call |");
    for (int d : kDeepDepths) fprintf(md, " depth %d |", d);
    fprintf(md, "\n|---|");
    for (size_t i = 0; i < sizeof kDeepDepths / sizeof kDeepDepths[0]; ++i) fprintf(md, "---|");
    fprintf(md, "\n");
    for (int op = DP_WALK; op <= DP_OPEN; ++op) {
        fprintf(md, "| %s |", kDeepNames[op]);
        for (int d : kDeepDepths) {
            fprintf(md, " %s |", CpuTime(DeepName(op, d), op == DP_WALK ? d : 1).c_str());
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

    WriteScaleTables(md);

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
        fprintf(md, "| warm load >= 1000 MB/s (CPU time) | %.0f MB/s | %s |\n", mb / w->cpuSeconds,
                mb / w->cpuSeconds >= 1000 ? "yes" : "**no**");
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

}  // namespace

// Options of our own, before Google Benchmark's: --data=DIR, --sizes=1,10,100 (MB), --md=FILE.
int main(int argc, char** argv) {
    std::vector<int> sizes = {1, 10, 100};
    std::string mdPath;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--child-load=", 0) == 0) return ChildLoad(a.substr(13));
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
        RegisterFresh(sizes);
        Collector reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        UnloadWide();
        if (!mdPath.empty()) {
            FILE* md = fopen(mdPath.c_str(), "w");
            if (md) {
                WriteMarkdown(md);
                WriteFreshMarkdown(md);
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
