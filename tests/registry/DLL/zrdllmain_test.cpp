// The entry points: DllMain's answers, and loading and unloading through the exported calls.
#include <stdio.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

// In the working directory, which is the build's own: builds running side by side never meet.
std::string TempPath(const char* name) { return std::string("zrdllmain_") + name + ".txt"; }

void WriteFile(const std::string& path, const std::string& text) {
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr) << path;
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
}

std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return text;
    for (int c; (c = getc(fp)) != EOF;) text += static_cast<char>(c);
    fclose(fp);
    return text;
}

// Written by hand, not in the writer's layout, so that a rewrite would show.
const char kRegistry[] = "KEY \"My Computer\" ( KEY Software ( [REG_INT] Count = 3; ) )\n";

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override { ResetRegistry(); }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
        for (const std::string& p : files) remove(p.c_str());
    }
    std::string Make(const char* name, const char* text) {
        std::string p = TempPath(name);
        files.push_back(p);
        WriteFile(p, text);
        return p;
    }
    std::vector<std::string> files;
};

TEST(DllMain, AnswersOneForEveryReason) {
    for (ZRREG_REASON reason : {0u, 1u, 2u, 3u}) EXPECT_EQ(DllMain(nullptr, reason, nullptr), 1) << reason;
}

TEST_F(EntryPoints, LoadUnloadAndLoadAgain) {
    std::string path = Make("cycle", kRegistry);
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    EXPECT_EQ(NWREGIsRegLoaded(), 1);
    RegNode* root = RootNode;

    std::string other = Make("other", "KEY X ( )\n");
    EXPECT_EQ(ZrLoadRegistry(other.c_str()), 1u);  // the first registry stays as it was
    EXPECT_EQ(RootNode, root);
    EXPECT_NE(Search("My Computer/Software"), nullptr);

    ZrUnloadRegistry();
    EXPECT_EQ(NWREGIsRegLoaded(), 0);
    EXPECT_EQ(HkeyRegRoot(), nullptr);
    EXPECT_EQ(ReadFile(path), kRegistry);  // nothing changed, nothing written

    ASSERT_EQ(ZrLoadRegistry(other.c_str()), 0u);
    EXPECT_NE(Search("My Computer/X"), nullptr);
    ZrUnloadRegistry();
    ZrUnloadRegistry();  // with nothing loaded: nothing to write or release
    EXPECT_EQ(ReadFile(other), "KEY X ( )\n");
}

TEST_F(EntryPoints, FailedLoadsLeaveNothingLoaded) {
    struct Case {
        const char* name;
        const char* text;  // null: no such file
        uint32_t rc;
    } cases[] = {
        {"missing", nullptr, 5},
        {"syntax", "KEY A ( [REG_INT] n = \"x\"; )\n", 1},
        {"twokeys", "KEY A ( )\nKEY B ( )\n", 1},
    };
    for (const Case& c : cases) {
        std::string path = c.text ? Make(c.name, c.text) : TempPath(c.name);
        EXPECT_EQ(ZrLoadRegistry(path.c_str()), c.rc) << c.name;
        EXPECT_EQ(NWREGIsRegLoaded(), 0) << c.name;
        EXPECT_EQ(HkeyRegRoot(), nullptr) << c.name;
        if (c.text) {
            EXPECT_EQ(ReadFile(path), c.text) << c.name;
        }
    }
}

TEST_F(EntryPoints, HandleKeptAcrossUnloadFindsNoRegistry) {
    std::string path = Make("kept", kRegistry);
    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    void* h = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("Software")), 0, &h), 0);
    ZrUnloadRegistry();

    void* sub = nullptr;
    int32_t one = 1;
    EXPECT_EQ(ZrRegCreateKey(h, WP(W("New")), &sub), 9);
    EXPECT_EQ(ZrRegSetValueEx(h, WP(W("v")), 4, reinterpret_cast<unsigned char*>(&one), 4), 9);
    EXPECT_EQ(ZrRegDeleteKey(h, WP(W("New"))), 9);
    EXPECT_EQ(ZrRegDeleteValue(h, WP(W("Count"))), 9);
    ZrRegCloseKey(h);
    EXPECT_EQ(ReadFile(path), kRegistry);
}

TEST_F(EntryPoints, ChangesAreWrittenBackAtUnload) {
    std::string path = Make("changed", kRegistry);
    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    int32_t seven = 7;
    void* h = nullptr;
    ASSERT_EQ(ZrRegOpenKeyEx(HkeyRegRoot(), WP(W("Software")), 0, &h), 0);
    ASSERT_EQ(ZrRegSetValueEx(h, WP(W("Count")), 4, reinterpret_cast<unsigned char*>(&seven), 4), 0);
    ZrRegCloseKey(h);
    ZrUnloadRegistry();
    EXPECT_NE(ReadFile(path).find("[REG_INT] \"Count\" = 7;"), std::string::npos);

    ASSERT_EQ(ZrLoadRegistry(path.c_str()), 0u);
    uint32_t count = 0;
    EXPECT_EQ(ZrRegQueryValueDw(HkeyRegRoot(), WP(W("Software")), WP(W("Count")), 0, &count), 0u);
    EXPECT_EQ(count, 7u);
}

}  // namespace
