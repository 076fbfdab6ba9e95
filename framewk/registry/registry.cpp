// The current registry and the empty one the calls act on while none is loaded.
#include "registry.h"

#include <stdio.h>

#include <new>

#include "zrplat.h"

namespace {
Registry s_none;
Registry* s_current;
}  // namespace

RegTree* RegTreeNow = &s_none.tree;
RegFileState* RegFileNow = &s_none.file;
RegChanges* RegChangesNow = &s_none.changes;
RegAppKeys RegApps = {0, nullptr, nullptr, nullptr, {}, &s_none.changes.notify};

Registry* RegCurrent() { return s_current; }

// Calls that look without the tree lock (RegViewKeyRenames) read the pointers atomically.
static void MakeCurrent(Registry* r) {
    __atomic_store_n(&RegTreeNow, &r->tree, __ATOMIC_RELEASE);
    __atomic_store_n(&RegFileNow, &r->file, __ATOMIC_RELEASE);
    __atomic_store_n(&RegChangesNow, &r->changes, __ATOMIC_RELEASE);
    __atomic_store_n(&RegApps.defaultWatches, &r->changes.notify, __ATOMIC_RELEASE);
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

// The current registry's parts go, whatever they still hold.
static void Release() {
    RegNotifyEnd();
    LogEnd();
    JournalClear();
    cfRegCloseRoot();
    cfRegClosePredefined();
    ReleaseTree();
    ReleaseSearch();
}

void RegEnd() {
    if (s_current && s_current->under) RegScratchEnd();
    Registry* r = s_current;
    if (!r) return;
    Release();
    MakeCurrent(&s_none);
    delete r;
}

// ---- a scratch copy ---------------------------------------------------------------------

// The copy's generations begin above every one the tree copied has had, and the tree copied
// goes on above the copy's: a handle's cached node is never taken for another tree's. The
// renames move on alike, so that the hosts' caches of names by node forget the copy's.
bool RegScratchBegin() {
    Registry* under = s_current;
    if (!under || under->under || !under->tree.root) return false;
    Registry* r = new (std::nothrow) Registry;
    if (!r) return false;
    r->under = under;
    RegTree& t = r->tree;
    t.generation = under->tree.generation + 1;
    t.renames = under->tree.renames + 1;
    t.loads = 1;
    t.changed = under->tree.changed;
    t.times.loaded = under->tree.times.loaded;
    t.rootHandle = under->tree.rootHandle;
    t.hklm = under->tree.hklm;
    t.hkcu = under->tree.hkcu;
    t.ardoRoot = under->tree.ardoRoot;
    MakeCurrent(r);  // the copy's keys count in the copy's tree
    t.root = RegCopyTree(under->tree.root);
    if (!t.root) {
        MakeCurrent(under);
        delete r;
        return false;
    }
    RegHandleRecount();
    return true;
}

void RegScratchEnd() {
    Registry* r = s_current;
    if (!r || !r->under) return;
    Registry* under = r->under;
    RegTree& t = r->tree;
    // The predefined handles the copy made itself go with it; the copied registry's stay.
    if (t.rootHandle == under->tree.rootHandle) t.rootHandle = nullptr;
    if (t.hklm == under->tree.hklm) t.hklm = nullptr;
    if (t.hkcu == under->tree.hkcu) t.hkcu = nullptr;
    if (t.ardoRoot == under->tree.ardoRoot) t.ardoRoot = nullptr;
    cfRegCloseRoot();
    cfRegClosePredefined();
    JournalClear();
    ReleaseTree();
    ReleaseSearch();
    under->tree.generation = t.generation + 1;
    under->tree.renames = t.renames + 1;
    MakeCurrent(under);
    delete r;
}

// ---- the load and the unload as the exported calls make them ----------------------------

// The load takes the lock shared when some save has made it, so that no save replaces the
// file meanwhile. The file's stamp before and after the load must agree, or the file read
// is not known for sure (a save of a process that took no lock, or a lock not had in time)
// and the unload merges whatever it finds.
static unsigned int LoadRead(const char* filename) {
    if (!RegFileBegin(filename)) return LoadRegistry(filename);  // refused
    int logged = LogLoad();
    if (logged >= 0) return static_cast<unsigned int>(logged);
    const RegFileNames& names = RegFile();
    ZrLock lock = -1;
    ZrFileStamp before = {}, after = {};
    bool known = names.saveable && zrLockFile(names.lock, false, &lock) != ZR_LOCK_TIMEOUT &&
                 zrStampOf(names.target, &before);
    unsigned int rc = LoadRegistry(RegFileNow->path);
    known = known && zrStampOf(names.target, &after) && zrSameStamp(before, after);
    zrUnlockFile(lock);
    RegChangesNow->share.loaded = after;
    RegChangesNow->share.loadedKnown = rc == REGERR_SUCCESS && known;
    return rc;
}

// Every key read has the file's time: the file holds none of its own. (The keys changed by
// records of the log that the load applied have the load's time already.)
static unsigned int LoadBegun(const char* filename) {
    unsigned int rc = LoadRead(filename);
    if (rc == REGERR_SUCCESS) RegKeyTimesLoaded();
    return rc;
}

// A registry is made for the load and ended again when the load fails.
unsigned int ShareLoad(const char* filename) {
    if (NWREGIsRegLoaded()) return LoadRegistry(filename);  // refused
    if (RegAppHolds(filename)) return REGLOAD_REFUSED;
    if (!RegBegin()) return REGERR_NO_MEMORY;
    unsigned int rc = LoadBegun(filename);
    if (rc != REGERR_SUCCESS) RegEnd();
    return rc;
}

// A lock file that this process made for a save that wrote nothing goes again, so that a
// failed save (a full disk) leaves the folder as it was.
static void Unlock(ZrLock lock, bool remove) {
    if (remove) {
        zrUnlockRemoving(lock, RegFile().lock);
    } else {
        zrUnlockFile(lock);
    }
}

static const char kNotOwner[] = "cannot be replaced by this user without changing its owner or mode";

// A changed tree is written under the exclusive lock, so that two processes never write
// the temporary file or replace the registry file at once. When the file is the one
// loaded, the save is exactly the single process's; otherwise the changes are merged.
static void UnloadIn() {
    RegNotifyEnd();
    RegNoteSave(REGVIEW_SAVE_NONE, nullptr, nullptr);
    if (LogActive()) return LogUnload();
    const RegFileNames& names = RegFile();
    if (!NWREGIsRegLoaded() || !RegIsChanged() || !names.saveable) {
        UnloadRegistry();
        JournalClear();
        return;
    }
    // Another user's file that this process may write (a shared folder) would become this
    // user's, its group's bits gone, when the save replaced it.
    if (!zrCanKeepOwner(names.target)) {
        ShareKeepAside(kNotOwner);
        JournalClear();
        return;
    }
    // Without the lock a save could replace another process's at the same moment and lose
    // its changes: a lock file that cannot be opened or made keeps the tree aside as well.
    ZrLock lock = -1;
    bool made = false;
    ZrLockResult locked = zrLockFile(names.lock, true, &lock, names.target, &made);
    if (locked != ZR_LOCK_TAKEN) {
        char why[REGFILE_TEMP_MAX + 64];
        if (locked == ZR_LOCK_TIMEOUT) {
            snprintf(why, sizeof why, "is locked by another process");
        } else {
            snprintf(why, sizeof why, "cannot be locked (%s cannot be opened or made, or takes no lock)",
                     names.lock);
        }
        ShareKeepAside(why);
        JournalClear();
        return;
    }
    // A file that has gone (or is no regular file now) is written where it was, as always.
    ZrFileStamp now;
    bool written;
    if (!zrStampOf(names.target, &now) ||
        (RegChangesNow->share.loadedKnown && zrSameStamp(now, RegChangesNow->share.loaded))) {
        written = UnloadRegistry();
    } else {
        written = ShareMerge(now);
    }
    Unlock(lock, made && !written);
    JournalClear();
}

void ShareUnload() {
    UnloadIn();
    RegEnd();
}

// Without a log the tree is written back now, under the lock, merged as the unload merges
// when another process replaced the file; the process goes on from the file written.
unsigned int ShareFlush() {
    if (LogActive()) return RegLogSync() ? REGERR_SUCCESS : REGERR_WRITE_FAULT;
    const RegFileNames& names = RegFile();
    if (!RegIsChanged()) return REGERR_SUCCESS;
    if (!names.saveable || !zrCanKeepOwner(names.target)) return REGERR_WRITE_FAULT;
    ZrLock lock = -1;
    bool made = false;
    if (zrLockFile(names.lock, true, &lock, names.target, &made) != ZR_LOCK_TAKEN) return REGERR_WRITE_FAULT;
    bool ok = true;
    ZrFileStamp now;
    if (zrStampOf(names.target, &now) &&
        !(RegChangesNow->share.loadedKnown && zrSameStamp(now, RegChangesNow->share.loaded))) {
        ok = !JournalLost() && RegReplaceTree() == REGERR_SUCCESS;
        if (ok) JournalReplay();
    }
    if (ok) {
        RegSetChanged(true);
        char temp[REGFILE_TEMP_MAX], target[REGFILE_TEMP_MAX];
        ok = cfRegSaveRegToTemp(temp, target) == 1 && cfRegSwapRegFile(temp, target);
        RegNoteSave(REGVIEW_SAVE_NONE, nullptr, nullptr);
    }
    if (ok) {
        RegChangesNow->share.loadedKnown = zrStampOf(names.target, &RegChangesNow->share.loaded);
        JournalClear();
    } else {
        RegSetChanged(true);
    }
    Unlock(lock, made && !ok);
    return ok ? REGERR_SUCCESS : REGERR_WRITE_FAULT;
}

// ---- app keys ---------------------------------------------------------------------------

static Registry* Default() { return s_current ? s_current : &s_none; }

// The current registry for the calls; the default one stays what the process loaded.
static void Point(Registry* r, Registry* app) {
    __atomic_store_n(&RegTreeNow, &r->tree, __ATOMIC_RELEASE);
    __atomic_store_n(&RegFileNow, &r->file, __ATOMIC_RELEASE);
    __atomic_store_n(&RegChangesNow, &r->changes, __ATOMIC_RELEASE);
    RegApps.now = app;
}

void RegPinDefault() { RegApps.pin.Lock(); }
void RegUnpinDefault() { RegApps.pin.Unlock(); }

void RegAppEnter(Registry* app) {
    RegApps.pin.Lock();
    Point(app, app);
    RegLogFollowHeld();
}

// The current app key's registry goes: written back when `save`, then its handles closed.
static void Drop(Registry* app, bool save) {
    if (save) UnloadIn();
    Release();
    RegHandleFreeAll();
    for (Registry** at = &RegApps.list; *at; at = &(*at)->nextApp) {
        if (*at == app) {
            *at = app->nextApp;
            __atomic_store_n(&RegApps.loaded, RegApps.loaded - 1, __ATOMIC_RELEASE);
            break;
        }
    }
    Point(Default(), nullptr);
    // A notifier may wait for the tree lock this call holds: it is joined once that is let go.
    if (app->changes.notify.notifier) {
        app->nextApp = RegApps.retired;
        __atomic_store_n(&RegApps.retired, app, __ATOMIC_RELEASE);
    } else {
        delete app;
    }
}

// Only the library's own root handle left: the host closed its last one.
void RegAppLeave() {
    Registry* app = RegApps.now;
    if (app->handles <= 1) {
        Drop(app, true);
    } else {
        Point(Default(), nullptr);
    }
    RegApps.pin.Unlock();
}

static bool SameFile(const char* path, const ZrFileStamp& file) {
    ZrFileStamp s;
    return zrStampOf(path, &s) && s.device == file.device && s.file == file.file;
}

// A handle of the root for the host, as the load's own is made.
static unsigned int HostRoot(HKEY* root) {
    char* path = zrStrdup(kRegRootName);
    HKEY h = path && ReserveSearchDepth(1) ? RegHandleNew(path, 1) : nullptr;
    if (!h) {
        zrFree(path);
        return REGERR_NO_MEMORY;
    }
    RegTreeNow->root->IncOpenCnt();
    *root = h;
    return REGERR_SUCCESS;
}

// A file loaded twice is one registry, as Windows hands out one hive: the log and the file's
// locks are the process's, and two trees of one file in one process would write each other's
// changes away.
unsigned int RegAppLoad(const char* filename, HKEY* root) {
    ZrFileStamp file;
    bool known = zrStampOf(filename, &file);
    if (known && s_current && s_current->tree.loads && SameFile(s_current->file.names.target, file))
        return REGAPP_SHARED;
    for (Registry* a = RegApps.list; a && known; a = a->nextApp) {
        if (!SameFile(a->file.names.target, file)) continue;
        RegAppEnter(a);
        unsigned int rc = HostRoot(root);
        RegAppLeave();
        return rc;
    }
    Registry* r = new (std::nothrow) Registry;
    if (!r) return REGERR_NO_MEMORY;
    r->changes.log.cursor = &r->changes.log.own;
    RegApps.pin.Lock();
    Point(r, r);
    unsigned int rc = LoadBegun(filename);
    if (rc == REGERR_SUCCESS && (rc = HostRoot(root)) != REGERR_SUCCESS) UnloadIn();
    if (rc != REGERR_SUCCESS) {
        Drop(r, false);
    } else {
        r->nextApp = RegApps.list;
        RegApps.list = r;
        __atomic_store_n(&RegApps.loaded, RegApps.loaded + 1, __ATOMIC_RELEASE);
        Point(Default(), nullptr);
    }
    RegApps.pin.Unlock();
    return rc;
}

void RegAppsReap() {
    if (!__atomic_load_n(&RegApps.retired, __ATOMIC_ACQUIRE)) return;
    RegApps.pin.Lock();
    Registry* r = RegApps.retired;
    RegApps.retired = nullptr;
    RegApps.pin.Unlock();
    while (r) {
        Registry* next = r->nextApp;
        zrThreadJoin(r->changes.notify.notifier);
        delete r;
        r = next;
    }
}

bool RegAppWatchEnter(Registry* app) {
    RegApps.pin.Lock();
    if (app->changes.notify.stop) {
        RegApps.pin.Unlock();
        return false;
    }
    Point(app, app);
    return true;
}

void RegAppWatchDone() {
    Point(Default(), nullptr);
    RegApps.pin.Unlock();
}

// The notifiers are told to stop under the pin and joined without it, which each takes.
void RegAppsEndThreads() {
    if (!RegApps.list && !RegApps.retired) return;
    RegApps.pin.Lock();
    for (Registry* a = RegApps.list; a; a = a->nextApp) {
        Point(a, a);
        LogThreadsEnd();
        RegNotifyStop();
    }
    Point(Default(), nullptr);
    RegApps.pin.Unlock();
    for (Registry* a = RegApps.list; a; a = a->nextApp) {
        zrThreadJoin(a->changes.notify.notifier);
        a->changes.notify.notifier = nullptr;
    }
    RegAppsReap();
}

bool RegAppHolds(const char* filename) {
    ZrFileStamp file;
    if (!RegApps.list || !zrStampOf(filename, &file)) return false;
    for (Registry* a = RegApps.list; a; a = a->nextApp)
        if (SameFile(a->file.names.target, file)) return true;
    return false;
}
