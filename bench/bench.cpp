// The benchmarks' shared helpers: wide text, heap use, the generated content, the per-call
// fixture and the benchmarks' names.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"
#include "regview.h"

namespace zrbench {

std::string g_dataDir = ".";

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

std::map<int, DataSet> g_sets;
DataSet g_keysOnly;

bool MakeSet(const std::string& name, size_t bytes, const GenShape& shape, DataSet* set) {
    set->base = g_dataDir + "/" + name;
    if (!GenerateFiles(set->base, bytes, shape, &set->stats)) {
        fprintf(stderr, "cannot write %s\n", set->base.c_str());
        return false;
    }
    return true;
}

namespace {

struct WideFixture {
    int depth = 0, n = 0;
    bool loaded = false;
} g_wide;

}  // namespace

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

std::string TargetPath(int depth, int n) { return WideParentPath(depth) + "\\" + WideKeyName(n - 1); }

// ---- the names under which the benchmarks report

std::string LoadName(const char* lib, int mb) {
    return std::string("load/") + lib + "/" + std::to_string(mb) + "MB";
}
std::string SaveName(const char* lib, int mb) {
    return std::string("save/") + lib + "/" + std::to_string(mb) + "MB";
}
std::string FreshName(const char* lib, int mb) {
    return std::string("fresh/") + lib + "/" + std::to_string(mb) + "MB";
}
std::string CallName(const char* op, int d, int n) {
    return std::string(op) + "/depth:" + std::to_string(d) + "/siblings:" + std::to_string(n);
}

std::string ChurnName(int op, int n) {
    return std::string("churn/") + kChurnNames[op] + "/n:" + std::to_string(n);
}
std::string DeleteAllName(int n) { return "delete_all/n:" + std::to_string(n); }
std::string DeepName(int op, int d) {
    return std::string("deep/") + kDeepNames[op] + "/depth:" + std::to_string(d);
}

}  // namespace zrbench
