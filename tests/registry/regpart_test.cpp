// A large file loads in two parts, the second parsed by a thread of its own: the result, the
// tree and the messages are those of the load in one part, wherever the second part begins
// and whatever it holds.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "regpart.h"
#include "regscan.h"
#include "testutil.h"
#include "zrplat.h"
#include "zrpool.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Keys of the writer's form, each with values and a subkey: `count` of them at depth 1.
std::string Keys(int count, const std::string& tag) {
    std::string s;
    for (int i = 0; i < count; ++i) {
        std::string n = tag + std::to_string(i);
        s += "    KEY \"" + n + "\"\n    (\n";
        s += "        [REG_SZ] \"s" + n + "\" = \"text of " + n + "\";\n";
        s += "        [REG_INT] \"i" + n + "\" = " + std::to_string(i * 7919 - 40000) + ";\n";
        s += "        KEY \"sub\"\n        (\n            [REG_SZ] \"x\" = \"y\";\n        )\n";
        s += "    )\n";
    }
    return s;
}

// Whether a load may come in two parts here: not on Windows, not on one CPU, not without
// arenas.
bool PartsHere() {
    ZrPoolArena* arena = zrMayWorkBeside() ? zrPoolArenaNew() : nullptr;
    zrPoolArenaMerge(arena);
    return arena != nullptr;
}

const std::string kHead = "KEY \"My Computer\"\n(\n";
const std::string kTail = ")\n";

struct Outcome {
    unsigned rc;
    std::string tree, messages;
    long joins, slashNames;
};

Outcome Load(const std::string& path, bool parted) {
    RegPartFrom(parted ? 0 : INT64_MAX);
    long before = RegPartJoins();
    Outcome o;
    yylimitends(false);
    CaptureStdout();
    o.rc = LoadRegistry(path.c_str());
    o.messages = GetCapturedStdout();
    yylimitends(true);
    o.tree = o.rc == 0 ? DumpTree(RootNode) : "";
    o.slashNames = RegSlashKeyNames;
    bRegChanged = 0;
    UnloadRegistry();
    o.joins = RegPartJoins() - before;
    RegPartFrom(-1);
    return o;
}

class RegPartTest : public ::testing::Test {
protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override { ResetRegistry(); }
    TempDir dir_;
};

// n values of 9000-byte texts, with the indent of a key below the root's.
std::string LongValues(int n) {
    std::string v;
    for (int i = 0; i < n; ++i)
        v += "        [REG_SZ] \"v" + std::to_string(i) + "\" = \"" + std::string(9000, 't') + "\";\n";
    return v;
}

TEST_F(RegPartTest, TwoPartsLoadAsOne) {
    const std::string first = Keys(60, "a"), second = Keys(60, "b");
    struct Case {
        const char* name;
        std::string file;
        bool joins;  // whether the second part can join the tree
    } cases[] = {
        {"keys of the writer's form", kHead + first + second + kTail, true},
        {"the key in the middle is deep: its body ends the part",
         kHead + first + "    KEY \"deep\"\n    (\n        KEY \"d1\"\n        (\n" + Keys(60, "c") +
             "        )\n    )\n" + second + kTail,
         true},
        {"names with a slash in both parts",
         kHead + "    KEY \"a/b\" ( )\n" + first + second + "    KEY \"c/d\" ( KEY \"e/f\" ( ) )\n" + kTail,
         true},
        {"the head after the middle lies pieces of the split's window away, past long texts",
         kHead + first + "    KEY \"long\"\n    (\n" + LongValues(30) + "    )\n" + second + kTail, true},
        {"values of the root after its keys, in file order",
         kHead + first + second + "    [REG_SZ] \"late\" = \"1\";\n    [REG_INT] \"later\" = 2;\n" + kTail,
         true},
        {"tabs, carriage returns and bare words",
         kHead + first + "\tKEY \"t\"\r\n\t(\r\n\t\t[REG_SZ] word = \"w\" ;\r\n\t)\r\n" + second + kTail,
         true},
        {"a NUL byte and another top key after the root",
         kHead + first + second + kTail + std::string(1, '\0') + "KEY \"My Computer\" ( KEY \"more\" ( ) )\n",
         true},
        {"an error after the part, with the line it is on",
         kHead + first + second + kTail + std::string(1, '\0') + "KEY \"My Computer\" (\n[REG_SZ] = ;\n)\n",
         true},
        {"a NUL byte in the second part", kHead + first + second + std::string(1, '\0') + kTail, false},
        {"a syntax error in the second part", kHead + first + second + "    [REG_SZ] = ;\n" + kTail, false},
        {"a syntax error in the first part",
         kHead + "    [REG_INT] \"x\" = \"y\";\n" + first + second + kTail, false},
        {"a runaway string in the second part", kHead + first + second + "    [REG_SZ] \"a\" = \"b\n" + kTail,
         false},
        {"a text over the length limit in the second part",
         kHead + first + second + "    [REG_SZ] \"a\" = \"" + std::string(12000, 'x') + "\";\n" + kTail,
         false},
        {"a text over the length limit in the first part, while the second is parsed",
         kHead + "    [REG_SZ] \"a\" = \"" + std::string(12000, 'x') + "\";\n" + first + second + kTail,
         false},
        {"the head near the middle follows a key word: no item begins there",
         kHead + first + "    KEY\n" + second + kTail, false},
        {"the file ends inside the second part", kHead + first + second, false},
        {"the head is a top key after a NUL byte, which the loader reads whole before it looks for the "
         "part (a \")\" too many ends the part, which is short: mostly done before the loader gets there)",
         kHead + Keys(6000, "a") + kTail + std::string(1, '\0') + "\nKEY \"late\"\n(\n" + Keys(1, "b") +
             kTail + kTail,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir_.File("part.reg");
        WriteBytes(path, c.file);
        Outcome whole = Load(path, false), parted = Load(path, true);
        EXPECT_EQ(whole.joins, 0);
        EXPECT_EQ(parted.joins, c.joins && PartsHere() ? 1 : 0);
        EXPECT_EQ(parted.rc, whole.rc);
        EXPECT_EQ(parted.messages, whole.messages);
        EXPECT_EQ(parted.tree, whole.tree);
        EXPECT_EQ(parted.slashNames, whole.slashNames);
    }
}

// The loads of a file in two parts one after the other, with the tree used in between:
// every part's blocks are the pool's, freed by the unload.
TEST_F(RegPartTest, PartedLoadsFollowEachOther) {
    std::string path = dir_.File("many.reg");
    WriteBytes(path, kHead + Keys(300, "k") + kTail);
    std::string first;
    for (int i = 0; i < 5; ++i) {
        Outcome o = Load(path, true);
        ASSERT_EQ(o.rc, 0u);
        EXPECT_EQ(o.joins, PartsHere() ? 1 : 0);
        if (i == 0) first = o.tree;
        EXPECT_EQ(o.tree, first);
    }
}

// Readers share nothing: two threads, each with a reader of its own on a file of its own (one
// of them reading as a part, which fails on what it would report), build the trees and meet
// the failures that each meets alone. The trees are deleted where the loader deletes a part's
// keys, on the thread that started the readers.
TEST_F(RegPartTest, ReadersOnTwoThreadsShareNothing) {
    if (!PartsHere()) GTEST_SKIP() << "no second thread with an arena here";
    std::string paths[2] = {dir_.File("a.reg"), dir_.File("b.reg")};
    WriteBytes(paths[0], kHead + Keys(300, "a") + kTail);
    WriteBytes(paths[1], kHead + Keys(300, "b") + "    [REG_SZ] \"c\" = ;\n" + Keys(10, "c") + kTail);
    struct Read {
        int rc;
        bool failed;
        std::string tree;
        RegNode* keep;  // the tree read: deleting a key moves the generation of the keys
    };
    // On a thread of its own with an arena, as a part reads.
    auto read = [&](int i, ZrPoolArena* arena) {
        Read out = {-1, false, "", nullptr};
        if (arena) zrPoolArenaBegin(arena);
        FILE* fp = fopen(paths[i].c_str(), "rb");
        RegReader* r = fp ? RegReaderNew(fp) : nullptr;
        if (r) {
            r->scan.partial = i == 1;
            out.rc = yyparse(r);
            out.failed = r->scan.failed;
            if (r->build.tree) out.tree = DumpTree(r->build.tree, false);
            out.keep = r->build.tree;
            r->build.tree = nullptr;
            RegReaderFree(r);
        }
        if (fp) fclose(fp);
        if (arena) zrPoolArenaEnd();
        return out;
    };
    Read alone[2] = {read(0, nullptr), read(1, nullptr)};
    for (Read& a : alone) delete a.keep;
    EXPECT_EQ(alone[0].rc, YYPARSE_OK);
    EXPECT_FALSE(alone[0].failed);
    EXPECT_EQ(alone[1].rc, YYPARSE_ERROR);
    EXPECT_TRUE(alone[1].failed);
    for (int round = 0; round < 5; ++round) {
        struct Job {
            std::function<Read(int, ZrPoolArena*)> read;
            int i;
            ZrPoolArena* arena;
            Read out;
        } jobs[2] = {{read, 0, zrPoolArenaNew(), {}}, {read, 1, zrPoolArenaNew(), {}}};
        ZrThread* threads[2];
        for (Job& job : jobs) {
            ASSERT_NE(job.arena, nullptr);
        }
        for (int i = 0; i < 2; ++i)
            threads[i] = zrThreadStart(
                [](void* arg) {
                    Job* job = static_cast<Job*>(arg);
                    job->out = job->read(job->i, job->arena);
                },
                &jobs[i]);
        for (int i = 0; i < 2; ++i) {
            ASSERT_NE(threads[i], nullptr);
            zrThreadJoin(threads[i]);
            zrPoolArenaMerge(jobs[i].arena);
            delete jobs[i].out.keep;
            EXPECT_EQ(jobs[i].out.rc, alone[i].rc) << i;
            EXPECT_EQ(jobs[i].out.failed, alone[i].failed) << i;
            EXPECT_EQ(jobs[i].out.tree, alone[i].tree) << i;
        }
    }
}

// The part opens the file by its name: a file that another process put under that name after
// the loader opened its own is not read.
TEST_F(RegPartTest, APartReadsOnlyTheLoadersFile) {
    if (!PartsHere()) GTEST_SKIP() << "no loads in two parts here";
    std::string path = dir_.File("a.reg"), other = dir_.File("b.reg");
    WriteBytes(path, kHead + Keys(10, "a") + kTail);
    WriteBytes(other, kHead + Keys(10, "b") + kTail);
    for (bool same : {true, false}) {
        SCOPED_TRACE(same);
        FILE* loaders = fopen((same ? path : other).c_str(), "r");
        ASSERT_NE(loaders, nullptr);
        RegPart part;
        part.path = path.c_str();
        part.file = loaders;
        part.from = 0;
        bool started = RegPartStart(&part);
        EXPECT_EQ(started, same);
        if (started) {
            part.stop = true;
            RegPartJoin(&part);
            delete part.keys;
        }
        fclose(loaders);
    }
}

}  // namespace
