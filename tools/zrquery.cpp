// zrreg's check and query verbs: loading a file to see what is wrong with it, and
// printing keys, values and subtrees.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kCheckHelp[] =
    "Usage: zrreg check FILE\n"
    "\n"
    "Loads FILE and prints the library's messages about it on standard output: syntax\n"
    "errors with their line numbers, then a count of its keys and values when it loads.\n"
    "Nothing is written. Exit status 0 when the file loads, 1 when it does not.\n";

const char kQueryHelp[] =
    "Usage: zrreg query FILE [KEY] [-v NAME | -s]\n"
    "\n"
    "Prints KEY (the root when it is left out): its path, then one line per value with\n"
    "its name, type and data, then the full paths of its subkeys.\n"
    "  -v NAME  print the one value NAME (\"\" for the default value)\n"
    "  -s       print the whole subtree, key by key\n"
    "\n"
    "Example: zrreg query app.reg HKLM\\Software\\MORVANE\\Ardo\\1.0 -v InstallDir\n";

void Count(const RegViewKey* node, long* keys, long* values) {
    ++*keys;
    *values += RegViewValueCount(node);
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) Count(RegViewSubkey(node, i), keys, values);
}

int RunCheck(const Args& a) {
    Registry reg(a.pos[0]);
    if (!reg.Open(false, true)) return kFailed;
    long keys = 0, values = 0;
    Count(RegViewRoot(), &keys, &values);
    printf("%s: loads: %ld keys, %ld values\n", a.pos[0].c_str(), keys, values);
    return kOk;
}

// One value line; names are padded to `width` so that a key's values line up.
void PrintValue(const RegViewValue& v, size_t width) {
    std::string name = *v.name ? v.name : "(Default)";
    name.resize(width > name.size() ? width : name.size(), ' ');
    name = Latin1ToUtf8(name);
    if (v.isInteger) {
        int32_t n = v.integer;
        printf("    %s    REG_DWORD    0x%08lx (%ld)\n", name.c_str(),
               static_cast<unsigned long>(static_cast<uint32_t>(n)), static_cast<long>(n));
    } else {
        printf("    %s    REG_SZ       %s\n", name.c_str(), Latin1ToUtf8(v.text).c_str());
    }
}

void PrintKey(const RegViewKey* node, const std::string& shown) {
    printf("%s\n", Latin1ToUtf8(shown).c_str());
    size_t width = 0;
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        const char* name = RegViewValueAt(node, i).name;
        size_t n = *name ? strlen(name) : strlen("(Default)");
        if (n > width) width = n;
    }
    for (int i = 0; i < RegViewValueCount(node); ++i) PrintValue(RegViewValueAt(node, i), width);
}

void PrintTree(const RegViewKey* node, const std::string& below) {
    PrintKey(node, ShownPath(node, below));
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        printf("\n");
        const RegViewKey* sub = RegViewSubkey(node, i);
        PrintTree(sub, Join(below, RegViewName(sub)));
    }
}

int RunQuery(const Args& a) {
    std::vector<std::string> parts;
    std::string name;
    if (a.pos.size() > 1 && !KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(a.Get("-v"), "the value name", &name)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(false, false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    std::string below = key.node == RegViewRoot() ? "" : key.shown;
    if (a.Has("-v")) {
        RegViewValue v;
        if (!FindValue(key.node, ValueName(name), &v)) {
            Error(reg.file(),
                  "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": the value does not exist");
            return kFailed;
        }
        printf("%s\n", Latin1ToUtf8(key.shown).c_str());
        PrintValue(v, 0);
    } else if (a.Has("-s")) {
        PrintTree(key.node, below);
    } else {
        PrintKey(key.node, key.shown);
        if (RegViewSubkeyCount(key.node) > 0) printf("\n");
        for (int i = 0; i < RegViewSubkeyCount(key.node); ++i)
            printf("%s\n", Latin1ToUtf8(Join(below, RegViewName(RegViewSubkey(key.node, i)))).c_str());
    }
    return kOk;
}

const char* QueryConflict(const Args& a) {
    return a.Has("-v") && a.Has("-s") ? "-v and -s cannot be combined" : nullptr;
}

}  // namespace

const Verb kCheckVerb = {"check", 1, 1, "", kCheckHelp, RunCheck, nullptr};
const Verb kQueryVerb = {"query", 1, 2, "-v= -s", kQueryHelp, RunQuery, QueryConflict};

}  // namespace zrreg
