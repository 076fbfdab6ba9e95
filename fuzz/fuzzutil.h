// Helpers shared by the fuzz targets: a private folder, file bytes and a text dump of the tree.
#ifndef FUZZUTIL_H
#define FUZZUTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "regview.h"
#include "zrregdll.h"

// Stops the run with a message, so that libFuzzer records the input as a finding.
#define FUZZ_CHECK(cond)                                                             \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

// The loader prints about bad files on standard output; at millions of inputs that
// would be most of the run's time.
inline void SilenceStdout() { FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr); }

// A folder of this process's own for the registry file, in memory where there is such a
// file system: each save syncs the file and its folder, which on a disk costs more than
// everything else an input does.
inline std::string FuzzDir() {
    static std::string dir;
    if (dir.empty()) {
        char shm[] = "/dev/shm/zrfuzz-XXXXXX", tmp[] = "/tmp/zrfuzz-XXXXXX";
        const char* made = mkdtemp(shm);
        if (!made) made = mkdtemp(tmp);
        FUZZ_CHECK(made != nullptr);
        dir = made;
    }
    return dir;
}

// Removes the folder and the registry file in it when the run ends.
inline void RemoveFuzzDirAtExit(const char* file) {
    static std::string path;
    path = FuzzDir() + "/" + file;
    atexit([] {
        unlink(path.c_str());
        rmdir(FuzzDir().c_str());
    });
}

inline void WriteBytes(const std::string& path, const void* data, size_t n) {
    FILE* fp = fopen(path.c_str(), "wb");
    FUZZ_CHECK(fp != nullptr);
    FUZZ_CHECK(fwrite(data, 1, n, fp) == n);
    FUZZ_CHECK(fclose(fp) == 0);
}

inline std::string ReadBytes(const std::string& path) {
    std::string s;
    FILE* fp = fopen(path.c_str(), "rb");
    FUZZ_CHECK(fp != nullptr);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, fp)) > 0;) s.append(buf, n);
    fclose(fp);
    return s;
}

// Names, types and data of every key and value, in list order, with the nesting.
inline void DumpTo(const RegViewKey* node, std::string& out) {
    out += "K" + std::string(RegViewName(node)) + '\x01';
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        RegViewValue v = RegViewValueAt(node, i);
        out += "V" + std::string(v.name) + '\x01';
        if (v.text) {
            out += "S" + std::string(v.text);
        } else if (!v.data) {
            out += "I" + std::to_string(v.integer);
        } else {
            out += "T" + std::to_string(v.type) + ":" +
                   std::string(reinterpret_cast<const char*>(v.data), v.size);
        }
        out += '\x01';
    }
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) DumpTo(RegViewSubkey(node, i), out);
    out += ")";
}

inline std::string Dump() {
    std::string out;
    if (RegViewRoot()) DumpTo(RegViewRoot(), out);
    return out;
}

#endif
