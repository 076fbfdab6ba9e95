// Allocation failures through the exported calls: every allocation of a load, of each key
// operation and of a saving unload fails in turn, and each must fail cleanly.
#include <stdlib.h>

#include <functional>
#include <regex>
#include <string>

#include "regpart.h"
#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const int kDeep = 40;  // deeper than the path search keeps on its own stack

std::string BaseFile() {
    std::string deep;
    for (int i = 0; i < kDeep; ++i) deep += "KEY d (\n";
    deep += "[REG_INT] leaf = 1; KEY e ( )\n" + std::string(kDeep, ')') + "\n";
    return "KEY \"My Computer\"\n(\n    [REG_SZ] \"Name\" = \"text\";\n    KEY \"HKEY_LOCAL_MACHINE\"\n    "
           "(\n"
           "        KEY \"Software\"\n        (\n            [REG_INT] \"Count\" = 12;\n"
           "            [REG_SZ] \"Long\" = \"" +
           std::string(300, 'x') + "\";\n            KEY \"Old\" ( KEY \"Inner\" ( ) )\n        )\n    )\n" +
           deep + ")\n";
}

std::u16string DeepPath() {
    std::u16string p = u"d";
    for (int i = 1; i < kDeep; ++i) p += u"\\d";
    return p;
}

struct Handles {
    void* root;
    void* sw;    // HKEY_LOCAL_MACHINE\Software
    void* deep;  // the innermost d
};

int32_t Create(void* base, const std::u16string& path) {
    void* h = nullptr;
    int32_t rc = ZrRegCreateKey(base, WP(path), &h);
    if (rc == 0) ZrRegCloseKey(h);
    return rc;
}

int32_t OpenKey(void* base, const std::u16string& path) {
    void* h = nullptr;
    int32_t rc = ZrRegOpenKeyEx(base, WP(path), 0, &h);
    if (rc == 0) ZrRegCloseKey(h);
    return rc;
}

int32_t Set(void* h, const char16_t* name, uint32_t type, const void* data, uint32_t cb) {
    return ZrRegSetValueEx(h, WP(name), type, static_cast<const unsigned char*>(data), cb);
}

int32_t QuerySz(void* root, const char16_t* value, const char16_t* dflt) {
    unsigned short* s = nullptr;
    uint32_t rc = ZrRegQueryValueSz(root, WP(u"HKEY_LOCAL_MACHINE\\Software"), WP(value),
                                    dflt ? WP(dflt) : nullptr, &s);
    EXPECT_EQ(rc == 0, s != nullptr);
    free(s);
    return static_cast<int32_t>(rc);
}

const int32_t kMinus5 = -5;

// One call of an exported function; ZRREG_SUCCESS when it did its work, ZRREG_NO_MEMORY
// when it ran out of memory, anything else is wrong. `steps` marks calls that may leave earlier steps done
// (keys made before a later one, or before the handle, could not be).
struct Op {
    const char* name;
    bool steps;
    std::function<int32_t(Handles&)> run;
};

const Op kOps[] = {
    {"create a path", true, [](Handles& k) { return Create(k.sw, u"New\\Sub\\Leaf"); }},
    // The key stays when its handle cannot be had.
    {"create below a deep key", true, [](Handles& k) { return Create(k.deep, u"x"); }},
    {"open", false, [](Handles& k) { return OpenKey(k.root, u"HKEY_LOCAL_MACHINE\\Software"); }},
    {"open a deep path", false, [](Handles& k) { return OpenKey(k.root, DeepPath()); }},
    {"set a new string", false, [](Handles& k) { return Set(k.sw, u"Fresh", 1, "abc", 4); }},
    {"replace an integer", false, [](Handles& k) { return Set(k.sw, u"count", 4, &kMinus5, 4); }},
    {"set in a deep key", false, [](Handles& k) { return Set(k.deep, u"s", 1, "t", 2); }},
    {"delete a key", false, [](Handles& k) { return ZrRegDeleteKey(k.sw, WP(u"Old")); }},
    {"delete a value", false, [](Handles& k) { return ZrRegDeleteValue(k.root, WP(u"Name")); }},
    {"delete in a deep key", false, [](Handles& k) { return ZrRegDeleteValue(k.deep, WP(u"leaf")); }},
    {"query a long string", false,
     [](Handles& k) {
         unsigned char buf[1024];
         uint32_t type, cb = sizeof buf;
         return ZrRegQueryValueEx(k.sw, WP(u"Long"), &type, buf, &cb);
     }},
    {"query a string copy", false, [](Handles& k) { return QuerySz(k.root, u"Long", nullptr); }},
    {"query a default copy", false, [](Handles& k) { return QuerySz(k.root, u"None", u"def"); }},
    {"query an integer", false,
     [](Handles& k) {
         uint32_t v = 0;
         EXPECT_EQ(ZrRegQueryValueDw(k.root, WP(u"HKEY_LOCAL_MACHINE\\Software"), WP(u"Count"), 7, &v), 0u);
         return v == 12  ? ZRREG_SUCCESS
                : v == 7 ? ZRREG_NO_MEMORY
                         : -2;  // the default stands for the failure
     }},
    {"enumerate a deep key", false,
     [](Handles& k) {
         unsigned short name[256];
         uint32_t cb;
         return ZrRegEnumKeyEx(k.deep, 0, name, &cb);
     }},
    {"count in a deep key", false,
     [](Handles& k) {
         uint32_t n = ZrRegCountSubKeys(k.deep);
         return n == 1 ? ZRREG_SUCCESS : n == 0xFFFFFFFF ? ZRREG_NO_MEMORY : -2;
     }},
    {"the predefined HKLM", false, [](Handles&) { return HkeyHKLM() ? ZRREG_SUCCESS : ZRREG_NO_MEMORY; }},
    {"the predefined application key", true,
     [](Handles&) { return HkeyArdoRoot() ? ZRREG_SUCCESS : ZRREG_NO_MEMORY; }},
};

class AllocFailure : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        WriteBytes(reg_, BaseFile());
    }
    void TearDown() override {
        zrAllocFailAt(0);
        ZrUnloadRegistry();
        ResetRegistry();
    }
    Handles Open() {
        Handles k{HkeyRegRoot(), nullptr, nullptr};
        EXPECT_EQ(ZrRegOpenKeyEx(k.root, WP(u"HKEY_LOCAL_MACHINE\\Software"), 0, &k.sw), 0);
        EXPECT_EQ(ZrRegOpenKeyEx(k.root, WP(DeepPath()), 0, &k.deep), 0);
        return k;
    }
    static void Close(Handles& k) {
        EXPECT_EQ(ZrRegCloseKey(k.sw), 0);
        EXPECT_EQ(ZrRegCloseKey(k.deep), 0);
    }
    TempDir dir_;
    std::string reg_;
};

// The loader's outcome when every allocation from the Nth on fails: the parser's stacks
// cannot grow (1, with its message), or a text, a node, a made root or the root handle
// cannot be had (2). Nothing stays loaded, the file is untouched, the only messages are
// these, and each of these paths is reached.
TEST_F(AllocFailure, Load) {
    const std::regex known(
        "(line: [0-9]+ - (out of memory|yacc stack overflow)|syntax error, unexpected end of key [A-Za-z "
        "]+)\n");
    std::set<std::pair<uint32_t, std::string>> outcomes;
    long n = 1;
    for (const std::string& file : {BaseFile(), std::string("KEY A ( )\n")}) {
        WriteBytes(reg_, file);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        std::string clean = DumpTree(RootNode);
        ZrUnloadRegistry();
        for (long at = 1;; ++at, ++n) {
            zrAllocFailAt(at);
            CaptureStdout();
            uint32_t rc = ZrLoadRegistry(reg_.c_str());
            std::string out = GetCapturedStdout();
            zrAllocFailAt(0);
            if (rc == 0) break;
            SCOPED_TRACE(at);
            EXPECT_EQ(rc, out.find("yacc stack overflow") != std::string::npos ? ZRREG_LOAD_REFUSED
                                                                               : ZRREG_LOAD_NO_MEMORY)
                << out;
            for (size_t from = 0, nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1)
                EXPECT_TRUE(std::regex_match(out.substr(from, nl + 1 - from), known)) << out;
            outcomes.emplace(rc, std::regex_replace(out, std::regex("[0-9]+"), "N"));
            EXPECT_FALSE(NWREGIsRegLoaded());
            EXPECT_EQ(RootNode, nullptr);
            EXPECT_EQ(HkeyRegRoot(), nullptr);
            ASSERT_EQ(ReadBytes(reg_), file);
        }
        EXPECT_EQ(DumpTree(RootNode), clean);
        ZrUnloadRegistry();
    }
    for (const auto& o : std::set<std::pair<uint32_t, std::string>>{
             {1, "line: N - yacc stack overflow\n"},
             {2, ""},  // the root handle, allocated last
             {2, "line: N - out of memory\n"},
             {2, "syntax error, unexpected end of key A\n"},  // no root could be made
         })
        EXPECT_EQ(outcomes.count(o), 1u) << o.second;
    EXPECT_EQ(dir_.Names(), std::set<std::string>{"reg.txt"});
    printf("[ allocations ] load: %ld failed in turn\n", n - 1);
}

void ZRREG_CALL CountTooLong(void* context, uint32_t kind, uint32_t, const char*) {
    if (kind == ZRREG_MSG_TOO_LONG) ++*static_cast<int*>(context);
}

// A load that a host's handler makes refuse a token over the scanner's limit, in one part and
// in two (a part's thread counts its own allocations), with every allocation from the Nth on
// failing: out of memory or refused, nothing loaded and nothing kept (the block pool holds
// what it held before, and the sanitizer build finds no leak); once no allocation fails, the
// refusal, and the next load of a good file works.
TEST_F(AllocFailure, RefusedLoad) {
    int tooLong = 0;
    ZrSetMessageHandler(CountTooLong, &tooLong);
    std::string keys;
    for (int i = 0; i < 30; ++i)
        keys += "    KEY \"k" + std::to_string(i) + "\" ( [REG_SZ] \"s\" = \"text\"; [REG_INT] n = 1; )\n";
    const std::string overlong = "    [REG_SZ] \"long\" = \"" + std::string(9999, 't') + "\";\n";
    struct Case {
        const char* name;
        bool parted;
        std::string file;
    } cases[] = {
        {"in the middle", false, "KEY \"My Computer\"\n(\n" + keys + overlong + keys + ")\n"},
        {"in the first of two parts", true, "KEY \"My Computer\"\n(\n" + overlong + keys + keys + ")\n"},
        {"in the second of two parts", true, "KEY \"My Computer\"\n(\n" + keys + keys + overlong + ")\n"},
    };
    size_t pool = RegViewPoolBytes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegPartFrom(c.parted ? 0 : INT64_MAX);
        WriteBytes(reg_, c.file);
        long at = 1;
        for (;; ++at) {
            SCOPED_TRACE(at);
            tooLong = 0;
            zrAllocFailAt(at);
            CaptureStdout();
            uint32_t rc = ZrLoadRegistry(reg_.c_str());
            std::string out = GetCapturedStdout();
            bool failed = zrAllocCount() >= at;
            zrAllocFailAt(0);
            EXPECT_EQ(out, "");
            EXPECT_FALSE(NWREGIsRegLoaded());
            EXPECT_EQ(RootNode, nullptr);
            EXPECT_EQ(HkeyRegRoot(), nullptr);
            EXPECT_EQ(RegViewPoolBytes(), pool);
            if (!failed) {
                EXPECT_EQ(rc, ZRREG_LOAD_REFUSED);
                EXPECT_EQ(tooLong, 1);
                break;
            }
            EXPECT_TRUE(rc == ZRREG_LOAD_NO_MEMORY || (rc == ZRREG_LOAD_REFUSED && tooLong == 1)) << rc;
        }
        WriteBytes(reg_, BaseFile());
        EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
        ZrUnloadRegistry();
        printf("[ allocations ] refused load %s: %ld failed in turn\n", c.name, at - 1);
    }
    RegPartFrom(-1);
    ZrSetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(dir_.Names(), std::set<std::string>{"reg.txt"});
}

// Each operation, with every allocation from the Nth on failing: the answer is 2, the key
// stack is empty again, a tree that was not to change in steps is as before, and the operation done again
// succeeds and leaves the same tree as on a clean run, which is saved and loads back.
TEST_F(AllocFailure, KeyOperations) {
    long sites = 0;
    for (const Op& op : kOps) {
        SCOPED_TRACE(op.name);
        WriteBytes(reg_, BaseFile());
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        Handles k = Open();
        ASSERT_EQ(op.run(k), 0);
        Close(k);
        std::string expected = DumpTree(RootNode);
        ZrUnloadRegistry();

        long n = 1;
        for (;; ++n) {
            SCOPED_TRACE(n);
            WriteBytes(reg_, BaseFile());
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            k = Open();
            std::string before = DumpTree(RootNode);
            zrAllocFailAt(n);
            int32_t rc = op.run(k);
            zrAllocFailAt(0);
            if (rc == 0) {
                Close(k);
                EXPECT_EQ(DumpTree(RootNode), expected);
                ZrUnloadRegistry();
                break;
            }
            ASSERT_EQ(rc, ZRREG_NO_MEMORY);
            if (!op.steps) {
                EXPECT_EQ(DumpTree(RootNode), before);
                EXPECT_EQ(bRegChanged, 0);
            }
            EXPECT_EQ(op.run(k), 0);
            Close(k);
            EXPECT_EQ(DumpTree(RootNode), expected);
            std::string saved = DumpTree(RootNode, false);
            ZrUnloadRegistry();
            ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
            EXPECT_EQ(DumpTree(RootNode, false), saved);
            ZrUnloadRegistry();
        }
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"reg.txt"}));
        printf("[ allocations ] %s: %ld failed in turn\n", op.name, n - 1);
        sites += n - 1;
    }
    printf("[ allocations ] key operations: %ld in all\n", sites);
}

// A handle closed while the path search runs out of memory must still give its key's
// open count back, or the key could never be deleted again.
TEST_F(AllocFailure, CloseOfADeepHandle) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    std::string before = DumpTree(RootNode);
    void* h;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(DeepPath()), 0, &h), 0);
    zrAllocFailAt(1);
    EXPECT_EQ(ZrRegCloseKey(h), 0);
    zrAllocFailAt(0);
    EXPECT_EQ(DumpTree(RootNode), before);
}

// A saving unload, with every allocation from the Nth on failing: the registry file holds
// either its old content or the whole new one, and no temporary file is left.
TEST_F(AllocFailure, UnloadThatSaves) {
    RegViewUseLog(false);
    const std::string old = BaseFile();
    auto change = [] {
        int32_t v = 99;
        ASSERT_EQ(
            ZrRegSetValueEx(HkeyRegRoot(), WP(u"Added"), 4, reinterpret_cast<const unsigned char*>(&v), 4),
            0);
    };
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    change();
    ZrUnloadRegistry();
    const std::string fresh = ReadBytes(reg_);
    ASSERT_NE(fresh, old);
    long n = 1;
    for (;; ++n) {
        SCOPED_TRACE(n);
        WriteBytes(reg_, old);
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        change();
        zrAllocFailAt(n);
        ZrUnloadRegistry();
        zrAllocFailAt(0);
        EXPECT_FALSE(NWREGIsRegLoaded());
        EXPECT_EQ(dir_.Names(), (std::set<std::string>{"REG.LCK", "reg.txt"}));
        std::string now = ReadBytes(reg_);
        if (now == fresh) break;
        ASSERT_EQ(now, old);
    }
    printf("[ allocations ] saving unload: %ld failed in turn\n", n - 1);
}

}  // namespace
