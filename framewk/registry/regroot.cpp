// The root handle the library holds while a registry is loaded, and the open counts of the
// live handles made again after the tree was replaced.
#include "regp.h"

HKEY s_hkeyRoot;

int cfRegOpenRoot() {
    if (!RootNode) return REGERR_NO_MEMORY;
    char* path = zrStrdup(kRegRootName);
    if (!path) return REGERR_NO_MEMORY;
    HKEY h = ReserveSearchDepth(1) ? RegHandleNew(path, 1) : nullptr;
    if (!h) {
        zrFree(path);
        return REGERR_NO_MEMORY;
    }
    s_hkeyRoot = h;
    RootNode->IncOpenCnt();
    return REGERR_SUCCESS;
}

void cfRegCloseRoot() {
    if (!s_hkeyRoot) return;
    RegHandleFree(s_hkeyRoot);
    if (RootNode) RootNode->DecOpenCnt();
    s_hkeyRoot = nullptr;
}

static void Recount(HKEY h) {
    ReserveSearchDepth(h->parts);
    RegNode* node = RootNode ? RootNode->Search(h->ptr) : nullptr;
    if (node) node->IncOpenCnt();
}

void RegHandleRecount() { RegHandleEach(Recount); }
