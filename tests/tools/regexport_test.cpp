// Tests of zrreg's text conversions, key paths, and its export-file writer and reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regexport.h"
#include "regtext.h"

namespace {

typedef std::vector<std::string> Parts;

TEST(KeyPathTest, SplitsAbbreviatesAndDropsTheRoot) {
    const struct {
        const char* path;
        Parts want;
    } cases[] = {
        {"HKLM\\Software\\MORVANE", {"HKEY_LOCAL_MACHINE", "Software", "MORVANE"}},
        {"My Computer/hkcu//Software/", {"HKEY_CURRENT_USER", "Software"}},
        {"\\my COMPUTER\\HKEY_LOCAL_MACHINE", {"HKEY_LOCAL_MACHINE"}},
        {"My Computer", {}},
        {"", {}},
        {"/", {}},
        {"Software\\HKLM", {"Software", "HKLM"}},  // only the first key is abbreviated
        {"My Computer\\My Computer", {"My Computer"}},
        {"My Comp\\x", {"My Comp", "x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitKeyPath(c.path), c.want) << c.path;
}

TEST(TextTest, ArgumentsBecomeRegistryBytes) {
    std::string bytes;
    char32_t bad = 0;
    ASSERT_TRUE(ArgToLatin1("Caf\xC3\xA9", &bytes, &bad));
    EXPECT_EQ(bytes, "Caf\xE9");
    ASSERT_TRUE(ArgToLatin1("Caf\xE9", &bytes, &bad));  // not UTF-8: taken byte for byte
    EXPECT_EQ(bytes, "Caf\xE9");
    EXPECT_FALSE(ArgToLatin1("5 \xE2\x82\xAC", &bytes, &bad));
    EXPECT_EQ(bad, 0x20ACu);
    EXPECT_EQ(CodePointName(bad), "U+20AC");

    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    ASSERT_TRUE(ArgToLatin1(Latin1ToUtf8(all), &bytes, &bad));
    EXPECT_EQ(bytes, all);
}

TEST(TextTest, Utf8DecodingIsStrict) {
    std::u32string out;
    EXPECT_TRUE(DecodeUtf8("a\xF0\x9F\x98\x80", &out));
    EXPECT_EQ(out, U"a\U0001F600");
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\x80", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(DecodeUtf8(bad, &out)) << bad;
}

ExportValue Sz(const char* name, const char* text) { return ExportValue{name, false, text, 0, 0}; }
ExportValue Dw(const char* name, uint32_t n) { return ExportValue{name, true, "", n, 0}; }

const std::vector<ExportKey> kSample = {
    {"HKEY_LOCAL_MACHINE\\Software", {Sz("", "default"), Sz("Path", "C:\\Ardo \"x\""), Dw("Build", 12)}, 0},
    {"HKEY_CURRENT_USER", {}, 0},
    {"HKEY_CURRENT_USER\\Caf\xE9", {Dw("Left", 0xFFFFF880u), Sz("Name", "Caf\xE9")}, 0},
};

TEST(ExportTest, WritesTheFormatWithItsEscapes) {
    EXPECT_EQ(WriteExport(kSample, ExportForm::kUtf8),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n"
              "@=\"default\"\n"
              "\"Path\"=\"C:\\\\Ardo \\\"x\\\"\"\n"
              "\"Build\"=dword:0000000c\n\n"
              "[HKEY_CURRENT_USER]\n\n"
              "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\n"
              "\"Left\"=dword:fffff880\n"
              "\"Name\"=\"Caf\xC3\xA9\"\n\n");
    std::string u16 = WriteExport(kSample, ExportForm::kUtf16);
    EXPECT_EQ(u16.substr(0, 6), std::string("\xFF\xFEW\0i\0", 6));
    EXPECT_NE(u16.find(std::string("0\0\r\0\n\0\r\0\n\0", 10)), std::string::npos);  // "5.00", CRLF, CRLF
}

void ExpectSameKeys(const std::vector<ExportKey>& got, const std::vector<ExportKey>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].path, want[i].path);
        ASSERT_EQ(got[i].values.size(), want[i].values.size()) << got[i].path;
        for (size_t k = 0; k < got[i].values.size(); ++k) {
            const ExportValue &g = got[i].values[k], &w = want[i].values[k];
            EXPECT_EQ(g.name, w.name);
            EXPECT_EQ(g.isDword, w.isDword);
            EXPECT_EQ(g.text, w.text);
            EXPECT_EQ(g.dword, w.dword);
        }
    }
}

TEST(ImportTest, AcceptsOtherEncodingsAndLineEnds) {
    const std::vector<ExportKey> want = {{"HKCU\\A", {Sz("n", "Caf\xE9"), Dw("d", 0xABCu)}, 0}};
    const char* body = "[HKCU\\A]\r\n\"n\" = \"Caf\xC3\xA9\"  \r\n; a comment\r\n\"d\"=DWORD:ABC\r\n";
    const std::string inputs[] = {
        std::string("Windows Registry Editor Version 5.00\r\n\r\n") + body,
        std::string("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n") + body,
        std::string("REGEDIT4\n\n[HKCU\\A]\n\"n\"=\"Caf\xE9\"\n\"d\"=dword:00000abc\n"),  // 8-bit text
    };
    for (const std::string& in : inputs) {
        ImportResult r;
        ASSERT_TRUE(ReadExport(in, &r)) << r.error;
        ExpectSameKeys(r.keys, want);
    }
}

TEST(ImportTest, ReportsAndSkipsWhatTheRegistryCannotHold) {
    const char* in =
        "Windows Registry Editor Version 5.00\n"
        "[A]\n"
        "\"bin\"=hex:01,02,\\\n"
        "  03,04\n"
        "\"multi\"=hex(7):41,00,00,00\n"
        "\"gone\"=-\n"
        "\"euro\"=\"5 \xE2\x82\xAC\"\n"
        "\"kept\"=\"yes\"\n"
        "[-B]\n"
        "\"dropped\"=\"silently\"\n"
        "[C\xE2\x82\xAC]\n"
        "\"also\"=dword:1\n";
    const Parts skipped = {
        "line 3: value \"bin\" has type hex (REG_BINARY), which the registry cannot hold; skipped",
        "line 5: value \"multi\" has type hex(7) (REG_MULTI_SZ), which the registry cannot hold; skipped",
        "line 6: value \"gone\": deleting a value is not applied; skipped",
        "line 7: value \"euro\" holds U+20AC, which the registry cannot hold; skipped",
        "line 9: [-B]: deleting a key is not applied; skipped",
        "line 11: [C\xE2\x82\xAC]: holds U+20AC, which the registry cannot hold; skipped with its values",
    };
    ImportResult r;
    ASSERT_TRUE(ReadExport(in, &r)) << r.error;
    ExpectSameKeys(r.keys, {{"A", {Sz("kept", "yes")}, 0}});
    EXPECT_EQ(r.skipped, skipped);
}

TEST(ImportTest, RefusesFilesThatAreNotExportFiles) {
    const struct {
        std::string in;
        const char* error;
    } cases[] = {
        {"", "line 1: not a registry export file"},
        {"[A]\n", "line 1: not a registry export file"},
        {"REGEDIT4\n\"v\"=\"x\"\n", "line 2: value \"v\" stands before any [key] section"},
        {"REGEDIT4\n[A\n", "line 2: a key section must be a key path between [ and ]"},
        {"REGEDIT4\n[A]\n\"v=\"x\"\n", "line 3: value \"v=\": expected = after the value name"},
        {"REGEDIT4\n[A]\n\"v\n", "line 3: the value name has no closing double quote"},
        {"REGEDIT4\n[A]\n\"v\"=\"x\n", "line 3: value \"v\": the text has no closing double quote"},
        {"REGEDIT4\n[A]\n\"v\"=\"x\" y\n",
         "line 3: value \"v\": unexpected characters after the closing quote"},
        {"REGEDIT4\n[A]\n@=dword:123456789\n", "line 3: the default value (@): dword: needs 1 to 8"},
        {"REGEDIT4\n[A]\n@=dword:12g\n", "line 3: the default value (@): dword: needs 1 to 8"},
        {"REGEDIT4\n[A]\n@=12\n", "line 3: the default value (@): the data must be"},
        {"REGEDIT4\n[A]\nv=1\n", "line 3: expected a [key] section"},
        {std::string("\xFE\xFF\0R", 4), "UTF-16 big-endian text is not supported"},
        {std::string("\xFF\xFER\0E", 5), "the UTF-16 text ends in the middle of a character"},
        {"\xEF\xBB\xBFREGEDIT4\n[\xE9]\n", "the file is marked as UTF-8 but is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        ImportResult r;
        EXPECT_FALSE(ReadExport(c.in, &r)) << c.in;
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
    }
}

}  // namespace
