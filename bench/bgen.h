// Generators of benchmark registries: the same content as a registry file, a libconfig file and JSON.
#ifndef BGEN_H
#define BGEN_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// The shape of the generated content. The root "My Computer" holds subtrees of `depth`
// levels with `fanout` subkeys per key, repeated until the registry file reaches the
// requested size; every key holds `valuesPerKey` values, half strings and half integers
// (negative ones included). Lengths vary around the given averages.
struct GenShape {
    int depth = 4;
    int fanout = 5;
    int valuesPerKey = 5;
    int nameLen = 12;
    int strLen = 24;
    uint64_t seed = 1;
};

struct GenStats {
    size_t keys = 0;
    size_t values = 0;
    size_t regBytes = 0;
    size_t cfgBytes = 0;
    size_t jsonBytes = 0;
};

// Writes base + ".reg", ".cfg" and ".json" with equivalent content; false when a file
// cannot be written.
bool GenerateFiles(const std::string& base, size_t targetBytes, const GenShape& shape, GenStats* stats);

// The registry file alone, of the same tree with values of every type: of every eight
// values two plain strings and a plain integer, then a REG_BINARY of 8 to 32 bytes in hex, a
// REG_QWORD, a REG_SZ_EX with escapes, a REG_MULTI_SZ of two texts and a REG_EXPAND_SZ.
bool GenerateMixed(const std::string& path, size_t targetBytes, const GenShape& shape, GenStats* stats);

// The per-call fixture: a chain Level_1/.../Level_<depth-1> below the root, each level
// after three empty siblings, ending in a key with `n` subkeys Key_000000... (the last
// of which holds `n` integer values Value_000000...). Registry file only.
bool GenerateWide(const std::string& path, int depth, int n);

// The first-use fixture: below the root one key "Big" holding `n` values and then `n` empty
// subkeys, both with names of random letters and an index (in no order), half the values
// strings and half integers. *lastValue and *lastKey get the names last in the file.
bool GenerateFirstUse(const std::string& path, int n, std::string* lastValue, std::string* lastKey);

std::string WideKeyName(int i);
std::string WideValueName(int i);
// The path of the key with the n subkeys, components joined by "\".
std::string WideParentPath(int depth);

#endif
