// The benchmark program: its options, the generated content, and the run that writes the
// report; the benchmarks themselves are in bload.cpp and bcalls.cpp.
#include <stdlib.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench.h"
#include "regview.h"

using namespace zrbench;

// Options of our own, before Google Benchmark's: --data=DIR, --sizes=1,10,100 (MB), --md=FILE.
int main(int argc, char** argv) {
#ifndef ZR_BENCH_BASELINE
    // Every benchmark but the change log's own (blog.cpp) runs without the log: their
    // changes are not to reach the shared fixtures, and their figures stay comparable with
    // the library before it.
    RegViewUseLog(false);
#endif
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
        RegisterFiles(sizes);
        RegisterCalls();
        RegisterLog();
        RegisterPeers(sizes);
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
