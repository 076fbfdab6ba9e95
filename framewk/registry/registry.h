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
