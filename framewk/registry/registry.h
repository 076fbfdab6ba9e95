// A registry: everything one load of a registry file owns, from the load to the unload.
#ifndef REGISTRY_H
#define REGISTRY_H

#include "regchange.h"

// Made by the exported load before it reads the file, ended by the unload (or by a load
// that fails): its tree and the handles of its keys, its file's names, its share of the
// change log with the syncer thread, its journal, and its watches with the notifier thread.
// The layers below act on the current registry's parts (RegTreeNow, RegFileNow,
// RegChangesNow), which only Begin and End move.
struct Registry {
    RegTree tree;
    RegFileState file;
    RegChanges changes;
    Registry* under = nullptr;  // a scratch registry's: the one it copied, current again at its end
    long handles = 0;           // an app key's: its live handles, the library's root handle among them
    Registry* nextApp = nullptr;
};

// The registry the process loaded; null when none is, and the calls act on an empty
// registry that no file backs.
Registry* RegCurrent();
// A new registry becomes the current one, its file not yet read; false without memory.
bool RegBegin();
// Ends the current registry, whatever it still holds: its threads are joined and its log
// left, and the empty registry is current again.
void RegEnd();

// A scratch registry becomes current: a copy of the current registry's tree, loaded, with
// no file, log or watches behind it, so that changes go to the copy alone and are never
// saved (serve's import preview). The handles stay the process's: those open before reach
// the copy's keys by their paths, and every handle opened meanwhile must be closed before
// ScratchEnd, which drops the copy and makes the registry copied current again. False when
// nothing is loaded, a scratch registry is current already, or out of memory. Both run
// under the tree lock alone.
bool RegScratchBegin();
void RegScratchEnd();

// ---- app keys: registries loaded privately beside the default one ------------------------
// Each is a registry as the default one is (its tree, file, log, syncer and watches), loaded
// by ZrRegLoadAppKey and reached only through its handles. A call on one of them takes the
// tree lock alone and makes the handle's registry current (Enter) until it returns (Leave),
// as its notifier does to read its log; the default registry's calls go on as before, and
// its notifier reads its own log while no app key's registry is current. Leave unloads a
// registry whose host handles are all closed: its file is written back and let go.
// The app keys' process-wide part, one object: their registries loaded (`loaded` of them,
// atomic: while 0, no call looks for one), the pin held while one is current or the default
// registry's notifier reads its log, and the registries let go whose notifiers are still to
// be joined; with the default registry's watches (which a caller waiting for its watch reads
// without the tree lock, which an app key's call leaves alone).
struct RegAppKeys {
    int loaded;
    // The registry whose calls make handles now: an app key's while a call on it runs (with
    // the tree lock alone), else null, the default registry.
    Registry* now;
    Registry* list;     // under the tree lock alone
    Registry* retired;  // under the pin
    ZrWait pin;
    RegNotifyState* defaultWatches;
};
extern RegAppKeys RegApps;
// Under the tree lock alone: the app key `filename` loaded (or, loaded already, another
// handle of its root) and a handle of its root in *root. As LoadRegistry answers, or
// REGAPP_SHARED: the file is the default registry's.
#define REGAPP_SHARED 32
unsigned int RegAppLoad(const char* filename, HKEY* root);
void RegAppEnter(Registry* app);
void RegAppLeave();
// After a call on an app key let go of the tree lock: the notifiers of the registries it let
// go are joined (each may have waited for that lock) and the registries freed.
void RegAppsReap();
// An app key's notifier, under the tree lock alone: its registry current, unless it was let
// go meanwhile (false); Done makes the default registry current again.
bool RegAppWatchEnter(Registry* app);
void RegAppWatchDone();
// The library leaves the process: the app keys' syncer and notifier threads end as the
// default one's.
void RegAppsEndThreads();
// Whether an app key's registry is the file `filename`, which the default registry then
// cannot load: one file's log and locks are the process's.
bool RegAppHolds(const char* filename);
// The default registry's notifier reads the log while holding the pin, which an app key's
// call takes too: a host must make no such call while it holds the default registry's log
// writer lock across calls (a change group, RegViewGroupBegin).
void RegPinDefault();
void RegUnpinDefault();

// The load and the unload as the exported calls make them: under the lock that every
// process takes on the file, the unload merging this process's changes into a file that
// another process replaced since the load.
// The load makes a registry, and a load that fails ends it again; the unload ends it.
unsigned int ShareLoad(const char* filename);
void ShareUnload();
// Every change made so far survives a power loss: the log synced, or without a log the
// tree written back (merged as at the unload); REGERR_WRITE_FAULT when that failed.
unsigned int ShareFlush();

#endif
