// Tests of zrreg's text conversions, key paths, and its export-file writer and reader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "regexport.h"
#include "regtext.h"
#include "regtypes.h"

namespace {

typedef std::vector<std::string> Parts;

Parts Split(const std::string& path) {
    Parts parts;
    std::string why;
    EXPECT_TRUE(SplitKeyPath(path, &parts, &why)) << path << ": " << why;
    return parts;
}

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
    for (const auto& c : cases) EXPECT_EQ(Split(c.path), c.want) << c.path;
}

// A name in double quotes is one name, whatever it holds, and only that name.
TEST(KeyPathTest, QuotedNamesAreNamesAsTheyStand) {
    const struct {
        const char* path;
        Parts want;
    } cases[] = {
        {"HKCU\\\"a/b\"", {"HKEY_CURRENT_USER", "a/b"}},
        {"HKCU/\"a/b\"/c", {"HKEY_CURRENT_USER", "a/b", "c"}},
        {"HKCU\\\"c\\d\"\\", {"HKEY_CURRENT_USER", "c\\d"}},
        {"HKCU\\\"\"\\x", {"HKEY_CURRENT_USER", "", "x"}},
        {"HKCU\\\"\"", {"HKEY_CURRENT_USER", ""}},
        {"HKCU\\\"plain\"", {"HKEY_CURRENT_USER", "plain"}},
        {"\"HKCU\"\\x", {"HKCU", "x"}},                 // not the abbreviation
        {"\"My Computer\"\\x", {"My Computer", "x"}},   // not the root
        {"My Computer\\\"HKLM\"", {"HKLM"}},            // the root, then the name
        {"HKCU\\a\"b", {"HKEY_CURRENT_USER", "a\"b"}},  // a quote inside is the name's
    };
    for (const auto& c : cases) EXPECT_EQ(Split(c.path), c.want) << c.path;

    const char* const bad[] = {"HKCU\\\"a/b", "HKCU\\\"a\"b", "\"", "HKCU\\\"a\"\"b\""};
    for (const char* path : bad) {
        Parts parts;
        std::string why;
        EXPECT_FALSE(SplitKeyPath(path, &parts, &why)) << path;
        EXPECT_NE(why.find("quoted name"), std::string::npos) << why;
    }
}

// Every name's shown path splits back into that name: one key, one path.
TEST(KeyPathTest, ShownPathsSplitBackIntoTheirNames) {
    const Parts names[] = {{"HKEY_CURRENT_USER", "a/b"},     {"HKEY_CURRENT_USER", "a", "b"},
                           {"HKEY_CURRENT_USER", ""},        {"HKEY_CURRENT_USER", "c\\d", ""},
                           {"HKEY_CURRENT_USER", "/", "\\"}, {"Other", "x y", "/lead", "trail\\"}};
    for (const Parts& want : names) {
        std::string path;
        for (const std::string& n : want) path = JoinKeyPath(path, n);
        EXPECT_EQ(Split(path), want) << path;
        for (const std::string& n : want) EXPECT_EQ(UnshowKeyName(ShowKeyName(n)), n);
    }
    EXPECT_EQ(JoinKeyPath("HKEY_CURRENT_USER", "a/b"), "HKEY_CURRENT_USER\\\"a/b\"");
    EXPECT_EQ(JoinKeyPath("", "Software"), "Software");
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

ExportValue Sz(const char* name, const char* text) { return ExportValue{name, TextData(1, text), 0}; }
ExportValue Dw(const char* name, uint32_t n) { return ExportValue{name, DwordData(n), 0}; }

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

// Writes what the reader hands on, one event a line, as the golden files hold it.
class Recorder : public ExportHandler {
public:
    explicit Recorder(bool strict = false) : strict_(strict) {}
    std::string out;

    bool KnownRoot(const std::string& name) override { return SameName(name, "Existing"); }
    void OnKey(const ExportKey& k) override {
        Line(k.line, std::string(k.isDelete ? "[-" : "[") + Latin1ToUtf8(k.path) + "]");
    }
    void OnValue(const ExportValue& v) override {
        std::string s = v.name.empty() ? "@" : Quoted(v.name);
        s += v.isDelete ? "=-" : "=" + RegData(v.data, s.size() + 1);
        Line(v.line, s);
    }
    void OnSkipped(int line, const std::string& what) override {
        Line(line, what.empty() ? "skipped under the section above" : "skipped: " + what);
    }
    bool OnInvalid(int line, const std::string& what, bool section) override {
        Line(line, std::string(section ? "invalid section: " : "invalid: ") + what);
        return !strict_;
    }

private:
    static std::string Quoted(const std::string& bytes) {
        std::string s = "\"";
        for (char c : Latin1ToUtf8(bytes)) {
            if (c == '"' || c == '\\') s.push_back('\\');
            s.push_back(c);
        }
        return s + "\"";
    }
    void Line(int line, const std::string& s) { out += std::to_string(line) + " " + s + "\n"; }
    bool strict_;
};

std::string Read(const std::string& bytes, bool strict = false) {
    Recorder r(strict);
    std::string error;
    if (!ReadExport(bytes, &r, &error)) r.out += "refused: " + error + "\n";
    return r.out;
}

std::string Utf16(const std::string& utf8, bool bom, bool crlf) {
    std::string text;
    for (char c : utf8) text += c == '\n' && crlf ? std::string("\r\n") : std::string(1, c);
    return (bom ? "\xFF\xFE" : "") + Utf16Bytes(text);
}

std::string FileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Each tools/import/<rule>-<case>.reg is read with what the reader hands on in
// <case>.out; a file of UTF-8 text is read as well in UTF-8 with a byte order mark and
// CRLF, and in UTF-16LE with and without one, with the same result. ZR_UPDATE_GOLDEN=1
// rewrites the .out files.
TEST(ImportTest, GoldenFiles) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(ZR_TEST_DATA).parent_path() / "tools" / "import";
    bool update = getenv("ZR_UPDATE_GOLDEN") && std::string(getenv("ZR_UPDATE_GOLDEN")) == "1";
    int seen = 0;
    for (auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".reg") continue;
        SCOPED_TRACE(e.path().filename().string());
        std::string in = FileBytes(e.path()), got = Read(in);
        fs::path golden = e.path();
        golden.replace_extension(".out");
        if (update) std::ofstream(golden, std::ios::binary) << got;
        EXPECT_EQ(got, FileBytes(golden));
        ++seen;
        std::u32string chars;
        if (!DecodeUtf8(in, &chars)) continue;
        std::string crlf = "\xEF\xBB\xBF";
        for (char c : in) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        EXPECT_EQ(Read(crlf), got) << "UTF-8, byte order mark, CRLF";
        EXPECT_EQ(Read(Utf16(in, true, true)), got) << "UTF-16LE, byte order mark, CRLF";
        if (!in.empty()) {
            EXPECT_EQ(Read(Utf16(in, false, false)), got) << "UTF-16LE, LF";
        }
    }
    EXPECT_GE(seen, 30);
}

TEST(ImportTest, StrictStopsAtTheFirstInvalidLine) {
    const std::string in =
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n\"b\"=dword:1 "
        "2\n\"c\"=\"y\"\n";
    EXPECT_EQ(
        Read(in, true),
        "2 [HKEY_CURRENT_USER\\A]\n3 \"a\"=\"x\"\n"
        "4 invalid: value \"b\": dword: needs 1 to 8 hexadecimal digits, then only blanks and a ; comment\n"
        "refused: line 4: value \"b\": dword: needs 1 to 8 hexadecimal digits, then only blanks and a ; "
        "comment\n");
}

TEST(ImportTest, RefusesTextItCannotDecode) {
    const struct {
        std::string in;
        const char* error;
    } cases[] = {
        {std::string("\xFE\xFF\0R", 4), "UTF-16 big-endian text is not supported"},
        {std::string("\xFF\xFER\0E", 5), "the UTF-16 text ends in the middle of a character"},
        {std::string("R\0E", 3), "the UTF-16 text ends in the middle of a character"},
        {"\xEF\xBB\xBFREGEDIT4\n[\xE9]\n", "the file is marked as UTF-8 but is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        Recorder r;
        std::string error;
        EXPECT_FALSE(ReadExport(c.in, &r, &error)) << c.in;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
