// Shared test helpers: a clean registry state, tree builders and dumps, wide text, files.
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <set>
#include <string>

#include "regp.h"
#include "regscan.h"

namespace fs = std::filesystem;

// Releases whatever tree, stack and handles a test left, writing nothing.
void ResetRegistry();

// The tests build the registry's tree (RootNode) with a builder of their own, as the
// key operations change it; these act on that builder.
extern RegBuilder g_build;
inline RegBuilder* TestBuilder() {
    if (!g_build.stack) RegBuilderBegin(&g_build, &RootNode);
    return &g_build;
}
inline bool NodeStackBegin() {
    RegBuilderEnd(&g_build);
    return RegBuilderBegin(&g_build, &RootNode);
}
inline void NodeStackEnd() { RegBuilderEnd(&g_build); }
inline bool NodeStackPush(RegNode* node) { return NodeStackPush(TestBuilder(), node); }
inline void NodeStackPop() { NodeStackPop(TestBuilder()); }
inline RegNode* NodeStackTop() { return NodeStackTop(TestBuilder()); }
inline int NodeStackDepth() { return NodeStackDepth(TestBuilder()); }
inline int CreateKeyNode(const char* name) { return CreateKeyNode(TestBuilder(), name, strlen(name)); }
inline int EndKeyNode(const char* name) { return EndKeyNode(TestBuilder(), name); }
inline int AddValue(char* name, int type, void* data) { return AddValue(TestBuilder(), name, type, data); }

// Marks the tree built so far as loaded and opens the root handle, as a load does.
void MarkLoaded();

// The tree as text: one line per key and value, indented by depth, with open counts
// unless `counts` is false (the tree as a file holds it).
std::string DumpTree(RegNode* node, bool counts = true);

// The tree that the registry file at `path` loads to, without open counts (as DumpTree),
// or "(does not load)"; nothing stays loaded.
std::string TreeInFile(const std::string& path);

// A wide copy of 8-bit text, for the wide interface.
std::u16string W(const std::string& s);
inline const unsigned short* WP(const std::u16string& s) {
    return reinterpret_cast<const unsigned short*>(s.c_str());
}

// Gives every test an empty key stack and no tree, and releases everything afterwards.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

char* Dup(const char* s);  // a C-allocator copy, as the tree takes its texts
// Adds a key below the top of the stack and pops it again; returns the new node.
RegNode* AddKey(const char* name);
// Pushes the key at `path` (absolute), runs f, pops.
template <class F>
void Within(const char* path, F f) {
    RegNode* n = Search(path);
    ASSERT_NE(n, nullptr) << path;
    NodeStackPush(n);
    f();
    NodeStackPop();
}

// My Computer
//   Software     values: abc="abc", n300=300, neg=-5
//     A
//     bb
//   Empty
// loaded, with the root handle in `rootKey` and its token, as a host holds it, in `root`.
class KeyTreeTest : public RegistryTest {
protected:
    void SetUp() override;
    HKEY rootKey = nullptr;
    void* root = nullptr;
};

// The tree above, reached through the exported wide functions.
class WideTest : public KeyTreeTest {
protected:
    void* Open(void* base, const char* path) {
        void* h = nullptr;
        EXPECT_EQ(ZrRegOpenKeyEx(base, WP(W(path)), 0, &h), ZRREG_SUCCESS) << path;
        return h;
    }
    int32_t SetSz(void* h, const char* name, const char* text) {
        return ZrRegSetValueEx(h, WP(W(name)), 1, reinterpret_cast<const unsigned char*>(text),
                               static_cast<uint32_t>(strlen(text) + 1));
    }
};

// A fresh folder, removed with its content at the end. It lies in memory where the system
// has such a file system: the crash tests kill processes, not the machine, and each save's
// syncs cost nothing there.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& Path() const { return path_; }
    std::set<std::string> Names(const fs::path& sub = {}) const;

private:
    fs::path path_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);

// A test on one registry file, reg.txt in a folder of its own holding `base`; whatever the
// test loaded is unloaded after it.
class OneFileTest : public ::testing::Test {
protected:
    explicit OneFileTest(const char* base) : base_(base) {}
    void SetUp() override {
        ResetRegistry();
        reg_ = dir_.File("reg.txt");
        WriteBytes(reg_, base_);
        fflush(stdout);
    }
    void TearDown() override {
        ZrUnloadRegistry();
        ResetRegistry();
    }
    TempDir dir_;
    std::string reg_;

private:
    const char* base_;
};
// Text-mode files end their lines in "\r\n" on Windows; compare them as "\n".
std::string Unix(std::string s);

#endif
