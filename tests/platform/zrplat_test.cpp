// The platform layer: C runtime names, 16-bit text conversions, temporary file names.
#include <gtest/gtest.h>

#include <string>

#include "zrplat.h"

TEST(Platform, StricmpFoldsAsciiOnly) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"My Computer", "MY COMPUTER", 0},
        {"abc", "ABD", -1},
        {"b", "A", 1},
        {"", "", 0},
        {"a", "", 1},
        {"\xe9", "\xc9", 1},  // no folding above 127
        {"_", "_", 0},
        {"[", "{", -1},  // '[' is not a capital, '{' not a small letter
    };
    for (const Case& c : cases) {
        int r = _stricmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(Platform, StruprLeavesNonLettersAlone) {
    char s[] = "c:\\my.dir/reg\xe9.txt";
    EXPECT_EQ(std::string(_strupr(s)), "C:\\MY.DIR/REG\xe9.TXT");
}

TEST(Platform, WideToNarrowStopsAtTheFirstWideCharacter) {
    const zrwchar in[] = {'a', 0xE9, 0xFF, 0x100, 'b', 0};
    char out[8];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(zrWcstombs(out, in, 5), 3u);
    EXPECT_EQ(std::string(out, 3), "a\xe9\xff");
    EXPECT_EQ(out[3], 'x');  // no terminator within the count: the caller's zero fill ends the text

    const zrwchar hi[] = {'h', 'i', 0};
    memset(out, 'x', sizeof out);
    EXPECT_EQ(zrWcstombs(out, hi, 8), 2u);
    EXPECT_STREQ(out, "hi");
    memset(out, 'x', sizeof out);
    EXPECT_EQ(zrWcstombs(out, hi, 1), 1u);  // the count bounds the write
    EXPECT_EQ(out[1], 'x');
}

TEST(Platform, NarrowToWideKeepsByteValues) {
    zrwchar out[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(zrMbstowcs(out, "a\xff", 6), 2u);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 9);
    EXPECT_EQ(zrMbstowcs(out, "abcdef", 3), 3u);  // at most n, terminator included
    EXPECT_EQ(out[3], 9);
}

TEST(Platform, WideLengthAndDuplicate) {
    const zrwchar in[] = {'x', 0x1234, 0};
    EXPECT_EQ(zrWcslen(in), 2u);
    zrwchar* d = zrWcsdup(in);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(memcmp(d, in, sizeof in), 0);
    free(d);
}

TEST(Platform, TemporaryFileNames) {
    struct Case {
        const char* path;
        const char* tmp;  // null: the file is never written back
    } cases[] = {
#ifdef _WIN32
        {"c:\\data\\reg.txt", "C:\\DATA\\REG.TMP"},
        {"c:\\my.dir\\reg.txt", "C:\\MY.TMP"},
        {"c:\\data\\reg", "C:\\DATA\\REG.TMP"},
        {"c:\\data\\r.tmp", "C:\\DATA\\R.TMP.TMP"},
#else
        {"/var/app/reg.txt", "/var/app/REG.TMP"},
        {"/var/my.dir/reg.txt", "/var/my.dir/REG.TMP"},
        {"reg.a.b", "REG.TMP"},
        {"/var/my.dir/reg", "/var/my.dir/REG.TMP"},
        {"rel/dir/Settings.reg", "rel/dir/SETTINGS.TMP"},
        // A file named like its own temporary file keeps its name for itself.
        {"/var/app/R.TMP", "/var/app/R.TMP.TMP"},
        {"/var/app/r.TMP", "/var/app/R.TMP"},
#endif
    };
    for (const Case& c : cases) {
        char out[512];
        bool ok = zrTempNameFor(c.path, out, sizeof out);
        if (!c.tmp) {
            EXPECT_FALSE(ok) << c.path;
        } else {
            ASSERT_TRUE(ok) << c.path;
            EXPECT_STREQ(out, c.tmp);
        }
    }
}

TEST(Platform, TemporaryFileNameMustFit) {
    std::string longPath(500, 'a');
    longPath += "/r.t";  // 504 characters: the temporary name needs 507 bytes
    char out[512];
    EXPECT_TRUE(zrTempNameFor(longPath.c_str(), out, sizeof out));
    EXPECT_FALSE(zrTempNameFor(longPath.c_str(), out, 506));
}

TEST(Platform, AllocationFailsFromTheNth) {
    zrAllocFailAt(3);
    void* a = zrMalloc(4);
    void* b = zrMalloc(4);
    void* c = zrMalloc(4);
    char* d = zrStrdup("x");
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(zrAllocCount(), 4);
    zrAllocFailAt(0);
    zrFree(a);
    zrFree(b);
}
