// The scanner's token language, its limits and end-of-input rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regfile_util.h"
#include "testutil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Scans `bytes` up to the first end of input; tokens are written as "KEY", "S:text",
// "N:text" or the character itself.
class ScanTest : public ::testing::Test {
protected:
    void Open(const std::string& bytes) {
        WriteBytes(dir_.File("in.reg"), bytes);
        yyin = fopen(dir_.File("in.reg").c_str(), "r");
        ASSERT_NE(yyin, nullptr);
        yylexreset();
    }
    void TearDown() override {
        if (yyin) fclose(yyin);
        yyin = stdin;
    }
    std::string Until0() {
        std::string out;
        for (int t; (t = yylex()) != 0;) {
            if (!out.empty()) out += ' ';
            if (t == STRING || t == NUMBER) {
                out += (t == STRING ? "S:" : "N:") + std::string(yylval.string);
                zrFree(yylval.string);
            } else if (t == KEY || t == REG_SZ || t == REG_INT) {
                out += t == KEY ? "KEY" : t == REG_SZ ? "SZ" : "INT";
            } else {
                out += static_cast<char>(t);
            }
        }
        return out;
    }
    TempDir dir_;
};

TEST_F(ScanTest, TokenLanguage) {
    struct {
        const char* in;
        const char* tokens;
    } cases[] = {
        {"KEY \"My Computer\"\n(\n)\n", "KEY S:My Computer ( )"},
        {"KEY\"A\"(KEY\"B\"())", "KEY S:A ( KEY S:B ( ) )"},
        {"KEYS KEY1 KEY_A key Key KEY(", "S:KEYS S:KEY1 S:KEY_A S:key S:Key KEY ("},
        {"12 007 12a 1.5 0x1F a12 x/y.z_", "N:12 N:007 S:12a S:1.5 S:0x1F S:a12 S:x/y.z_"},
        {"[ REG_SZ\t] [REG_INT] [reg_sz] [REG_S] REG_SZ [\nREG_SZ]",
         "SZ INT [ S:reg_sz ] [ S:REG_S ] S:REG_SZ [ S:REG_SZ ]"},
        {"\"\" \"a\\\"b \"x", "S: S:a\\ S:b S:x"},  // no escapes; an unclosed quote is skipped
        {"ab\xe9"
         "cd \"\xe9\xff\" \xff",
         "S:ab S:cd S:\xe9\xff"},
        {"5- -5 -x --7 - -12a; +3", "N:5 N:-5 S:x N:-7 S:12a ; N:3"},  // a sign joins a number only
        {"=;]()\\:,\t\r\n", "= ; ] ( )"},
    };
    for (auto& c : cases) {
        Open(c.in);
        EXPECT_EQ(Until0(), c.tokens) << c.in;
        EXPECT_EQ(yylex(), 0) << "the end of input repeats";
        fclose(yyin);
        yyin = nullptr;
    }
}

TEST_F(ScanTest, LinesCountNewlinesOnlyAndCrLfScansLikeLf) {
    Open("a\r\nb\r\n\r\n c");
    EXPECT_EQ(Until0(), "S:a S:b S:c");
    EXPECT_EQ(lineno, 4);
}

TEST_F(ScanTest, RunawayStringIsDroppedWithTwoMessages) {
    Open("x\n\n\n\n\n\n\"open ( ;\ny");
    CaptureStdout();
    EXPECT_EQ(yylex(), STRING);
    zrFree(yylval.string);
    EXPECT_EQ(yylex(), STRING);
    EXPECT_STREQ(yylval.string, "y");
    zrFree(yylval.string);
    EXPECT_EQ(GetCapturedStdout(), "line 7 - FATAL: Runaway string\nError in line: 7\n");
    EXPECT_EQ(lineno, 8);
}

TEST_F(ScanTest, NulEndsTheInputAndTheNextCallGoesOnBehindIt) {
    Open(std::string("A\n\"q\0B\0\0C", 9));
    EXPECT_EQ(Until0(), "S:A S:q");
    EXPECT_EQ(Until0(), "S:B");
    EXPECT_EQ(Until0(), "");
    EXPECT_EQ(Until0(), "S:C");
    EXPECT_EQ(lineno, 2);
    EXPECT_TRUE(feof(yyin));
}

TEST_F(ScanTest, ResetForgetsLookAheadAndLines) {
    Open("abc\n(");
    EXPECT_EQ(yylex(), STRING);  // ")" and the newline are pending look-ahead
    zrFree(yylval.string);
    fclose(yyin);
    Open("KEY");
    EXPECT_EQ(Until0(), "KEY");
    EXPECT_EQ(lineno, 1);
}

// The limit counts the token's bytes and the look-ahead it reads; past it the process ends.
TEST_F(ScanTest, LengthLimitBoundaries) {
    std::string w(9999, 'w'), d(9999, '7');
    struct {
        std::string in;
        bool fatal;
    } cases[] = {
        {w, false},
        {w + "w", true},
        {"\"" + std::string(9998, 'q') + "\"", false},
        {"\"" + std::string(9999, 'q') + "\"", true},
        {"\"" + std::string(9998, 'q') + "\n", false},
        {"\"" + std::string(9999, 'q') + "\n", true},
        {"[" + std::string(9998, ' ') + "x", false},
        {"[" + std::string(9999, ' ') + "x", true},
        {"[REG_SZ" + std::string(9992, ' ') + "]", false},
        {"[REG_SZ" + std::string(9993, ' ') + "]", true},
        {"-" + d, false},  // the sign does not count against a number
        {"-" + d + "a", true},
    };
    for (auto& c : cases) {
        Open(c.in);
        if (c.fatal) {
            EXPECT_EXIT((yyout = stderr, Until0()), testing::ExitedWithCode(1),
                        "^Input string too long, limit 10000\n$")
                << c.in.size();
        } else {
            CaptureStdout();
            Until0();
            GetCapturedStdout();
        }
        fclose(yyin);
        yyin = nullptr;
    }
    Open(w + ";");
    ASSERT_EQ(yylex(), STRING);
    EXPECT_EQ(strlen(yylval.string), 9999u);
    zrFree(yylval.string);
}

}  // namespace
