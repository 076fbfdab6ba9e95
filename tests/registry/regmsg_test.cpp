// The message sink and the outcome of an unload: a host's sink gets every message with its
// line and words, and a token over the length limit as a refused load; the outcome says
// what the unload did with the tree, and why.
#include <string>
#include <vector>

#include "savetest.h"

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

}  // namespace
