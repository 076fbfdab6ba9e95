// The exported wide functions as a host calls them: arguments, result codes, names and the
// buffers they fill.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "testutil.h"

TEST_F(WideTest, NullArgumentsAreRefusedBeforeAnythingIsWritten) {
    void* h = reinterpret_cast<void*>(0x1);
    uint32_t u = 7, type = 7;
    unsigned short name[256];
    unsigned char data[8];
    unsigned short* str = reinterpret_cast<unsigned short*>(0x1);
    std::u16string n300 = W("n300");
    const unsigned short* n = WP(n300);
    int32_t bad = ZRREG_BAD_ARG;
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
    EXPECT_EQ(ZrRegQueryValueSz(root, nullptr, nullptr, nullptr, &str), static_cast<uint32_t>(bad));
    EXPECT_EQ(ZrRegQueryValueDw(root, nullptr, n, 0, nullptr), static_cast<uint32_t>(bad));
    EXPECT_EQ(ZrRegCloseKey(nullptr), ZRREG_SUCCESS);
    EXPECT_EQ(h, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(str, reinterpret_cast<unsigned short*>(0x1));
    EXPECT_EQ(bRegChanged, 0);
}

// Names and their lengths, whatever *lpcbName held; an index beyond the int range is
// past the last subkey.
TEST_F(WideTest, Enumerate) {
    void* sw = Open(root, "Software");
    struct Case {
        uint32_t index;
        int32_t rc;
        const char* name;
    } cases[] = {{0, ZRREG_SUCCESS, "A"},
                 {1, ZRREG_SUCCESS, "bb"},
                 {2, ZRREG_NO_MORE_ITEMS, ""},
                 {0x80000000u, ZRREG_NO_MORE_ITEMS, ""}};
    for (const Case& c : cases) {
        unsigned short name[256];
        uint32_t len = 0;
        EXPECT_EQ(ZrRegEnumKeyEx(sw, c.index, name, &len), c.rc);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name)), W(c.name));
        EXPECT_EQ(len, strlen(c.name));
    }
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, OpenCodesAndPaths) {
    void* h = Open(root, "software\\a");
    EXPECT_STREQ(RegHandleOf(h)->ptr, "My Computer/software/a");  // as spelled, "\\" made "/"
    EXPECT_EQ(Search("My Computer/Software/A")->GetOpenCnt(), 1);
    void* untouched = reinterpret_cast<void*>(0x1);
    for (const char* bad : {"", "Missing", "Software\\"})
        EXPECT_EQ(ZrRegOpenKeyEx(root, WP(W(bad)), 0, &untouched), ZRREG_NOT_FOUND) << bad;
    EXPECT_EQ(untouched, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(ZrRegCloseKey(h), ZRREG_SUCCESS);
    EXPECT_EQ(Search("My Computer/Software/A")->GetOpenCnt(), 0);
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
        {"abc", 8, 0, 4, 1, 8},       {"ABC", 64, 0, 4, 1, 8}, {"abc", 7, 7, 8, 0, 0},
        {"n300", 4, 0, 4, 4, 4},      {"n300", 3, 7, 4, 0, 0}, {"missing", 64, 5, 256, 0, 2},
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
    ZrRegCloseKey(sw);
}

// The data is 8-bit: a string ends at its first NUL or after cbData bytes, any type but 4
// is a string, and an integer is four bytes whatever cbData says.
TEST_F(WideTest, SetValueTranslatesNamesAndTakesEightBitData) {
    void* sw = Open(root, "Software");
    int32_t minus5 = -5;
    struct Case {
        const char* name;
        uint32_t type;
        const void* data;
        uint32_t cb;
        const char* stored;
    } cases[] = {
        {"i", 4, &minus5, 1, "i = -5"},          {"s6", 1, "hello", 6, "s6 = \"hello\""},
        {"s5", 1, "hello", 5, "s5 = \"hello\""}, {"s3", 1, "hello", 3, "s3 = \"hel\""},
        {"x2", 2, "ab", 2, "x2 = \"ab\""},       {"x7", 7, "a\0b", 3, "x7 = \"a\""},
        {"empty", 1, "", 1, "empty = \"\""},     {"a\\b", 1, "x", 2, "a/b = \"x\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZrRegSetValueEx(sw, WP(W(c.name)), c.type, static_cast<const unsigned char*>(c.data), c.cb),
                  0);
    EXPECT_EQ(bRegChanged, 1);
    std::string dump = DumpTree(Search("My Computer/Software"));
    for (const Case& c : cases)
        EXPECT_NE(dump.find(std::string("  ") + c.stored + "\n"), std::string::npos) << dump;

    uint32_t type, size = 64;
    unsigned char buf[64];
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(u"a\\b"), &type, buf, &size),
              ZRREG_NOT_FOUND);  // no translation when querying
    size = 64;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(u"a/b"), &type, buf, &size), ZRREG_SUCCESS);
    EXPECT_EQ(ZrRegDeleteValue(sw, WP(u"a\\b")), ZRREG_SUCCESS);
    ZrRegCloseKey(sw);
}

// A double quote, a line break or another control character would not load again.
TEST_F(WideTest, TextsTheFileCannotCarryAreRefused) {
    void* sw = Open(root, "Software");
    std::string before = DumpTree(RootNode);
    for (const char* t : {"a\"b", "line\nbreak", "ctrl\x1az"}) {
        EXPECT_EQ(SetSz(sw, t, "ok"), ZRREG_BAD_NAME);
        EXPECT_EQ(SetSz(sw, "ok", t), ZRREG_BAD_NAME);
        void* h = nullptr;
        EXPECT_EQ(ZrRegCreateKey(sw, WP(W(t)), &h), ZRREG_BAD_NAME);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(DumpTree(RootNode), before);
    // A quote behind the stored end of the string does not matter.
    EXPECT_EQ(ZrRegSetValueEx(sw, WP(u"cut"), 1, reinterpret_cast<const unsigned char*>("ok\0\""), 4),
              ZRREG_SUCCESS);
    ZrRegCloseKey(sw);
}

TEST_F(WideTest, NamesOfTwoHundredFiftySixCharactersAreRefused) {
    void* sw = Open(root, "Software");
    std::string n255(255, 'k'), n256(256, 'k');
    void* h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W(n255.c_str())), &h), ZRREG_SUCCESS);
    EXPECT_NE(Search(("My Computer/Software/" + n255).c_str()), nullptr);
    ZrRegCloseKey(h);
    h = nullptr;
    EXPECT_EQ(ZrRegCreateKey(sw, WP(W(n256.c_str())), &h), ZRREG_BAD_NAME);
    EXPECT_EQ(ZrRegOpenKeyEx(sw, WP(W(n256.c_str())), 0, &h), ZRREG_BAD_NAME);
    EXPECT_EQ(SetSz(sw, n256.c_str(), "x"), ZRREG_BAD_NAME);
    EXPECT_EQ(ZrRegDeleteKey(sw, WP(W(n256.c_str()))), ZRREG_BAD_NAME);
    EXPECT_EQ(ZrRegDeleteValue(sw, WP(W(n256.c_str()))), ZRREG_BAD_NAME);
    uint32_t type, size = 8;
    unsigned char buf[8];
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W(n256.c_str())), &type, buf, &size), ZRREG_BAD_NAME);
    EXPECT_EQ(h, nullptr);

    // A character of 256 or above ends the name, and what follows it still counts for the
    // limit: 3 + 1 + 252 characters are 256.
    for (size_t rest : {3, 251, 252}) {
        std::u16string cut = W("abc");
        cut += char16_t(0x100);
        cut += std::u16string(rest, u'z');
        size = sizeof buf;
        EXPECT_EQ(ZrRegQueryValueEx(sw, WP(cut), &type, buf, &size),
                  rest < 252 ? ZRREG_SUCCESS : ZRREG_BAD_NAME)
            << rest;
    }
    // Also for a key's path: what follows the character is no part of it.
    std::u16string path = u"cut";
    path += char16_t(0x100);
    path += u"\\below";
    ASSERT_EQ(ZrRegCreateKey(sw, WP(path), &h), ZRREG_SUCCESS);
    EXPECT_NE(Search("My Computer/Software/cut"), nullptr);
    EXPECT_EQ(Search("My Computer/Software/cut/below"), nullptr);
    ZrRegCloseKey(h);
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
    EXPECT_EQ(ZrRegEnumKeyEx(sw, 2, name, &len), ZRREG_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(name[0], 0);

    std::u16string wideText = W(longText.c_str());
    std::vector<unsigned char> buf(2002 + 4, 0xEE);
    uint32_t type, size = 2001;
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("long")), &type, buf.data(), &size), ZRREG_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2002u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(ZrRegQueryValueEx(sw, WP(W("long")), &type, buf.data(), &size), ZRREG_SUCCESS);
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
        {"Software", "abc", false, 0, "abc"},    {"", "abc", false, 5, nullptr},
        {"Software", "n300", false, 3, nullptr}, {"Software", "n300", true, 0, "dflt"},
        {"Missing", "abc", false, 5, nullptr},   {"Missing", "abc", true, 0, "dflt"},
        {"Software", "none", true, 0, "dflt"},
    };
    for (const Case& c : cases) {
        unsigned short* s = reinterpret_cast<unsigned short*>(0x1);
        EXPECT_EQ(ZrRegQueryValueSz(root, WP(W(c.key)), WP(W(c.value)), c.withDefault ? def : nullptr, &s),
                  c.rc)
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

    struct DwCase {
        const char* key;
        const char* value;
        uint32_t expect;
    } dw[] = {{"Software", "n300", 300},
              {"Software", "neg", 0xFFFFFFFBu},
              {"Software", "none", 77},
              {"Missing", "n300", 77},
              {"Software", "abc", 77}};
    for (const DwCase& c : dw) {
        uint32_t v = 0;
        EXPECT_EQ(ZrRegQueryValueDw(root, WP(W(c.key)), WP(W(c.value)), 77, &v), 0u);
        EXPECT_EQ(v, c.expect) << c.value;
    }
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 1);  // helpers closed their handles
    ZrRegCloseKey(sw);
}
