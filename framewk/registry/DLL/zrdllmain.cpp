// The library's entry points: the system's attach/detach call and the load and unload calls.
#include "regcalls.h"
#include "zrplat.h"

// The library's threads end before its code goes: the notifier, its watches fired and
// ended, and the log's syncer, with what it had pending synced (what the calls returned is
// in the log already; a later load applies it). A load's threads end within its call. The
// tree stays as it is, and the registry loaded.
static void EndThreads() {
    if (zrThreadsLive() < 0) return;  // a child made by fork has none of its parent's threads
    zrThreadsUnloading(true);
    RegNotifyEnd();
    LogThreadsEnd();
    RegAppsEndThreads();
    zrThreadsUnloading(false);
}

// A library unloaded from a process that goes on ends its threads and gives back its
// handle table; at the process's end (pv set) the threads are gone already (Windows) or
// run on in code that stays (POSIX), and there is nothing to give back to.
int ZRREG_ENTRY_CALL DllMain(void* hDll, ZRREG_REASON dwReason, void* pv) {
    const ZRREG_REASON kProcessDetach = 0, kProcessAttach = 1;  // DLL_PROCESS_DETACH, _ATTACH
    if (dwReason == kProcessAttach) zrDisableThreadLibraryCalls(hDll);
    if (dwReason == kProcessDetach && !pv) {
        EndThreads();
        RegHandleRelease();
    }
    return 1;
}

static_assert(REGERR_SUCCESS == ZRREG_LOAD_OK && REGERR_NO_MEMORY == ZRREG_LOAD_NO_MEMORY &&
                  REGERR_NOT_FOUND == ZRREG_LOAD_NO_FILE && REGLOAD_REFUSED == ZRREG_LOAD_REFUSED,
              "the loader answers in the exported numbers");

// Both take the tree lock alone, so that no call sees half a tree and the load's messages
// come out as whole lines; the file's own lock between processes is zrshare.cpp's.
uint32_t ZRREG_CALL ZrLoadRegistry(const char* filename) {
    if (!filename) return ZRREG_LOAD_NO_FILE;
    ZrHeld held = zrTreeLockExclusive();
    uint32_t rc = ShareLoad(filename);
    zrTreeUnlock(held);
    return rc;
}

void ZRREG_CALL ZrUnloadRegistry(void) {
    ZrHeld held = zrTreeLockExclusive();
    ShareUnload();
    RegHandleFreeAll();  // the host's handles that were not closed die with the tree
    zrTreeUnlock(held);
}

static_assert(REGAPP_SHARED == ZRREG_SHARING_VIOLATION,
              "the app keys' loader answers in the exported numbers");

// The options are Win32's: REG_PROCESS_APPKEY (1) alone, or none; the access asked is not
// checked, as no call checks it.
int32_t ZRREG_CALL ZrRegLoadAppKey(const char* lpFile, void** phkResult, uint32_t, uint32_t dwOptions,
                                   uint32_t Reserved) {
    if (!lpFile || !phkResult || dwOptions > 1 || Reserved) return ZRREG_BAD_ARG;
    ZrHeld held = zrTreeLockExclusive();
    HKEY root = nullptr;
    unsigned int rc = RegAppLoad(lpFile, &root);
    if (rc == REGERR_SUCCESS) *phkResult = RegTokenOf(root);
    zrTreeUnlock(held);
    return rc == REGLOAD_REFUSED ? ZRREG_BAD_FILE : static_cast<int32_t>(rc);
}
