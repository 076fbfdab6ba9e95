// zrreg's keys along a user's path: found in the tree, opened or created through the
// library level by level, checked to reach the key the path names; and walks of a subtree.
#include <stdint.h>
#include <string.h>

#include <unordered_map>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {

std::string Join(const std::string& parent, const char* name) { return JoinKeyPath(parent, name); }

std::string ShownPath(const RegViewKey* node, const std::string& belowRoot) {
    return belowRoot.empty() ? std::string(RegViewName(node)) : belowRoot;
}

std::string PathOf(const RegViewKey* node) {
    PathText path;
    for (Walk walk(RegViewRoot(), ""); walk.Next();) {
        path.Set(walk.depth(), walk.Step());
        if (walk.key() == node) return path.Shown();
    }
    return "";
}

namespace {

// The first subkey of each name (letters folded) of the keys looked into, so that a run of
// lookups and new subkeys below one key does not scan its list each time. An entry holds
// while the key's subkey at its last count is the one it saw there: subkeys are added at
// the end, and a deletion moves that subkey, or the count below it.
struct SubkeyNames {
    int count = 0;
    const RegViewKey* last = nullptr;
    std::unordered_map<std::string, int> first;
};
thread_local std::unordered_map<const RegViewKey*, SubkeyNames> t_subkeyNames;
thread_local size_t t_namesKept = 0;
const int kScanned = 16;             // a list this short is scanned
const size_t kNamesKept = 1u << 20;  // then the index starts anew

const RegViewKey* ScanSubkeys(const RegViewKey* node, const std::string& name) {
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        const RegViewKey* sub = RegViewSubkey(node, i);
        if (RegViewCompareNames(RegViewName(sub), name.c_str()) == 0) return sub;
    }
    return nullptr;
}

}  // namespace

void ForgetSubkeyNames() {
    t_subkeyNames.clear();
    t_namesKept = 0;
}

const RegViewKey* FindSubkey(const RegViewKey* node, const std::string& name) {
    int n = RegViewSubkeyCount(node);
    if (n < kScanned) return ScanSubkeys(node, name);
    // A rename changes a name in its place, which the checks below cannot see.
    thread_local uint64_t renames = 0;
    if (t_namesKept > kNamesKept || renames != RegViewKeyRenames()) ForgetSubkeyNames();
    renames = RegViewKeyRenames();
    SubkeyNames& e = t_subkeyNames[node];
    if (e.count > n || (e.count > 0 && RegViewSubkey(node, e.count - 1) != e.last)) {
        t_namesKept -= e.first.size();
        e = SubkeyNames();
    }
    for (int i = e.count; i < n; ++i) e.first.emplace(FoldName(RegViewName(RegViewSubkey(node, i))), i);
    t_namesKept += static_cast<size_t>(n - e.count);
    e.count = n;
    e.last = RegViewSubkey(node, n - 1);
    auto it = e.first.find(FoldName(name));
    const RegViewKey* sub = it == e.first.end() ? nullptr : RegViewSubkey(node, it->second);
    if (!sub || RegViewCompareNames(RegViewName(sub), name.c_str()) == 0) return sub;
    t_namesKept -= e.first.size();
    t_subkeyNames.erase(node);
    return ScanSubkeys(node, name);
}

// The Windows hives are roots of every registry (the library makes HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER on first use, the others as any key); any other first level must be a
// top-level key the file has.
bool IsTopLevel(const std::string& name, const RegViewKey* root) {
    for (const WindowsHive& h : kWindowsHives)
        if (SameName(name, h.name)) return true;
    for (int i = 0; root && i < RegViewSubkeyCount(root); ++i)
        if (RegViewCompareNames(RegViewName(RegViewSubkey(root, i)), name.c_str()) == 0) return true;
    return false;
}

std::string NotTopLevel(const std::string& name, const RegViewKey* root) {
    std::string why = "not a root of this registry, whose roots are the Windows hives (";
    for (const WindowsHive& h : kWindowsHives) why += std::string(&h == kWindowsHives ? "" : ", ") + h.name;
    why += ")";
    std::vector<std::string> others;
    for (int i = 0; root && i < RegViewSubkeyCount(root); ++i) {
        std::string top = RegViewName(RegViewSubkey(root, i));
        if (!HiveName(top)) others.push_back(top);
    }
    for (size_t i = 0; i < others.size(); ++i)
        why += std::string(i == 0 ? " and " : i + 1 == others.size() ? " and " : ", ") + Quoted(others[i]);
    // What a shell leaves of HKCU\Software\... written without quotes.
    for (const WindowsHive& h : kWindowsHives)
        for (const char* top : {h.name, h.abbreviation})
            if (name.size() > strlen(top) && SameName(name.substr(0, strlen(top)), top))
                return why + " (in a shell, put a path with \"\\\" in quotes)";
    return why;
}

bool MayCreateRoot(const Registry& reg, const std::string& first, bool force, const char* verb) {
    if (IsTopLevel(first)) return true;
    if (!force) {
        Error(reg.file(),
              "key " + Quoted(first) + ": " + NotTopLevel(first) + "; " + verb + " --force creates it");
        return false;
    }
    Error(reg.file(), "warning: key " + Quoted(first) + ": a new top-level key");
    return true;
}

bool OpenKey(const Registry& reg, const std::vector<std::string>& parts, bool create, Key* key) {
    key->Close();
    key->names.clear();
    key->node = reg.root();
    std::string below;
    size_t found = 0;
    for (; found < parts.size(); ++found) {
        const RegViewKey* sub = FindSubkey(key->node, parts[found]);
        if (!sub) break;
        key->node = sub;
        key->names.push_back(RegViewName(sub));
        below = Join(below, RegViewName(sub));
    }
    key->shown = ShownPath(key->node, below);
    if (found < parts.size() && !create) {
        const std::string& part = parts[found];
        Error(reg.file(), "key " + Quoted(Join(below, part.c_str())) + ": " +
                              (below.empty() && !IsTopLevel(part, reg.root()) ? NotTopLevel(part, reg.root())
                                                                              : "the key does not exist"));
        return false;
    }
    if (!create) return true;
    if (!ReachKey(reg, key)) return false;
    for (size_t i = found; i < parts.size(); ++i) {
        void* next = nullptr;
        long rc = OpenSubkey(key->handle, parts[i], true, &next);
        std::string at = Join(below, parts[i].c_str());
        if (rc != ZRREG_SUCCESS) {
            Error(reg.file(), "key " + Quoted(at) + ": " + RefusedName(rc, parts[i]));
            return false;
        }
        key->Close();
        key->handle = next;
        key->names.push_back(parts[i]);
        below = at;
    }
    // The tree has changed: what the handle reaches is looked up again.
    key->node = RegViewKeyOf(key->handle);
    if (!key->node) {
        Error(reg.file(), "key " + Quoted(below) + ": " + ResultText(ZRREG_KEY_NOT_FOUND));
        return false;
    }
    key->shown = ShownPath(key->node, below);
    return true;
}

long OpenLevels(void* from, const std::vector<std::string>& names, void** out) {
    void* h = from;
    long rc = ZRREG_SUCCESS;
    // As many levels a call as the library's 256-byte name buffer takes: a call from the
    // root is one search of the whole path, the search every change through the handle
    // makes again, while one that starts at a handle reaching another key would fail.
    for (size_t i = 0; i < names.size() && rc == ZRREG_SUCCESS;) {
        std::string levels = names[i++];
        while (i < names.size() && levels.size() + 1 + names[i].size() < 256) levels += "\\" + names[i++];
        void* next = nullptr;
        rc = ZrRegOpenKeyEx(h, Wide(levels).data(), 0, &next);
        if (h != from) ZrRegCloseKey(h);
        h = rc == ZRREG_SUCCESS ? next : from;
    }
    if (rc == ZRREG_SUCCESS) *out = h;
    return rc;
}

bool ReachKey(const Registry& reg, Key* key) {
    if (key->handle) return true;
    void* root = HkeyRegRoot();
    void* h = root;
    long rc = OpenLevels(root, key->names, &h);
    const RegViewKey* reached = rc == ZRREG_SUCCESS ? RegViewKeyOf(h) : nullptr;
    if (reached && reached == key->node) {
        key->handle = h;
        return true;
    }
    if (h != root) ZrRegCloseKey(h);
    std::string other = reached ? PathOf(reached) : "";
    std::string why =
        rc != ZRREG_SUCCESS && rc != ZRREG_NOT_FOUND
            ? ResultText(rc)
            : "the library cannot change this key: its path search takes \"\\\" and \"/\" in names "
              "for separators and reaches " +
                  (other.empty() ? std::string("no key") : "the key " + Quoted(other)) +
                  " by this key's path";
    Error(reg.file(), "key " + Quoted(key->shown) + ": " + why);
    return false;
}

long OpenSubkey(void* parent, const std::string& name, bool create, void** out) {
    const RegViewKey* node = RegViewKeyOf(parent);
    if (!node) return ZRREG_KEY_NOT_FOUND;
    bool had = FindSubkey(node, name) != nullptr;
    if (!had && !create) return ZRREG_NOT_FOUND;
    if (!had && (name.empty() || name.find_first_of("\\/") != std::string::npos)) return kCannotMake;
    std::vector<unsigned short> wide = Wide(name);
    long rc = had ? ZrRegOpenKeyEx(parent, wide.data(), 0, out) : ZrRegCreateKey(parent, wide.data(), out);
    if (rc != ZRREG_SUCCESS) return had && rc == ZRREG_NOT_FOUND ? kNotReached : rc;
    // Made or not, the tree may have changed: the subkey is looked up again.
    node = RegViewKeyOf(parent);
    const RegViewKey* want = node ? FindSubkey(node, name) : nullptr;
    if (want && RegViewKeyOf(*out) == want) return ZRREG_SUCCESS;
    ZrRegCloseKey(*out);
    *out = nullptr;
    if (!had) ZrRegDeleteKey(parent, wide.data());
    return kNotReached;
}

bool Walk::Next() {
    if (!started_) {
        started_ = true;
        if (top_) stack_.push_back(Level{top_, 0});
        return top_ != nullptr;
    }
    while (!stack_.empty()) {
        Level& at = stack_.back();
        if ((levels_ < 0 || depth() < levels_) && at.next < RegViewSubkeyCount(at.key)) {
            const RegViewKey* sub = RegViewSubkey(at.key, at.next++);
            stack_.push_back(Level{sub, 0});
            return true;
        }
        stack_.pop_back();
    }
    return false;
}

std::string Walk::Step() const {
    bool rootTop = top_ == RegViewRoot();
    if (depth() == 0) return rootTop ? "" : topShown_;
    return (depth() == 1 && rootTop ? "" : "\\") + ShowKeyName(RegViewName(key()));
}

void PathText::Set(int depth, const std::string& step) {
    ends_.resize(static_cast<size_t>(depth));
    text_.resize(depth > 0 ? ends_.back() : 0);
    text_ += step;
    ends_.push_back(text_.size());
}

std::string PathText::Shown() const {
    return text_.empty() ? std::string(RegViewName(RegViewRoot())) : text_;
}

}  // namespace zrreg
