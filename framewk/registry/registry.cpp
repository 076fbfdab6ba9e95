// The current registry and the empty one the calls act on while none is loaded.
#include "registry.h"

#include <new>

namespace {
Registry s_none;
Registry* s_current;
}  // namespace

RegTree* RegTreeNow = &s_none.tree;
RegFileState* RegFileNow = &s_none.file;
RegChanges* RegChangesNow = &s_none.changes;

Registry* RegCurrent() { return s_current; }

// Calls that look without the tree lock (RegViewKeyRenames) read the pointers atomically.
static void MakeCurrent(Registry* r) {
    __atomic_store_n(&RegTreeNow, &r->tree, __ATOMIC_RELEASE);
    __atomic_store_n(&RegFileNow, &r->file, __ATOMIC_RELEASE);
    __atomic_store_n(&RegChangesNow, &r->changes, __ATOMIC_RELEASE);
    s_current = r == &s_none ? nullptr : r;
}

bool RegBegin() {
    RegEnd();
    Registry* r = new (std::nothrow) Registry;
    if (!r) return false;
    // A tree left in the empty registry goes, as a load's new tree once replaced it.
    ReleaseTree();
    ReleaseSearch();
    MakeCurrent(r);
    return true;
}

void RegEnd() {
    Registry* r = s_current;
    if (!r) return;
    RegNotifyEnd();
    LogEnd();
    JournalClear();
    cfRegCloseRoot();
    cfRegClosePredefined();
    ReleaseTree();
    ReleaseSearch();
    MakeCurrent(&s_none);
    delete r;
}
