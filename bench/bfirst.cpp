// The first lookups in a key of 100,000 values, right after a load: the first open, query
// and set, each beside the second, by wall clock and by the calling thread's CPU time.
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "bench.h"
#include "bgen.h"
#include "regview.h"

namespace zrbench {
namespace {

const int kFirstN = 100000;

size_t FileBytes(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return 0;
    fseek(fp, 0, SEEK_END);
    long n = ftell(fp);
    fclose(fp);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// The calling thread's CPU time: on a loaded machine a call's wall-clock time includes the
// time the thread waited for a core.
double ThreadCpuNow() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall-clock time of one call; its CPU time into *cpu.
double TimeCall(int32_t (*f)(void*, const unsigned short*), void* h, const unsigned short* name,
                double* cpu) {
    double c = ThreadCpuNow(), t = WallNow();
    f(h, name);
    t = WallNow() - t;
    *cpu = ThreadCpuNow() - c;
    return t;
}

int32_t Query(void* h, const unsigned short* name) {
    uint32_t type, cb = 4;
    int32_t v;
    return ZrRegQueryValueEx(h, name, &type, reinterpret_cast<unsigned char*>(&v), &cb);
}

int32_t Set(void* h, const unsigned short* name) {
    int32_t v = 7;
    return ZrRegSetValueEx(h, name, 4, reinterpret_cast<unsigned char*>(&v), 4);
}

int32_t Open(void* h, const unsigned short* name) {
    void* k = nullptr;
    int32_t e = ZrRegOpenKeyEx(h, name, 0, &k);
    if (e == 0) ZrRegCloseKey(k);
    return e;
}

}  // namespace

void FirstUse(benchmark::State& st) {
    UnloadWide();
    std::string path = g_dataDir + "/firstuse_" + std::to_string(kFirstN) + ".reg", lastValue, lastKey;
    if (!GenerateFirstUse(path, kFirstN, &lastValue, &lastKey)) {
        st.SkipWithError("fixture failed");
        return;
    }
    WStr key = Wide(lastKey), value = Wide(lastValue);
    std::vector<double> t[7], c[7];  // load, open 1, open 2, query 1, query 2, set 1, set 2; CPU
    for (auto _ : st) {
        for (int rep = 0; rep < 5; ++rep) {
            for (int what = 0; what < 2; ++what) {  // query, then set, each after a load of its own
                double t0 = WallNow();
                if (ZrLoadRegistry(path.c_str()) != 0) {
                    st.SkipWithError("load failed");
                    return;
                }
                if (what == 0) t[0].push_back(WallNow() - t0);
                Opened big("Big");
                if (!big.h) {
                    st.SkipWithError("open failed");
                    return;
                }
                if (what == 0) {
                    double cpu;
                    t[1].push_back(TimeCall(Open, big.h, key.data(), &cpu));
                    c[1].push_back(cpu);
                    t[2].push_back(TimeCall(Open, big.h, key.data(), &cpu));
                    c[2].push_back(cpu);
                }
                int32_t (*f)(void*, const unsigned short*) = what == 0 ? Query : Set;
                double cpu;
                t[3 + 2 * what].push_back(TimeCall(f, big.h, value.data(), &cpu));
                c[3 + 2 * what].push_back(cpu);
                t[4 + 2 * what].push_back(TimeCall(f, big.h, value.data(), &cpu));
                c[4 + 2 * what].push_back(cpu);
                big = Opened();
                RegViewSetChanged(false);  // the set is not written back
                ZrUnloadRegistry();
            }
        }
    }
    const char* names[] = {"load", "open1", "open2", "query1", "query2", "set1", "set2"};
    for (int i = 0; i < 7; ++i) {
        st.counters[names[i]] = MedianOf(t[i]);
        if (i > 0) st.counters[std::string(names[i]) + "_cpu"] = MedianOf(c[i]);
    }
    st.counters["file_bytes"] = static_cast<double>(FileBytes(path));
    st.counters["query1_max"] = *std::max_element(t[3].begin(), t[3].end());
    st.counters["set1_max"] = *std::max_element(t[5].begin(), t[5].end());
}

}  // namespace zrbench
