// A cold load's child process: loads one file with one reader (pinned to one core when asked)
// and prints its wall and CPU time, its peak RSS, and the first touch of fresh memory after it.
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <simdjson.h>
#include <libconfig.h++>
#include <thread>

#include "bench.h"

namespace zrbench {
namespace {

// Touches `mb` MB of memory the process never had (huge pages, as the library's pool asks
// for them) with a plain memset; ms per MB. On these VMs the first touch of memory the host
// no longer backs costs about twice as much as of memory it still backs.
double TouchFresh(size_t mb) {
    size_t n = mb << 20;
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 0;
    madvise(p, n, MADV_HUGEPAGE);
    double t = WallNow();
    memset(p, 1, n);
    t = WallNow() - t;
    munmap(p, n);
    return t * 1e3 / static_cast<double>(mb);
}

}  // namespace

// The child's side: loads the file once (pinned to one core when asked), prints its load's
// wall and CPU time, its peak RSS, and the first-touch cost of fresh memory after the load.
int ChildLoad(const std::string& arg) {
    size_t colon = arg.find(':');
    std::string lib = arg.substr(0, colon), path = arg.substr(colon + 1);
    if (lib == "touch") {
        TouchFresh(static_cast<size_t>(atol(path.c_str())));
        printf("0 0 0 0\n");
        return 0;
    }
    // As in a host, and as in the benchmark process: a second thread exists.
    std::thread([] {
        for (;;) pause();
    }).detach();
    if (lib == kPeerKeys[PEER_ZR_PINNED]) PinToCpu0();
    // Memory taken and kept before the load, so that the load is given pages that have been
    // free longer than those other processes just freed.
    if (const char* b = getenv("ZRBENCH_BALLAST_MB")) {
        size_t n = static_cast<size_t>(atol(b)) << 20;
        void* p =
            n ? mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : MAP_FAILED;
        if (p != MAP_FAILED) {
            madvise(p, n, MADV_HUGEPAGE);
            memset(p, 1, n);
        }
    }
    double start = WallNow(), cpuStart = CpuNow();
    bool ok = true;
#ifndef ZR_BENCH_BASELINE
    if (lib == "first-call") {
        // The first exported call of a process settles the lone-thread mode (on Linux it
        // registers for membarrier); a dead handle, so that it does nothing else.
        ok = ZrRegCloseKey(reinterpret_cast<void*>(1)) != 0;
    }
#endif
    rapidjson::Document doc;
    simdjson::dom::parser parser;
    libconfig::Config cfg;
    if (lib == kPeerKeys[PEER_RAPIDJSON]) {
        std::vector<char> buf(1 << 16);
        FILE* fp = fopen(path.c_str(), "rb");
        ok = fp != nullptr;
        if (ok) {
            rapidjson::FileReadStream is(fp, buf.data(), buf.size());
            doc.ParseStream(is);
            fclose(fp);
            ok = !doc.HasParseError();
        }
    } else if (lib == kPeerKeys[PEER_SIMDJSON]) {
        simdjson::dom::element root;
        ok = parser.load(path).get(root) == simdjson::SUCCESS;
    } else if (lib == kPeerKeys[PEER_LIBCONFIG]) {
        try {
            cfg.readFile(path.c_str());
        } catch (...) {
            ok = false;
        }
    } else if (lib == kPeerKeys[PEER_ZR] || lib == kPeerKeys[PEER_ZR_PINNED]) {
        ok = ZrLoadRegistry(path.c_str()) == 0;
    }  // else the program alone
    double seconds = WallNow() - start, cpu = CpuNow() - cpuStart;
    // The high-water mark of this program's own memory: getrusage's would also count the
    // memory of the benchmark process that started it.
    long hwmKb = 0;
    if (FILE* st = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, st))
            if (sscanf(line, "VmHWM: %ld", &hwmKb) == 1) break;
        fclose(st);
    }
    double touch = TouchFresh(64);
    printf("%.9f %.9f %ld %.6f\n", seconds, cpu, hwmKb, touch);
    fflush(stdout);
    _exit(ok ? 0 : 1);  // without releasing the content
}

}  // namespace zrbench
