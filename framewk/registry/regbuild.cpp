// The open-key stack and the three actions that build every key and value of the tree.
#include <stdio.h>
#include <string.h>

#include "regp.h"

ZR_OWN_LINE RegNode* RootNode;
ZR_OWN_LINE RegNodeStack* NodeStack;
ZR_OWN_LINE int rootCreated;

const char kRegRootName[] = "My Computer";

// Sibling keys tend to be alike: a loaded key's lists start with the room that the last
// loaded key's lists (its subkeys: the last that had any) ended with, which spares most
// lists their growth and their shrinking to fit.
ZR_OWN_LINE static int s_valuesHint, s_keysHint;

bool NodeStackBegin() {
    rootCreated = 0;
    s_valuesHint = s_keysHint = 0;
    delete NodeStack;
    NodeStack = zrNew<RegNodeStack>();
    return NodeStack != nullptr;
}

void NodeStackEnd() {
    delete NodeStack;
    NodeStack = nullptr;
}

RegNode* NodeStackTop() {
    int n = NodeStack ? NodeStack->GetSize() : 0;
    return n > 0 ? NodeStack->GetAt(n - 1) : nullptr;
}

int NodeStackDepth() { return NodeStack ? NodeStack->GetSize() : 0; }

bool NodeStackPush(RegNode* node) { return NodeStack && NodeStack->Add(node) >= 0; }

void NodeStackPop() { NodeStack->RemoveAt(NodeStack->GetSize() - 1, 1); }

static RegNode* StackTop() { return NodeStackTop(); }
static bool Push(RegNode* node) { return NodeStackPush(node); }
static void Pop() { NodeStackPop(); }

// Appends `node` below `parent` and pushes it; on failure nothing has changed.
static int AttachAndPush(RegNode* parent, RegNode* node, bool loaded) {
    if (!Push(node)) return REGERR_NO_MEMORY;
    if (parent->GetRegNodeList()->GetSize() == 0) parent->PresizeKeys(s_keysHint);
    if (!parent->AddKeyNode(node, loaded)) {
        Pop();
        return REGERR_NO_MEMORY;
    }
    return REGERR_SUCCESS;
}

// CreateKeyNode without its name's copy: on failure nothing has changed and `node` is deleted.
static int AttachNode(RegNode* node, bool loaded) {
    RegNode* parent = StackTop();
    // A top-level key that arrives when the tree already has a root (after a NUL byte in
    // the file, or when an enclosing key could not be made) joins the existing root, so
    // that the tree built so far is never lost.
    if (!parent && RootNode) parent = RootNode;

    if (parent) {
        int rc = AttachAndPush(parent, node, loaded);
        if (rc != REGERR_SUCCESS) delete node;
        return rc;
    }
    if (_stricmp(node->GetName(), kRegRootName) == 0) {
        if (!Push(node)) {
            delete node;
            return REGERR_NO_MEMORY;
        }
        RootNode = node;
        return REGERR_SUCCESS;
    }

    RegNode* root = NewRegNode(kRegRootName);
    if (!root || !Push(root)) {
        delete root;
        delete node;
        return REGERR_NO_MEMORY;
    }
    int rc = AttachAndPush(root, node, loaded);
    if (rc != REGERR_SUCCESS) {
        Pop();
        delete root;
        delete node;
        return rc;
    }
    RootNode = root;
    rootCreated = 1;
    return REGERR_SUCCESS;
}

int CreateKeyNode(const char* name, size_t len, char** copy, bool loaded) {
    RegNode* node = NewRegNode(name, len);
    if (!node) return REGERR_NO_MEMORY;
    char* own = node->GetName();
    int rc = AttachNode(node, loaded);
    if (rc == REGERR_SUCCESS && copy) *copy = own;
    return rc;
}

// The loader passes the key's own name back (the copy CreateKeyNode handed out), which
// needs no comparison.
static bool IsTop(RegNode* top, const char* name) {
    return top && (top->GetName() == name || strcmp(top->GetName(), name) == 0);
}

int EndKeyNode(const char* name) {
    RegNode* top = StackTop();
    if (IsTop(top, name)) {
        Pop();
        return 0;
    }
    RegMessage(REGVIEW_MSG_END_OF_KEY, 0, "syntax error, unexpected end of key %s", name);
    return 1;
}

int EndLoadedKeyNode(const char* name) {
    RegNode* top = StackTop();
    if (IsTop(top, name)) {
        // A loaded key's lists are complete: a failed shrink only keeps their spare room.
        top->GetRegKeyValueList()->ShrinkToFit();
        top->GetRegNodeList()->ShrinkToFit();
        s_valuesHint = top->GetRegKeyValueList()->GetSize();
        if (top->GetRegNodeList()->GetSize() > 0) s_keysHint = top->GetRegNodeList()->GetSize();
        // A shorter list's index costs its first lookup under a millisecond (about 30 ns
        // an entry); a longer one's is built now, so that no first lookup waits for it.
        // Without memory it is built on first use after all.
        if (top->GetRegKeyValueList()->GetSize() >= kRegIndexAtLoad) top->ValueIndex();
        if (top->GetRegNodeList()->GetSize() >= kRegIndexAtLoad) top->KeyIndex();
    }
    return EndKeyNode(name);
}

int AddValue(char* valuename, int type, void* data, int line) {
    RegNode* top = StackTop();
    if (!top) {
        RegMessage(REGVIEW_MSG_UNEXPECTED_VALUE, line, "syntax error, unexpected value");
        return 1;
    }
    // Room in the list first, so that a value, once made, is always appended and the
    // texts of a failed call stay the caller's.
    if (!top->GetRegKeyValueList()->Reserve(1)) return REGERR_NO_MEMORY;
    RegKeyValue* value = RegKeyValue::MakeFromText(valuename, type, static_cast<char*>(data));
    if (!value) return REGERR_NO_MEMORY;
    top->AddValue(value);
    zrFree(valuename);
    zrFree(data);
    return REGERR_SUCCESS;
}

int AddValueItem(const char* name, size_t nameLen, int type, const char* text, size_t textLen, int number) {
    RegNode* top = StackTop();
    if (!top) return -1;
    if (top->GetRegKeyValueList()->GetSize() == 0) top->GetRegKeyValueList()->Presize(s_valuesHint);
    RegKeyValue* value = RegKeyValue::Make(name, nameLen, type, text, textLen, number);
    if (!value) return -1;
    if (!top->AddValue(value)) {
        delete value;
        return REGERR_NO_MEMORY;
    }
    return REGERR_SUCCESS;
}

void EndMadeRoot() {
    if (rootCreated == 1 && RootNode) {
        EndKeyNode(kRegRootName);
        rootCreated = 0;
    }
}

void ReleaseTree() {
    delete RootNode;
    RootNode = nullptr;
    rootCreated = 0;
}
