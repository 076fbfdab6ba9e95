// Tests of the value types' table: each type's forms (add's -d, query's text, JSON, .reg
// data), and a file as Windows' editor writes it read and written back byte for byte.
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

std::string FileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

uint32_t Type(const char* name) {
    uint32_t t = 0;
    EXPECT_TRUE(TypeFromName(name, &t)) << name;
    return t;
}

// One value through every form: -d as add takes it, then as query shows it, as JSON and as
// the .reg data after "v"=.
TEST(TypesTest, EachTypesForms) {
    const struct {
        const char* type;
        const char* arg;
        const char* shown;
        const char* json;
        const char* reg;
    } cases[] = {
        {"REG_SZ", "a \"b\" \\ c", "a \"b\" \\ c", "\"data\": \"a \\\"b\\\" \\\\ c\"",
         "\"a \\\"b\\\" \\\\ c\""},
        {"REG_SZ", "", "", "\"data\": \"\"", "\"\""},
        {"reg_sz", "Zo\xC3\xAB \xE4\xB8\xAD \xF0\x9F\x98\x80", "Zo\xC3\xAB \xE4\xB8\xAD \xF0\x9F\x98\x80",
         "\"data\": \"Zo\xC3\xAB \xE4\xB8\xAD \xF0\x9F\x98\x80\"",
         "\"Zo\xC3\xAB \xE4\xB8\xAD \xF0\x9F\x98\x80\""},
        {"REG_SZ", "a\nb", "a\nb", "\"data\": \"a\\nb\"", "hex(1):61,00,0a,00,62,00,00,00"},
        {"REG_EXPAND_SZ", "%TEMP%", "%TEMP%", "\"data\": \"%TEMP%\"",
         "hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00"},
        {"REG_LINK", "\\R", "\\R", "\"data\": \"\\\\R\"", "hex(6):5c,00,52,00,00,00"},
        {"REG_MULTI_SZ", "a\\0\xC3\xA9", "a\\0\xC3\xA9", "\"data\": [\"a\", \"\xC3\xA9\"]",
         "hex(7):61,00,00,00,e9,00,00,00,00,00"},
        {"REG_MULTI_SZ", "", "", "\"data\": []", "hex(7):00,00"},
        {"REG_MULTI_SZ", "\\0", "\\0", "\"data\": [\"\", \"\"]", "hex(7):00,00,00,00,00,00"},
        {"REG_DWORD", "-1920", "0xfffff880 (-1920)", "\"data\": -1920", "dword:fffff880"},
        {"REG_DWORD", "0x7D", "0x0000007d (125)", "\"data\": 125", "dword:0000007d"},
        {"REG_DWORD_LITTLE_ENDIAN", "4294967295", "0xffffffff (-1)", "\"data\": -1", "dword:ffffffff"},
        {"REG_DWORD_BIG_ENDIAN", "0x01020304", "0x01020304 (16909060)", "\"data\": 16909060",
         "hex(5):01,02,03,04"},
        {"REG_QWORD", "9007199254740992", "0x0020000000000000 (9007199254740992)",
         "\"data\": 9007199254740992", "hex(b):00,00,00,00,00,00,20,00"},
        {"REG_QWORD", "9007199254740993", "0x0020000000000001 (9007199254740993)",
         "\"data\": \"9007199254740993\"", "hex(b):01,00,00,00,00,00,20,00"},
        {"REG_QWORD", "-1", "0xffffffffffffffff (18446744073709551615)", "\"data\": \"18446744073709551615\"",
         "hex(b):ff,ff,ff,ff,ff,ff,ff,ff"},
        {"REG_BINARY", "00 0a,FF", "000AFF", "\"data\": \"000aff\"", "hex:00,0a,ff"},
        {"REG_BINARY", "", "", "\"data\": \"\"", "hex:"},
        {"REG_NONE", "01", "01", "\"data\": \"01\"", "hex(0):01"},
        {"REG_RESOURCE_LIST", "", "", "\"data\": \"\"", "hex(8):"},
        {"REG_0x1A", "0102", "0102", "\"data\": \"0102\"", "hex(1a):01,02"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.arg);
        TypedData d;
        std::string why;
        ASSERT_TRUE(ParseData(Type(c.type), c.arg, "\\0", &d, &why)) << why;
        EXPECT_EQ(ShownData(d), c.shown);
        EXPECT_EQ(JsonData(d), c.json);
        EXPECT_EQ(RegData(d, 4), c.reg);
    }
    EXPECT_EQ(TypeName(0x1a), "REG_0x1a");
    EXPECT_EQ(TypeName(11), "REG_QWORD");
}

// Bytes that a type's form does not give back exactly: JSON has them beside the data (a
// number of another size has none), and a .reg file has them as hex(N), "text" only where
// it gives them back (not with an unpaired half of a pair, a carriage return, or a missing
// or extra terminating NUL).
TEST(TypesTest, BytesTheFormsCannotGiveBack) {
    const struct {
        TypedData d;
        const char* json;
        const char* reg;
    } cases[] = {
        {{1, std::string("a\0", 2)}, "\"data\": \"a\", \"bytes\": \"6100\"", "hex(1):61,00"},
        {{1, std::string("a\0\0", 3)}, "\"data\": \"a\", \"bytes\": \"610000\"", "hex(1):61,00,00"},
        {{1, std::string("a\0\0\0b\0\0\0", 8)}, "\"data\": \"a\\u0000b\"", "hex(1):61,00,00,00,62,00,00,00"},
        {{1, std::string("\x00\xD8\0\0", 4)}, "\"data\": \"\\ud800\"", "hex(1):00,d8,00,00"},
        {{1, std::string("a\0\r\0\0\0", 6)}, "\"data\": \"a\\r\"", "hex(1):61,00,0d,00,00,00"},
        {{1, std::string("\x3D\xD8\x00\xDE\0\0", 6)},
         "\"data\": \"\xF0\x9F\x98\x80\"",
         "\"\xF0\x9F\x98\x80\""},
        {{7, ""}, "\"data\": [], \"bytes\": \"\"", "hex(7):"},
        {{7, std::string("a\0\0\0", 4)}, "\"data\": [\"a\"], \"bytes\": \"61000000\"", "hex(7):61,00,00,00"},
        {{4, "\x01\x02\x03"}, "\"data\": null, \"bytes\": \"010203\"", "hex(4):01,02,03"},
        {{11, "\x01"}, "\"data\": null, \"bytes\": \"01\"", "hex(b):01"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonData(c.d), c.json) << ShownData(c.d);
        EXPECT_EQ(RegData(c.d, 4), c.reg) << ShownData(c.d);
    }
}

TEST(TypesTest, RefusesDataItCannotParse) {
    const struct {
        const char* type;
        const char* arg;
        const char* why;
    } cases[] = {
        {"REG_DWORD", "4294967296", "is not a 32-bit number"},
        {"REG_DWORD", "-2147483649", "is not a 32-bit number"},
        {"REG_DWORD", "0x", "is not a 32-bit number"},
        {"REG_DWORD", "", "is not a 32-bit number"},
        {"REG_QWORD", "18446744073709551616", "is not a 64-bit number"},
        {"REG_QWORD", "-9223372036854775809", "is not a 64-bit number"},
        {"REG_QWORD", "0x10000000000000000", "is not a 64-bit number"},
        {"REG_BINARY", "0g", "is not hexadecimal bytes"},
        {"REG_BINARY", "0 1", "is not hexadecimal bytes"},
        {"REG_BINARY", "abc", "has an odd number of hexadecimal digits"},
    };
    for (const auto& c : cases) {
        TypedData d;
        std::string why;
        EXPECT_FALSE(ParseData(Type(c.type), c.arg, "\\0", &d, &why)) << c.arg;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    uint32_t t;
    for (const char* bad : {"REG_TEXT", "", "REG_0x", "REG_0x1g", "REG_0x100000000", "0x1"})
        EXPECT_FALSE(TypeFromName(bad, &t)) << bad;
}

// The reader's values, kept as the writer takes them.
class Keys : public ExportHandler {
public:
    std::vector<ExportKey> keys;
    bool KnownRoot(const std::string&) override { return false; }
    void OnKey(const ExportKey& k) override { keys.push_back(k); }
    void OnValue(const ExportValue& v) override { keys.back().values.push_back(v); }
    void OnSkipped(int line, const std::string& what) override { ADD_FAILURE() << line << ": " << what; }
    bool OnInvalid(int line, const std::string& what, bool) override {
        ADD_FAILURE() << line << ": " << what;
        return true;
    }
};

std::vector<ExportKey> ReadKeys(const std::string& bytes) {
    Keys k;
    std::string error;
    EXPECT_TRUE(ReadExport(bytes, &k, &error)) << error;
    return k.keys;
}

// data/types.reg holds every type as Windows' editor writes it, its long lines folded:
// import then export gives it back byte for byte, in UTF-8 and in UTF-16LE with CRLF.
// data/types.json is each value's JSON; ZR_UPDATE_GOLDEN=1 rewrites it.
TEST(TypesTest, WindowsFileReadAndWrittenBack) {
    namespace fs = std::filesystem;
    fs::path data = fs::path(ZR_TEST_DATA).parent_path() / "tools" / "data";
    std::string file = FileBytes(data / "types.reg");
    std::vector<ExportKey> keys = ReadKeys(file);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(WriteExport(keys, ExportForm::kUtf8), file);
    std::string crlf;
    for (char c : file) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string utf16 = "\xFF\xFE" + Utf16Bytes(crlf);
    EXPECT_EQ(WriteExport(keys, ExportForm::kUtf16), utf16);
    EXPECT_EQ(WriteExport(ReadKeys(utf16), ExportForm::kUtf16), utf16);

    std::string json = "[\n";
    for (const ExportValue& v : keys[0].values) {
        std::string name = v.name;
        json += std::string(json.size() > 2 ? ",\n" : "") + "  {\"name\": \"" + Latin1ToUtf8(name) +
                "\", \"type\": \"" + TypeName(v.data.type) + "\", " + JsonData(v.data) + "}";
    }
    json += "\n]\n";
    fs::path golden = data / "types.json";
    const char* update = getenv("ZR_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") std::ofstream(golden, std::ios::binary) << json;
    EXPECT_EQ(json, FileBytes(golden));
}

// A REGEDIT4 file holds the string types' hex data as 8-bit text; it becomes UTF-16LE.
TEST(TypesTest, Regedit4HexTextsBecomeWide) {
    std::vector<ExportKey> keys = ReadKeys(
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"e\"=hex(2):25,41,25,00\n\"m\"=hex(7):61,00,e9,00,00\n"
        "\"b\"=hex:61,00\n");
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_EQ(keys[0].values.size(), 3u);
    EXPECT_EQ(keys[0].values[0].data, TextData(2, "%A%"));
    EXPECT_EQ(keys[0].values[1].data, MultiData({"a", "\xC3\xA9"}));
    EXPECT_EQ(keys[0].values[2].data, (TypedData{3, std::string("a\0", 2)}));
}

}  // namespace
