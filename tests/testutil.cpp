// Shared test helpers.
#include "testutil.h"

#include <string.h>

void ResetRegistry() {
    delete NodeStack;
    NodeStack = nullptr;
    delete RootNode;
    RootNode = nullptr;
    rootCreated = 0;
    lRegLoadCnt = 0;
    lineno = 1;
    zrAllocFailAt(0);
}

void RegistryTest::SetUp() {
    ResetRegistry();
    NodeStack = new RegNodeList;
}

void RegistryTest::TearDown() { ResetRegistry(); }

char* Dup(const char* s) { return zrStrdup(s); }

RegNode* AddKey(const char* name) {
    char* n = Dup(name);
    if (CreateKeyNode(n) != 0) {
        zrFree(n);
        return nullptr;
    }
    RegNode* node = NodeStack->GetAt(0);
    EndKeyNode(n);
    return node;
}
