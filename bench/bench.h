// Shared by the benchmark files: the generated content, the per-call fixture, and the names
// under which each benchmark reports.
#ifndef BENCH_H
#define BENCH_H

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "bgen.h"
#include "zrregdll.h"

namespace zrbench {

extern std::string g_dataDir;

typedef std::vector<unsigned short> WStr;
WStr Wide(const std::string& s);

size_t HeapInUse();
void SyncFile(const std::string& path);

// ---- the generated content -------------------------------------------------------------

struct DataSet {
    std::string base;
    GenStats stats;
};

extern std::map<int, DataSet> g_sets;  // by size in MB
extern DataSet g_keysOnly;             // for the memory split between keys and values

bool MakeSet(const std::string& name, size_t bytes, const GenShape& shape, DataSet* set);

// ---- the per-call fixture: the wide registry of bgen.h, loaded once for many benchmarks

void UnloadWide();
bool EnsureWide(int depth, int n);

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

std::string TargetPath(int depth, int n);

// ---- what is measured, and the names of the results --------------------------------------

enum Op {
    OP_OPEN,
    OP_QUERY,
    OP_SET,
    OP_ENUM,
    OP_COUNT,
    OP_OPEN_ALL,
    OP_CREATE_DELETE,
    // The newer calls, which an older core lacks.
    OP_ENUM_VALUE,
    OP_INFO,
    OP_GET,
    OP_FLUSH,
    OP_NOTIFY
};
inline constexpr const char* kOpNames[] = {"open+close",
                                           "query",
                                           "set",
                                           "enum",
                                           "count",
                                           "open_each",
                                           "create+close+delete",
                                           "ZrRegEnumValue",
                                           "ZrRegQueryInfoKey (counts)",
                                           "ZrRegGetValue (through a subkey)",
                                           "set + ZrRegFlushKey",
                                           "ZrRegNotifyChangeKeyValue + set + signal seen"};
inline constexpr Op kNewerOps[] = {OP_ENUM_VALUE, OP_INFO, OP_GET, OP_FLUSH, OP_NOTIFY};
// The calls of `op` on the wide fixture of that depth and size, which is loaded.
void RunCalls(benchmark::State& st, Op op, int depth, int n);
inline constexpr int kDepths[] = {2, 4, 6, 8, 10};
inline constexpr int kSiblings[] = {10, 1000, 100000};

enum Churn { CH_SET, CH_DELETE_KEY, CH_DELETE_VALUE, CH_COUNT, CH_QUERY };
inline constexpr const char* kChurnNames[] = {"set-overwrite", "delete key", "delete value", "count",
                                              "query (the names the set and the deletions use)"};
inline constexpr int kChurnN[] = {1000, 100000, 1000000};
inline constexpr int kDeleteAllN[] = {1000, 10000, 100000, 300000, 1000000};

enum Deep { DP_WALK, DP_QUERY, DP_SET, DP_ENUM, DP_OPEN };
inline constexpr const char* kDeepNames[] = {"walk down (per level)", "query", "set", "enum", "open+close"};
inline constexpr int kDeepDepths[] = {1, 10, 100, 1000};

inline constexpr const char* kQueryThreads[] = {"query/threads:1", "query/threads:2"};

std::string LoadName(const char* lib, int mb);
std::string SaveName(const char* lib, int mb);
std::string FreshName(const char* lib, int mb);
std::string CallName(const char* op, int d, int n);
// The change log's runs (blog.cpp): each call without a log, with it, and with it and an
// idle second process.
inline constexpr Op kLogOps[] = {OP_QUERY, OP_ENUM, OP_OPEN, OP_SET, OP_CREATE_DELETE};
enum LogMode { LOG_OFF, LOG_ON, LOG_IDLE };
std::string LogName(const char* what, LogMode mode);
void RegisterLog();
std::string ChurnName(int op, int n);
std::string DeleteAllName(int n);
std::string DeepName(int op, int d);

// ---- the parts of the program -------------------------------------------------------------

// Loading, saving and memory (bload.cpp), in this order.
void RegisterFiles(const std::vector<int>& sizesMb);
// The calls through the exported functions (bcalls.cpp).
void RegisterCalls();
// The loads beside the peers (bpeers.cpp): each reader cold (a fresh process per load) and
// warm (its memory kept), in interleaved rounds; the first load after the host took its
// memory back; the first lookups after a load. The child's side of a cold load: exits 0
// when the file loaded.
enum Peer {
    PEER_ZR,
    PEER_ZR_PINNED,
    PEER_RAPIDJSON,
    PEER_RAPIDJSON_PINNED,
    PEER_SIMDJSON,
    PEER_LIBCONFIG,
    kPeerCount
};
inline constexpr const char* kPeerKeys[] = {"zrregdll",         "zrregdll-pinned", "rapidjson",
                                            "rapidjson-pinned", "simdjson",        "libconfig"};
void RegisterPeers(const std::vector<int>& sizesMb);
// The wall clock in seconds, and the median of samples (bpeers.cpp).
double WallNow();
double MedianOf(std::vector<double> v);
// CPU time of all the process's threads; pins the calling thread to the first core (bpeers.cpp).
double CpuNow();
bool PinToCpu0();
// The first lookups in a key of 100,000 values right after a load (bfirst.cpp).
void FirstUse(benchmark::State& st);
std::string RoundsName(int mb);
// The warm loads of the largest plain file and of a file of values of every type, in turn.
std::string TypesName(int mb);
int ChildLoad(const std::string& arg);

// The console reporter that also keeps each result for the Markdown report (breport.cpp).
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;
};

void WriteMarkdown(FILE* md);
void WriteFreshMarkdown(FILE* md);

}  // namespace zrbench

#endif
