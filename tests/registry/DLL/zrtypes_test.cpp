// Every value type through every layer: set with its bytes, handed back by the three reading
// calls, saved, loaded (in one part and in two), carried by the change log to another
// process and by the journal into a file another process replaced; ZrRegGetValue's flags.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "regp.h"
#include "regpart.h"
#include "regview.h"
#include "testutil.h"
#include "zrlogtest.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Utf16(const std::u16string& s, bool nul = true) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<unsigned char>(c));
        b.push_back(static_cast<unsigned char>(c >> 8));
    }
    if (nul) b.insert(b.end(), 2, 0);
    return b;
}

struct Typed {
    const char* name;
    uint32_t type;
    Bytes data;
    bool plain;  // held as the plain string or integer, written with [REG_SZ] or [REG_INT]
};

Bytes AllBytes() {
    Bytes b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<unsigned char>(i));
    return b;
}

const std::vector<Typed>& Cases() {
    static const std::vector<Typed> cases = {
        {"none empty", ZRREG_TYPE_NONE, {}, false},
        {"none", ZRREG_TYPE_NONE, {1, 2, 3}, false},
        {"plain text", ZRREG_TYPE_SZ, Utf16(u"abc \u00e9\u00ff"), true},
        {"empty text", ZRREG_TYPE_SZ, Utf16(u""), true},
        {"quotes", ZRREG_TYPE_SZ, Utf16(u"\"C:\\Program Files\\App\\app.exe\" \"%1\""), false},
        {"line breaks", ZRREG_TYPE_SZ, Utf16(u"one\r\ntwo\nthree\x1a"), false},
        {"nul inside", ZRREG_TYPE_SZ, Utf16(std::u16string(u"a\0b", 3)), false},
        {"above ff", ZRREG_TYPE_SZ, Utf16(u"\u20ac \u4e2d \U0001F600 \xd800"), false},
        {"no terminator", ZRREG_TYPE_SZ, Utf16(u"abc", false), false},
        {"odd size", ZRREG_TYPE_SZ, {'a', 0, 'b'}, false},
        {"long text", ZRREG_TYPE_SZ, Utf16(std::u16string(20000, u'x')), false},
        {"expand", ZRREG_TYPE_EXPAND_SZ, Utf16(u"%SystemRoot%\\x"), false},
        {"binary", ZRREG_TYPE_BINARY, AllBytes(), false},
        {"binary empty", ZRREG_TYPE_BINARY, {}, false},
        {"dword", ZRREG_TYPE_DWORD, {0xff, 0xff, 0xff, 0xff}, true},
        {"dword short", ZRREG_TYPE_DWORD, {1, 2, 3}, false},
        {"big endian", ZRREG_TYPE_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}, false},
        {"link", ZRREG_TYPE_LINK, Utf16(u"\\Registry\\Machine\\X", false), false},
        {"multi", ZRREG_TYPE_MULTI_SZ, Utf16(std::u16string(u"a\0\0\"b\"\0\u20ac\0", 9)), false},
        {"multi odd", ZRREG_TYPE_MULTI_SZ, {'a', 0, 0}, false},
        {"qword", ZRREG_TYPE_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x80}, false},
        {"qword short", ZRREG_TYPE_QWORD, {1}, false},
        {"other type", 0x12345678, {9}, false},
        {"last type", 0xFFFFFFFF, {}, false},
    };
    return cases;
}

const char kBase[] = "KEY \"My Computer\"\n(\n)\n";

class Types : public OneFileTest {
protected:
    Types() : OneFileTest(kBase) {}
    void TearDown() override {
        RegPartFrom(-1);
        RegViewUseLog(true);
        OneFileTest::TearDown();
    }
    // Sets every case under key `key` of the root.
    static void SetAll(const char16_t* key) {
        for (const Typed& c : Cases()) {
            SCOPED_TRACE(c.name);
            const void* d = c.data.empty() ? nullptr : c.data.data();
            ASSERT_EQ(ZrRegSetKeyValue(HkeyRegRoot(), WP(key), WP(W(c.name)), c.type, d,
                                       static_cast<uint32_t>(c.data.size())),
                      ZRREG_SUCCESS);
        }
    }
    // Every case of key `key`, read back by the three calls and the view.
    static void ExpectAll(const char16_t* key) {
        void* h = nullptr;
        ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(key), 0, &h), ZRREG_SUCCESS);
        const RegViewKey* view = RegViewKeyOf(h);
        ASSERT_EQ(RegViewValueCount(view), static_cast<int>(Cases().size()));
        uint32_t index = 0;
        for (const Typed& c : Cases()) {
            SCOPED_TRACE(c.name);
            // A plain string is handed out as 16-bit text from its 8-bit characters, with
            // ZrRegQueryValueEx's size in characters, as ever.
            Bytes want = c.data;
            uint32_t size =
                static_cast<uint32_t>(c.plain && c.type == ZRREG_TYPE_SZ ? want.size() / 2 : want.size());
            Bytes got(want.size() + 8, 0xAA);
            uint32_t type = 77, cb = static_cast<uint32_t>(got.size());
            ASSERT_EQ(ZrRegQueryValueEx(h, WP(W(c.name)), &type, got.data(), &cb), ZRREG_SUCCESS);
            EXPECT_EQ(type, c.type);
            EXPECT_EQ(cb, size);
            EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(want.size())), want);

            unsigned short name[64];
            uint32_t cch = 64;
            cb = static_cast<uint32_t>(got.size());
            ASSERT_EQ(ZrRegEnumValue(h, index, name, &cch, &type, got.data(), &cb), ZRREG_SUCCESS);
            EXPECT_EQ(type, c.type);
            EXPECT_EQ(cb, size);
            EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(want.size())), want);
            cb = 0;
            cch = 64;
            EXPECT_EQ(ZrRegEnumValue(h, index, name, &cch, &type, got.data(), &cb),
                      want.empty() ? ZRREG_SUCCESS : ZRREG_BUFFER_TOO_SMALL);
            EXPECT_EQ(cb, want.empty() ? 0u : want.size());

            RegViewValue v = RegViewValueAt(view, static_cast<int>(index++));
            EXPECT_EQ(v.type, c.type);
            EXPECT_EQ(v.data == nullptr, c.plain);
            if (!c.plain) {
                EXPECT_EQ(Bytes(v.data, v.data + v.size), want);
            }
        }
        ZrRegCloseKey(h);
    }
};

// Set, read, saved, loaded and read again, the load once in one part and once in two.
TEST_F(Types, EveryTypeRoundTripsThroughTheFile) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    // Keys of their own in the middle of the file, where the second part of a load begins.
    for (const char16_t* key : {u"A\\T", u"B\\T", u"C\\T"}) SetAll(key);
    ExpectAll(u"A\\T");
    ZrUnloadRegistry();
    std::string saved = ReadBytes(reg_);
    for (long long from : {-1LL, 0LL}) {
        SCOPED_TRACE(from);
        RegPartFrom(from);
        long joins = RegPartJoins();
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        if (zrMayWorkBeside()) {
            EXPECT_EQ(RegPartJoins() - joins, from < 0 ? 0 : 1);
        }
        for (const char16_t* key : {u"A\\T", u"B\\T", u"C\\T"}) ExpectAll(key);
        RegViewSetChanged(true);
        ZrUnloadRegistry();
        EXPECT_EQ(ReadBytes(reg_), saved);
    }
}

// The calls that move or copy values keep an extended value's type and bytes: a value's and
// a key's rename, the scratch copy of the tree; ZrRegQueryInfoKey counts its bytes.
TEST_F(Types, RenamesAndCopiesKeepTypeAndBytes) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    SetAll(u"R\\T");
    void* r = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"R"), 0, &r), 0);
    for (const Typed& c : Cases()) {
        std::string renamed = std::string(c.name) + "!";
        ASSERT_EQ(ZrRegRenameValue(r, WP(u"T"), WP(W(c.name)), WP(W(renamed))), 0);
        ASSERT_EQ(ZrRegRenameValue(r, WP(u"T"), WP(W(renamed)), WP(W(c.name))), 0);
    }
    ASSERT_EQ(ZrRegRenameKey(r, WP(u"T"), WP(u"U")), 0);
    ZrRegCloseKey(r);
    ExpectAll(u"R\\U");
    ASSERT_TRUE(RegViewScratchBegin());
    ExpectAll(u"R\\U");
    RegViewScratchEnd();
    void* u = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"R\\U"), 0, &u), 0);
    uint32_t maxData = 0;
    EXPECT_EQ(ZrRegQueryInfoKey(u, nullptr, nullptr, nullptr, nullptr, &maxData), 0);
    EXPECT_EQ(maxData, 40002u);  // the long text's bytes
    ZrRegCloseKey(u);
}

// A plain value set with its bytes is written as ZrRegSetValueEx writes it: a file of plain
// values stays what an older build reads.
TEST_F(Types, PlainValuesKeepTheirForm) {
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    Bytes text = Utf16(u"x y"), dword = {5, 0, 0, 0};
    ASSERT_EQ(ZrRegSetKeyValue(HkeyRegRoot(), nullptr, WP(u"s"), ZRREG_TYPE_SZ, text.data(), 8), 0);
    ASSERT_EQ(ZrRegSetKeyValue(HkeyRegRoot(), WP(u""), nullptr, ZRREG_TYPE_DWORD, dword.data(), 4), 0);
    ZrUnloadRegistry();
    EXPECT_EQ(Unix(ReadBytes(reg_)),
              "KEY \"My Computer\"\n(\n    [REG_SZ] \"s\" = \"x y\";\n"
              "    [REG_INT] \"\" = 5;\n)\n");
}

#ifndef _WIN32
// The log carries an extended value to another process, the journal into a file that
// another process replaced meanwhile.
TEST_F(Types, ChangesCarryEveryType) {
    ASSERT_EQ(InChild([&] {
                  if (ZrLoadRegistry(reg_.c_str()) != 0) return 2;
                  SetAll(u"L");
                  return 0;  // gone without an unload: the log alone holds the values
              }),
              0);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    ExpectAll(u"L");
    ZrUnloadRegistry();

    RegViewUseLog(false);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    SetAll(u"J");
    std::string other = ReadBytes(reg_);
    other.insert(other.size() - 2, "    KEY \"Other\" ( )\n");
    RegViewWriteFile(reg_.c_str(), other.data(), other.size());
    ZrUnloadRegistry();
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    ExpectAll(u"J");
    ExpectAll(u"L");
}
#endif

struct GetCase {
    const char* what;
    uint32_t type;
    Bytes data;
    uint32_t flags;
    int32_t rc;
    uint32_t gotType;
    Bytes got;  // when rc is ZRREG_SUCCESS
};

// ZrRegGetValue's flags, as RegGetValueW takes them.
TEST_F(Types, GetValueFlags) {
#ifdef _WIN32
    _wputenv_s(L"ZRTYPES_DIR", L"/x\u20ac");
    _wputenv_s(L"ZRTYPES_NOPE", L"");
#else
    setenv("ZRTYPES_DIR", "/x\xe2\x82\xac", 1);
    unsetenv("ZRTYPES_NOPE");
#endif
    const uint32_t any = ZRREG_RT_ANY, noexp = ZRREG_NOEXPAND;
    const Bytes expand = Utf16(u"%ZRTYPES_DIR%\\a %ZRTYPES_NOPE% 100%"), four = {1, 2, 3, 4};
    const GetCase cases[] = {
        {"expanded", 2, expand, ZRREG_RT_SZ, 0, 1, Utf16(u"/x\u20ac\\a %ZRTYPES_NOPE% 100%")},
        {"expanded by any", 2, expand, any, 0, 1, Utf16(u"/x\u20ac\\a %ZRTYPES_NOPE% 100%")},
        {"not expanded", 2, expand, ZRREG_RT_EXPAND_SZ | noexp, 0, 2, expand},
        {"expandable asked without noexpand", 2, expand, ZRREG_RT_EXPAND_SZ, ZRREG_BAD_ARG, 0, {}},
        {"expandable is no string with noexpand",
         2,
         expand,
         ZRREG_RT_SZ | noexp,
         ZRREG_UNSUPPORTED_TYPE,
         0,
         {}},
        {"text given its terminator", 1, Utf16(u"ab", false), ZRREG_RT_SZ, 0, 1, Utf16(u"ab")},
        {"none", 0, {7}, ZRREG_RT_NONE, 0, 0, {7}},
        {"binary", 3, four, ZRREG_RT_BINARY, 0, 3, four},
        {"binary as dword", 3, four, ZRREG_RT_DWORD_ANY, 0, 3, four},
        {"binary of 5 as dword", 3, {1, 2, 3, 4, 5}, ZRREG_RT_DWORD_ANY, ZRREG_UNSUPPORTED_TYPE, 0, {}},
        {"binary as qword", 3, four, ZRREG_RT_QWORD_ANY, ZRREG_UNSUPPORTED_TYPE, 0, {}},
        {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}, ZRREG_RT_QWORD, 0, 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"qword is no dword", 11, {1, 2, 3, 4, 5, 6, 7, 8}, ZRREG_RT_DWORD, ZRREG_UNSUPPORTED_TYPE, 0, {}},
        {"multi", 7, Utf16(std::u16string(u"a\0", 2)), ZRREG_RT_MULTI_SZ, 0, 7,
         Utf16(std::u16string(u"a\0", 2))},
        {"link by any only", 6, {1, 0}, ZRREG_RT_SZ | ZRREG_RT_BINARY, ZRREG_UNSUPPORTED_TYPE, 0, {}},
        {"link", 6, {1, 0}, any, 0, 6, {1, 0}},
        {"other type", 99, {5}, any, 0, 99, {5}},
        {"plain dword", 4, four, ZRREG_RT_DWORD, 0, 4, four},
        {"plain text", 1, Utf16(u"t"), ZRREG_RT_SZ | ZRREG_ZEROONFAILURE, 0, 1, Utf16(u"t")},
    };
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* root = HkeyRegRoot();
    for (const GetCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(ZrRegSetKeyValue(root, WP(u"G"), WP(u"v"), c.type, c.data.data(),
                                   static_cast<uint32_t>(c.data.size())),
                  0);
        uint32_t type = 77, cb = 0;
        EXPECT_EQ(ZrRegGetValue(root, WP(u"G"), WP(u"v"), c.flags, &type, nullptr, &cb), c.rc);
        if (c.rc != ZRREG_SUCCESS) continue;
        EXPECT_EQ(cb, c.got.size());
        Bytes out(c.got.size() + 4, 0xAA);
        cb = static_cast<uint32_t>(out.size());
        EXPECT_EQ(ZrRegGetValue(root, WP(u"G"), WP(u"v"), c.flags, &type, out.data(), &cb), 0);
        EXPECT_EQ(type, c.gotType);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + cb), c.got);
        if (c.got.empty()) continue;
        // Too little room: the size needed, and with ZRREG_ZEROONFAILURE the room zeroed.
        cb = static_cast<uint32_t>(c.got.size() - 1);
        EXPECT_EQ(
            ZrRegGetValue(root, WP(u"G"), WP(u"v"), c.flags | ZRREG_ZEROONFAILURE, &type, out.data(), &cb),
            ZRREG_BUFFER_TOO_SMALL);
        EXPECT_EQ(cb, c.got.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.got.size() - 1)),
                  Bytes(c.got.size() - 1, 0));
    }
    Bytes out(8, 0xAA);
    uint32_t cb = 8;
    EXPECT_EQ(
        ZrRegGetValue(root, WP(u"G"), WP(u"none such"), any | ZRREG_ZEROONFAILURE, nullptr, out.data(), &cb),
        ZRREG_NOT_FOUND);
    EXPECT_EQ(out, Bytes(8, 0));
}

}  // namespace
