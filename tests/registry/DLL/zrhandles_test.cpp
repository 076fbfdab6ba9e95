// Key handles as the tree changes under them: handles that are none, creating and deleting
// keys, subkey counts, handles that follow or lose their keys, and the predefined handles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

// Handles that are dead: closed, of an earlier load, or never handles at all. Each is
// passed to every exported function that takes a handle, with arguments that a live
// handle of HKEY_LOCAL_MACHINE\Software would make succeed: each answers that the handle
// is none, writes what its failures write, and changes nothing.
class DeadHandles : public ::testing::Test {
public:
    void Load() {
        WriteBytes(file_,
                   "KEY \"My Computer\"\n(\n  KEY HKEY_LOCAL_MACHINE\n  (\n    KEY Software\n    (\n"
                   "      [REG_SZ] s = \"text\";\n      [REG_INT] n = 5;\n      KEY A ( )\n    )\n  )\n"
                   "  KEY HKEY_CURRENT_USER ( )\n)\n");
        ASSERT_EQ(ZrLoadRegistry(file_.c_str()), ZRREG_LOAD_OK);
    }
    void Reload() {
        ZrUnloadRegistry();
        ASSERT_EQ(ZrLoadRegistry(file_.c_str()), ZRREG_LOAD_OK);
    }
    void* Software() {
        void* h = nullptr;
        EXPECT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"HKEY_LOCAL_MACHINE\\Software"), 0, &h), ZRREG_SUCCESS);
        return h;
    }

protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    TempDir dir_;
    std::string file_ = dir_.File("reg.txt");
};

struct DeadKind {
    const char* name;
    void* (*make)(DeadHandles& t);
};

struct HandleCall {
    const char* name;
    uint32_t expect;
    // Calls with `h` and checks what the call wrote.
    uint32_t (*call)(void* h);
};

void* const kUntouched = reinterpret_cast<void*>(uintptr_t(0x5));

const HandleCall kCalls[] = {
    {"open", ZRREG_INVALID_HANDLE,
     [](void* h) {
         void* out = kUntouched;
         uint32_t rc = static_cast<uint32_t>(ZrRegOpenKeyEx(h, WP(u"A"), 0, &out));
         EXPECT_EQ(out, kUntouched);
         return rc;
     }},
    {"create", ZRREG_INVALID_HANDLE,
     [](void* h) {
         void* out = kUntouched;
         uint32_t rc = static_cast<uint32_t>(ZrRegCreateKey(h, WP(u"New\\Sub"), &out));
         EXPECT_EQ(out, kUntouched);
         return rc;
     }},
    {"close", ZRREG_INVALID_HANDLE, [](void* h) { return static_cast<uint32_t>(ZrRegCloseKey(h)); }},
    {"enumerate", ZRREG_INVALID_HANDLE,
     [](void* h) {
         unsigned short name[256] = {'x', 0};
         uint32_t cb = 7;
         uint32_t rc = static_cast<uint32_t>(ZrRegEnumKeyEx(h, 0, name, &cb));
         EXPECT_EQ(name[0], 0);
         EXPECT_EQ(cb, 0u);
         return rc;
     }},
    {"query", ZRREG_INVALID_HANDLE,
     [](void* h) {
         unsigned char data[16] = {'x', 'x'};
         uint32_t type = 7, cb = sizeof data;
         uint32_t rc = static_cast<uint32_t>(ZrRegQueryValueEx(h, WP(u"n"), &type, data, &cb));
         EXPECT_EQ(cb, 256u);
         EXPECT_EQ(data[0] | data[1], 0);
         EXPECT_EQ(type, 7u);
         return rc;
     }},
    {"set", ZRREG_INVALID_HANDLE,
     [](void* h) {
         int32_t v = 9;
         return static_cast<uint32_t>(
             ZrRegSetValueEx(h, WP(u"n"), ZRREG_TYPE_DWORD, reinterpret_cast<const unsigned char*>(&v), 4));
     }},
    {"delete a key", ZRREG_INVALID_HANDLE,
     [](void* h) { return static_cast<uint32_t>(ZrRegDeleteKey(h, WP(u"A"))); }},
    {"delete a value", ZRREG_INVALID_HANDLE,
     [](void* h) { return static_cast<uint32_t>(ZrRegDeleteValue(h, WP(u"n"))); }},
    {"count", 0xFFFFFFFFu, [](void* h) { return ZrRegCountSubKeys(h); }},
    // A default would hide the host's error: none is given.
    {"query a string", ZRREG_INVALID_HANDLE,
     [](void* h) {
         unsigned short* s = reinterpret_cast<unsigned short*>(kUntouched);
         uint32_t rc = ZrRegQueryValueSz(h, nullptr, WP(u"s"), WP(u"default"), &s);
         EXPECT_EQ(s, nullptr);
         free(s);
         return rc;
     }},
    {"query a string below", ZRREG_INVALID_HANDLE,
     [](void* h) {
         unsigned short* s = reinterpret_cast<unsigned short*>(kUntouched);
         uint32_t rc = ZrRegQueryValueSz(h, WP(u"A"), WP(u"s"), nullptr, &s);
         EXPECT_EQ(s, nullptr);
         return rc;
     }},
    {"query an integer", ZRREG_INVALID_HANDLE,
     [](void* h) {
         uint32_t v = 1;
         uint32_t rc = ZrRegQueryValueDw(h, nullptr, WP(u"n"), 77, &v);
         EXPECT_EQ(v, 77u);
         return rc;
     }},
};

REG_HANDLE s_notInTheTable = {REGHANDLE_KEY, const_cast<char*>("My Computer"), 1, nullptr, 0};

const DeadKind kDeadKinds[] = {
    // A second close of it is the table's "close".
    {"closed",
     [](DeadHandles& t) {
         void* h = t.Software();
         EXPECT_EQ(ZrRegCloseKey(h), ZRREG_SUCCESS);
         return h;
     }},
    // The slot of the closed handle holds a newer handle, which the dead one must not reach.
    {"closed, its slot used again",
     [](DeadHandles& t) {
         void* h = t.Software();
         ZrRegCloseKey(h);
         for (int i = 0; i < 100000; ++i) {
             void* again = t.Software();
             if (reinterpret_cast<uintptr_t>(again) >> kRegSerialBits ==
                 reinterpret_cast<uintptr_t>(h) >> kRegSerialBits)
                 return h;  // the same slot, left open
             ZrRegCloseKey(again);
         }
         ADD_FAILURE() << "the slot was never used again";
         return h;
     }},
    // Beyond the table's first chunk.
    {"closed, one of thousands",
     [](DeadHandles& t) {
         std::vector<void*> held(5000);
         for (void*& h : held) h = t.Software();
         for (void* h : held) ZrRegCloseKey(h);
         return held.back();
     }},
    {"opened in the load before",
     [](DeadHandles& t) {
         void* h = t.Software();
         t.Reload();
         return h;
     }},
    {"the root of the load before",
     [](DeadHandles& t) {
         void* h = HkeyRegRoot();
         t.Reload();
         return h;
     }},
    {"HKLM of the load before",
     [](DeadHandles& t) {
         void* h = HkeyHKLM();
         t.Reload();
         return h;
     }},
    {"HKCU of the load before",
     [](DeadHandles& t) {
         void* h = HkeyHKCU();
         t.Reload();
         return h;
     }},
    {"the product key of the load before",
     [](DeadHandles& t) {
         void* h = HkeyArdoRoot();
         t.Reload();
         return h;
     }},
    {"the root after the unload",
     [](DeadHandles&) {
         void* h = HkeyRegRoot();
         ZrUnloadRegistry();
         return h;
     }},
    {"an address", [](DeadHandles&) { return static_cast<void*>(&s_notInTheTable); }},
    {"a number", [](DeadHandles&) { return reinterpret_cast<void*>(~uintptr_t(0)); }},
};

TEST_F(DeadHandles, AnswerEveryFunctionAsNoHandle) {
    for (const DeadKind& kind : kDeadKinds) {
        SCOPED_TRACE(kind.name);
        Load();
        void* dead = kind.make(*this);
        ASSERT_NE(dead, nullptr);
        std::string before = DumpTree(RootNode);
        int changed = bRegChanged;
        for (const HandleCall& c : kCalls) EXPECT_EQ(c.call(dead), c.expect) << c.name;
        EXPECT_EQ(DumpTree(RootNode), before);
        EXPECT_EQ(bRegChanged, changed);
        ZrUnloadRegistry();
    }
}

}  // namespace

TEST_F(WideTest, CreateKeyWalksThePath) {
    void* sw = Open(root, "Software");
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("a\\b\\c")), &h), ZRREG_SUCCESS);
    EXPECT_STREQ(RegHandleOf(h)->ptr, "My Computer/Software/a/b/c");
    // "a" is found as the existing "A" (names ignore case), so b is created below it.
    EXPECT_EQ(Search("My Computer/Software/A")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software/A/b")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software/A/b/c")->GetOpenCnt(), 1);
    ZrRegCloseKey(h);

    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("x\\\\y\\")), &h), ZRREG_SUCCESS);
    EXPECT_NE(Search("My Computer/Software/x/y"), nullptr);
    EXPECT_EQ(Search("My Computer/Software/x")->GetRegNodeList()->GetSize(), 1);
    ZrRegCloseKey(h);

    std::string before = DumpTree(RootNode);
    bRegChanged = 0;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("x\\y")), &h), ZRREG_SUCCESS);  // existing: opened only
    EXPECT_EQ(bRegChanged, 0);
    ZrRegCloseKey(h);
    EXPECT_EQ(DumpTree(RootNode), before);

    void* untouched = reinterpret_cast<void*>(0x1);
    for (const char* bad : {"", "\\a", "/a"})
        EXPECT_EQ(ZrRegCreateKey(sw, WP(W(bad)), &untouched), ZRREG_BAD_ARG) << bad;
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(DumpTree(RootNode), before);

    // A refused component stops the walk; the levels before it stay, and no handle is left.
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("p\\q\"r")), &untouched), ZRREG_BAD_NAME);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(Search("My Computer/Software/p")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 1);
    ZrRegCloseKey(sw);
}

// Only the key's own open count makes it busy; handles below it die with it.
TEST_F(WideTest, DeleteKeyBusyAndDeadHandles) {
    void* sw = Open(root, "Software");
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(sw, WP(u"a\\b"), &h), ZRREG_SUCCESS);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"a\\b")), ZRREG_NOT_FOUND);  // looks for a direct subkey named "a/b"
    void* a = Open(sw, "A");
    EXPECT_EQ(ZrRegDeleteKey(a, WP(u"b")), ZRREG_KEY_BUSY);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"A")), ZRREG_KEY_BUSY);
    ZrRegCloseKey(a);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"A")), ZRREG_SUCCESS);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"A")), ZRREG_NOT_FOUND);
    unsigned short name[256];
    uint32_t len;
    EXPECT_EQ(ZrRegEnumKeyEx(h, 0, name, &len), ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(SetSz(h, "v", "x"), ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(ZrRegCloseKey(h), ZRREG_SUCCESS);  // released, nothing counted
    ZrRegCloseKey(sw);
}

// The count is kept as subkeys come and go, and is 0xFFFFFFFF exactly while a subkey name
// is too long for the enumeration, as enumerating them all would find.
TEST_F(WideTest, CountFollowsTheSubkeysAndTheLengthsOfTheirNames) {
    void* sw = Open(root, "Software");
    EXPECT_EQ(ZrRegCountSubKeys(sw), 2u);
    std::string n255(255, 'k'), n256(256, 'm'), n300(300, 'n');
    Within("My Computer/Software", [&] {
        AddKey(n256.c_str());
        AddKey(n255.c_str());
        AddKey(n300.c_str());
    });
    EXPECT_EQ(ZrRegCountSubKeys(sw), 0xFFFFFFFFu);
    EXPECT_EQ(CfRegDeleteKey(RegHandleOf(sw), n256.c_str()), 0u);
    EXPECT_EQ(ZrRegCountSubKeys(sw), 0xFFFFFFFFu);
    EXPECT_EQ(CfRegDeleteKey(RegHandleOf(sw), n300.c_str()), 0u);
    EXPECT_EQ(ZrRegCountSubKeys(sw), 3u);
    unsigned short name[256];
    uint32_t len;
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(ZrRegEnumKeyEx(sw, i, name, &len), 0) << i;
    EXPECT_EQ(ZrRegEnumKeyEx(sw, 3, name, &len), 259);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W(n255.c_str()))), 0);
    EXPECT_EQ(ZrRegCountSubKeys(sw), 2u);

    void* inner = nullptr;
    ASSERT_EQ(ZrRegCreateKey(root, WP(u"Empty\\Inner"), &inner), 0);
    EXPECT_EQ(ZrRegCountSubKeys(inner), 0u);
    EXPECT_EQ(ZrRegDeleteKey(root, WP(u"Empty")), 0);  // only Inner is open
    EXPECT_EQ(ZrRegCountSubKeys(inner), 0xFFFFFFFFu);
    ZrRegCloseKey(inner);
    ZrRegCloseKey(sw);
}

// A handle remembers its key only while no key changes: after its key is deleted it finds
// nothing, after the key is made again it finds the new one, and a key added earlier in
// list order takes its path over, as resolving the path anew on every call would find.
TEST_F(WideTest, HandlesFollowTheKeysWhenTheyChange) {
    void* sw = Open(root, "Software");
    void* y = nullptr;
    ASSERT_EQ(ZrRegCreateKey(sw, WP(u"X\\Y"), &y), 0);
    ASSERT_EQ(SetSz(y, "v", "old"), 0);
    unsigned char buf[16];
    uint32_t type, size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(y, WP(u"v"), &type, buf, &size), 0);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"X")), 0);  // only Y is open
    size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(y, WP(u"v"), &type, buf, &size), 8);
    EXPECT_EQ(ZrRegCountSubKeys(y), 0xFFFFFFFFu);
    void* again = nullptr;
    ASSERT_EQ(ZrRegCreateKey(sw, WP(u"x\\y"), &again), 0);
    size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(y, WP(u"v"), &type, buf, &size), 5);
    ASSERT_EQ(SetSz(again, "v", "new"), 0);
    size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(y, WP(u"v"), &type, buf, &size), 0);
    EXPECT_EQ(memcmp(buf, u"new", 8), 0);
    ZrRegCloseKey(again);
    ZrRegCloseKey(y);

    // Two keys "dup"; only the second holds "c", where the handle lands.
    Within("My Computer/Software", [] {
        AddKey("dup");
        AddKey("dup");
    });
    NodeStack->InsertAt(0, Search("My Computer/Software")->GetRegNodeList()->GetAt(4), 1);
    AddKey("c");
    NodeStack->RemoveAt(0, 1);
    void* c = Open(sw, "dup\\c");
    ASSERT_EQ(SetSz(c, "v", "second"), 0);
    void* made = nullptr;
    ASSERT_EQ(ZrRegCreateKey(sw, WP(u"dup\\c"), &made), 0);  // opens the first "dup", adds "c"
    size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(c, WP(u"v"), &type, buf, &size), 5);  // the first dup's c now
    ZrRegCloseKey(made);
    ZrRegCloseKey(c);
    ZrRegCloseKey(sw);
}

// A key name holding "/" lets a path name another key than the one an open found below its
// base: the new handle then names what its path names from the root, as it always did.
TEST_F(WideTest, OpenedHandlesResolveTheirPathWhenNamesHoldSlashes) {
    Within("My Computer/Software", [] {
        AddKey("a");
        AddKey("a");
    });
    RegNodeList* subs = Search("My Computer/Software")->GetRegNodeList();
    RegNode* first = subs->GetAt(2);
    RegNode* second = subs->GetAt(3);
    NodeStack->InsertAt(0, first, 1);
    RegNode* bc = AddKey("b/c");
    NodeStack->InsertAt(0, bc, 1);
    AddValue(Dup("v"), REG_SZ, Dup("1"));
    NodeStack->RemoveAt(0, 2);
    NodeStack->InsertAt(0, second, 1);
    RegNode* b = AddKey("b");
    NodeStack->InsertAt(0, b, 1);
    RegNode* c = AddKey("c");
    NodeStack->InsertAt(0, c, 1);
    AddValue(Dup("v"), REG_SZ, Dup("2"));
    NodeStack->RemoveAt(0, 3);

    void* hb = Open(root, "Software\\a\\b");  // the second "a"'s b
    void* hc = Open(hb, "c");
    unsigned char buf[16];
    uint32_t type, size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(hc, WP(u"v"), &type, buf, &size), 0);
    EXPECT_EQ(memcmp(buf, u"1", 4), 0);  // "My Computer/Software/a/b/c" names "a" then "b/c"
    ZrRegCloseKey(hc);
    ZrRegCloseKey(hb);
    c->DecOpenCnt();  // the open counted c, the close its path's key
    bc->IncOpenCnt();
}

TEST_F(WideTest, NothingLoadedAndNoTree) {
    void* sw = Open(root, "Software");
    lRegLoadCnt = 0;
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(u"x"), &h), ZRREG_NOT_LOADED);
    EXPECT_EQ(SetSz(sw, "v", "x"), ZRREG_NOT_LOADED);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(u"A")), ZRREG_NOT_LOADED);
    EXPECT_EQ(ZrRegDeleteValue(sw, WP(u"abc")), ZRREG_NOT_LOADED);
    lRegLoadCnt = 1;
    cfRegCloseRoot();
    delete RootNode;
    RootNode = nullptr;
    unsigned short name[256];
    unsigned char buf[8];
    uint32_t type, size = 8;
    EXPECT_EQ(ZrRegOpenKeyEx(sw, WP(u"A"), 0, &h), ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(ZrRegEnumKeyEx(sw, 0, name, &size), ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(u"abc"), &type, buf, &size), ZRREG_KEY_NOT_FOUND);
    EXPECT_EQ(ZrRegCloseKey(sw), ZRREG_SUCCESS);
    EXPECT_EQ(h, nullptr);
}

typedef WideTest PredefinedTest;

TEST_F(PredefinedTest, ProductKeyFirstCachesBothHandles) {
    void* ardo = HkeyArdoRoot();
    ASSERT_NE(ardo, nullptr);
    EXPECT_EQ(s_hkeyHKLM, RegHandleOf(HkeyHKLM()));
    EXPECT_STREQ(RegHandleOf(ardo)->ptr, "My Computer/HKEY_LOCAL_MACHINE/Software/MORVANE/Ardo/1.0");
    EXPECT_EQ(HkeyArdoRoot(), ardo);
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE/Software")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE/Software/MORVANE/Ardo/1.0")->GetOpenCnt(), 1);
    EXPECT_EQ(bRegChanged, 1);

    // The keys between are not held: deleting one takes the product key with it.
    EXPECT_EQ(ZrRegDeleteKey(HkeyHKLM(), WP(W("Software"))), ZRREG_SUCCESS);
    EXPECT_EQ(ZrRegCountSubKeys(ardo), 0xFFFFFFFFu);
    EXPECT_EQ(ZrRegDeleteKey(root, WP(W("HKEY_LOCAL_MACHINE"))), ZRREG_KEY_BUSY);
    // Made again at its path, the key is the handle's again.
    void* again = nullptr;
    ASSERT_EQ(ZrRegCreateKey(HkeyHKLM(), WP(u"Software\\MORVANE\\Ardo\\1.0\\x"), &again), ZRREG_SUCCESS);
    EXPECT_EQ(ZrRegCountSubKeys(ardo), 1u);
    ZrRegCloseKey(again);
}

TEST_F(PredefinedTest, MissingKeyIsAddedLastAndCachedOnce) {
    void* cu = HkeyHKCU();
    ASSERT_NE(cu, nullptr);
    EXPECT_EQ(HkeyHKCU(), cu);
    RegNodeList* subs = RootNode->GetRegNodeList();
    EXPECT_STREQ(subs->GetAt(subs->GetSize() - 1)->GetName(), "HKEY_CURRENT_USER");
    EXPECT_EQ(subs->GetAt(subs->GetSize() - 1)->GetOpenCnt(), 1);
    cfRegCloseHKCU();
    EXPECT_EQ(s_hkeyHKCU, nullptr);
    EXPECT_EQ(subs->GetAt(subs->GetSize() - 1)->GetOpenCnt(), 0);
}

TEST_F(PredefinedTest, NothingLoadedGivesNullAndCachesNothing) {
    cfRegCloseRoot();
    EXPECT_EQ(HkeyHKLM(), nullptr);
    EXPECT_EQ(HkeyArdoRoot(), nullptr);
    EXPECT_EQ(s_hkeyHKLM, nullptr);
    MarkLoaded();
    void* lm = HkeyHKLM();
    EXPECT_NE(lm, nullptr);
}
