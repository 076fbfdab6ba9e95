// The calls beyond the first 18: value enumeration, key facts, tree deletion and typed
// reads, on the tree of KeyTreeTest.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

namespace {

std::u16string Wide(const unsigned short* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

std::u16string WideData(const unsigned char* data) {
    return std::u16string(reinterpret_cast<const char16_t*>(data));
}

// After a success the data read: the text, or (text null) the integer; after a failure
// nothing written into the zeroed buffer.
void ExpectData(int32_t rc, const unsigned char* data, const char* text, int32_t number) {
    int32_t n = 0;
    memcpy(&n, data, 4);
    if (rc != ZRREG_SUCCESS) {
        EXPECT_EQ(n, 0);
    } else if (text) {
        EXPECT_EQ(WideData(data), W(text));
    } else {
        EXPECT_EQ(n, number);
    }
}

using MoreCalls = WideTest;

// Dead handles are DeadHandles' (zrhandles_test.cpp).
TEST_F(MoreCalls, NullArgumentsAreRefusedWithoutWriting) {
    void* sw = Open(root, "Software");
    unsigned short name[64];
    unsigned char data[64];
    uint32_t cch = 64, cb = 64, type = 77, count = 77;
    const int32_t bad = ZRREG_BAD_ARG;
    EXPECT_EQ(ZrRegEnumValue(nullptr, 0, name, &cch, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegEnumValue(sw, 0, nullptr, &cch, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegEnumValue(sw, 0, name, nullptr, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegEnumValue(sw, 0, name, &cch, &type, data, nullptr), bad);
    EXPECT_EQ(ZrRegQueryInfoKey(nullptr, &count, nullptr, nullptr, nullptr, nullptr), bad);
    EXPECT_EQ(ZrRegDeleteTree(nullptr, WP(u"A")), bad);
    EXPECT_EQ(ZrRegGetValue(nullptr, nullptr, WP(u"abc"), ZRREG_RT_ANY, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegGetValue(sw, nullptr, WP(u"abc"), ZRREG_RT_ANY, &type, data, nullptr), bad);
    EXPECT_EQ(ZrRegGetValue(sw, nullptr, WP(u"abc"), 0, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegGetValue(sw, nullptr, WP(u"abc"), ZRREG_RT_SZ | 0x40000000u, &type, data, &cb), bad);
    EXPECT_EQ(ZrRegGetValue(sw, nullptr, WP(u"abc"), ZRREG_RT_EXPAND_SZ, &type, data, &cb), bad);
    EXPECT_EQ(cch, 64u);
    EXPECT_EQ(cb, 64u);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(bRegChanged, 0);
    ZrRegCloseKey(sw);
}

// Each value in list order with the sizes of ZrRegQueryValueEx; too little room for the
// name or the data tells the room needed and writes nothing else.
TEST_F(MoreCalls, EnumValue) {
    void* sw = Open(root, "Software");
    struct Case {
        uint32_t index, cch, cb;
        int32_t rc;
        const char* name;
        uint32_t outCch, type, outCb;
        const char* text;  // null: the integer `number`
        int32_t number;
    } cases[] = {
        {0, 256, 64, ZRREG_SUCCESS, "abc", 3, ZRREG_TYPE_SZ, 4, "abc", 0},
        {1, 256, 64, ZRREG_SUCCESS, "n300", 4, ZRREG_TYPE_DWORD, 4, nullptr, 300},
        {2, 5, 4, ZRREG_SUCCESS, "neg", 3, ZRREG_TYPE_DWORD, 4, nullptr, -5},
        {3, 256, 64, ZRREG_NO_MORE_ITEMS, "", 256, 77, 64, nullptr, 0},
        {0x80000000u, 256, 64, ZRREG_NO_MORE_ITEMS, "", 256, 77, 64, nullptr, 0},
        {1, 4, 64, ZRREG_BUFFER_TOO_SMALL, "", 5, 77, 4, nullptr, 0},  // no room for the NUL
        {0, 256, 7, ZRREG_BUFFER_TOO_SMALL, "", 4, 77, 8, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index * 1000 + c.cch);
        unsigned short name[256] = {};
        unsigned char data[64] = {};
        uint32_t cch = c.cch, cb = c.cb, type = 77;
        EXPECT_EQ(ZrRegEnumValue(sw, c.index, name, &cch, &type, data, &cb), c.rc);
        EXPECT_EQ(Wide(name), W(c.name));
        EXPECT_EQ(cch, c.outCch);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(cb, c.outCb);
        ExpectData(c.rc, data, c.text, c.number);
    }
    // Without a data buffer: the room the data needs, in bytes.
    unsigned short name[256];
    uint32_t cch = 256, cb = 0;
    EXPECT_EQ(ZrRegEnumValue(sw, 0, name, &cch, nullptr, nullptr, &cb), ZRREG_SUCCESS);
    EXPECT_EQ(cb, 8u);
    ZrRegCloseKey(sw);
}

// A handle whose key was deleted (rule 2) answers as the other functions do.
TEST_F(MoreCalls, KeyGoneBelowAHandle) {
    void* a = Open(root, "Software\\A");
    ASSERT_EQ(ZrRegDeleteKey(root, WP(u"Software")), ZRREG_SUCCESS);
    unsigned short name[256];
    uint32_t cch = 256, count = 0, type = 0;
    const int32_t gone = ZRREG_KEY_NOT_FOUND;
    EXPECT_EQ(ZrRegEnumValue(a, 0, name, &cch, nullptr, nullptr, nullptr), gone);
    EXPECT_EQ(ZrRegQueryInfoKey(a, &count, nullptr, nullptr, nullptr, nullptr), gone);
    EXPECT_EQ(ZrRegDeleteTree(a, nullptr), gone);
    EXPECT_EQ(ZrRegGetValue(a, nullptr, WP(u"x"), ZRREG_RT_ANY, &type, nullptr, nullptr), gone);
    ZrRegCloseKey(a);
}

// Deleting values between others leaves holes in the key's list; the enumeration still
// gives every remaining value once, in order.
TEST_F(MoreCalls, EnumValueAfterDeletionsKeepsListOrder) {
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(root, WP(u"Many"), &h), ZRREG_SUCCESS);
    const int n = 300;
    for (int i = 0; i < n; ++i) ASSERT_EQ(SetSz(h, ("v" + std::to_string(i)).c_str(), "x"), ZRREG_SUCCESS);
    for (int i = 1; i < n; i += 3) ASSERT_EQ(ZrRegDeleteValue(h, WP(W("v" + std::to_string(i)))), 0);
    std::u16string got, want;
    for (int i = 0; i < n; ++i)
        if (i % 3 != 1) want += W("v" + std::to_string(i)) + u",";
    unsigned short name[256];
    uint32_t i = 0, cch = 256;
    for (; ZrRegEnumValue(h, i, name, &cch, nullptr, nullptr, nullptr) == ZRREG_SUCCESS; ++i, cch = 256)
        got += Wide(name) + u",";
    EXPECT_EQ(got, want);
    EXPECT_EQ(i, 200u);
    ZrRegCloseKey(h);
}

TEST_F(MoreCalls, QueryInfoKey) {
    void* sw = Open(root, "Software");
    void* empty = Open(root, "Empty");
    SetSz(sw, "a much longer name", "");
    struct Case {
        void* key;
        uint32_t subKeys, maxSubKey, values, maxValueName, maxData;
    } cases[] = {
        {sw, 2, 2, 4, 18, 8},
        {empty, 0, 0, 0, 0, 0},
        {root, 2, 8, 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t got[5] = {77, 77, 77, 77, 77};
        EXPECT_EQ(ZrRegQueryInfoKey(c.key, &got[0], &got[1], &got[2], &got[3], &got[4]), ZRREG_SUCCESS);
        EXPECT_EQ(got[0], c.subKeys);
        EXPECT_EQ(got[1], c.maxSubKey);
        EXPECT_EQ(got[2], c.values);
        EXPECT_EQ(got[3], c.maxValueName);
        EXPECT_EQ(got[4], c.maxData);
    }
    uint32_t values = 0;
    EXPECT_EQ(ZrRegQueryInfoKey(sw, nullptr, nullptr, &values, nullptr, nullptr), ZRREG_SUCCESS);
    EXPECT_EQ(values, 4u);
    ZrRegCloseKey(empty);
    ZrRegCloseKey(sw);
}

// All or nothing: one open handle anywhere in what would go refuses the whole deletion.
TEST_F(MoreCalls, DeleteTree) {
    struct Case {
        const char* name;
        const char* open;  // a key held open during the call, or null
        const char* base;
        const char16_t* subKey;
        int32_t rc;
        const char* after;  // the tree below the root; null: unchanged
    } cases[] = {
        {"a subtree", nullptr, "", u"Software", ZRREG_SUCCESS, "[My Computer]\n  [Empty]\n"},
        {"a key below it open", "Software\\bb", "", u"software", ZRREG_KEY_BUSY, nullptr},
        {"the key itself open", "Software", "", u"Software", ZRREG_KEY_BUSY, nullptr},
        {"a missing one", nullptr, "", u"Missing", ZRREG_NOT_FOUND, nullptr},
        {"its subkeys and values, null", nullptr, "Software", nullptr, ZRREG_SUCCESS,
         "[My Computer]\n  [Software]\n  [Empty]\n"},
        {"its subkeys and values, empty", "Software", "Software", u"", ZRREG_SUCCESS,
         "[My Computer]\n  [Software]\n  [Empty]\n"},
        {"its subkeys with one open", "Software\\A", "Software", nullptr, ZRREG_KEY_BUSY, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        std::string before = DumpTree(RootNode, false);
        void* held = c.open ? Open(root, c.open) : nullptr;
        void* base = c.base[0] ? Open(root, c.base) : root;
        EXPECT_EQ(ZrRegDeleteTree(base, c.subKey ? WP(c.subKey) : nullptr), c.rc);
        EXPECT_EQ(DumpTree(RootNode, false), c.after ? c.after : before);
        EXPECT_EQ(bRegChanged, c.after ? 1 : 0);
        if (base != root) ZrRegCloseKey(base);
        ZrRegCloseKey(held);
    }
}

// The type is checked against the flags before anything is written; the sizes are bytes.
TEST_F(MoreCalls, GetValue) {
    struct Case {
        const char16_t *subKey, *value;
        uint32_t flags, cb;
        int32_t rc;
        uint32_t type, outCb;
        const char* text;  // null: the integer `number`
        int32_t number;
    } cases[] = {
        {u"Software", u"ABC", ZRREG_RT_SZ, 64, ZRREG_SUCCESS, ZRREG_TYPE_SZ, 8, "abc", 0},
        {u"Software", u"n300", ZRREG_RT_ANY, 4, ZRREG_SUCCESS, ZRREG_TYPE_DWORD, 4, nullptr, 300},
        {u"Software", u"neg", ZRREG_RT_DWORD | ZRREG_RT_SZ, 64, ZRREG_SUCCESS, ZRREG_TYPE_DWORD, 4, nullptr,
         -5},
        {u"Software", u"abc", ZRREG_RT_DWORD, 64, ZRREG_UNSUPPORTED_TYPE, 77, 64, nullptr, 0},
        {u"Software", u"n300", ZRREG_RT_SZ | 0x8, 64, ZRREG_UNSUPPORTED_TYPE, 77, 64, nullptr, 0},
        {u"Software", u"abc", ZRREG_RT_ANY, 7, ZRREG_BUFFER_TOO_SMALL, 77, 8, nullptr, 0},
        {u"Software", u"none", ZRREG_RT_ANY, 64, ZRREG_NOT_FOUND, 77, 64, nullptr, 0},
        {u"Nowhere", u"abc", ZRREG_RT_ANY, 64, ZRREG_NOT_FOUND, 77, 64, nullptr, 0},
        {nullptr, u"abc", ZRREG_RT_ANY, 64, ZRREG_NOT_FOUND, 77, 64, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.subKey ? "sub " : "") + std::to_string(&c - cases));
        unsigned char data[64] = {};
        uint32_t type = 77, cb = c.cb;
        EXPECT_EQ(
            ZrRegGetValue(root, c.subKey ? WP(c.subKey) : nullptr, WP(c.value), c.flags, &type, data, &cb),
            c.rc);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(cb, c.outCb);
        ExpectData(c.rc, data, c.text, c.number);
    }
    uint32_t type = 0, cb = 0;
    EXPECT_EQ(ZrRegGetValue(root, WP(u"Software"), WP(u"abc"), ZRREG_RT_SZ, &type, nullptr, &cb),
              ZRREG_SUCCESS);
    EXPECT_EQ(cb, 8u);
    EXPECT_EQ(Search("My Computer/Software")->GetOpenCnt(), 0);  // the subkey's handle is closed again
}

}  // namespace
