// The scanner's block reading: tokens across block boundaries, and the end-of-file flag.
#include <gtest/gtest.h>

#include <string>

#include "regfile_util.h"
#include "testutil.h"

namespace {

const size_t kBlock = 1 << 16;  // the scanner's read block

class BlockScanTest : public ::testing::Test {
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
    std::string Next() {
        int t = yylex();
        if (t == STRING || t == NUMBER) {
            std::string s = (t == STRING ? "S:" : "N:") + std::string(yylval.string);
            zrFree(yylval.string);
            return s;
        }
        if (t == KEY) return "KEY";
        if (t == REG_SZ || t == REG_INT) return t == REG_SZ ? "SZ" : "INT";
        return t == 0 ? "<end>" : std::string(1, static_cast<char>(t));
    }
    TempDir dir_;
};

// Every token kind, starting a few bytes before the block's end, scans as it does whole;
// the bytes read past a token and given back come from both blocks.
TEST_F(BlockScanTest, TokensAcrossTheBlockBoundary) {
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
            std::string got;
            for (std::string t; (t = Next()) != "<end>";) got += (got.empty() ? "" : " ") + t;
            EXPECT_EQ(got, std::string(c.tokens) + " ;") << c.text << " at " << before;
            EXPECT_EQ(lineno, 2);
            fclose(yyin);
            yyin = nullptr;
        }
    }
}

// The loader parses again after a NUL byte while feof(yyin) is false: the flag must be set
// only once a byte past the end was asked for, also when the NUL is the last byte.
TEST_F(BlockScanTest, EndOfFileFlagAsWithByteReads) {
    Open(std::string("KEY\0", 4));
    EXPECT_EQ(Next(), "KEY");
    EXPECT_EQ(Next(), "<end>");
    EXPECT_FALSE(feof(yyin));
    EXPECT_EQ(Next(), "<end>");
    EXPECT_TRUE(feof(yyin));

    Open(std::string(kBlock - 2, ' ') + std::string("a\0b", 3));
    EXPECT_EQ(Next(), "S:a");
    EXPECT_EQ(Next(), "<end>");
    EXPECT_FALSE(feof(yyin));
    EXPECT_EQ(Next(), "S:b");
    EXPECT_TRUE(feof(yyin));
}

TEST_F(BlockScanTest, LengthLimitAcrossTheBlockBoundary) {
    std::string word(9999, 'w');
    Open(std::string(kBlock - 5000, ' ') + word + " ");
    EXPECT_EQ(Next(), "S:" + word);
    EXPECT_EXIT(
        {
            Open(std::string(kBlock - 5000, ' ') + word + "w ");
            yylex();
        },
        testing::ExitedWithCode(1), "");
}

}  // namespace
