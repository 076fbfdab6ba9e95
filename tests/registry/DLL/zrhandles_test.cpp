// Key handles as the tree changes under them: handles that are none, creating and deleting
// keys, subkey counts, handles that follow or lose their keys, and the predefined handles.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

void* const kUntouched = reinterpret_cast<void*>(uintptr_t(0x5));

// Every exported function that takes a handle, with arguments that a live handle of
// HKEY_LOCAL_MACHINE\Software would make succeed; each checks what a failure writes and
// answers ZRREG_INVALID_HANDLE for what its function answered a dead handle with.
uint32_t (*const kHandleCalls[])(void*) = {
    [](void* h) -> uint32_t {
        void* out = kUntouched;
        int32_t rc = ZrRegOpenKeyEx(h, WP(u"A"), 0, &out);
        EXPECT_EQ(out, kUntouched);
        return rc;
    },
    [](void* h) -> uint32_t {
        void* out = kUntouched;
        int32_t rc = ZrRegCreateKey(h, WP(u"New\\Sub"), &out);
        EXPECT_EQ(out, kUntouched);
        return rc;
    },
    [](void* h) -> uint32_t { return ZrRegCloseKey(h); },
    [](void* h) -> uint32_t {
        unsigned short name[256] = {'x', 0};
        uint32_t cb = 7;
        int32_t rc = ZrRegEnumKeyEx(h, 0, name, &cb);
        EXPECT_EQ(name[0] + cb, 0u);
        return rc;
    },
    [](void* h) -> uint32_t {
        unsigned char data[16] = {'x', 'x'};
        uint32_t type = 7, cb = sizeof data;
        int32_t rc = ZrRegQueryValueEx(h, WP(u"n"), &type, data, &cb);
        EXPECT_TRUE(cb == 256 && data[0] == 0 && data[1] == 0 && type == 7);
        return rc;
    },
    [](void* h) -> uint32_t {
        return ZrRegSetValueEx(h, WP(u"n"), 1, reinterpret_cast<const unsigned char*>("x"), 2);
    },
    [](void* h) -> uint32_t { return ZrRegDeleteKey(h, WP(u"A")); },
    [](void* h) -> uint32_t { return ZrRegDeleteValue(h, WP(u"n")); },
    [](void* h) -> uint32_t { return ZrRegCountSubKeys(h) == 0xFFFFFFFFu ? ZRREG_INVALID_HANDLE : 0; },
    [](void* h) -> uint32_t {  // a default would hide the host's error
        unsigned short* s = reinterpret_cast<unsigned short*>(kUntouched);
        uint32_t rc = ZrRegQueryValueSz(h, WP(u"A"), WP(u"s"), WP(u"default"), &s);
        EXPECT_EQ(s, nullptr);
        return rc;
    },
    [](void* h) -> uint32_t {
        uint32_t v = 1, rc = ZrRegQueryValueDw(h, nullptr, WP(u"n"), 77, &v);
        EXPECT_EQ(v, 77u);
        return rc;
    },
    [](void* h) -> uint32_t {
        unsigned short name[64] = {'x', 0};
        unsigned char data[16] = {'x'};
        uint32_t cch = 64, cb = sizeof data, type = 7;
        int32_t rc = ZrRegEnumValue(h, 0, name, &cch, &type, data, &cb);
        EXPECT_TRUE(name[0] == 'x' && data[0] == 'x' && cch == 64 && cb == sizeof data && type == 7);
        return rc;
    },
    [](void* h) -> uint32_t {
        uint32_t count = 7;
        int32_t rc = ZrRegQueryInfoKey(h, &count, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(count, 7u);
        return rc;
    },
    [](void* h) -> uint32_t { return ZrRegDeleteTree(h, WP(u"A")); },
    [](void* h) -> uint32_t { return ZrRegDeleteTree(h, nullptr); },
    [](void* h) -> uint32_t {
        unsigned char data[16] = {'x'};
        uint32_t cb = sizeof data, type = 7;
        int32_t rc = ZrRegGetValue(h, nullptr, WP(u"s"), ZRREG_RT_ANY, &type, data, &cb);
        EXPECT_TRUE(data[0] == 'x' && cb == sizeof data && type == 7);
        return rc;
    },
    [](void* h) -> uint32_t { return ZrRegFlushKey(h); },
};

REG_HANDLE s_notInTheTable = {REGHANDLE_KEY, const_cast<char*>("My Computer"), 1, nullptr, 0};

// Dead handles: closed, of an earlier load, or never handles. Each call refuses them and
// changes nothing.
TEST(DeadHandles, AnswerEveryFunctionAsNoHandle) {
    ResetRegistry();
    TempDir dir;
    std::string file = dir.File("reg.txt");
    auto load = [&] {
        WriteBytes(file,
                   "KEY \"My Computer\" ( KEY HKEY_LOCAL_MACHINE ( KEY Software ( [REG_SZ] s = \"t\"; "
                   "[REG_INT] n = 5; KEY A ( ) ) ) KEY HKEY_CURRENT_USER ( ) )\n");
        ASSERT_EQ(ZrLoadRegistry(file.c_str()), ZRREG_LOAD_OK);
    };
    auto reload = [&] {
        ZrUnloadRegistry();
        load();
    };
    auto software = [] {
        void* h = nullptr;
        EXPECT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"HKEY_LOCAL_MACHINE\\Software"), 0, &h), 0);
        return h;
    };
    auto slot = [](void* h) { return reinterpret_cast<uintptr_t>(h) >> kRegSerialBits; };
    std::vector<std::function<void*()>> kinds = {
        [&] {  // closed: the table's close is a second close
            void* h = software();
            ZrRegCloseKey(h);
            return h;
        },
        [&] {  // closed, its slot holding a newer handle
            void* h = software();
            ZrRegCloseKey(h);
            void* again = software();
            for (int i = 0; i < 100000 && slot(again) != slot(h); ++i, again = software())
                ZrRegCloseKey(again);
            EXPECT_EQ(slot(again), slot(h));
            return h;
        },
        [&] {  // opened in the load before
            void* h = software();
            reload();
            return h;
        },
        [&] {  // the root after the unload
            void* h = HkeyRegRoot();
            ZrUnloadRegistry();
            return h;
        },
        [] { return static_cast<void*>(&s_notInTheTable); },
        [] { return reinterpret_cast<void*>(~uintptr_t(0)); },
    };
    for (void* (*library)() : {HkeyRegRoot, HkeyHKLM, HkeyHKCU, HkeyArdoRoot})
        kinds.push_back([&, library] {  // the library's of the load before
            void* h = library();
            reload();
            return h;
        });
    for (size_t k = 0; k < kinds.size(); ++k) {
        load();
        void* dead = kinds[k]();
        std::string before = DumpTree(RootNode);
        int changed = bRegChanged;
        for (size_t c = 0; c < std::size(kHandleCalls); ++c)
            EXPECT_EQ(kHandleCalls[c](dead), uint32_t(ZRREG_INVALID_HANDLE))
                << "kind " << k << ", call " << c;
        EXPECT_EQ(DumpTree(RootNode), before) << k;
        EXPECT_EQ(bRegChanged, changed) << k;
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
    NodeStackPush(Search("My Computer/Software")->GetRegNodeList()->GetAt(4));
    AddKey("c");
    NodeStackPop();
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
    NodeStackPush(first);
    RegNode* bc = AddKey("b/c");
    NodeStackPush(bc);
    AddValue(Dup("v"), REG_SZ, Dup("1"));
    NodeStackPop();
    NodeStackPop();
    NodeStackPush(second);
    RegNode* b = AddKey("b");
    NodeStackPush(b);
    RegNode* c = AddKey("c");
    NodeStackPush(c);
    AddValue(Dup("v"), REG_SZ, Dup("2"));
    NodeStackPop();
    NodeStackPop();
    NodeStackPop();

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
