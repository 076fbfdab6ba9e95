// The benchmarks of whole files: fread's load (the floor), saving, and the heap the loaded
// content holds, beside libconfig++, RapidJSON and simdjson. The loads beside the peers,
// warm and cold, are in bpeers.cpp.
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/writer.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <simdjson.h>
#include <libconfig.h++>
#include <memory>

#include "bench.h"
#include "regview.h"

namespace zrbench {
namespace {

// ---- the floor of a load: fread of the registry file into a buffer kept between loads

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

void SaveZr(benchmark::State& st, const DataSet* d, bool sync) {
    std::string path = d->base + ".reg";
    if (ZrLoadRegistry(path.c_str()) != 0) {
        st.SkipWithError("load failed");
        return;
    }
    char tmp[REGVIEW_PATH_MAX];
    for (auto _ : st) {
        RegViewSetChanged(true);
#ifdef ZR_BENCH_BASELINE  // built against an older core, for its per-call figures only
        bool saved = sync && RegViewSaveToTemp(tmp);
#else
        bool saved = RegViewSaveToTemp(tmp, sync);
#endif
        if (!saved) {
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

// The floor of a save: the registry file's bytes, already in memory, written with fwrite.
void SaveFwrite(benchmark::State& st, const DataSet* d, bool sync) {
    std::string bytes;
    {
        FILE* in = fopen((d->base + ".reg").c_str(), "rb");
        std::vector<char> buf(1 << 16);
        for (size_t n; in && (n = fread(buf.data(), 1, buf.size(), in)) > 0;) bytes.append(buf.data(), n);
        if (in) fclose(in);
    }
    std::string out = d->base + ".out.reg";
    for (auto _ : st) {
        FILE* fp = fopen(out.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), fp);
        fflush(fp);
        if (sync) fsync(fileno(fp));
        fclose(fp);
        st.PauseTiming();
        unlink(out.c_str());  // a new file each time, as the writer's temporary file is
        st.ResumeTiming();
    }
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

enum Lib { LIB_ZR, LIB_LIBCONFIG, LIB_RAPIDJSON, LIB_SIMDJSON };

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
    } else if (lib == LIB_SIMDJSON) {
        // The parser's buffers: sized by the file's length, not by its content.
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (parser.load(d.base + ".json").get(root) != simdjson::SUCCESS) return 0;
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

}  // namespace

void RegisterFiles(const std::vector<int>& sizesMb) {
    benchmark::RegisterBenchmark("memory/zrregdll", Memory, LIB_ZR)->Iterations(1);
    benchmark::RegisterBenchmark("memory/libconfig", Memory, LIB_LIBCONFIG)->Iterations(1);
    benchmark::RegisterBenchmark("memory/rapidjson", Memory, LIB_RAPIDJSON)->Iterations(1);
    benchmark::RegisterBenchmark("memory/simdjson", Memory, LIB_SIMDJSON)->Iterations(1);
    for (int mb : sizesMb) {
        const DataSet* d = &g_sets[mb];
        // Big files: a fixed few rounds; small ones: as many as the minimum time takes.
        // CPU time is the whole process's: the library's loader reads ahead on threads.
        auto fix = [mb](benchmark::internal::Benchmark* b) {
            b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
            if (mb >= 10) b->Iterations(mb >= 100 ? 3 : 10);
        };
        fix(benchmark::RegisterBenchmark(LoadName("fread", mb).c_str(), LoadFread, d));
        fix(benchmark::RegisterBenchmark(SaveName("fwrite", mb).c_str(), SaveFwrite, d, true));
        fix(benchmark::RegisterBenchmark(SaveName("zrregdll", mb).c_str(), SaveZr, d, true));
        fix(benchmark::RegisterBenchmark(SaveName("fwrite-unsynced", mb).c_str(), SaveFwrite, d, false));
        fix(benchmark::RegisterBenchmark(SaveName("zrregdll-unsynced", mb).c_str(), SaveZr, d, false));
        fix(benchmark::RegisterBenchmark(SaveName("libconfig", mb).c_str(), SaveLibconfig, d));
        fix(benchmark::RegisterBenchmark(SaveName("rapidjson", mb).c_str(), SaveRapidJson, d));
    }
}

}  // namespace zrbench
