// The hosts' view of a change's cost: any build's shared library, loaded by its path, driven
// through the exported calls alone, so that today's library and an older one (scripts/bench
// builds e9bf54c, before the change log, and 88825a8) run the same workloads in turns.
// Usage: zrhostbench LIBRARY DIR [ROUNDS]; prints "name value" lines, the best of ROUNDS.
#include <dlfcn.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Api {
    uint32_t (*load)(const char*);
    void (*unload)();
    void* (*root)();
    int32_t (*open)(void*, const unsigned short*, uint32_t, void**);
    int32_t (*close)(void*);
    int32_t (*query)(void*, const unsigned short*, uint32_t*, unsigned char*, uint32_t*);
    int32_t (*create)(void*, const unsigned short*, void**);
    int32_t (*set)(void*, const unsigned short*, uint32_t, const unsigned char*, uint32_t);
    int32_t (*del)(void*, const unsigned short*);
} zr;

bool Bind(const char* lib) {
    void* so = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (!so) {
        fprintf(stderr, "zrhostbench: %s\n", dlerror());
        return false;
    }
    bool ok = true;
    auto get = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(so, name));
        ok = ok && fn;
    };
    get(zr.load, "ZrLoadRegistry");
    get(zr.unload, "ZrUnloadRegistry");
    get(zr.root, "HkeyRegRoot");
    get(zr.open, "ZrRegOpenKeyEx");
    get(zr.close, "ZrRegCloseKey");
    get(zr.query, "ZrRegQueryValueEx");
    get(zr.create, "ZrRegCreateKey");
    get(zr.set, "ZrRegSetValueEx");
    get(zr.del, "ZrRegDeleteKey");
    return ok;
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::basic_string<unsigned short> W(const std::string& s) { return {s.begin(), s.end()}; }

// A registry file whose key HKEY_CURRENT_USER\Bench holds `values` integers v0, v1, ... and
// `keys` subkeys of ten values each (a file of some size for the loads).
std::string Write(const std::string& dir, const char* name, int values, int keys = 0) {
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return "";
    fprintf(
        f,
        "KEY \"My Computer\"\n(\n    KEY \"HKEY_CURRENT_USER\"\n    (\n        KEY \"Bench\"\n        (\n");
    for (int i = 0; i < values; ++i) fprintf(f, "            [REG_INT] \"v%d\" = %d;\n", i, i);
    for (int k = 0; k < keys; ++k) {
        fprintf(f, "            KEY \"k%d\"\n            (\n", k);
        for (int i = 0; i < 10; ++i)
            fprintf(f, "                [REG_SZ] \"name%d\" = \"some text of key %d, value %d\";\n", i, k, i);
        fprintf(f, "            )\n");
    }
    fprintf(f, "        )\n    )\n)\n");
    fclose(f);
    return path;
}

uint64_t LogEnd(const std::string& path) {
    uint64_t end = 0;
    FILE* f = fopen((path + "-log").c_str(), "rb");
    if (f && (fseek(f, 24, SEEK_SET) != 0 || fread(&end, sizeof end, 1, f) != 1)) end = 0;
    if (f) fclose(f);
    return end;
}

void* OpenBench() {
    void* h = nullptr;
    zr.open(zr.root(), W("HKEY_CURRENT_USER\\Bench").c_str(), 0, &h);
    return h;
}

std::vector<std::basic_string<unsigned short>> Names(int n) {
    std::vector<std::basic_string<unsigned short>> names;
    for (int i = 0; i < n; ++i) names.push_back(W("v" + std::to_string(i)));
    return names;
}

// Nanoseconds per query and per set of each of `n` values in turn, new data at every round.
void Overwrite(void* h, int n, int rounds, double* query, double* set) {
    auto names = Names(n);
    *query = *set = 1e30;
    for (int r = 0; r <= rounds; ++r) {  // round 0 warms up
        double t0 = Now();
        for (int i = 0; i < n; ++i) {
            uint32_t type, v, len = 4;
            zr.query(h, names[i].c_str(), &type, reinterpret_cast<unsigned char*>(&v), &len);
        }
        double t1 = Now();
        for (int i = 0; i < n; ++i) {
            uint32_t v = static_cast<uint32_t>(i + r * n);
            zr.set(h, names[i].c_str(), 4, reinterpret_cast<unsigned char*>(&v), 4);
        }
        double t2 = Now();
        if (r == 0) continue;
        *query = std::min(*query, (t1 - t0) * 1e9 / n);
        *set = std::min(*set, (t2 - t1) * 1e9 / n);
    }
}

// One round of a host's mixed calls: open a key, query, set, create a subkey, close it,
// delete it, close the key. Nanoseconds per round of the seven calls.
double Mixed(int n, int rounds) {
    auto path = W("HKEY_CURRENT_USER\\Bench");
    auto v0 = W("v0"), sub = W("mixed");
    double best = 1e30;
    for (int r = 0; r <= rounds; ++r) {
        double t0 = Now();
        for (int i = 0; i < n; ++i) {
            void *h = nullptr, *k = nullptr;
            zr.open(zr.root(), path.c_str(), 0, &h);
            uint32_t type, v, len = 4;
            zr.query(h, v0.c_str(), &type, reinterpret_cast<unsigned char*>(&v), &len);
            v = static_cast<uint32_t>(i);
            zr.set(h, v0.c_str(), 4, reinterpret_cast<unsigned char*>(&v), 4);
            zr.create(h, sub.c_str(), &k);
            zr.close(k);
            zr.del(h, sub.c_str());
            zr.close(h);
        }
        if (r) best = std::min(best, (Now() - t0) * 1e9 / n);
    }
    return best;
}

// A second process of the same library that loads the file and waits: a fresh one, as a
// process that forks after its load inherits that load.
pid_t IdlePeer(const char* self, const char* lib, const std::string& path) {
    fflush(stdout);
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        dup2(ready[1], 1);
        execl(self, self, "--idle", lib, path.c_str(), static_cast<char*>(nullptr));
        _exit(1);
    }
    close(ready[1]);
    char ok = 'n';
    if (read(ready[0], &ok, 1) != 1) ok = 'n';
    close(ready[0]);
    if (ok != 'y' && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

void EndPeer(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Milliseconds from a fresh process's load to the end of its first set in a key of
// `n` values, and of the first query: one child each round, best and worst.
void FirstCalls(const std::string& path, int rounds, double best[2], double worst[2]) {
    best[0] = best[1] = 1e30;
    worst[0] = worst[1] = 0;
    for (int r = 0; r < rounds; ++r) {
        int out[2];
        if (pipe(out) != 0) return;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            close(out[0]);
            double t[2] = {-1, -1};
            if (zr.load(path.c_str()) == 0) {
                void* h = OpenBench();
                auto name = W("v77777");
                uint32_t type, v = 1, len = 4;
                double t0 = Now();
                zr.query(h, name.c_str(), &type, reinterpret_cast<unsigned char*>(&v), &len);
                double t1 = Now();
                zr.set(h, name.c_str(), 4, reinterpret_cast<unsigned char*>(&v), 4);
                double t2 = Now();
                t[0] = (t2 - t1) * 1e3;
                t[1] = (t1 - t0) * 1e3;
                zr.close(h);
            }
            if (write(out[1], t, sizeof t) != sizeof t) _exit(1);
            zr.unload();
            _exit(0);
        }
        close(out[1]);
        double t[2] = {-1, -1};
        if (read(out[0], t, sizeof t) != sizeof t) t[0] = -1;
        close(out[0]);
        waitpid(pid, nullptr, 0);
        for (int i = 0; i < 2; ++i) {
            best[i] = std::min(best[i], t[i]);
            worst[i] = std::max(worst[i], t[i]);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--fresh-load") == 0) {  // one load in a fresh process
        if (!Bind(argv[2])) return 2;
        double t0 = Now();
        if (zr.load(argv[3]) != 0) return 3;
        printf("%.3f\n", (Now() - t0) * 1e3);
        zr.unload();
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "--idle") == 0) {  // the idle second process
        if (!Bind(argv[2]) || zr.load(argv[3]) != 0) return 3;
        if (write(1, "y", 1) != 1) return 1;
        for (;;) pause();
    }
    if (argc < 3 || !Bind(argv[1])) {
        fprintf(stderr, "usage: zrhostbench LIBRARY DIR [ROUNDS]\n");
        return 2;
    }
    std::string dir = argv[2];
    int rounds = argc > 3 ? atoi(argv[3]) : 5;
    const int kValues = 20000;

    std::string one = Write(dir, "host-one.txt", kValues);
    if (one.empty() || zr.load(one.c_str()) != 0) return 3;
    void* h = OpenBench();
    double query, set, setIdle, unused;
    Overwrite(h, kValues, rounds, &query, &set);
    printf("overwrite-query-ns %.1f\noverwrite-set-ns %.1f\n", query, set);
    printf("mixed-ns %.1f\n", Mixed(kValues, rounds));
    // The set alone and beside an idle second process, in turns.
    double alone = 1e30, idle = 1e30;
    for (int r = 0; r < rounds; ++r) {
        Overwrite(h, kValues, 1, &unused, &set);
        alone = std::min(alone, set);
        pid_t peer = IdlePeer(argv[0], argv[1], one);
        if (peer < 0) return 4;
        Overwrite(h, kValues, 1, &unused, &setIdle);
        idle = std::min(idle, setIdle);
        EndPeer(peer);
    }
    printf("set-alone-ns %.1f\nset-idle-peer-ns %.1f\n", alone, idle);
    // The log's bytes per change of a 4-byte value: its header's end mark (the eight bytes at
    // 24) before and after a round of sets; a library without a log has no such file.
    uint64_t before = LogEnd(one), after;
    Overwrite(h, kValues, 1, &unused, &set);
    if (before && (after = LogEnd(one)) > before)
        printf("log-bytes-per-change %.1f\n", static_cast<double>(after - before) / (2 * kValues));
    zr.close(h);
    zr.unload();

    std::string big = Write(dir, "host-big.txt", 100000);
    double best[2], worst[2];
    FirstCalls(big, rounds, best, worst);
    printf("first-set-ms %.3f\nfirst-set-worst-ms %.3f\nfirst-query-ms %.3f\nfirst-query-worst-ms %.3f\n",
           best[0], worst[0], best[1], worst[1]);

    // A fresh process's first load against warm loads of the same file in this one.
    std::string loads = Write(dir, "host-load.txt", 0, 40000);
    double warm = 1e30, fresh = 1e30;
    zr.load(loads.c_str());  // untimed: the pool is warm from here
    zr.unload();
    for (int r = 0; r < rounds; ++r) {
        double t0 = Now();
        zr.load(loads.c_str());
        warm = std::min(warm, (Now() - t0) * 1e3);
        zr.unload();
        std::string cmd = std::string("'") + argv[0] + "' --fresh-load '" + argv[1] + "' '" + loads + "'";
        fflush(stdout);
        FILE* p = popen(cmd.c_str(), "r");
        double ms;
        if (p && fscanf(p, "%lf", &ms) == 1) fresh = std::min(fresh, ms);
        if (p) pclose(p);
    }
    printf("warm-load-ms %.3f\nfresh-load-ms %.3f\n", warm, fresh);
    unlink(one.c_str());
    unlink(big.c_str());
    unlink(loads.c_str());
    return 0;
}
