// The exported wide functions and the predefined handles, as a host calls them.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "testutil.h"

// My Computer
//   Software     values: abc="abc", n300=300, neg=-5
//     A
//     bb
class WideTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        ASSERT_EQ(CreateKeyNode(Dup("My Computer")), 0);
        AddKey("Software");
        Within("My Computer/Software", [] {
            AddValue(Dup("abc"), REG_SZ, Dup("abc"));
            AddValue(Dup("n300"), REG_INT, Dup("300"));
            AddValue(Dup("neg"), REG_INT, Dup("-5"));
            AddKey("A");
            AddKey("bb");
        });
        EndKeyNode("My Computer");
        MarkLoaded();
        root = HkeyRegRoot();
    }
    void* Open(void* base, const char* path) {
        void* h = nullptr;
        EXPECT_EQ(ZrRegOpenKeyEx(base, WP(W(path)), 0, &h), 0) << path;
        return h;
    }
    int32_t SetSz(void* h, const char* name, const char* text) {
        return ZrRegSetValueEx(h, WP(W(name)), 1, reinterpret_cast<const unsigned char*>(text),
                               static_cast<uint32_t>(strlen(text) + 1));
    }
    void* root = nullptr;
};

TEST_F(WideTest, NullArgumentsAreRefusedBeforeAnythingIsWritten) {
    void* h = reinterpret_cast<void*>(0x1);
    uint32_t u = 7, type = 7;
    unsigned short name[256];
    unsigned char data[8];
    unsigned short* str = reinterpret_cast<unsigned short*>(0x1);
    std::u16string n300 = W("n300");
    const unsigned short* n = WP(n300);
    int32_t bad = -1;
    EXPECT_EQ(ZrRegOpenKeyEx(nullptr, n, 0, &h), bad);
    EXPECT_EQ(ZrRegOpenKeyEx(root, nullptr, 0, &h), bad);
    EXPECT_EQ(ZrRegOpenKeyEx(root, n, 0, nullptr), bad);
    EXPECT_EQ(ZrRegEnumKeyEx(nullptr, 0, name, &u), bad);
    EXPECT_EQ(ZrRegEnumKeyEx(root, 0, nullptr, &u), bad);
    EXPECT_EQ(ZrRegEnumKeyEx(root, 0, name, nullptr), bad);
    EXPECT_EQ(ZrRegQueryValueEx(root, n, &type, data, nullptr), bad);
    EXPECT_EQ(ZrRegQueryValueEx(root, n, nullptr, data, &u), bad);
    EXPECT_EQ(ZrRegCreateKey(root, nullptr, &h), bad);
    EXPECT_EQ(ZrRegSetValueEx(root, n, 1, nullptr, 1), bad);
    EXPECT_EQ(ZrRegSetValueEx(root, n, 0, data, 1), bad);
    EXPECT_EQ(ZrRegSetValueEx(root, n, 1, data, 0), bad);
    EXPECT_EQ(ZrRegDeleteKey(root, nullptr), bad);
    EXPECT_EQ(ZrRegDeleteValue(nullptr, n), bad);
    EXPECT_EQ(ZrRegCountSubKeys(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(ZrRegQueryValueSz(root, nullptr, nullptr, nullptr, &str), 0xFFFFFFFFu);
    EXPECT_EQ(ZrRegQueryValueDw(root, nullptr, n, 0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(ZrRegCloseKey(nullptr), 0);
    EXPECT_EQ(h, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(str, reinterpret_cast<unsigned short*>(0x1));
    EXPECT_EQ(bRegChanged, 0);
}

TEST_F(WideTest, EnumerateAndCount) {
    void* sw = Open(root, "Software");
    struct Case {
        uint32_t index;
        int32_t rc;
        const char* name;
    } cases[] = {{0, 0, "A"}, {1, 0, "bb"}, {2, 259, ""}, {0x80000000u, 259, ""}};
    for (const Case& c : cases) {
        unsigned short name[256];
        uint32_t len = 99;
        EXPECT_EQ(ZrRegEnumKeyEx(sw, c.index, name, &len), c.rc);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name)), W(c.name));
        EXPECT_EQ(len, strlen(c.name));
    }
    EXPECT_EQ(ZrRegCountSubKeys(sw), 2u);
    void* a = Open(sw, "A");
    EXPECT_EQ(ZrRegCountSubKeys(a), 0u);
    ZrRegCloseKey(a);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, OpenTranslatesBackslashes) {
    void* h = Open(root, "Software\\A");
    EXPECT_STREQ(static_cast<HKEY>(h)->ptr, "My Computer/Software/A");
    void* none = nullptr;
    EXPECT_EQ(ZrRegOpenKeyEx(root, WP(W("")), 0, &none), 5);
    EXPECT_EQ(none, nullptr);
    ZrRegCloseKey(h);
}

TEST_F(WideTest, QueryValueDeliversWideTextOrIntegerWithinTheRoom) {
    void* sw = Open(root, "Software");
    struct Case {
        const char* name;
        uint32_t room;
        int32_t rc;
        uint32_t size;   // *lpcbData afterwards
        uint32_t type;   // 0: untouched
        size_t written;  // bytes of lpData written
    } cases[] = {
        {"abc", 8, 0, 4, 1, 8},   {"ABC", 64, 0, 4, 1, 8},    {"abc", 7, 7, 8, 0, 0},
        {"n300", 4, 0, 4, 4, 4},  {"n300", 3, 7, 4, 0, 0},    {"missing", 64, 5, 256, 0, 2},
        {"missing", 1, 5, 256, 0, 0},
    };
    for (const Case& c : cases) {
        unsigned char buf[80];
        memset(buf, 0xEE, sizeof buf);
        uint32_t type = 0, size = c.room;
        EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W(c.name)), &type, buf, &size), c.rc) << c.name << " " << c.room;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(buf[c.written], 0xEE) << c.name;  // nothing behind what was delivered
        if (c.written) {
            EXPECT_NE(buf[c.written - 1], 0xEE) << c.name;
        }
    }
    unsigned char buf[8];
    uint32_t type, size = sizeof buf;
    ASSERT_EQ(ZrRegQueryValueEx(sw, WP(W("abc")), &type, buf, &size), 0);
    EXPECT_EQ(memcmp(buf, u"abc", 8), 0);
    size = sizeof buf;
    ASSERT_EQ(ZrRegQueryValueEx(sw, WP(W("n300")), &type, buf, &size), 0);
    int32_t v;
    memcpy(&v, buf, 4);
    EXPECT_EQ(v, 300);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, SetValueTranslatesNamesAndTakesEightBitData) {
    void* sw = Open(root, "Software");
    EXPECT_EQ(SetSz(sw, "a\\b", "x"), 0);
    uint32_t type, size = 64;
    unsigned char buf[64];
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("a\\b")), &type, buf, &size), 5);  // no translation when querying
    size = 64;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("a/b")), &type, buf, &size), 0);
    EXPECT_EQ(ZrRegDeleteValue(sw, WP(W("a\\b"))), 0);

    EXPECT_EQ(ZrRegSetValueEx(sw, WP(W("hello")), 1, reinterpret_cast<const unsigned char*>("hello"), 5), 0);
    size = 64;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("hello")), &type, buf, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(memcmp(buf, u"hello", 12), 0);
    EXPECT_EQ(ZrRegSetValueEx(sw, WP(W("hi")), 1, reinterpret_cast<const unsigned char*>(u"hi"), 6), 0);
    size = 64;
    ZrRegQueryValueEx(sw, WP(W("hi")), &type, buf, &size);
    EXPECT_EQ(size, 2u);  // "h": the second byte of the wide text is zero
    EXPECT_EQ(ZrRegSetValueEx(sw, WP(W("empty")), 1, reinterpret_cast<const unsigned char*>(""), 1), 0);

    int32_t minus5 = -5;
    EXPECT_EQ(ZrRegSetValueEx(sw, WP(W("m")), 4, reinterpret_cast<const unsigned char*>(&minus5), 1), 0);
    uint32_t dw = 0;
    EXPECT_EQ(ZrRegQueryValueDw(sw, nullptr, WP(W("m")), 9, &dw), 0u);
    EXPECT_EQ(dw, 0xFFFFFFFBu);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, CreateKeyWalksThePath) {
    void* sw = Open(root, "Software");
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("a\\b\\c")), &h), 0);
    EXPECT_STREQ(static_cast<HKEY>(h)->ptr, "My Computer/Software/a/b/c");
    // "a" is found as the existing "A" (names ignore case), so b is created below it.
    EXPECT_EQ(Search("My Computer/Software/A")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software/A/b")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software/A/b/c")->GetOpenCnt(), 1);
    ZrRegCloseKey(h);

    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("x\\\\y\\")), &h), 0);
    EXPECT_NE(Search("My Computer/Software/x/y"), nullptr);
    EXPECT_EQ(Search("My Computer/Software/x")->GetRegNodeList()->GetSize(), 1);
    ZrRegCloseKey(h);

    std::string before = DumpTree(RootNode);
    bRegChanged = 0;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("x\\y")), &h), 0);  // existing: opened only
    EXPECT_EQ(bRegChanged, 0);
    ZrRegCloseKey(h);
    EXPECT_EQ(DumpTree(RootNode), before);

    void* untouched = reinterpret_cast<void*>(0x1);
    for (const char* bad : {"", "\\a", "/a"}) EXPECT_EQ(ZrRegCreateKey(sw, WP(W(bad)), &untouched), -1) << bad;
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(DumpTree(RootNode), before);

    // A refused component stops the walk; the levels before it stay, and no handle is left.
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W("p\\q\"r")), &untouched), REGERR_BAD_NAME);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(Search("My Computer/Software/p")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 1);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, DeleteKeyComparesWholeNames) {
    void* sw = Open(root, "Software");
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(sw, WP(W("a\\b")), &h), 0);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W("a\\b"))), 5);  // looks for a direct subkey named "a/b"
    void* a = Open(sw, "A");
    EXPECT_EQ(ZrRegDeleteKey(a, WP(W("b"))), 10);
    ZrRegCloseKey(h);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W("A"))), 10);
    ZrRegCloseKey(a);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W("A"))), 0);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, NamesOfTwoHundredFiftySixCharactersAreRefused) {
    void* sw = Open(root, "Software");
    std::string n255(255, 'k'), n256(256, 'k');
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W(n255.c_str())), &h), 0);
    EXPECT_NE(Search(("My Computer/Software/" + n255).c_str()), nullptr);
    ZrRegCloseKey(h);
    h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W(n256.c_str())), &h), REGERR_BAD_NAME);
    EXPECT_EQ(ZrRegOpenKeyEx(sw, WP(W(n256.c_str())), 0, &h), REGERR_BAD_NAME);
    EXPECT_EQ(SetSz(sw, n256.c_str(), "x"), REGERR_BAD_NAME);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W(n256.c_str()))), REGERR_BAD_NAME);
    EXPECT_EQ(ZrRegDeleteValue(sw, WP(W(n256.c_str()))), REGERR_BAD_NAME);
    uint32_t type, size = 8;
    unsigned char buf[8];
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W(n256.c_str())), &type, buf, &size), REGERR_BAD_NAME);
    EXPECT_EQ(h, nullptr);

    // A character of 256 or above ends the name.
    std::u16string cut = W("abc");
    cut += char16_t(0x100);
    cut += u"zzz";
    size = sizeof buf;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(cut), &type, buf, &size), 0);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, LongNamesAndStringsFromTheTreeAreReadWithoutOverflow) {
    std::string longName(300, 'n'), longText(1000, 't');
    Within("My Computer/Software", [&] {
        AddKey(longName.c_str());
        AddValue(Dup("long"), REG_SZ, Dup(longText.c_str()));
    });
    void* sw = Open(root, "Software");
    unsigned short name[256];
    uint32_t len = 0;
    EXPECT_EQ(ZrRegEnumKeyEx(sw, 2, name, &len), 7);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(name[0], 0);
    EXPECT_EQ(ZrRegCountSubKeys(sw), 0xFFFFFFFFu);

    std::u16string wideText = W(longText.c_str());
    std::vector<unsigned char> buf(2002 + 4, 0xEE);
    uint32_t type, size = 2001;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("long")), &type, buf.data(), &size), 7);
    EXPECT_EQ(size, 2002u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("long")), &type, buf.data(), &size), 0);
    EXPECT_EQ(size, 1001u);
    EXPECT_EQ(memcmp(buf.data(), wideText.c_str(), 2002), 0);
    EXPECT_EQ(buf[2002], 0xEE);

    unsigned short* s = nullptr;
    EXPECT_EQ(ZrRegQueryValueSz(sw, nullptr, WP(W("long")), nullptr, &s), 0u);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(s)), wideText);
    free(s);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, QueryValueSzAndDwWithDefaults) {
    std::u16string dflt = W("dflt");
    const unsigned short* def = WP(dflt);
    struct Case {
        const char* key;  // null: the base itself
        const char* value;
        bool withDefault;
        uint32_t rc;
        const char* text;  // null: *pszValue is null
    } cases[] = {
        {"Software", "abc", false, 0, "abc"},   {"", "abc", false, 5, nullptr},
        {"Software", "n300", false, 3, nullptr}, {"Software", "n300", true, 0, "dflt"},
        {"Missing", "abc", false, 5, nullptr},   {"Missing", "abc", true, 0, "dflt"},
        {"Software", "none", true, 0, "dflt"},
    };
    for (const Case& c : cases) {
        unsigned short* s = reinterpret_cast<unsigned short*>(0x1);
        EXPECT_EQ(ZrRegQueryValueSz(root, WP(W(c.key)), WP(W(c.value)), c.withDefault ? def : nullptr, &s), c.rc)
            << c.key << "/" << c.value;
        if (c.text) {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(s)), W(c.text));
        } else {
            EXPECT_EQ(s, nullptr);
        }
        free(s);
    }
    void* sw = Open(root, "Software");
    unsigned short* s = nullptr;
    EXPECT_EQ(ZrRegQueryValueSz(sw, nullptr, WP(W("abc")), nullptr, &s), 0u);
    free(s);

    struct DwCase {
        const char* key;
        const char* value;
        uint32_t expect;
    } dw[] = {{"Software", "n300", 300}, {"Software", "neg", 0xFFFFFFFBu}, {"Software", "none", 77},
              {"Missing", "n300", 77},   {"Software", "abc", 77}};
    for (const DwCase& c : dw) {
        uint32_t v = 0;
        EXPECT_EQ(ZrRegQueryValueDw(root, WP(W(c.key)), WP(W(c.value)), 77, &v), 0u);
        EXPECT_EQ(v, c.expect) << c.value;
    }
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 1);  // helpers closed their handles
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, HandlesOfADeletedKeyAndAfterUnload) {
    void* a = Open(root, "Software\\A");
    void* sw = Open(root, "Software");
    ZrRegCloseKey(sw);
    EXPECT_EQ(ZrRegDeleteKey(root, WP(W("Software"))), 0);
    unsigned short name[256];
    uint32_t len;
    EXPECT_EQ(ZrRegEnumKeyEx(a, 0, name, &len), 8);
    EXPECT_EQ(SetSz(a, "v", "x"), 8);
    lRegLoadCnt = 0;
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(a, WP(W("x")), &h), 9);
    EXPECT_EQ(SetSz(a, "v", "x"), 9);
    EXPECT_EQ(ZrRegDeleteKey(a, WP(W("x"))), 9);
    EXPECT_EQ(ZrRegDeleteValue(a, WP(W("x"))), 9);
    lRegLoadCnt = 1;
    EXPECT_EQ(ZrRegCloseKey(a), 0);
}

typedef WideTest PredefinedTest;

TEST_F(PredefinedTest, ProductKeyFirstCachesBothHandles) {
    void* ardo = HkeyArdoRoot();
    ASSERT_NE(ardo, nullptr);
    EXPECT_EQ(s_hkeyHKLM, HkeyHKLM());
    EXPECT_STREQ(static_cast<HKEY>(ardo)->ptr, "My Computer/HKEY_LOCAL_MACHINE/Software/MORVANE/Ardo/1.0");
    EXPECT_EQ(HkeyArdoRoot(), ardo);
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE/Software")->GetOpenCnt(), 0);
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE/Software/MORVANE/Ardo/1.0")->GetOpenCnt(), 1);
    EXPECT_EQ(bRegChanged, 1);

    // The keys between are not held: deleting one takes the product key with it.
    EXPECT_EQ(ZrRegDeleteKey(HkeyHKLM(), WP(W("Software"))), 0);
    EXPECT_EQ(ZrRegCountSubKeys(ardo), 0xFFFFFFFFu);
    EXPECT_EQ(ZrRegDeleteKey(root, WP(W("HKEY_LOCAL_MACHINE"))), 10);
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

TEST_F(PredefinedTest, FailedRequestsLeaveTheCacheEmpty) {
    for (long n = 1;; ++n) {
        zrAllocFailAt(n);
        void* ardo = HkeyArdoRoot();
        zrAllocFailAt(0);
        if (ardo) break;
        EXPECT_EQ(s_hkeyArdoRoot, nullptr) << n;
        EXPECT_EQ(NodeStack->GetSize(), 0);
    }
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE/Software/MORVANE/Ardo/1.0")->GetOpenCnt(), 1);
    EXPECT_EQ(Search("My Computer/HKEY_LOCAL_MACHINE")->GetOpenCnt(), 1);
}
