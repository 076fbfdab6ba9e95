// Shared test helpers: a clean registry state around each test, and small tree builders.
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <gtest/gtest.h>

#include <string>

#include "regp.h"

// Releases whatever tree, stack and handles a test left, writing nothing.
void ResetRegistry();

// Marks the tree built so far as loaded and opens the root handle, as a load does.
void MarkLoaded();

// The tree as text: one line per key and value, indented by depth, with open counts.
std::string DumpTree(RegNode* node);

// A wide copy of 8-bit text, for the wide interface.
std::u16string W(const char* s);
inline const unsigned short* WP(const std::u16string& s) { return reinterpret_cast<const unsigned short*>(s.c_str()); }

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
    NodeStack->InsertAt(0, n, 1);
    f();
    NodeStack->RemoveAt(0, 1);
}
#endif
