// The scanner: its token language, block reading, limits and end-of-input rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"
#include "zrplat.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const size_t kBlock = 1 << 16;  // the scanner's read block

// Tokens are written as "KEY", "SZ", "INT", "S:text", "N:text" or the character itself.
class ScanTest : public ::testing::Test {
protected:
    void Open(const std::string& bytes) {
        if (fp_) fclose(fp_);
        WriteBytes(dir_.File("in.reg"), bytes);
        fp_ = fopen(dir_.File("in.reg").c_str(), "r");
        ASSERT_NE(fp_, nullptr);
        yylexreset(sc, fp_);
    }
    void TearDown() override {
        yyreadahead(sc, false);
        if (fp_) fclose(fp_);
        delete sc;
    }
    std::string Next(RegScanner* of = nullptr) {
        if (!of) of = sc;
        int t = yylex(of);
        if (t == STRING || t == NUMBER) {
            std::string s = (t == STRING ? "S:" : "N:") + std::string(of->lval.string);
            zrFree(of->lval.string);
            return s;
        }
        if (t == KEY || t == REG_SZ || t == REG_INT) return t == KEY ? "KEY" : t == REG_SZ ? "SZ" : "INT";
        return t == 0 ? "" : std::string(1, static_cast<char>(t));
    }
    // The tokens up to the next end of input.
    std::string Until0() {
        std::string out;
        for (std::string t; !(t = Next()).empty();) out += (out.empty() ? "" : " ") + t;
        return out;
    }
    TempDir dir_;
    FILE* fp_ = nullptr;
    RegScanner* sc = new RegScanner();
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
        EXPECT_EQ(yylex(sc), 0) << "the end of input repeats";
    }
}

// Every token kind, starting a few bytes before the block's end, scans as it does whole;
// the bytes read past a token and given back come from both blocks.
TEST_F(ScanTest, TokensAcrossTheBlockBoundary) {
    struct {
        const char* text;
        const char* tokens;
    } cases[] = {
        {"\"quoted text\"", "S:quoted text"},
        {"word_1.x/y", "S:word_1.x/y"},
        {"-1234", "N:-1234"},
        {"[ REG_INT ]", "INT"},
        {"KEY", "KEY"},
        {"[ REG_S]", "[ S:REG_S ]"},
        {"-x", "S:x"},
    };
    for (auto& c : cases) {
        for (size_t before = 1; before <= strlen(c.text) + 1; ++before) {
            Open(std::string(kBlock - before, ' ') + c.text + "\n;");
            EXPECT_EQ(Until0(), std::string(c.tokens) + " ;") << c.text << " at " << before;
            EXPECT_EQ(sc->line, 2);
        }
    }
}

TEST_F(ScanTest, LinesCountNewlinesOnlyAndCrLfScansLikeLf) {
    Open("a\r\nb\r\n\r\n c");
    EXPECT_EQ(Until0(), "S:a S:b S:c");
    EXPECT_EQ(sc->line, 4);
}

TEST_F(ScanTest, RunawayStringIsDroppedWithTwoMessages) {
    Open("x\n\n\n\n\n\n\"open ( ;\ny");
    CaptureStdout();
    EXPECT_EQ(Until0(), "S:x S:y");
    EXPECT_EQ(GetCapturedStdout(), "line 7 - FATAL: Runaway string\nError in line: 7\n");
    EXPECT_EQ(sc->line, 8);
}

// The loader parses again after a NUL byte while yyatend is false: the flag must be set
// only once a byte past the end was asked for, also when the NUL is the last byte.
TEST_F(ScanTest, NulEndsTheInputAndTheNextCallGoesOnBehindIt) {
    Open(std::string("A\n\"q\0B\0\0C", 9));
    EXPECT_EQ(Until0(), "S:A S:q");
    EXPECT_EQ(Until0(), "S:B");
    EXPECT_EQ(Until0(), "");
    EXPECT_EQ(Until0(), "S:C");
    EXPECT_EQ(sc->line, 2);
    EXPECT_TRUE(yyatend(sc));

    for (std::string pad : {std::string(), std::string(kBlock - 4, ' ')}) {
        Open(pad + std::string("KEY\0", 4));
        EXPECT_EQ(Until0(), "KEY");
        EXPECT_FALSE(yyatend(sc));
        EXPECT_EQ(Until0(), "");
        EXPECT_TRUE(yyatend(sc));
    }
}

TEST_F(ScanTest, ResetForgetsLookAheadAndLines) {
    Open("abc\n(");
    EXPECT_EQ(Next(), "S:abc");  // "(" and the newline are pending look-ahead
    Open("KEY");
    EXPECT_EQ(Until0(), "KEY");
    EXPECT_EQ(sc->line, 1);
}

// Scanners share nothing: two read side by side, token by token in turns, each give the
// tokens, lines and end of input that each gives alone, across their blocks' ends and with
// look-ahead pending in both.
TEST_F(ScanTest, TwoScannersSideBySideKeepTheirOwnState) {
    const std::string texts[2] = {"KEY \"a\"\n(\n" + std::string(kBlock - 3, ' ') + "[REG_SZ] x = \"1\";\n)",
                                  "12 -7 \"" + std::string(9000, 'q') + "\"\n\n abc\n[ REG_S]\n\"run\n;"};
    std::vector<std::string> alone[2];
    int lines[2];
    for (int i = 0; i < 2; ++i) {
        Open(texts[i]);
        CaptureStdout();
        for (std::string t; !(t = Next()).empty();) alone[i].push_back(t);
        GetCapturedStdout();
        lines[i] = sc->line;
    }
    Open(texts[0]);
    std::string other = dir_.File("other.reg");
    WriteBytes(other, texts[1]);
    FILE* fp = fopen(other.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    RegScanner* second = new RegScanner();
    yylexreset(second, fp);
    RegScanner* of[2] = {sc, second};
    std::vector<std::string> together[2];
    CaptureStdout();
    for (bool more[2] = {true, true}; more[0] || more[1];)
        for (int i = 0; i < 2; ++i) {
            if (!more[i]) continue;
            std::string t = Next(of[i]);
            if (t.empty())
                more[i] = false;
            else
                together[i].push_back(t);
        }
    GetCapturedStdout();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(together[i], alone[i]) << i;
        EXPECT_EQ(of[i]->line, lines[i]) << i;
        EXPECT_TRUE(yyatend(of[i])) << i;
    }
    fclose(fp);
    delete second;
}

// The limit counts the token's bytes and the look-ahead it reads; past it the process ends,
// also while the loader's reader thread reads the input (its blocks are smaller than a
// token at the limit). Death tests fork: the reader starts in the child.
TEST_F(ScanTest, LengthLimitBoundaries) {
    std::string w(9999, 'w'), d(9999, '7'), pad(kBlock - 5000, ' ');
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
        {pad + w + " ", false},  // across the block boundary
        {pad + w + "w ", true},
    };
    zrReadAheadFrom(0);
    for (bool ahead : {false, true})
        for (auto& c : cases) {
            Open(c.in);
            if (c.fatal) {
                EXPECT_EXIT((yyout = stderr, yyreadahead(sc, ahead), Until0()), testing::ExitedWithCode(1),
                            "^Input string too long, limit 10000\n$")
                    << c.in.size() << " " << ahead;
            } else {
                yyreadahead(sc, ahead);
                CaptureStdout();
                Until0();
                GetCapturedStdout();
                yyreadahead(sc, false);
            }
        }
    zrReadAheadFrom(-1);
    Open(pad + w + ";");
    EXPECT_EQ(Next(), "S:" + w);
}

}  // namespace
