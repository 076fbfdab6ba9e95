// Shared test helpers.
#include "testutil.h"

#include <string.h>

void ResetRegistry() {
    cfRegCloseRoot();
    cfRegCloseHKLM();
    cfRegCloseHKCU();
    HkeyArdoRootClose();
    bRegChanged = 0;
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

void MarkLoaded() {
    lRegLoadCnt = 1;
    ASSERT_EQ(cfRegOpenRoot(), 0);
}

static void Dump(RegNode* node, int depth, std::string& out) {
    std::string pad(static_cast<size_t>(depth) * 2, ' ');
    out += pad + "[" + node->GetName() + "]";
    if (node->GetOpenCnt()) out += " open=" + std::to_string(node->GetOpenCnt());
    out += "\n";
    RegKeyValueList* values = node->GetRegKeyValueList();
    for (int i = 0; i < values->GetSize(); ++i) {
        RegKeyValue* v = values->GetAt(i);
        out += pad + "  " + v->GetKey() + " = ";
        if (v->GetType() == REG_INT)
            out += std::to_string(*static_cast<int*>(v->GetValue()));
        else
            out += std::string("\"") + static_cast<char*>(v->GetValue()) + "\"";
        out += "\n";
    }
    RegNodeList* subs = node->GetRegNodeList();
    for (int i = 0; i < subs->GetSize(); ++i) Dump(subs->GetAt(i), depth + 1, out);
}

std::string DumpTree(RegNode* node) {
    std::string out;
    if (node) Dump(node, 0, out);
    return out;
}

std::u16string W(const char* s) {
    std::u16string w;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) w += static_cast<char16_t>(*p);
    return w;
}
