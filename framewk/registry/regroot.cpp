// The root handle the library holds while a registry is loaded, and the open counts of the
// live handles made again after the tree was replaced.
#include "regtree.h"

int cfRegOpenRoot() {
    if (!RegTreeNow->root) return REGERR_NO_MEMORY;
    char* path = zrStrdup(kRegRootName);
    if (!path) return REGERR_NO_MEMORY;
    HKEY h = ReserveSearchDepth(1) ? RegHandleNew(path, 1) : nullptr;
    if (!h) {
        zrFree(path);
        return REGERR_NO_MEMORY;
    }
    RegTreeNow->rootHandle = h;
    RegTreeNow->root->IncOpenCnt();
    return REGERR_SUCCESS;
}

void cfRegCloseRoot() {
    if (!RegTreeNow->rootHandle) return;
    RegHandleFree(RegTreeNow->rootHandle);
    if (RegTreeNow->root) RegTreeNow->root->DecOpenCnt();
    RegTreeNow->rootHandle = nullptr;
}

static void Recount(HKEY h) {
    ReserveSearchDepth(h->parts);
    RegNode* node = RegTreeNow->root ? RegTreeNow->root->Search(h->ptr) : nullptr;
    if (node) node->IncOpenCnt();
}

void RegHandleRecount() { RegHandleEach(Recount); }
