// zrreg's compare and copy verbs: a key's subtree read whole from one loaded registry,
// then compared with another's or written again under another key.
#include <stdint.h>
#include <stdio.h>

#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kCompareHelp[] =
    "Usage: zrreg compare FILE1 KEY1 FILE2 KEY2 [-s] [--json]\n"
    "       zrreg compare FILE1 FILE2 [-s] [--json]\n"
    "\n"
    "Compares KEY1 of FILE1 with KEY2 of FILE2 (two files: their roots): their values,\n"
    "and the names of their subkeys. Each difference is a line: \"<\" for what only the\n"
    "first has or has otherwise, \">\" for the second, with the key's path and, for a\n"
    "value, its name, type and data. A last line tells the result. Names are matched\n"
    "without regard to letter case; data must be the same byte for byte.\n"
    "  -s      compare the whole subtrees, key by key\n"
    "  --json  print the differences as JSON (see the README for its form)\n"
    "\n"
    "Exit status, unlike the other verbs and like Windows' reg: 0 the same, 1 they\n"
    "differ, 2 an error (a usage error, a file that does not load, a key that does\n"
    "not exist).\n"
    "\n"
    "Examples: zrreg compare app.txt old.txt -s\n"
    "          zrreg compare app.txt 'HKCU\\Software' old.txt 'HKCU\\Software' -s --json\n";

const char kCopyHelp[] =
    "Usage: zrreg copy FILE SRC DST [-s] [--force]\n"
    "\n"
    "Copies the values of the key SRC into the key DST, creating DST with every missing\n"
    "key above it; values DST has already are replaced. FILE is written back.\n"
    "  -s       copy the whole subtree of SRC, its subkeys and their values too\n"
    "  --force  create DST even when its first level is not a root of FILE\n"
    "\n"
    "Example: zrreg copy app.txt 'HKCU\\Software\\MORVANE\\Ardo' 'HKCU\\Software\\Ardo' -s\n";

struct Value {
    std::string name;
    bool isInteger;
    int32_t integer;
    std::string text;
};

// A key and, to the depth read, its values and subkeys.
struct Tree {
    std::string name, path;
    std::vector<Value> values;
    std::vector<Tree> subkeys;
};

// Reads `node` with its values; its subkeys to `depth` levels (-1: all).
Tree Read(const RegViewKey* node, const std::string& path, int depth) {
    Tree t{RegViewName(node), path, {}, {}};
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        RegViewValue v = RegViewValueAt(node, i);
        t.values.push_back(Value{v.name, v.isInteger, v.integer, v.isInteger ? "" : v.text});
    }
    if (depth == 0) return t;
    std::string below = node == RegViewRoot() ? "" : path;
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        const RegViewKey* sub = RegViewSubkey(node, i);
        t.subkeys.push_back(Read(sub, Join(below, RegViewName(sub)), depth < 0 ? -1 : depth - 1));
    }
    return t;
}

// Loads `file` and reads the tree at `path`; false (reported) when it cannot.
bool ReadTree(const std::string& file, const std::string& path, int depth, Tree* out) {
    std::vector<std::string> parts;
    if (!KeyParts(path, &parts)) return false;
    Registry reg(file);
    if (!reg.Open(false)) return false;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return false;
    *out = Read(key.node, key.shown, depth);
    return true;
}

// ---- compare -------------------------------------------------------------------------------

struct Difference {
    char side;  // '<' the first, '>' the second
    std::string path;
    const Value* value;  // null for a key the other side lacks
};

template <typename T>
const T* Named(const std::vector<T>& list, const std::string& name) {
    for (const T& item : list)
        if (RegViewCompareNames(item.name.c_str(), name.c_str()) == 0) return &item;
    return nullptr;
}

bool SameData(const Value& a, const Value& b) {
    return a.isInteger == b.isInteger && (a.isInteger ? a.integer == b.integer : a.text == b.text);
}

// The first tree's values and subkeys in its order, then what only the second has.
void Compare(const Tree& a, const Tree& b, bool deep, std::vector<Difference>* out) {
    for (const Value& v : a.values) {
        const Value* w = Named(b.values, v.name);
        if (!w || !SameData(v, *w)) out->push_back(Difference{'<', a.path, &v});
        if (w && !SameData(v, *w)) out->push_back(Difference{'>', b.path, w});
    }
    for (const Value& w : b.values)
        if (!Named(a.values, w.name)) out->push_back(Difference{'>', b.path, &w});
    for (const Tree& s : a.subkeys) {
        const Tree* t = Named(b.subkeys, s.name);
        if (!t)
            out->push_back(Difference{'<', s.path, nullptr});
        else if (deep)
            Compare(s, *t, deep, out);
    }
    for (const Tree& t : b.subkeys)
        if (!Named(a.subkeys, t.name)) out->push_back(Difference{'>', t.path, nullptr});
}

void PrintDifference(const Difference& d) {
    std::string line = std::string(1, d.side) + " " + Latin1ToUtf8(d.path);
    if (const Value* v = d.value) {
        line += "    " + Latin1ToUtf8(v->name.empty() ? "(Default)" : v->name);
        if (v->isInteger) {
            char buf[48];
            snprintf(buf, sizeof buf, "    REG_DWORD    0x%08lx (%ld)",
                     static_cast<unsigned long>(static_cast<uint32_t>(v->integer)),
                     static_cast<long>(v->integer));
            line += buf;
        } else {
            line += "    REG_SZ    " + Latin1ToUtf8(v->text);
        }
    }
    printf("%s\n", line.c_str());
}

int RunCompare(const Args& a) {
    bool twoFiles = a.pos.size() == 2;
    const std::string& file2 = a.pos[twoFiles ? 1 : 2];
    std::string key1 = twoFiles ? "" : a.pos[1], key2 = twoFiles ? "" : a.pos[3];
    int depth = a.Has("-s") ? -1 : 1;
    Tree first, second;
    if (!ReadTree(a.pos[0], key1, depth, &first) || !ReadTree(file2, key2, depth, &second)) return kUsage;
    std::vector<Difference> diffs;
    Compare(first, second, a.Has("-s"), &diffs);
    if (a.Has("--json")) {
        printf("{\"same\": %s, \"differences\": [", diffs.empty() ? "true" : "false");
        for (size_t i = 0; i < diffs.size(); ++i) {
            const Difference& d = diffs[i];
            printf("%s\n  {\"side\": \"%s\", \"path\": %s", i ? "," : "", d.side == '<' ? "first" : "second",
                   JsonString(d.path).c_str());
            if (d.value)
                printf(", \"value\": %s",
                       JsonValue(d.value->name, d.value->isInteger, d.value->integer, d.value->text).c_str());
            printf("}");
        }
        printf("%s]}\n", diffs.empty() ? "" : "\n");
    } else {
        for (const Difference& d : diffs) PrintDifference(d);
        printf("%sResult compared: %s\n", diffs.empty() ? "" : "\n",
               diffs.empty() ? "identical" : "different");
    }
    return diffs.empty() ? kOk : kFailed;
}

// Usage errors of compare exit 2 as its other errors do; a count of 3 has no form.
const char* CompareConflict(const Args& a) {
    return a.pos.size() == 3 ? "give FILE1 KEY1 FILE2 KEY2, or FILE1 FILE2" : nullptr;
}

// ---- copy ----------------------------------------------------------------------------------

// Writes the values of `t` into the open key and, with `deep`, its subkeys below it;
// false (reported) at the first failure.
bool Write(const Registry& reg, const Tree& t, const Key& key, bool deep) {
    for (const Value& v : t.values) {
        long rc = SetValue(key.handle, v.name, v.isInteger, static_cast<uint32_t>(v.integer), v.text);
        if (rc != ZRREG_SUCCESS) {
            Error(reg.file(),
                  "key " + Quoted(key.shown) + ": value " + Quoted(v.name) + ": " + ResultText(rc));
            return false;
        }
    }
    if (!deep) return true;
    for (const Tree& s : t.subkeys) {
        Key sub;
        if (!OpenKey(reg, {s.name}, true, &sub, &key) || !Write(reg, s, sub, deep)) return false;
    }
    return true;
}

int RunCopy(const Args& a) {
    std::vector<std::string> src, dst;
    if (!KeyParts(a.pos[1], &src) || !KeyParts(a.pos[2], &dst)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(true)) return kFailed;
    Key from;
    if (!OpenKey(reg, src, false, &from)) return kFailed;
    Tree t = Read(from.node, from.shown, a.Has("-s") ? -1 : 0);
    from.Close();
    if (!dst.empty() && !MayCreateRoot(reg, dst[0], a.Has("--force"), "copy")) return kFailed;
    Key to;
    if (!OpenKey(reg, dst, true, &to) || !Write(reg, t, to, a.Has("-s"))) return kFailed;
    to.Close();
    return reg.Close(true) ? kOk : kFailed;
}

}  // namespace

const Verb kCompareVerb = {"compare", 2, 4, "-s --json", kCompareHelp, RunCompare, CompareConflict};
const Verb kCopyVerb = {"copy", 3, 3, "-s --force", kCopyHelp, RunCopy, nullptr};

}  // namespace zrreg
