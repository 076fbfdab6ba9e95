// The key tree: values, keys, the case-insensitive path search and subtree destruction.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "regp.h"

RegNode* RootNode;

RegKeyValue::RegKeyValue(char* k, int t, void* data) : key(k), type(t) {
    if (t == REG_INT) {
        ivalue = atoi(static_cast<char*>(data));
        zrFree(data);
    } else {
        string = static_cast<char*>(data);
    }
}

RegKeyValue::~RegKeyValue() {
    if (type == REG_SZ) zrFree(string);
    if (key) zrFree(key);
}

int RegKeyValue::GetSize() { return type == REG_INT ? 4 : static_cast<int>(strlen(string)) + 1; }

void* RegKeyValue::GetValue() { return type == REG_INT ? static_cast<void*>(&ivalue) : string; }

RegNode::RegNode(char* n)
    : name(n), kvlist(zrNew<RegKeyValueList>()), nodeList(zrNew<RegNodeList>()), openCnt(0) {}

// Lists are emptied front to back in one pass rather than by repeated removal at index 0,
// which would cost time quadratic in the number of entries.
// Deletes every node of `list`'s subtrees without recursing on the C stack, so that a
// tree of any depth can be released: each node's subkeys move to a work list before the
// node itself is deleted. Only subkeys that cannot be moved (no memory for the work
// list) are left to the node's own destructor.
static void DeleteSubtrees(RegNodeList* list) {
    RegNodeList work;
    for (int i = 0; i < list->GetSize(); ++i) {
        RegNode* top = list->GetAt(i);
        if (work.Add(top) < 0) {
            delete top;
            continue;
        }
        while (work.GetSize() > 0) {
            RegNode* n = work.GetAt(work.GetSize() - 1);
            work.RemoveAt(work.GetSize() - 1, 1);
            RegNodeList* kids = n->GetRegNodeList();
            while (kids && kids->GetSize() > 0) {
                int last = kids->GetSize() - 1;
                if (work.Add(kids->GetAt(last)) < 0) break;
                kids->RemoveAt(last, 1);
            }
            delete n;
        }
    }
    list->SetSize(0, -1);
}

RegNode::~RegNode() {
    if (nodeList) {
        DeleteSubtrees(nodeList);
        delete nodeList;
    }
    zrFree(name);
    if (kvlist) {
        for (int i = 0; i < kvlist->GetSize(); ++i) delete kvlist->GetAt(i);
        delete kvlist;
    }
}

RegNode* NewRegNode(char* name) {
    RegNode* node = zrNew<RegNode>(name);
    if (node && (!node->GetRegNodeList() || !node->GetRegKeyValueList())) {
        node->ReleaseName();
        delete node;
        node = nullptr;
    }
    return node;
}

bool RegNode::AddValue(RegKeyValue* value) { return kvlist->Add(value) >= 0; }

bool RegNode::AddKeyNode(RegNode* r) { return nodeList->Add(r) >= 0; }

// The node's whole name must match the front of the path, ignoring case; behind it comes
// the end of the path, or "/" and a rest that one of the subkeys must match. Subkeys are
// tried in list order and each subtree is searched completely before the next (names may
// hold "/", so the path is never split into components first). The walk keeps its own
// stack of positions, so that no path, however deep, can exhaust the C stack.
RegNode* RegNode::Search(const char* path) {
    struct Frame {
        RegNode* node;
        const char* rest;  // the path behind node's name and its "/"
        int next;          // the next subkey to try
    };
    Frame local[32];
    Frame* frames = local;
    int cap = 32, depth = 0;
    RegNode* found = nullptr;

    auto matchName = [](RegNode* n, const char* p) -> const char* {
        // Returns the position behind the name, or null when the name does not match.
        const unsigned char* nm = reinterpret_cast<const unsigned char*>(n->name);
        const unsigned char* q = reinterpret_cast<const unsigned char*>(p);
        for (; *nm; ++nm, ++q)
            if (tolower(*q) != tolower(*nm)) return nullptr;
        return reinterpret_cast<const char*>(q);
    };

    const char* end = matchName(this, path);
    if (!end) return nullptr;
    if (*end == 0) return this;
    if (*end != '/') return nullptr;
    frames[depth++] = Frame{this, end + 1, 0};

    while (depth > 0 && !found) {
        Frame& f = frames[depth - 1];
        RegNodeList* subs = f.node->nodeList;
        if (f.next >= subs->GetSize()) {
            --depth;
            continue;
        }
        RegNode* s = subs->GetAt(f.next++);
        const char* e = matchName(s, f.rest);
        if (!e) continue;
        if (*e == 0) {
            found = s;
        } else if (*e == '/') {
            if (depth == cap) {
                Frame* grown = static_cast<Frame*>(zrMalloc(sizeof(Frame) * static_cast<size_t>(cap) * 2));
                if (!grown) break;  // out of memory: reported as not found
                memcpy(grown, frames, sizeof(Frame) * static_cast<size_t>(cap));
                if (frames != local) zrFree(frames);
                frames = grown;
                cap *= 2;
            }
            frames[depth++] = Frame{s, e + 1, 0};
        }
    }
    if (frames != local) zrFree(frames);
    return found;
}

RegNode* Search(const char* path) {
    if (strcmp(path, "/") == 0) return RootNode;
    return RootNode ? RootNode->Search(path) : nullptr;
}
