// The open-key stack and the three actions that build every key and value of the tree.
#include <stdio.h>
#include <string.h>

#include "regscan.h"

const char kRegRootName[] = "My Computer";

bool RegBuilderBegin(RegBuilder* b, RegNode** root) {
    b->stack = zrNew<RegNodeStack>();
    b->tree = nullptr;
    b->root = root ? root : &b->tree;
    b->rootCreated = 0;
    b->valuesHint = b->keysHint = 0;
    b->scan = nullptr;
    return b->stack != nullptr;
}

void RegBuilderEnd(RegBuilder* b) {
    delete b->stack;
    b->stack = nullptr;
}

int NodeStackDepth(const RegBuilder* b) { return b->stack ? b->stack->GetSize() : 0; }

bool NodeStackPush(RegBuilder* b, RegNode* node) { return b->stack && b->stack->Add(node) >= 0; }

void NodeStackPop(RegBuilder* b) { b->stack->RemoveAt(b->stack->GetSize() - 1, 1); }

// Whether to say what the builder found: a part of a load fails instead.
static bool Reports(RegBuilder* b) { return !b->scan || yyreports(b->scan); }

// Appends `node` below `parent` and pushes it; on failure nothing has changed.
static int AttachAndPush(RegBuilder* b, RegNode* parent, RegNode* node, bool loaded) {
    if (!NodeStackPush(b, node)) return REGERR_NO_MEMORY;
    if (parent->GetRegNodeList()->GetSize() == 0) parent->PresizeKeys(b->keysHint);
    if (!parent->AddKeyNode(node, loaded)) {
        NodeStackPop(b);
        return REGERR_NO_MEMORY;
    }
    return REGERR_SUCCESS;
}

// CreateKeyNode without its name's copy: on failure nothing has changed and `node` is deleted.
static int AttachNode(RegBuilder* b, RegNode* node, bool loaded) {
    RegNode* parent = NodeStackTop(b);
    // A top-level key that arrives when the tree already has a root (after a NUL byte in
    // the file, or when an enclosing key could not be made) joins the existing root, so
    // that the tree built so far is never lost.
    if (!parent && *b->root) parent = *b->root;

    if (parent) {
        int rc = AttachAndPush(b, parent, node, loaded);
        if (rc != REGERR_SUCCESS) delete node;
        return rc;
    }
    if (_stricmp(node->GetName(), kRegRootName) == 0) {
        if (!NodeStackPush(b, node)) {
            delete node;
            return REGERR_NO_MEMORY;
        }
        *b->root = node;
        return REGERR_SUCCESS;
    }

    RegNode* root = NewRegNode(kRegRootName);
    if (!root || !NodeStackPush(b, root)) {
        delete root;
        delete node;
        return REGERR_NO_MEMORY;
    }
    int rc = AttachAndPush(b, root, node, loaded);
    if (rc != REGERR_SUCCESS) {
        NodeStackPop(b);
        delete root;
        delete node;
        return rc;
    }
    *b->root = root;
    b->rootCreated = 1;
    return REGERR_SUCCESS;
}

int CreateKeyNode(RegBuilder* b, const char* name, size_t len, char** copy, bool loaded) {
    RegNode* node = NewRegNode(name, len);
    if (!node) return REGERR_NO_MEMORY;
    char* own = node->GetName();
    int rc = AttachNode(b, node, loaded);
    if (rc == REGERR_SUCCESS && copy) *copy = own;
    return rc;
}

// The loader passes the key's own name back (the copy CreateKeyNode handed out), which
// needs no comparison.
static bool IsTop(RegNode* top, const char* name) {
    return top && (top->GetName() == name || strcmp(top->GetName(), name) == 0);
}

int EndKeyNode(RegBuilder* b, const char* name) {
    RegNode* top = NodeStackTop(b);
    if (IsTop(top, name)) {
        NodeStackPop(b);
        return 0;
    }
    if (Reports(b)) RegMessage(REGVIEW_MSG_END_OF_KEY, 0, "syntax error, unexpected end of key %s", name);
    return 1;
}

int EndLoadedKeyNode(RegBuilder* b, const char* name) {
    RegNode* top = NodeStackTop(b);
    if (IsTop(top, name)) {
        // A loaded key's lists are complete: a failed shrink only keeps their spare room.
        RegList<RegKeyValue>* values = top->GetRegKeyValueList();
        RegList<RegNode>* keys = top->GetRegNodeList();
        values->GetSize() >= kRegIndexAtLoad ? values->ReadyForChanges() : values->ShrinkToFit();
        keys->GetSize() >= kRegIndexAtLoad ? keys->ReadyForChanges() : keys->ShrinkToFit();
        b->valuesHint = top->GetRegKeyValueList()->GetSize();
        if (top->GetRegNodeList()->GetSize() > 0) b->keysHint = top->GetRegNodeList()->GetSize();
        // A shorter list's index costs its first lookup under a millisecond (about 30 ns
        // an entry); a longer one's is built now, so that no first lookup waits for it.
        // Without memory it is built on first use after all.
        if (top->GetRegKeyValueList()->GetSize() >= kRegIndexAtLoad) top->ValueIndex();
        if (top->GetRegNodeList()->GetSize() >= kRegIndexAtLoad) top->KeyIndex();
    }
    return EndKeyNode(b, name);
}

// The key a value goes into: the open one; null, said as a syntax error, when none is open.
static RegNode* ValueKey(RegBuilder* b) {
    RegNode* top = NodeStackTop(b);
    if (!top && Reports(b))
        RegMessage(REGVIEW_MSG_UNEXPECTED_VALUE, b->scan ? b->scan->line : RegFileNow->line,
                   "syntax error, unexpected value");
    return top;
}

int AddValue(RegBuilder* b, char* valuename, int type, void* data) {
    RegNode* top = ValueKey(b);
    if (!top) return 1;
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

int AddTypedValue(RegBuilder* b, const char* valuename, size_t nameLen, uint32_t winType, const void* data,
                  size_t n) {
    RegNode* top = ValueKey(b);
    if (!top) return 1;
    if (top->GetRegKeyValueList()->GetSize() == 0) top->GetRegKeyValueList()->Presize(b->valuesHint);
    RegKeyValue* value = RegKeyValue::MakeTyped(valuename, nameLen, winType, data, n);
    if (!value) return REGERR_NO_MEMORY;
    if (!top->AddValue(value)) {
        delete value;
        return REGERR_NO_MEMORY;
    }
    return REGERR_SUCCESS;
}

int AddValueItem(RegBuilder* b, const YYItem& item) {
    RegNode* top = NodeStackTop(b);
    if (!top) return -1;
    if (top->GetRegKeyValueList()->GetSize() == 0) top->GetRegKeyValueList()->Presize(b->valuesHint);
    RegKeyValue* value = RegKeyValue::Make(item.name, static_cast<size_t>(item.nameLen), item.type, item.text,
                                           static_cast<size_t>(item.textLen), item.number);
    if (!value) return -1;
    if (!top->AddValue(value)) {
        delete value;
        return REGERR_NO_MEMORY;
    }
    return REGERR_SUCCESS;
}

void EndMadeRoot(RegBuilder* b) {
    if (b->rootCreated == 1 && *b->root) {
        EndKeyNode(b, kRegRootName);
        b->rootCreated = 0;
    }
}

void ReleaseTree() {
    delete RegTreeNow->root;
    RegTreeNow->root = nullptr;
}

// A key's copy with copies of its values; its subkeys are left to the caller.
static RegNode* CopyKey(RegNode* from) {
    RegNode* to = NewRegNode(from->GetName());
    if (!to) return nullptr;
    RegKeyValueList* values = from->GetRegKeyValueList();
    for (int s = values->FirstSlot(); s < values->EndSlot(); ++s) {
        RegKeyValue* v = values->AtSlot(s);
        if (!v) continue;
        RegKeyValue* c = v->Copy();
        if (!c || !to->AddValue(c)) {
            delete c;
            delete to;
            return nullptr;
        }
    }
    return to;
}

// Without recursion, as the tree may be deeper than the stack allows: a work list of the
// keys copied whose subkeys are still to copy.
RegNode* RegCopyTree(RegNode* root) {
    if (!root) return nullptr;
    RegNode* top = CopyKey(root);
    if (!top) return nullptr;
    TArray<RegNode*, RegNode*> from, to;
    if (from.Add(root) < 0 || to.Add(top) < 0) {
        delete top;
        return nullptr;
    }
    while (from.GetSize() > 0) {
        int last = from.GetSize() - 1;
        RegNode* src = from.GetAt(last);
        RegNode* dst = to.GetAt(last);
        from.RemoveAt(last, 1);
        to.RemoveAt(last, 1);
        RegNodeList* kids = src->GetRegNodeList();
        if (kids->GetSize() > 0) dst->PresizeKeys(kids->GetSize());
        for (int s = kids->FirstSlot(); s < kids->EndSlot(); ++s) {
            RegNode* kid = kids->AtSlot(s);
            if (!kid) continue;
            RegNode* c = CopyKey(kid);
            if (!c || !dst->AddKeyNode(c, true)) {
                delete c;
                delete top;
                return nullptr;
            }
            if (from.Add(kid) < 0 || to.Add(c) < 0) {
                delete top;
                return nullptr;
            }
        }
    }
    return top;
}
