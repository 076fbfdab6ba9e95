// Loading, saving and replacing registry files: golden files, result codes, faults.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "regfile_util.h"
#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class RegFileTest : public ::testing::Test {
protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override {
        zrIoFailAt(ZR_IO_NONE);
        zrAllocFailAt(0);
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
        NodeStack->InsertAt(0, RootNode, 1);
        EXPECT_EQ(AddValue(Dup("changed"), REG_INT, Dup("-1")), 0);
        NodeStack->RemoveAt(0, 1);
        bRegChanged = 1;
    }
    std::set<std::string> Listing(const fs::path& dir) {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
        return names;
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
        EXPECT_EQ(Listing(dir_.Path()), std::set<std::string>{"golden.reg"});
    }
    EXPECT_GE(seen, 20);
}

TEST_F(RegFileTest, LoadResultCodes) {
    std::string reg = dir_.File("reg.txt");
    WriteBytes(reg, "KEY \"My Computer\" ( [REG_INT] n = 1; )\n");
    EXPECT_EQ(Load(dir_.File("missing.txt")), 5u);
    EXPECT_EQ(Load(std::string(REGFILE_PATH_MAX, 'p')), 5u);  // does not fit bpRegFile
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    ASSERT_EQ(Load(reg), 0u);
    EXPECT_EQ(NWREGIsRegLoaded(), 1);
    RegNode* root = RootNode;
    EXPECT_EQ(Load(reg), 1u);  // already loaded: untouched
    EXPECT_EQ(RootNode, root);
    UnloadRegistry();
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    EXPECT_EQ(yyin, nullptr);
}

// Every allocation of a load fails in turn: each result is 0, 1 or 2, a failed load
// leaves nothing loaded and nothing leaks (sanitizer build), and the distinct failure
// paths are all reached.
TEST_F(RegFileTest, LoadSurvivesEveryAllocationFailure) {
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += "KEY k" + std::to_string(i) + " ( [REG_SZ] v = \"x\"; [REG_INT] i = -3;\n";
    deep += std::string(40, ')');
    struct {
        const char* name;
        std::string text;
    } files[] = {{"deep.reg", deep}, {"small.reg", "KEY A ( )\n"}};
    std::vector<std::pair<unsigned, std::string>> outcomes;
    for (auto& f : files) {
        std::string reg = dir_.File(f.name);
        WriteBytes(reg, f.text);
        for (long n = 1;; ++n) {
            zrAllocFailAt(n);
            unsigned rc = Load(reg);
            zrAllocFailAt(0);
            bool complete = rc == 0 && out_.empty();
            ASSERT_LE(rc, 2u);
            if (rc != 0) {
                EXPECT_EQ(RootNode, nullptr);
                EXPECT_EQ(NWREGIsRegLoaded(), 0);
                EXPECT_EQ(yytblallocated, 0);
                outcomes.emplace_back(rc, out_);
            }
            UnloadRegistry();
            if (complete) break;
        }
    }
    auto reached = [&](unsigned rc, const std::string& out) {
        for (auto& o : outcomes)
            if (o.first == rc && o.second.find(out) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(reached(1, " - yacc stack overflow\n"));
    EXPECT_TRUE(reached(2, "line: 1 - out of memory\n"));
    EXPECT_TRUE(reached(2, "syntax error, unexpected end of key A\n"));  // no root at all
    EXPECT_EQ(outcomes.back(), std::make_pair(2u, std::string()));       // the root handle, allocated last
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
        EXPECT_EQ(yytblallocated, 1);
        EXPECT_GE(yymaxdepth, 4 * depth);
        Change();
        UnloadRegistry();
        EXPECT_EQ(yymaxdepth, 150);
        ASSERT_EQ(Load(reg), 0u);
        int levels = 0;
        for (RegNode* n = RootNode; n->GetRegNodeList()->GetSize() == 1; n = n->GetRegNodeList()->GetAt(0))
            ++levels;
        EXPECT_EQ(levels, depth);
        UnloadRegistry();
    }
}

// Keys and values made by the tree-building actions, with every kind of text the file
// can carry, are written and load back as the same tree.
TEST_F(RegFileTest, RoundTripOfABuiltTree) {
    std::string reg = dir_.File("reg.txt");
    WriteBytes(reg, "KEY \"My Computer\" ( )");
    ASSERT_EQ(Load(reg), 0u);
    const char* names[] = {"a",           "A",   "with space", "",         "x/y.z",
                           "caf\xe9\xff", "KEY", "12",         "[REG_SZ]", "a;b=(c)"};
    unsigned seed = 7;
    std::vector<RegNode*> keys{RootNode};
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245u + 12345u;
        RegNode* parent = keys[(seed >> 8) % keys.size()];
        const char* name = names[(seed >> 4) % 10];
        NodeStack->InsertAt(0, parent, 1);
        if (seed % 3 == 0) {
            ASSERT_EQ(CreateKeyNode(Dup(name)), 0);
            keys.push_back(NodeStack->GetAt(0));
            EndKeyNode(name);
        } else if (seed % 3 == 1) {
            ASSERT_EQ(AddValue(Dup(name), REG_SZ, Dup(names[seed % 10])), 0);
        } else {
            ASSERT_EQ(AddValue(Dup(name), REG_INT, Dup(std::to_string(static_cast<int>(seed)).c_str())), 0);
        }
        NodeStack->RemoveAt(0, 1);
    }
    bRegChanged = 1;
    std::string tree = DumpTree(RootNode);
    UnloadRegistry();
    ASSERT_EQ(Load(reg), 0u) << out_;
    EXPECT_EQ(DumpTree(RootNode), tree);
}

TEST_F(RegFileTest, UnloadWritesOnlyAChangedTreeAndOnlyBesideAPathWithADot) {
    std::string text = "KEY \"My Computer\" ( [REG_SZ] a = b; )";
    fs::create_directories(dir_.Path() / "dir.d");
    struct {
        std::string path;
        bool change, written;
    } cases[] = {
        {dir_.File("dir.d/reg.txt"), false, false},
        {dir_.File("dir.d/reg.txt"), true, true},
#ifdef _WIN32
        {dir_.File("dir.d/registry"), true, true},  // Windows looks for the "." in the whole path
#else
        {dir_.File("dir.d/registry"), true, false},  // no "." in its name: never written back
#endif
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.path);
        WriteBytes(c.path, text);
        ASSERT_EQ(Load(c.path), 0u);
        if (c.change) Change();
        UnloadRegistry();
        EXPECT_EQ(ReadBytes(c.path) != text, c.written);
        EXPECT_EQ(Listing(dir_.Path()), std::set<std::string>{"dir.d"});
        EXPECT_EQ(Listing(dir_.Path() / "dir.d"),
                  std::set<std::string>{fs::path(c.path).filename().string()});
        fs::remove(c.path);
    }
}

// A fault at any step of the save leaves the old file and no temporary file behind.
TEST_F(RegFileTest, SaveFaultsKeepTheOldFile) {
    std::string reg = dir_.File("reg.txt"), text = "KEY \"My Computer\" ( [REG_SZ] a = b; )";
    for (ZrIoFault f : {ZR_IO_OPEN, ZR_IO_WRITE, ZR_IO_SYNC, ZR_IO_CLOSE, ZR_IO_RENAME}) {
        SCOPED_TRACE(f);
        WriteBytes(reg, text);
        ASSERT_EQ(Load(reg), 0u);
        Change();
        zrIoFailAt(f);
        UnloadRegistry();
        zrIoFailAt(ZR_IO_NONE);
        EXPECT_EQ(ReadBytes(reg), text);
        EXPECT_EQ(Listing(dir_.Path()), std::set<std::string>{"reg.txt"});
        EXPECT_EQ(bRegChanged, 0);
    }
}

}  // namespace
