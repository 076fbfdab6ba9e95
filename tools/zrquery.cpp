// zrreg's query verb: keys, values and subtrees printed as text or JSON, and the search
// through key names, value names and data.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kQueryHelp[] =
    "Usage: zrreg query FILE [KEY] [-v NAME | -ve | -s] [-t TYPE] [--json]\n"
    "       zrreg query FILE [KEY] -f PATTERN [-k -d -e -c -s] [-t TYPE] [--json]\n"
    "\n"
    "Prints KEY (the root when it is left out): its path, then one line per value with\n"
    "its name, type and data, then the full paths of its subkeys. Data is shown as\n"
    "Windows' reg query shows it: texts as they are, REG_MULTI_SZ's strings with \\0\n"
    "between them, integers as 0x0000007d (125), other types as hexadecimal bytes.\n"
    "  -v NAME     print the one value NAME (\"\" for the default value)\n"
    "  -ve         print the default value, as -v \"\"\n"
    "  -s          print the whole subtree, key by key; with -f, search it\n"
    "  -t TYPE     show and search only the values of TYPE (REG_SZ, REG_DWORD,\n"
    "              REG_BINARY..., REG_0xN for a type number), or of several types with\n"
    "              commas between; key names are searched as without it. With -v, a\n"
    "              value of another type is an error.\n"
    "  -f PATTERN  search KEY's values and the names of its subkeys for PATTERN: key\n"
    "              names, value names and data, letters in either case; prints each\n"
    "              key with a match and the values that match, then the number of\n"
    "              matches. An integer's data is its decimal and its 0x form, with or\n"
    "              without leading zeros; a REG_MULTI_SZ's each string and all of\n"
    "              them. Without \"*\" or \"?\", PATTERN is found anywhere in a text;\n"
    "              with them it matches whole texts, \"*\" standing\n"
    "              for any characters and \"?\" for one: 'ardo*' starts with ardo,\n"
    "              '*.exe' ends with .exe, '*ard?*' holds ard and one more character.\n"
    "              Nothing escapes them: \"?\" matches a \"*\" or \"?\" sought.\n"
    "  -k          search key names only (with -d: key names and data)\n"
    "  -d          search data only (with -k: key names and data)\n"
    "  -e          match whole names or data only (a pattern with \"*\" or \"?\" always\n"
    "              does)\n"
    "  -c          match the letter case too, in a pattern with wildcards as well\n"
    "  --json      print the result as JSON (its form is in zrreg(1))\n"
    "\n"
    "Windows' reg query switches /v, /ve, /s, /t, /f, /k, /d, /e and /c are these\n"
    "options.\n"
    "\n"
    "Examples: zrreg query app.txt 'HKLM\\Software\\MORVANE\\Ardo\\1.0' -v InstallDir\n"
    "          zrreg query app.txt 'HKCU\\Software' -s -f ardo -k\n"
    "          zrreg query app.txt HKCU /s /f 'w*' /t REG_DWORD\n";

// What one key of the answer shows: its values (all, the one asked for, or those that
// match) and, in text, its subkeys' paths after them.
struct Shown {
    const RegViewKey* node;
    std::string path;
    std::vector<RegViewValue> values;
    bool nameMatched;
};

std::vector<RegViewValue> AllValues(const RegViewKey* node) {
    std::vector<RegViewValue> out;
    for (int i = 0; i < RegViewValueCount(node); ++i) out.push_back(RegViewValueAt(node, i));
    return out;
}

// The types -t lets through; all of them without -t.
struct Types {
    bool all = true;
    std::vector<uint32_t> list;
    bool Has(const RegViewValue& v) const {
        return all || std::find(list.begin(), list.end(), v.type) != list.end();
    }
};

// -t's list, names separated by commas; false with the name it does not know.
bool ParseTypes(const std::string& list, Types* t, std::string* bad) {
    t->all = false;
    for (size_t at = 0; at <= list.size();) {
        size_t end = std::min(list.find(',', at), list.size());
        std::string name = list.substr(at, end - at);
        at = end + 1;
        uint32_t type;
        if (!TypeFromName(name, &type)) {
            *bad = name;
            return false;
        }
        t->list.push_back(type);
    }
    return true;
}

std::vector<RegViewValue> ValuesOf(const RegViewKey* node, const Types& types) {
    std::vector<RegViewValue> out;
    for (const RegViewValue& v : AllValues(node))
        if (types.Has(v)) out.push_back(v);
    return out;
}

// One value line; names and types are padded to `width` and `typeWidth` so that a key's
// values line up.
void PrintValue(const RegViewValue& v, size_t width, int typeWidth) {
    std::string name = *v.name ? v.name : "(Default)";
    name.resize(width > name.size() ? width : name.size(), ' ');
    name = Latin1ToUtf8(name);
    printf("    %s    %-*s    %s\n", name.c_str(), typeWidth, TypeName(v.type).c_str(),
           ShownData(ViewData(v)).c_str());
}

void PrintKey(const Shown& k) {
    printf("%s\n", Latin1ToUtf8(k.path).c_str());
    size_t width = 0, typeWidth = strlen("REG_DWORD");
    for (const RegViewValue& v : k.values) {
        width = std::max(width, *v.name ? strlen(v.name) : strlen("(Default)"));
        typeWidth = std::max(typeWidth, TypeName(v.type).size());
    }
    for (const RegViewValue& v : k.values) PrintValue(v, width, static_cast<int>(typeWidth));
}

// Path of a subkey as the answer spells it: below the root without the root's name.
std::string SubPath(const Shown& k, const RegViewKey* sub) {
    return Join(k.node == RegViewRoot() ? "" : k.path, RegViewName(sub));
}

// Prints the keys of the answer as they come, as text or JSON, so that a subtree of any
// size takes no more memory than one key; or, given `sink`, keeps the JSON there, with at
// most `maxKeys` keys.
class Answer {
public:
    explicit Answer(bool json, std::string* sink = nullptr, size_t maxKeys = static_cast<size_t>(-1))
        : json_(json), sink_(sink), maxKeys_(maxKeys) {
        if (json_) Put("{\"keys\": [");
    }
    ~Answer() { Flush(); }
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    void Add(const Shown& k) {
        if (!json_) {
            Flush();
            if (count_ > 0) printf("\n");
            PrintKey(k);
        } else if (count_ >= maxKeys_) {
            more_ = true;
        } else {
            Put(count_ ? ",\n  {\"path\": " : "\n  {\"path\": ");
            Put(JsonString(k.path));
            Put(", \"values\": [");
            for (size_t j = 0; j < k.values.size(); ++j) {
                const RegViewValue& v = k.values[j];
                Put(j ? ",\n    " : "\n    ");
                Put(JsonValue(v));
            }
            Put(k.values.empty() ? "], \"subkeys\": [" : "\n  ], \"subkeys\": [");
            for (int j = 0; j < RegViewSubkeyCount(k.node); ++j) {
                if (j) Put(", ");
                Put(JsonString(SubPath(k, RegViewSubkey(k.node, j))));
            }
            Put("]}");
        }
        ++count_;
    }
    // The end of a search, with its count of matches.
    void EndSearch(long matches) {
        if (json_) return End(matches);
        printf("%sEnd of search: %ld %s found.\n", count_ ? "\n" : "", matches,
               matches == 1 ? "match" : "matches");
    }
    // The end of the answer; in text, a key asked for alone is followed by its subkeys' paths.
    void End(long matches = -1, const Shown* alone = nullptr) {
        if (!json_) {
            if (alone && RegViewSubkeyCount(alone->node) > 0) printf("\n");
            for (int i = 0; alone && i < RegViewSubkeyCount(alone->node); ++i)
                printf("%s\n", Latin1ToUtf8(SubPath(*alone, RegViewSubkey(alone->node, i))).c_str());
            return;
        }
        Put(count_ ? "\n]" : "]");
        if (matches >= 0) Put(", \"matches\": " + std::to_string(matches));
        if (more_) Put(", \"more\": true");
        Put("}\n");
        Flush();
    }

private:
    void Put(const std::string& s) {
        std::string& out = sink_ ? *sink_ : buf_;
        out += s;
        if (!sink_ && buf_.size() >= 65536) Flush();
    }
    void Flush() {
        if (sink_ || buf_.empty()) return;
        fwrite(buf_.data(), 1, buf_.size(), stdout);
        buf_.clear();
    }

    bool json_;
    std::string* sink_;
    size_t maxKeys_;
    std::string buf_;
    size_t count_ = 0;
    bool more_ = false;
};

// ---- the search ----------------------------------------------------------------------------

// KEY's values and its subkeys' names; with `deep`, every key below too. The key's own
// name is not searched.
long Find(const Search& s, const Key& key, bool deep, Answer* answer, const Types& types = Types()) {
    long matches = 0;
    PathText path;
    for (Walk walk(key.node, key.shown, deep ? -1 : 1); walk.Next();) {
        path.Set(walk.depth(), walk.Step());
        const RegViewKey* node = walk.key();
        bool top = walk.depth() == 0;
        Shown k{node, "", {}, !top && s.keys && s.Match(RegViewName(node))};
        if (top || deep)
            for (const RegViewValue& v : ValuesOf(node, types))
                if (s.MatchValue(v)) k.values.push_back(v);
        if (!k.nameMatched && k.values.empty()) continue;
        k.path = path.Shown();
        matches += (k.nameMatched ? 1 : 0) + static_cast<long>(k.values.size());
        answer->Add(k);
    }
    return matches;
}

}  // namespace

namespace {

// Whether the whole of `text` matches `pattern`, whose "*" stands for any run of characters
// and "?" for one. On a mismatch it goes back to the last "*" only, which then takes one
// more character: at most the product of the two lengths in steps.
bool WildMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, star = std::string::npos, taken = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            taken = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++taken;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool Search::Match(const std::string& text) const {
    if (matchCase) {
        if (wild) return WildMatch(pattern, text);
        return exact ? text == pattern : text.find(pattern) != std::string::npos;
    }
    std::string t = FoldName(text);
    if (wild) return WildMatch(FoldName(pattern), t);
    return exact ? t == FoldName(pattern) : t.find(FoldName(pattern)) != std::string::npos;
}

bool Search::MatchValue(const RegViewValue& v) const {
    if (valueNames && Match(v.name)) return true;
    if (!data) return false;
    for (const std::string& form : SearchForms(ViewData(v)))
        if (Match(form)) return true;
    return false;
}

Search MakeSearch(const std::string& pattern, bool keysOnly, bool dataOnly, bool exact, bool matchCase) {
    bool anyPart = keysOnly || dataOnly;
    return Search{pattern,
                  !anyPart || keysOnly,
                  !anyPart,
                  !anyPart || dataOnly,
                  exact,
                  matchCase,
                  pattern.find_first_of("*?") != std::string::npos};
}

void FindJson(const Search& s, const Key& key, bool deep, size_t maxKeys, std::string* out) {
    Answer answer(true, out, maxKeys);
    answer.EndSearch(Find(s, key, deep, &answer));
}

std::string KeyPageJson(const Key& key, long from, long count) {
    Shown k{key.node, key.shown, AllValues(key.node), false};
    std::string out = "{\"keys\": [\n  {\"path\": " + JsonString(k.path) + ", \"values\": [";
    for (size_t j = 0; j < k.values.size(); ++j) {
        const RegViewValue& v = k.values[j];
        out += j ? ",\n    " : "\n    ";
        out += JsonValue(v);
    }
    out += k.values.empty() ? "], \"subkeys\": [" : "\n  ], \"subkeys\": [";
    long total = RegViewSubkeyCount(key.node);
    if (from < 0) from = 0;
    long end = count < 0 || count > total - from ? total : from + count;
    std::string counts;
    for (long j = from; j < end; ++j) {
        const RegViewKey* sub = RegViewSubkey(key.node, static_cast<int>(j));
        out += j > from ? ", " : "";
        out += JsonString(SubPath(k, sub));
        counts += (j > from ? ", " : "") + std::to_string(RegViewSubkeyCount(sub));
    }
    return out + "], \"subkeyCount\": " + std::to_string(total) + ", \"from\": " + std::to_string(from) +
           ", \"counts\": [" + counts + "]}\n]}\n";
}

namespace {

// ---- the verb ------------------------------------------------------------------------------

int RunQuery(const Args& a) {
    std::vector<std::string> parts;
    std::string name, pattern, badType;
    const std::string& file = a.pos[0];
    std::string typed = a.pos.size() > 1 ? a.pos[1] : "";
    Types types;
    if (a.Has("-t") && !ParseTypes(a.Get("-t"), &types, &badType))
        return Usage(a, "-t: \"" + badType + "\" is no type (REG_SZ, REG_DWORD, REG_BINARY... or REG_0xN)");
    if (a.pos.size() > 1 && !KeyParts(file, typed, &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(Typed(file, typed, &a.Get("-v")), "the name", a.Get("-v"), &name))
        return kFailed;
    if (a.Has("-f") &&
        !ToRegistryText(Typed(file, typed), "the pattern \"" + a.Get("-f") + "\"", a.Get("-f"), &pattern))
        return kFailed;
    Registry reg(file);
    if (!reg.Open(false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    RegViewValue v;
    if (a.Has("-v")) {
        std::string about = "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": ";
        if (!FindValue(key.node, ValueName(name), &v)) {
            Error(reg.file(), about + "the value does not exist");
            return kFailed;
        }
        if (!types.Has(v)) {
            Error(reg.file(), about + "the value is " + TypeName(v.type) + ", not " + a.Get("-t"));
            return kFailed;
        }
    }
    Answer answer(a.Has("--json"));
    if (a.Has("-v")) {
        answer.Add(Shown{key.node, key.shown, {v}, false});
        answer.End();
    } else if (a.Has("-f")) {
        Search s = MakeSearch(pattern, a.Has("-k"), a.Has("-d"), a.Has("-e"), a.Has("-c"));
        answer.EndSearch(Find(s, key, a.Has("-s"), &answer, types));
    } else if (a.Has("-s")) {
        PathText path;
        for (Walk walk(key.node, key.shown); walk.Next();) {
            path.Set(walk.depth(), walk.Step());
            answer.Add(Shown{walk.key(), path.Shown(), ValuesOf(walk.key(), types), false});
        }
        answer.End();
    } else {
        Shown k{key.node, key.shown, ValuesOf(key.node, types), false};
        answer.Add(k);
        answer.End(-1, &k);
    }
    return kOk;
}

const char* QueryConflict(const Args& a) {
    if (a.Has("-v") && a.Has("-s")) return "-v and -s cannot be combined";
    if (a.Has("-v") && a.Has("-f")) return "-v and -f cannot be combined";
    if (!a.Has("-f") && (a.Has("-k") || a.Has("-d") || a.Has("-e") || a.Has("-c")))
        return "-k, -d, -e and -c need -f PATTERN";
    return nullptr;
}

}  // namespace

const Verb kQueryVerb = {"query",
                         1,
                         2,
                         "-v= -ve -s -f= -k -d -e -c -t= --json",
                         kQueryHelp,
                         RunQuery,
                         QueryConflict,
                         "v=-v ve=-ve s=-s f=-f k=-k d=-d e=-e c=-c t=-t"};

}  // namespace zrreg
