// zrreg's compare and copy verbs: the subtrees of keys of two registry files loaded at
// once compared; a key's subtree read whole and written again under another key.
#include <stdint.h>
#include <stdio.h>

#include <unordered_map>

#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kCompareHelp[] =
    "Usage: zrreg compare FILE1 KEY1 FILE2 [KEY2] [-v NAME | -ve | -s] [--json]\n"
    "       zrreg compare FILE1 FILE2 [-v NAME | -ve | -s] [--json]\n"
    "\n"
    "Compares KEY1 of FILE1 with KEY2 of FILE2 (KEY1 again when KEY2 is left out; two\n"
    "files alone: their roots): their values, and the names of their subkeys. Each\n"
    "difference is a line: \"<\" for what only the first has or has otherwise, \">\" for\n"
    "the second, with the key's path and, for a value, its name, type and data. A last\n"
    "line tells the result. Names are matched without regard to letter case, and a\n"
    "name that a key has twice pairs in order: the second with the other side's second.\n"
    "Data must be the same byte for byte.\n"
    "  -v NAME  compare only the value NAME of the two keys (\"\" for the default\n"
    "           value); that neither key has it is an error\n"
    "  -ve      compare only the default values, as -v \"\"\n"
    "  -s       compare the whole subtrees, key by key\n"
    "  --json   print the differences as JSON (its form is in zrreg(1))\n"
    "\n"
    "Windows' reg compare switches /v, /ve and /s are these options.\n"
    "\n"
    "Exit status, unlike the other verbs and like Windows' reg: 0 the same, 1 they\n"
    "differ, 2 an error (a usage error, a file that does not load, a key that does\n"
    "not exist).\n"
    "\n"
    "Examples: zrreg compare app.txt old.txt -s\n"
    "          zrreg compare app.txt 'HKCU\\Software' old.txt -s --json\n";

const char kCopyHelp[] =
    "Usage: zrreg copy FILE SRC DST [-s] [--force]\n"
    "\n"
    "Copies the values of the key SRC into the key DST, creating DST with every missing\n"
    "key above it; values DST has already are replaced, without a question. FILE is\n"
    "written back.\n"
    "  -s       copy the whole subtree of SRC, its subkeys and their values too; a\n"
    "           subkey whose name is empty or holds \"\\\" or \"/\" (the file allows them,\n"
    "           but the library cannot create such a key) is refused, with its\n"
    "           path, and nothing is copied\n"
    "  --force  create DST even when its first level is not a root of FILE; write\n"
    "           FILE even when it holds integers wider than 32 bits\n"
    "\n"
    "Windows' reg copy switch /s is -s; /f is taken and changes nothing, as copy never\n"
    "asks (it is not --force).\n"
    "\n"
    "Example: zrreg copy app.txt 'HKCU\\Software\\MORVANE\\Ardo' 'HKCU\\Software\\Ardo' -s\n";

struct Value {
    std::string name;
    TypedData data;
};

// A key's subtree read whole, to the depth asked for, in the walk's order: copy writes into
// the tree it read. A flat list, so that no depth of tree makes the program recurse.
struct Tree {
    struct Node {
        std::string name;
        std::vector<Value> values;
        int parent;  // -1 for the top
        int end;     // the index after its subtree; its subkeys are i + 1, then each one's end
    };
    std::vector<Node> nodes;  // nodes[0] is the top
    std::string topShown;
    bool topIsRoot;

    std::vector<int> Subkeys(int i) const {
        std::vector<int> out;
        for (int c = i + 1; c < nodes[i].end; c = nodes[c].end) out.push_back(c);
        return out;
    }
    // The path of nodes[i] as the output shows it, with the top shown as `top`.
    std::string Path(int i, const std::string& top, bool rootTop) const {
        std::vector<const std::string*> names;
        for (; i > 0; i = nodes[i].parent) names.push_back(&nodes[i].name);
        std::string path = rootTop && !names.empty() ? "" : top;
        for (auto it = names.rbegin(); it != names.rend(); ++it) path = JoinKeyPath(path, **it);
        return path;
    }
    std::string Path(int i) const { return Path(i, topShown, topIsRoot); }
};

// Reads the open key's subtree to `levels` levels below it (-1: all).
Tree Read(const Key& key, int levels) {
    Tree t{{}, key.shown, key.node == RegViewRoot()};
    std::vector<int> open;  // the nodes along the walk's path
    for (Walk walk(key.node, key.shown, levels); walk.Next();) {
        int at = static_cast<int>(t.nodes.size());
        while (static_cast<int>(open.size()) > walk.depth()) {
            t.nodes[open.back()].end = at;
            open.pop_back();
        }
        Tree::Node n{RegViewName(walk.key()), {}, open.empty() ? -1 : open.back(), 0};
        for (int i = 0; i < RegViewValueCount(walk.key()); ++i) {
            RegViewValue v = RegViewValueAt(walk.key(), i);
            n.values.push_back(Value{v.name, ViewData(v)});
        }
        t.nodes.push_back(std::move(n));
        open.push_back(at);
    }
    for (int i : open) t.nodes[i].end = static_cast<int>(t.nodes.size());
    return t;
}

// ---- compare -------------------------------------------------------------------------------

// One side of a comparison: its file loaded as an app key, beside the other's, and the key.
struct Side {
    const RegViewKey* top;
    std::string shown;
    bool topIsRoot;
};

// Loads the file of `reg` and finds the key at `path`; false (reported) when it cannot.
bool OpenSide(Registry* reg, const std::string& path, Side* out) {
    std::vector<std::string> parts;
    if (!KeyParts(reg->file(), path, &parts) || !reg->OpenApp()) return false;
    Key key;
    if (!OpenKey(*reg, parts, false, &key)) return false;
    *out = Side{key.node, key.shown, key.node == reg->root()};
    return true;
}

struct Difference {
    char side;  // '<' the first, '>' the second
    std::string path;
    bool hasValue;  // false for a key the other side lacks
    Value value;
};

// Pairs the names of two lists: the i-th of a name (letters without regard to case, as
// the library matches names) with the i-th of that name in the other list, so that
// duplicate names, which the library keeps, pair in their order. For each name of `a`,
// the index in `b` of the name it pairs with, or -1.
std::vector<int> Pair(const std::vector<const char*>& a, const std::vector<const char*>& b) {
    std::unordered_map<std::string, std::vector<int>> inB;
    for (size_t j = 0; j < b.size(); ++j) inB[FoldName(b[j])].push_back(static_cast<int>(j));
    std::unordered_map<std::string, size_t> seen;
    std::vector<int> pairs;
    for (const char* name : a) {
        std::string folded = FoldName(name);
        size_t rank = seen[folded]++;
        auto it = inB.find(folded);
        pairs.push_back(it != inB.end() && rank < it->second.size() ? it->second[rank] : -1);
    }
    return pairs;
}

// Which of `b` no name of `a` pairs with.
std::vector<bool> Unpaired(const std::vector<int>& pairs, size_t nb) {
    std::vector<bool> alone(nb, true);
    for (int j : pairs)
        if (j >= 0) alone[static_cast<size_t>(j)] = false;
    return alone;
}

// A key's values, or with `only` (a folded name) those of that name alone.
std::vector<Value> ValuesOf(const RegViewKey* key, const std::string* only) {
    std::vector<Value> values;
    for (int i = 0; i < RegViewValueCount(key); ++i) {
        RegViewValue v = RegViewValueAt(key, i);
        if (!only || FoldName(v.name) == *only) values.push_back(Value{v.name, ViewData(v)});
    }
    return values;
}

std::vector<const char*> ValueNames(const std::vector<Value>& values) {
    std::vector<const char*> names;
    for (const Value& v : values) names.push_back(v.name.c_str());
    return names;
}

std::vector<const RegViewKey*> SubkeysOf(const RegViewKey* key) {
    std::vector<const RegViewKey*> out;
    for (int i = 0; i < RegViewSubkeyCount(key); ++i) out.push_back(RegViewSubkey(key, i));
    return out;
}

std::vector<const char*> SubkeyNames(const std::vector<const RegViewKey*>& keys) {
    std::vector<const char*> names;
    for (const RegViewKey* k : keys) names.push_back(RegViewName(k));
    return names;
}

// Compares the subtrees of two keys, read from the two trees as the walk goes.
class Comparison {
public:
    Comparison(const Side& a, const Side& b, const std::string* only, std::vector<Difference>* out)
        : a_(a), b_(b), only_(only), out_(out) {}

    // Each pair of keys: the first tree's values and subkeys in its order (with `deep`, each
    // subkey's own differences right after it), then what only the second has. Without
    // `subkeys`, the values alone.
    void Run(bool subkeys, bool deep) {
        Enter(a_.top, b_.top, subkeys);
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next < f.subA.size()) {
                size_t k = f.next++;
                if (f.pairs[k] < 0)
                    Add('<', RegViewName(f.subA[k]), nullptr);
                else if (deep)
                    Enter(f.subA[k], f.subB[static_cast<size_t>(f.pairs[k])], true);
                continue;
            }
            std::vector<bool> alone = Unpaired(f.pairs, f.subB.size());
            for (size_t k = 0; k < f.subB.size(); ++k)
                if (alone[k]) Add('>', RegViewName(f.subB[k]), nullptr);
            stack_.pop_back();
        }
    }

private:
    struct Frame {
        const RegViewKey *x, *y;  // the keys compared, in a and b
        std::vector<const RegViewKey*> subA, subB;
        std::vector<int> pairs;
        size_t next;  // the subkey of a to look at next
    };

    void Enter(const RegViewKey* x, const RegViewKey* y, bool subkeys) {
        stack_.push_back(Frame{x, y, {}, {}, {}, 0});
        std::vector<Value> va = ValuesOf(x, only_), vb = ValuesOf(y, only_);
        std::vector<int> pairs = Pair(ValueNames(va), ValueNames(vb));
        for (size_t k = 0; k < va.size(); ++k) {
            const Value* w = pairs[k] < 0 ? nullptr : &vb[static_cast<size_t>(pairs[k])];
            bool same = w && va[k].data == w->data;
            if (!same) Add('<', nullptr, &va[k]);
            if (w && !same) Add('>', nullptr, w);
        }
        std::vector<bool> alone = Unpaired(pairs, vb.size());
        for (size_t k = 0; k < vb.size(); ++k)
            if (alone[k]) Add('>', nullptr, &vb[k]);
        if (!subkeys) return;
        Frame& f = stack_.back();
        f.subA = SubkeysOf(x);
        f.subB = SubkeysOf(y);
        f.pairs = Pair(SubkeyNames(f.subA), SubkeyNames(f.subB));
    }

    // A difference at the key compared now, or at its subkey `sub`. Paths are made only
    // for differences: a path kept per level would cost the square of a deep tree's depth.
    void Add(char side, const char* sub, const Value* value) {
        const Side& s = side == '<' ? a_ : b_;
        bool below = sub || stack_.size() > 1;
        std::string path = s.topIsRoot && below ? "" : s.shown;
        for (size_t i = 1; i < stack_.size(); ++i)
            path = JoinKeyPath(path, RegViewName(side == '<' ? stack_[i].x : stack_[i].y));
        if (sub) path = JoinKeyPath(path, sub);
        out_->push_back(Difference{side, path, value != nullptr, value ? *value : Value{}});
    }

    const Side& a_;
    const Side& b_;
    const std::string* only_;
    std::vector<Difference>* out_;
    std::vector<Frame> stack_;
};

void PrintDifference(const Difference& d) {
    std::string line = std::string(1, d.side) + " " + Latin1ToUtf8(d.path);
    if (d.hasValue) {
        const Value& v = d.value;
        line += "    " + Latin1ToUtf8(v.name.empty() ? "(Default)" : v.name);
        line += "    " + TypeName(v.data.type) + "    " + ShownData(v.data);
    }
    printf("%s\n", line.c_str());
}

int RunCompare(const Args& a) {
    bool twoFiles = a.pos.size() == 2;
    const std::string& file2 = a.pos[twoFiles ? 1 : 2];
    std::string key1 = twoFiles ? "" : a.pos[1];
    std::string key2 = a.pos.size() == 4 ? a.pos[3] : key1;
    std::string name;
    if (a.Has("-v") && !ToRegistryText(Typed(a.pos[0], key1, &a.Get("-v")), "the name", a.Get("-v"), &name))
        return kUsage;
    // Both files at once, each a registry of its own (one, given twice).
    Registry reg1(a.pos[0]), reg2(file2);
    Side first, second;
    if (!OpenSide(&reg1, key1, &first) || !OpenSide(&reg2, key2, &second)) return kUsage;
    std::string folded = FoldName(ValueName(name));
    // With -v, the one value alone: no subkeys.
    const std::string* only = a.Has("-v") ? &folded : nullptr;
    if (only && ValuesOf(first.top, only).empty() && ValuesOf(second.top, only).empty()) {
        Error(a.pos[0], "key " + Quoted(first.shown) + ": value " + Quoted(name) +
                            ": the value does not exist, nor in " + file2 + ", key " + Quoted(second.shown));
        return kUsage;
    }
    std::vector<Difference> diffs;
    Comparison(first, second, only, &diffs).Run(!only, a.Has("-s"));
    if (a.Has("--json")) {
        printf("{\"same\": %s, \"differences\": [", diffs.empty() ? "true" : "false");
        for (size_t i = 0; i < diffs.size(); ++i) {
            const Difference& d = diffs[i];
            printf("%s\n  {\"side\": \"%s\", \"path\": %s", i ? "," : "", d.side == '<' ? "first" : "second",
                   JsonString(d.path).c_str());
            if (d.hasValue) printf(", \"value\": %s", JsonValue(d.value.name, d.value.data).c_str());
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

const char* CompareConflict(const Args& a) {
    return a.Has("-v") && a.Has("-s") ? "-v and -s cannot be combined" : nullptr;
}

// ---- copy ----------------------------------------------------------------------------------

// Writes the values of the tree's top into the open key `to` and, with `deep`, its
// subkeys below it; false (reported) at the first failure. Only the handles of keys whose
// subkeys are not all made yet stay open: the library's handles each hold their whole
// path, and a deep chain of them would hold the square of its depth.
bool Write(const Registry& reg, const Tree& t, const Key& to, bool deep) {
    bool rootTo = to.node == RegViewRoot();
    struct Open {
        int i;
        void* handle;  // null once its last subkey is made
    };
    std::vector<Open> open;
    auto fail = [&](int i, const std::string& what, long rc) {
        Error(reg.file(), "key " + Quoted(t.Path(i, to.shown, rootTo)) + what + ": " + ResultText(rc));
        for (const Open& o : open)
            if (o.handle && o.i != 0) ZrRegCloseKey(o.handle);
        return false;
    };
    int last = deep ? static_cast<int>(t.nodes.size()) : 1;
    for (int i = 0; i < last; ++i) {
        void* handle = to.handle;
        if (i > 0) {
            int parent = t.nodes[i].parent;
            while (open.back().i != parent) {
                if (open.back().handle) ZrRegCloseKey(open.back().handle);
                open.pop_back();
            }
            long rc = OpenSubkey(open.back().handle, t.nodes[i].name, true, &handle);
            if (rc != ZRREG_SUCCESS) return fail(i, "", rc);
            // Its parent's last subkey: the parent's handle is needed no more.
            if (t.nodes[i].end == t.nodes[parent].end && open.back().i != 0) {
                ZrRegCloseKey(open.back().handle);
                open.back().handle = nullptr;
            }
        }
        open.push_back(Open{i, handle});
        for (const Value& v : t.nodes[i].values) {
            long rc = SetTypedValue(handle, v.name, v.data);
            if (rc != ZRREG_SUCCESS) return fail(i, ": value " + Quoted(v.name), rc);
        }
    }
    for (const Open& o : open)
        if (o.handle && o.i != 0) ZrRegCloseKey(o.handle);
    return true;
}

int RunCopy(const Args& a) {
    std::vector<std::string> src, dst;
    if (!KeyParts(a.pos[0], a.pos[1], &src) || !KeyParts(a.pos[0], a.pos[2], &dst)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(true, a.Has("--force"))) return kFailed;
    Key from;
    if (!OpenKey(reg, src, false, &from)) return kFailed;
    Tree t = Read(from, a.Has("-s") ? -1 : 0);
    from.Close();
    // The library cannot make such a key: it takes "a/b" for the key b under a.
    bool unmakable = false;
    for (size_t i = 1; i < t.nodes.size(); ++i) {
        const std::string& name = t.nodes[i].name;
        if (!name.empty() && name.find_first_of("\\/") == std::string::npos) continue;
        Error(reg.file(), "key " + Quoted(t.Path(static_cast<int>(i))) + ": " + ResultText(kCannotMake));
        unmakable = true;
    }
    if (unmakable) {
        Error(reg.file(), "key " + Quoted(from.shown) + ": nothing copied");
        return kFailed;
    }
    if (!dst.empty() && !MayCreateRoot(reg, dst[0], a.Has("--force"), "copy")) return kFailed;
    Key to;
    if (!OpenKey(reg, dst, true, &to) || !Write(reg, t, to, a.Has("-s"))) return kFailed;
    to.Close();
    return reg.Close(true) ? kOk : kFailed;
}

}  // namespace

const Verb kCompareVerb = {
    "compare", 2, 4, "-v= -ve -s --json", kCompareHelp, RunCompare, CompareConflict, "v=-v ve=-ve s=-s"};
const Verb kCopyVerb = {"copy", 3, 3, "-s --force", kCopyHelp, RunCopy, nullptr, "s=-s f="};

}  // namespace zrreg
