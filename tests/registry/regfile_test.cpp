// Loading, saving and replacing registry files: golden files, result codes, faults.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class RegFileTest : public ::testing::Test {
protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override {
        bRegChanged = 0;
        UnloadRegistry();
    }
    // Loads `path`, returning the result and leaving its messages in out_.
    unsigned Load(const std::string& path) {
        CaptureStdout();
        unsigned rc = LoadRegistry(path.c_str());
        out_ = GetCapturedStdout();
        return rc;
    }
    // The change every saved golden file shows: one integer value appended to the root.
    static void Change() {
        NodeStackPush(RootNode);
        EXPECT_EQ(AddValue(Dup("changed"), REG_INT, Dup("-1")), 0);
        NodeStackPop();
        bRegChanged = 1;
    }
    TempDir dir_;
    std::string out_;
};

// Each data/regfile/<case>.reg is loaded with its expected messages in <case>.out; an
// accepted one is changed, saved, compared with <case>.saved and must load back equal.
TEST_F(RegFileTest, GoldenFiles) {
    int seen = 0;
    for (auto& e : fs::directory_iterator(fs::path(ZR_TEST_DATA) / "regfile")) {
        if (e.path().extension() != ".reg") continue;
        std::string base = e.path().stem().string(), src = e.path().string();
        SCOPED_TRACE(base);
        std::string reg = dir_.File("golden.reg");
        WriteBytes(reg, ReadBytes(src));
        src.resize(src.size() - 4);
        bool accepted = base.rfind("accepted-", 0) == 0;
        ASSERT_TRUE(accepted || base.rfind("rejected-", 0) == 0);
        EXPECT_EQ(Load(reg), accepted ? 0u : 1u);
        EXPECT_EQ(out_, ReadBytes(src + ".out"));
        ++seen;
        if (!accepted) {
            EXPECT_EQ(RootNode, nullptr);
            EXPECT_EQ(NWREGIsRegLoaded(), 0);
            continue;
        }
        ASSERT_NE(RootNode, nullptr);
        Change();
        std::string tree = DumpTree(RootNode);
        UnloadRegistry();
        EXPECT_EQ(Unix(ReadBytes(reg)), ReadBytes(src + ".saved"));
        ASSERT_EQ(Load(reg), 0u);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(DumpTree(RootNode), tree);
        UnloadRegistry();
        EXPECT_EQ(dir_.Names(), std::set<std::string>{"golden.reg"});
    }
    EXPECT_GE(seen, 20);
}

// Nesting grows the parser's stacks, the writer keeps no C-stack frame per level, and a
// following load starts again from the initial stacks.
TEST_F(RegFileTest, DeepNestingLoadsSavesAndReloads) {
    for (int depth : {40, 1000}) {
        SCOPED_TRACE(depth);
        std::string reg = dir_.File("deep.txt"), text;
        for (int i = 0; i < depth; ++i) text += "KEY k (\n";
        text += "[REG_INT] leaf = 1;\n" + std::string(depth, ')');
        WriteBytes(reg, text);
        ASSERT_EQ(Load(reg), 0u) << out_;
        Change();
        UnloadRegistry();
        ASSERT_EQ(Load(reg), 0u);
        int levels = 0;
        for (RegNode* n = RootNode; n->GetRegNodeList()->GetSize() == 1; n = n->GetRegNodeList()->GetAt(0))
            ++levels;
        EXPECT_EQ(levels, depth);
        UnloadRegistry();
    }
}

TEST_F(RegFileTest, UnloadWritesOnlyAChangedTree) {
    std::string text = "KEY \"My Computer\" ( [REG_SZ] a = b; )";
    fs::create_directories(dir_.Path() / "dir.d");
    struct {
        std::string path;
        bool change, written;
    } cases[] = {
        {dir_.File("dir.d/reg.txt"), false, false},
        {dir_.File("dir.d/reg.txt"), true, true},
        {dir_.File("dir.d/registry"), true, true},  // no "." in its name: written through REGISTRY.TMP
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.path);
        WriteBytes(c.path, text);
        ASSERT_EQ(Load(c.path), 0u);
        if (c.change) Change();
        UnloadRegistry();
        EXPECT_EQ(ReadBytes(c.path) != text, c.written);
        EXPECT_EQ(dir_.Names(), std::set<std::string>{"dir.d"});
        EXPECT_EQ(dir_.Names("dir.d"), std::set<std::string>{fs::path(c.path).filename().string()});
        fs::remove(c.path);
    }
}

// A value line or key head that the scanner reads whole changes nothing: each input loads
// with the same result, messages and tree as it does token by token. The cases sit on the
// edges of the whole-line forms; each line is also tried across the block boundary.
TEST_F(RegFileTest, WholeLinesLoadAsTokenByToken) {
    auto load = [&](const std::string& bytes, bool whole) {
        WriteBytes(dir_.File("in.reg"), bytes);
        yyshortcuts = whole;
        unsigned rc = Load(dir_.File("in.reg"));
        yyshortcuts = true;
        std::string r = std::to_string(rc) + "\n" + out_ + DumpTree(RootNode, false);
        bRegChanged = 0;
        UnloadRegistry();
        return r;
    };
    auto same = [&](const std::string& bytes) {
        SCOPED_TRACE(bytes.size() < 200 ? bytes : bytes.substr(bytes.size() - 100));
        EXPECT_EQ(load(bytes, true), load(bytes, false));
    };
    const std::string body[] = {
        "[REG_SZ] \"a\" = \"text\";",
        "[REG_INT] \"n\" = -2147483648;",
        "[ REG_SZ\t]\"a\"=\"\";",
        "[REG_SZ]\n\"a\"\n\n=\r\n\"b\"\n;",
        "[REG_SZ] a = \"bare name\";",
        "[REG_SZ] \"a\" = bare;",
        "[REG_SZ] \"a\" - = \"minus skipped\";",
        "[REG_SZ] \"a\" = 5;",
        "[REG_INT] \"a\" = \"5\";",
        "[REG_INT] \"a\" = 5 6;",
        "[REG_INT] \"a\" = 12a;",
        "[REG_INT] \"a\" = -x;",
        "[REG_INT] \"a\" = - 5;",
        "[REG_INT] \"a\" = -;",
        "[REG_INT] \"a\" = 007;",
        "[REG_INT] \"a\" = -0;",
        "[REG_INT] \"a\" = 2147483647;",
        "[REG_INT] \"a\" = 2147483648;",
        "[REG_INT] \"a\" = -2147483649;",
        "[REG_INT] \"a\" = 99999999999;",
        "[REG_INT] \"a\" = 1;;",
        "[REG_SZ] \"a\" = \"runaway\n\";",
        "[REG_SZ] \"a\" = \"b\"",
        "[REG_SZ] \"a\" = \"b\" KEY \"c\" ( )",
        "[reg_sz] \"a\" = \"b\";",
        "[REG_SZ \"a\" = \"b\";",
        "KEY \"k\" ( [REG_SZ] \"x\" = \"y\"; )",
        "KEY\"k\"()",
        "KEY \"k\"\n\n(\n)",
        "KEY k ( )",
        "KEYS \"k\" ( )",
        "KEY \"k\" )",
        "KEY \"k\" (",
        "KEY \"My Computer\" ( )",
        "KEY \"\" ( )",
        // The extension's items, whole lines of them and their edges.
        "[REG_BINARY] \"b\" = hex:00,01,7f,80,ff,0A,Bc,dE,00,01,7f,80,ff,0a,bc,de,00,01;",
        "[REG_BINARY] \"b\" = hex:01,\n        02,\r\n\t03; \"runaway",
        "[REG_BINARY] \"b\" = hex:0,1;",
        "[REG_BINARY] \"b\" = hex:01,;",
        "[REG_BINARY] \"b\" = hex:01 ,02;",
        "[REG_BINARY] \"b\" = hex:;",
        "[REG_QWORD] \"q\" = 18446744073709551615;",
        "[REG_QWORD] \"q\" = 12345678;",
        "[REG_QWORD] \"q\" = 90817263549876543;",
        "[REG_QWORD] \"q\" = 00000000000000000000001;",
        "[REG_QWORD] \"q\" = 18446744073709551616;",
        "[REG_DWORD_BIG_ENDIAN] \"d\" = 4294967296;",
        "[REG_SZ_EX] \"s\" = \"\\\"C:\\\\Program Files\\\\App\\\\app.exe\\\" \\\"%1\\\" and then some "
        "more\";",
        "[REG_SZ_EX] \"s\" = \"sixteen bytes 16\\u00e9\\u20ac\\ud83d\\ude00\\0\\r\\n\\t\";",
        "[REG_SZ_EX] \"s\" = \"a\\q\";",
        "[REG_SZ_EX] \"s\" = \"\\u12\";",
        "[REG_SZ_EX] \"s\" = \"runaway;",
        "[REG_SZ_EX]\"s\"=\"x\";",
        "[REG_MULTI_SZ] \"m\" = \"a\", \"\", \"b c\",\n  \"\\\"q\\\"\";",
        "[REG_MULTI_SZ] \"m\" = \"a\", b;",
        "[REG_EXPAND_SZ] \"e\" = \"%SystemRoot%\\\\system32\" ;",
        "[REG_NOPE] \"x\" = hex:01;",
        "[REG_TYPE_4294967296] \"x\" = hex:01;",
        "[REG_SZX] \"a\" = \"b\";",
        "[REG_SZ ] \"a\" = \"b\";",
    };
    for (const std::string& b : body) {
        same("KEY \"My Computer\"\n(\n    " + b + "\n    [REG_SZ] \"after\" = \"x\";\n)\n");
        same(b + "\n");  // at the top level
        same("KEY \"R\"\n(\n" + b + std::string("\0", 1) + "[REG_SZ] \"z\" = \"z\";\n)\n");
        // The line starting `before` bytes ahead of the block's end.
        std::string head = "KEY \"R\"\n(\n";
        for (size_t before = 1; before <= b.size() + 1; ++before)
            same(head + std::string((1 << 16) - before - head.size(), ' ') + b + "\n)\n");
    }
    same("KEY \"R\" ( [REG_SZ] \"" + std::string(9998, 'q') + "\" = \"" + std::string(9998, 't') + "\"; )\n");
    same("KEY \"R\" ( [REG_SZ] \"a\" = \"" + std::string(9998, 't') + "\n\"; )\n");
    EXPECT_EXIT(
        (yyout = stderr, load("KEY \"R\" ( [REG_SZ] \"a\" = \"" + std::string(9999, 't') + "\"; )", true)),
        testing::ExitedWithCode(1), "^Input string too long, limit 10000\n$");
    for (auto& e : fs::directory_iterator(fs::path(ZR_TEST_DATA) / "regfile"))
        if (e.path().extension() == ".reg") same(ReadBytes(e.path().string()));
}

// Every scan path that the build and processor have (the scalar one, SSE2, AVX2, NEON)
// loads each input with the same result, messages and tree as token by token: the gaps
// and quoted texts found 64 bytes at a time end where the byte-by-byte scanner ends them.
// The cases sit on the writer's forms and their edges; each is also tried at every offset
// from the end of a block, of the reader's own and of the read-ahead thread's size, and
// shifted across the windows by its indentation.
TEST_F(RegFileTest, ScanPathsLoadAsTokenByToken) {
    std::vector<int> paths;
    for (int path : {YYSCAN_SCALAR, YYSCAN_SSE2, YYSCAN_AVX2, YYSCAN_NEON})
        if (yyscanpath(path)) paths.push_back(path);
    ASSERT_EQ(paths[0], YYSCAN_SCALAR);
    auto load = [&](const std::string& bytes, int path) {
        WriteBytes(dir_.File("in.reg"), bytes);
        yyshortcuts = path >= 0;
        yyscanpath(path >= 0 ? path : YYSCAN_BEST);
        unsigned rc = Load(dir_.File("in.reg"));
        yyshortcuts = true;
        yyscanpath(YYSCAN_BEST);
        std::string r = std::to_string(rc) + "\n" + out_ + DumpTree(RootNode, false);
        bRegChanged = 0;
        UnloadRegistry();
        return r;
    };
    auto same = [&](const std::string& bytes) {
        std::string tokens = load(bytes, -1);
        for (int path : paths)
            EXPECT_EQ(load(bytes, path), tokens)
                << "path " << path << ": " << (bytes.size() < 200 ? bytes : bytes.substr(bytes.size() - 150));
    };
    // Each file ends with a runaway string, whose message tells the line it counted to.
    const std::string head = "KEY \"R\"\n(\n", tail = "\"runaway\n)\n";
    // A text over the length limit ends the process on every path; first, as on Windows a
    // death test runs the test again from its start. The blanks after a text keep the
    // windows in the file.
    const std::string blanks(100, ' ');
    for (int path : paths)
        EXPECT_EXIT(
            (yyout = stderr,
             load(head + "[REG_SZ] \"a\" = \"" + std::string(9999, 't') + "\";" + blanks + tail, path)),
            testing::ExitedWithCode(1), "^Input string too long, limit 10000\n$")
            << path;
    const std::string nul("\0", 1), text60(60, 't'), name70(70, 'n');
    const std::string body[] = {
        "[REG_SZ] \"a\" = \"text\";",
        "[REG_INT] \"n\" = -2147483648;",
        "[REG_INT] \"n\" = 2147483647;",
        "[REG_INT] \"n\" = 2147483648;",
        "[REG_INT] \"n\" = 00000000001;",
        "[REG_INT] \"n\" = 12a;",
        "[REG_INT] \"n\" = -;",
        "[REG_SZ] \"a\" = \"" + text60 + "\";",
        "[REG_SZ] \"" + name70 + "\" = \"" + text60 + "\";",
        "[REG_SZ] \"" + name70 + "\" = \"" + text60 + "\" ;",
        "[REG_SZ] \"a\" = \"te" + nul + "xt\";",
        "[REG_SZ] \"a" + nul + "\" = \"text\";",
        "[REG_SZ] \"a\" = \"text\"" + nul + ";",
        "[REG_SZ] \"a\" = \"text" + nul + ";",
        "[REG_SZ] \"a" + nul + " = \"text\";",
        "[REG_SZ] \"a\" = \"text\n;",
        "KEY \"k" + nul + " (\n)",
        "[REG_SZ] \"a\" = \"text\";\r",
        "\t[REG_SZ] \"a\" = \"text\";",
        "[REG_SZ]\t\"a\" = \"text\";",
        "[REG_SZ] \"a\" = \"caf\xe9 \x80\xff\";",
        "\xe9[REG_SZ] \"\xe9\" = \"text\";",
        "[REG_SZ] \"a\" = \"runaway\n\";",
        "[REG_SZ] \"a\" = \"" + text60 + "\n\";",
        "[REG_SZ] \"a\" = \"b\"\n;",
        "[REG_SZ] \"a\" = bare;",
        "KEY \"k\"\n    (\n    )",
        "KEY \"k\"" + std::string(70, ' ') + "(\n)",
        "KEY \"k\"\n\n\n" + std::string(62, ' ') + "( )",
        "KEY \"" + name70 + "\"\r\n(\n)",
        "KEY \"k\" ) )",
    };
    // Values of long texts filling `bytes`, so that the line after them starts where wanted
    // and the scanner comes to it from the end of an item, as in a file the writer printed.
    auto fill = [](size_t bytes) {
        const std::string open = "[REG_SZ] \"f\" = \"", close = "\";\n";
        std::string f;
        for (size_t n; bytes > 0; bytes -= n) {
            n = bytes < 2000 ? bytes : 2000;
            f += n < open.size() + close.size()
                     ? std::string(n, ' ')
                     : open + std::string(n - open.size() - close.size(), 'f') + close;
        }
        return f;
    };
    for (const std::string& b : body) {
        for (size_t indent = 0; indent <= 66; indent += 5)
            same(head + std::string(indent, ' ') + b + "\n" + std::string(indent, ' ') + b + "\n" + tail);
        // The line starting `before` bytes ahead of the block's end: at every offset that
        // cuts it, and at every third where the windows after it reach past the end.
        zrReadAheadFrom(1LL << 62);
        for (size_t before = 1; before <= b.size() + 66; before += before <= b.size() + 1 ? 1 : 3)
            same(head + fill((1 << 16) - before - head.size()) + b + "\n" + tail);
        // The read-ahead thread's smaller blocks (a thread each load): cut, and whole.
        zrReadAheadFrom(0);
        for (size_t before : {b.size() / 2 + 1, b.size() + 33})
            same(head + fill(ZR_AHEAD_BLOCK - before - head.size()) + b + "\n" + tail);
        zrReadAheadFrom(-1);
    }
    // Numbers of every length, sign and edge, one file each way.
    std::string numbers = head;
    for (const char* n :
         {"0",           "-0",          "7",           "-7",          "42",         "-1920",
          "123456789",   "-123456789",  "1234567890",  "-1234567890", "2147483647", "-2147483647",
          "-2147483648", "2147483648",  "-2147483649", "4294967296",  "9999999999", "-9999999999",
          "0000000000",  "00000000000", "01",          "-",           "--1",        "1-",
          "1 ",          " 1",          "1\t"})
        numbers += "    [REG_INT] \"n\" = " + std::string(n) + ";\n    [REG_SZ] \"s\" = \"" + n + "\";\n";
    same(numbers + tail);
    // Texts near the scanner's length limit, and a text that runs through many windows.
    for (size_t n : {9997, 9998})
        same(head + "[REG_SZ] \"" + std::string(n, 'q') + "\" = \"" + std::string(n, 't') + "\";" + blanks +
             tail);
    same(head + "[REG_SZ] \"a\" = \"" + std::string(9998, 't') + "\n\";" + blanks + tail);
    for (auto& e : fs::directory_iterator(fs::path(ZR_TEST_DATA) / "regfile"))
        if (e.path().extension() == ".reg") same(ReadBytes(e.path().string()));
}

}  // namespace
