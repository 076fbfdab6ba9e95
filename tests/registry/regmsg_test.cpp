// The message sink and the outcome of an unload: a host's sink gets every message with its
// line and words, and a token over the length limit as a refused load; the outcome says
// what the unload did with the tree, and why. The exported message handler likewise, in a
// load of one part and of two, and without it the process ends at that token.
#include <algorithm>
#include <string>
#include <vector>

#include "regpart.h"
#include "savetest.h"
#include "zrpool.h"

namespace {

struct Caught {
    RegViewMessageKind kind;
    int line;
    std::string text;
    bool operator==(const Caught& o) const { return kind == o.kind && line == o.line && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const Caught& c) {
    return os << "{" << c.kind << ", " << c.line << ", " << c.text << "}";
}

void Catch(const RegViewMessage* m, void* context) {
    static_cast<std::vector<Caught>*>(context)->push_back({m->kind, m->line, m->text});
}

class Sink : public SaveFaults {
protected:
    void SetUp() override {
        SaveFaults::SetUp();
        RegViewSetSink(Catch, &caught_);
    }
    void TearDown() override {
        RegViewSetSink(nullptr, nullptr);
        SaveFaults::TearDown();
    }
    std::vector<Caught> caught_;
};

TEST_F(Sink, AHostsSinkGetsEveryMessageWithItsLine) {
    struct Case {
        const char* name;
        std::string file;
        uint32_t rc;
        std::vector<Caught> caught;
    } cases[] = {
        {"a syntax error",
         "KEY \"My Computer\"\n(\n  [REG_SZ] = ;\n)\n",
         ZRREG_LOAD_REFUSED,
         {{REGVIEW_MSG_PARSE, 3, "syntax error"}}},
        {"a runaway string, then the error after it",
         "KEY \"My Computer\"\n(\n  [REG_SZ] \"a\" = \"b\n)\n",
         ZRREG_LOAD_REFUSED,
         {{REGVIEW_MSG_RUNAWAY, 3, "runaway string"},
          {REGVIEW_MSG_ERROR_IN_LINE, 3, "error"},
          {REGVIEW_MSG_PARSE, 4, "syntax error"}}},
        {"a text over the length limit refuses the load and ends no process",
         "KEY \"My Computer\"\n(\n  [REG_SZ] \"a\" = \"" + std::string(12000, 'x') + "\";\n)\n",
         ZRREG_LOAD_REFUSED,
         {{REGVIEW_MSG_TOO_LONG, 3, "input string too long, limit 10000"}}},
        {"a good file says nothing", "KEY \"My Computer\" ( )", ZRREG_LOAD_OK, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        caught_.clear();
        WriteBytes(reg_, c.file);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), c.rc);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ZrUnloadRegistry();
        EXPECT_EQ(caught_, c.caught);
    }
}

TEST_F(Sink, TheLastUnloadSaysWhatBecameOfTheTree) {
    Trees(Registry(2));
    char name[REGFILE_TEMP_MAX];
    ASSERT_TRUE(zrTempNameFor(reg_.c_str(), name, sizeof name));  // Windows upper-cases the whole path
    const std::string tmp = name;
    struct Case {
        const char* name;
        ZrIoFault fault;
        bool change;
        RegViewSaveResult result;
        std::string keptIn, why;  // why: a part of it
    } cases[] = {
        {"unchanged", ZR_IO_NONE, false, REGVIEW_SAVE_NONE, "", ""},
        {"written", ZR_IO_NONE, true, REGVIEW_SAVE_WRITTEN, "", ""},
        {"a full disk", ZR_IO_WRITE, true, REGVIEW_SAVE_FAILED, "",
         "its temporary file " + tmp + " cannot be written (No space left on device)"},
        {"no temporary file", ZR_IO_OPEN, true, REGVIEW_SAVE_FAILED, "", "cannot be made"},
        {"no replacement", ZR_IO_RENAME, true, REGVIEW_SAVE_FAILED, tmp, "could not be replaced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(reg_, Registry(2));
        ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
        if (c.change) Change();
        zrIoFailAt(c.fault);
        ZrUnloadRegistry();
        zrIoFailAt(ZR_IO_NONE);
        RegViewUnload u = RegViewLastUnload();
        EXPECT_EQ(u.result, c.result);
        EXPECT_EQ(u.keptIn, c.keptIn);
        EXPECT_NE(std::string(u.why).find(c.why), std::string::npos) << u.why;
        EXPECT_EQ(u.why[0] == 0, c.why.empty()) << u.why;
        fs::remove(tmp);
    }
    EXPECT_TRUE(caught_.empty());

    // Another process holds the lock: the tree goes aside, and the sink hears of it.
    zrLockWaitMs = 50;
    ZrLock lock = -1;
    ASSERT_EQ(zrLockFile(dir_.File("REG.LCK").c_str(), true, &lock), ZR_LOCK_TAKEN);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    Change();
    ZrUnloadRegistry();
    zrUnlockFile(lock);
    zrLockWaitMs = 5000;
    RegViewUnload u = RegViewLastUnload();
    const std::string ext = "." + std::to_string(zrProcessId()) + ".TMP";
    ASSERT_TRUE(zrCompanionNameFor(reg_.c_str(), ext.c_str(), name, sizeof name));
    const std::string own = name;
    EXPECT_EQ(u.result, REGVIEW_SAVE_ASIDE);
    EXPECT_EQ(u.keptIn, own);
    EXPECT_STREQ(u.why, "is locked by another process");
    ASSERT_EQ(caught_.size(), 1u);
    EXPECT_EQ(caught_[0].kind, REGVIEW_MSG_SAVE);
    EXPECT_NE(caught_[0].text.find(own), std::string::npos) << caught_[0].text;
}

// ---- the exported message handler ---------------------------------------------------------

struct Heard {
    uint32_t kind, line;
    std::string text;
    bool operator==(const Heard& o) const { return kind == o.kind && line == o.line && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const Heard& h) {
    return os << "{" << h.kind << ", " << h.line << ", " << h.text << "}";
}

void ZRREG_CALL Hear(void* context, uint32_t kind, uint32_t line, const char* text) {
    static_cast<std::vector<Heard>*>(context)->push_back({kind, line, text});
}

const std::string kGood = "KEY \"My Computer\" ( KEY \"HKEY_LOCAL_MACHINE\" ( [REG_SZ] \"a\" = \"b\"; ) )\n";
const Heard kTooLong3 = {ZRREG_MSG_TOO_LONG, 3, "Input string too long, limit 10000"};

class Handler : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        ZrSetMessageHandler(Hear, &heard_);
    }
    void TearDown() override {
        ZrSetMessageHandler(nullptr, nullptr);
        ZrUnloadRegistry();
        RegPartFrom(-1);
        ResetRegistry();
    }
    // Loads `file`: the result, with nothing on standard output; a refused load leaves
    // nothing loaded, and a good file loads after it.
    uint32_t Load(const std::string& file) {
        heard_.clear();
        WriteBytes(reg_, file);
        testing::internal::CaptureStdout();
        uint32_t rc = ZrLoadRegistry(reg_.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        if (rc != ZRREG_LOAD_OK) {
            EXPECT_EQ(HkeyRegRoot(), nullptr);
            EXPECT_EQ(RootNode, nullptr);
            WriteBytes(reg_, kGood);
            EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
        }
        ZrUnloadRegistry();
        return rc;
    }
    TempDir dir_;
    std::string reg_;
    std::vector<Heard> heard_;
};

TEST_F(Handler, GetsEveryMessageOfALoadWithItsLine) {
    const std::string head = "KEY \"My Computer\"\n(\n";
    struct Case {
        const char* name;
        std::string file;
        uint32_t rc;
        std::vector<Heard> heard;
    } cases[] = {
        {"a syntax error",
         head + "  [REG_SZ] = ;\n)\n",
         ZRREG_LOAD_REFUSED,
         {{ZRREG_MSG_SYNTAX, 3, "line: 3 - syntax error"}}},
        {"a runaway string in a file that loads",
         head + "  \"stray\n  [REG_SZ] \"a\" = \"b\";\n)\n",
         ZRREG_LOAD_OK,
         {{ZRREG_MSG_SYNTAX, 3, "line 3 - FATAL: Runaway string"},
          {ZRREG_MSG_SYNTAX, 3, "Error in line: 3"}}},
        {"a quoted text over the limit",
         head + "  [REG_SZ] \"a\" = \"" + std::string(9999, 't') + "\";\n)\n",
         ZRREG_LOAD_REFUSED,
         {kTooLong3}},
        {"a bare word over the limit",
         head + "  [REG_SZ] a = " + std::string(10000, 'w') + ";\n)\n",
         ZRREG_LOAD_REFUSED,
         {kTooLong3}},
        {"a name over the limit, after a runaway string",
         head + "  \"stray\n  [REG_SZ] \"" + std::string(12000, 'n') + "\" = \"b\";\n)\n",
         ZRREG_LOAD_REFUSED,
         {{ZRREG_MSG_SYNTAX, 3, "line 3 - FATAL: Runaway string"},
          {ZRREG_MSG_SYNTAX, 3, "Error in line: 3"},
          {ZRREG_MSG_TOO_LONG, 4, "Input string too long, limit 10000"}}},
        {"a good file says nothing", kGood, ZRREG_LOAD_OK, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Load(c.file), c.rc);
        EXPECT_EQ(heard_, c.heard);
    }
}

// Whether a load may come in two parts here: not on Windows, not on one CPU.
bool PartsHere() {
    ZrPoolArena* arena = zrMayWorkBeside() ? zrPoolArenaNew() : nullptr;
    zrPoolArenaMerge(arena);
    return arena != nullptr;
}

// A file of 4 MB or more loads in two parts, the second beginning at a key head near the
// middle; a smaller one too when the threshold is lowered. A token over the limit in either
// part, or after the top-level key, refuses the load with the token's line. The smaller
// file with a token one byte shorter joins its second part: its load was one of two parts.
// (A larger file's part may be dropped when its thread is slow, so it is not counted.)
TEST_F(Handler, ATokenOverTheLimitRefusesALoadInTwoParts) {
    const std::string head = "KEY \"My Computer\"\n(\n", tail = ")\n";
    auto item = [](size_t n) { return "    [REG_SZ] \"long\" = \"" + std::string(n, 't') + "\";\n"; };
    auto lineOf = [](const std::string& file, size_t at) {
        return static_cast<uint32_t>(std::count(file.begin(), file.begin() + at, '\n') + 1);
    };
    for (size_t half : {size_t(5) << 20 >> 1, size_t(200) << 10}) {
        SCOPED_TRACE(half);
        const bool small = half < (1u << 20);
        RegPartFrom(small ? 0 : -1);
        std::string keys;
        for (int i = 0; keys.size() < half; ++i)
            keys +=
                "    KEY \"k" + std::to_string(i) + "\"\n    (\n        [REG_SZ] \"s\" = \"text\";\n    )\n";
        for (const char* where : {"first part", "second part", "after the top-level key"}) {
            SCOPED_TRACE(where);
            std::string before = head, after = keys + keys + tail;
            if (where[0] == 's') before = head + keys + keys, after = tail;
            if (where[0] == 'a') before = head + keys + keys + tail, after = "";
            // There any item is a syntax error before its text is read: a text alone.
            const std::string file =
                before + (where[0] == 'a' ? "\"" + std::string(9999, 't') + "\"" : item(9999)) + after;
            EXPECT_EQ(Load(file), ZRREG_LOAD_REFUSED);
            EXPECT_EQ(heard_, (std::vector<Heard>{{ZRREG_MSG_TOO_LONG, lineOf(file, before.size()),
                                                   "Input string too long, limit 10000"}}));
            if (where[0] == 'a' || !small) continue;
            long joins = RegPartJoins();
            EXPECT_EQ(Load(before + item(9998) + after), ZRREG_LOAD_OK);
            EXPECT_EQ(heard_, std::vector<Heard>{});
            EXPECT_EQ(RegPartJoins() - joins, PartsHere() ? 1 : 0);
        }
    }
}

// The unload's messages go to the handler too, with no line.
TEST_F(Handler, GetsTheUnloadsMessage) {
    RegViewUseLog(false);
    WriteBytes(reg_, kGood);
    zrLockWaitMs = 50;
    ZrLock lock = -1;
    ASSERT_EQ(zrLockFile(dir_.File("REG.LCK").c_str(), true, &lock), ZR_LOCK_TAKEN);
    ASSERT_EQ(ZrLoadRegistry(reg_.c_str()), 0u);
    void* h = nullptr;
    ASSERT_EQ(ZrRegCreateKey(HkeyRegRoot(), WP(u"New"), &h), 0);
    ASSERT_EQ(ZrRegCloseKey(h), 0);
    testing::internal::CaptureStdout();
    ZrUnloadRegistry();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    zrUnlockFile(lock);
    zrLockWaitMs = 5000;
    ASSERT_EQ(heard_.size(), 1u);
    EXPECT_EQ(heard_[0].kind, static_cast<uint32_t>(ZRREG_MSG_SAVE));
    EXPECT_EQ(heard_[0].line, 0u);
    EXPECT_EQ(heard_[0].text.rfind("zrregdll: ", 0), 0u) << heard_[0].text;
    EXPECT_NE(heard_[0].text.find("is locked by another process"), std::string::npos) << heard_[0].text;
}

// A handler that puts the default back from within its call: the messages after that one
// are printed, and the call it made took nothing of the call it is in.
TEST_F(Handler, ReplacedFromWithinItself) {
    struct Once {
        std::vector<Heard> heard;
        bool lone;
        static void ZRREG_CALL Hear(void* context, uint32_t kind, uint32_t line, const char* text) {
            Once* o = static_cast<Once*>(context);
            o->heard.push_back({kind, line, text});
            ZrSetMessageHandler(nullptr, nullptr);
            o->lone = zrLoneInCall.load() != 0;
        }
    } once{{}, false};
    ZrSetMessageHandler(Once::Hear, &once);
    WriteBytes(reg_, "KEY \"My Computer\"\n(\n  \"stray\n  [REG_SZ] \"a\" = \"b\";\n)\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZrLoadRegistry(reg_.c_str()), ZRREG_LOAD_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error in line: 3\n");
    EXPECT_EQ(once.heard, (std::vector<Heard>{{ZRREG_MSG_SYNTAX, 3, "line 3 - FATAL: Runaway string"}}));
    EXPECT_TRUE(once.lone || zrTreeLocking());
}

// Without a handler, and after a null one put the default back, the token ends the process
// with its message.
TEST_F(Handler, ANullHandlerPutsTheExitBack) {
    WriteBytes(reg_, "KEY \"My Computer\"\n(\n  [REG_SZ] \"a\" = \"" + std::string(9999, 't') + "\";\n)\n");
    ZrSetMessageHandler(nullptr, nullptr);
    EXPECT_EXIT((yyout = stderr, ZrLoadRegistry(reg_.c_str())), testing::ExitedWithCode(1),
                "^Input string too long, limit 10000\n$");
    ZrSetMessageHandler(Hear, &heard_);
    ZrSetMessageHandler(nullptr, nullptr);
    EXPECT_EXIT((yyout = stderr, ZrLoadRegistry(reg_.c_str())), testing::ExitedWithCode(1),
                "^Input string too long, limit 10000\n$");
}

}  // namespace
