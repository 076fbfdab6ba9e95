// Writes benchmark content in three syntaxes from one deterministic random stream.
#include "bgen.h"

#include <stdio.h>
#include <string.h>

namespace {

struct Rng {
    uint64_t s;
    uint64_t Next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    int Range(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1)); }
};

// Buffered output that counts its bytes.
struct Out {
    FILE* fp = nullptr;
    size_t bytes = 0;
    void Put(const char* s, size_t n) {
        if (fp) fwrite(s, 1, n, fp);  // none: the registry file alone is written
        bytes += n;
    }
    void Put(const std::string& s) { Put(s.data(), s.size()); }
    void Put(const char* s) { Put(s, strlen(s)); }
    void Indent(int tab) {
        static const char spaces[] = "                                                                ";
        for (int n = tab * 4; n > 0; n -= 64) Put(spaces, n < 64 ? static_cast<size_t>(n) : 64);
    }
};

// Three files written side by side. JSON nests one level deeper than the other two.
struct Writers {
    Out reg, cfg, json;
    bool mixed = false;  // values of every type: the registry file alone
};

std::string Letters(Rng& r, int len, bool upperFirst) {
    std::string s;
    for (int i = 0; i < len; ++i) {
        char c = static_cast<char>('a' + r.Range(0, 25));
        if (i == 0 && upperFirst) c = static_cast<char>(c - 'a' + 'A');
        s += c;
    }
    return s;
}

// Names are unique among their siblings (libconfig and JSON need that) and valid in all
// three syntaxes: a letter, letters, "_" and the sibling's index.
std::string Name(Rng& r, int avg, bool key, int index) {
    std::string suffix = "_" + std::to_string(index);
    int len = r.Range(avg / 2, avg + avg / 2) - static_cast<int>(suffix.size());
    return Letters(r, len < 2 ? 2 : len, key) + suffix;
}

std::string Text(Rng& r, int avg) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .-:/_";
    int len = r.Range(0, 2 * avg);
    std::string s;
    for (int i = 0; i < len; ++i) s += chars[r.Range(0, static_cast<int>(sizeof chars) - 2)];
    return s;
}

int Integer(Rng& r) {
    switch (r.Range(0, 2)) {
        case 0:
            return r.Range(0, 100);
        case 1:
            return -r.Range(1, 1000000);
        default:
            return r.Range(-2000000000, 2000000000);
    }
}

void JsonMember(Out& o, bool& first, int tab) {
    o.Put(first ? "\n" : ",\n");
    first = false;
    o.Indent(tab);
}

// A value of the mixed shape, `slot` of every eight: three plain (two strings, an
// integer), then binary bytes, a 64-bit number, a string with escapes, a multi-string of two
// texts and an expandable string, each in the form the writer prints.
std::string MixedItem(Rng& r, const GenShape& g, const std::string& n, uint64_t slot) {
    std::string head = "\"" + n + "\" = ";
    switch (slot) {
        case 1:
            return "[REG_INT] " + head + std::to_string(Integer(r));
        case 3: {
            static const char hex[] = "0123456789abcdef";
            std::string s = "[REG_BINARY] " + head + "hex:";
            for (int i = 0, len = r.Range(8, 32); i < len; ++i) {
                int b = r.Range(0, 255);
                if (i) s += ',';
                s += hex[b >> 4];
                s += hex[b & 15];
            }
            return s;
        }
        case 4:
            return "[REG_QWORD] " + head + std::to_string(r.Next() >> r.Range(0, 40));
        case 5:
            return "[REG_SZ_EX] " + head + "\"\\\"C:\\\\Apps\\\\" + Text(r, g.strLen / 2) +
                   "\\\\app.exe\\\" \\\"%1\\\"\"";
        case 6:
            return "[REG_MULTI_SZ] " + head + "\"" + Text(r, g.strLen / 2) + "\", \"" +
                   Text(r, g.strLen / 2) + "\"";
        case 7:
            return "[REG_EXPAND_SZ] " + head + "\"%SystemRoot%\\\\" + Text(r, g.strLen) + "\"";
        default:
            return "[REG_SZ] " + head + "\"" + Text(r, g.strLen) + "\"";
    }
}

void Values(Writers& w, Rng& r, const GenShape& g, int tab, bool& jsonFirst, GenStats* st) {
    for (int i = 0; i < g.valuesPerKey; ++i) {
        std::string n = Name(r, g.nameLen, false, i);
        if (w.mixed) {
            w.reg.Indent(tab + 1);
            w.reg.Put(MixedItem(r, g, n, st->values % 8) + ";\n");
            ++st->values;
            continue;
        }
        bool isInt = (i & 1) != 0;
        std::string v = isInt ? std::to_string(Integer(r)) : "\"" + Text(r, g.strLen) + "\"";
        w.reg.Indent(tab + 1);
        w.reg.Put(isInt ? "[REG_INT] \"" : "[REG_SZ] \"");
        w.reg.Put(n + "\" = " + v + ";\n");
        w.cfg.Indent(tab + 1);
        w.cfg.Put(n + " = " + v + ";\n");
        JsonMember(w.json, jsonFirst, tab + 2);
        w.json.Put("\"" + n + "\": " + v);
        ++st->values;
    }
}

void Key(Writers& w, Rng& r, const GenShape& g, const std::string& name, int tab, int levels, GenStats* st) {
    ++st->keys;
    w.reg.Indent(tab);
    w.reg.Put("KEY \"" + name + "\"\n");
    w.reg.Indent(tab);
    w.reg.Put("(\n");
    w.cfg.Indent(tab);
    w.cfg.Put(name + " = {\n");
    w.json.Put("\"" + name + "\": {");
    bool jsonFirst = true;
    Values(w, r, g, tab, jsonFirst, st);
    if (levels > 1) {
        for (int i = 0; i < g.fanout; ++i) {
            JsonMember(w.json, jsonFirst, tab + 2);
            Key(w, r, g, Name(r, g.nameLen, true, i), tab + 1, levels - 1, st);
        }
    }
    w.reg.Indent(tab);
    w.reg.Put(")\n");
    w.cfg.Indent(tab);
    w.cfg.Put("};\n");
    if (!jsonFirst) {
        w.json.Put("\n");
        w.json.Indent(tab + 1);
    }
    w.json.Put("}");
}

bool Open(Out& o, const std::string& path) {
    o.fp = fopen(path.c_str(), "wb");
    if (o.fp) setvbuf(o.fp, nullptr, _IOFBF, 1 << 20);
    return o.fp != nullptr;
}

bool Close(Out& o) { return o.fp && fclose(o.fp) == 0; }

}  // namespace

namespace {
bool Generate(Writers& w, size_t targetBytes, const GenShape& g, GenStats* st) {
    Rng r{g.seed};
    // The root as the writer lays it out, its subtrees one level deeper.
    ++st->keys;
    w.reg.Put("KEY \"My Computer\"\n(\n");
    w.cfg.Put("My_Computer = {\n");
    w.json.Put("{\n    \"My Computer\": {");
    bool jsonFirst = true;
    Values(w, r, g, 0, jsonFirst, st);
    for (int i = 0; w.reg.bytes < targetBytes; ++i) {
        JsonMember(w.json, jsonFirst, 2);
        Key(w, r, g, Name(r, g.nameLen, true, i), 1, g.depth, st);
    }
    w.reg.Put(")\n");
    w.cfg.Put("};\n");
    w.json.Put("\n    }\n}\n");
    st->regBytes = w.reg.bytes;
    st->cfgBytes = w.cfg.bytes;
    st->jsonBytes = w.json.bytes;
    return true;
}
}  // namespace

bool GenerateFiles(const std::string& base, size_t targetBytes, const GenShape& g, GenStats* st) {
    *st = GenStats();
    Writers w;
    bool ok = Open(w.reg, base + ".reg");
    ok = Open(w.cfg, base + ".cfg") && ok;  // all three opened, so that all three can be closed
    ok = Open(w.json, base + ".json") && ok;
    if (ok) Generate(w, targetBytes, g, st);
    bool closed = Close(w.reg);
    closed = Close(w.cfg) && closed;
    closed = Close(w.json) && closed;
    return ok && closed;
}

bool GenerateMixed(const std::string& path, size_t targetBytes, const GenShape& g, GenStats* st) {
    *st = GenStats();
    Writers w;
    w.mixed = true;
    if (!Open(w.reg, path)) return false;
    Generate(w, targetBytes, g, st);
    st->cfgBytes = st->jsonBytes = 0;
    return Close(w.reg);
}

bool GenerateFirstUse(const std::string& path, int n, std::string* lastValue, std::string* lastKey) {
    Out o;
    if (!Open(o, path)) return false;
    Rng r{7};
    o.Put("KEY \"My Computer\"\n(\n    KEY \"Big\"\n    (\n");
    for (int i = 0; i < n; ++i) {
        *lastValue = Name(r, 12, false, i);
        bool isInt = (i & 1) != 0;
        std::string v = isInt ? std::to_string(Integer(r)) : "\"" + Text(r, 24) + "\"";
        o.Indent(2);
        o.Put(std::string(isInt ? "[REG_INT] \"" : "[REG_SZ] \"") + *lastValue + "\" = " + v + ";\n");
    }
    for (int i = 0; i < n; ++i) {
        *lastKey = Name(r, 12, true, i);
        o.Indent(2);
        o.Put("KEY \"" + *lastKey + "\" ( )\n");
    }
    o.Put("    )\n)\n");
    return Close(o);
}

std::string WideKeyName(int i) {
    char b[32];
    snprintf(b, sizeof b, "Key_%06d", i);
    return b;
}

std::string WideValueName(int i) {
    char b[32];
    snprintf(b, sizeof b, "Value_%06d", i);
    return b;
}

std::string WideParentPath(int depth) {
    std::string p;
    for (int l = 1; l < depth; ++l) p += (l > 1 ? "\\Level_" : "Level_") + std::to_string(l);
    return p;
}

bool GenerateWide(const std::string& path, int depth, int n) {
    Out o;
    if (!Open(o, path)) return false;
    o.Put("KEY \"My Computer\"\n(\n");
    for (int l = 1; l < depth; ++l) {
        for (int f = 0; f < 3; ++f) {
            o.Indent(l);
            o.Put("KEY \"Filler_" + std::to_string(f) + "\" ( )\n");
        }
        o.Indent(l);
        o.Put("KEY \"Level_" + std::to_string(l) + "\"\n");
        o.Indent(l);
        o.Put("(\n");
    }
    for (int i = 0; i < n; ++i) {
        o.Indent(depth);
        o.Put("KEY \"" + WideKeyName(i) + "\"\n");
        o.Indent(depth);
        o.Put("(\n");
        for (int v = 0; i == n - 1 && v < n; ++v) {
            o.Indent(depth + 1);
            o.Put("[REG_INT] \"" + WideValueName(v) + "\" = " + std::to_string(v - n / 2) + ";\n");
        }
        o.Indent(depth);
        o.Put(")\n");
    }
    for (int l = depth - 1; l >= 1; --l) {
        o.Indent(l);
        o.Put(")\n");
    }
    o.Put(")\n");
    return Close(o);
}
