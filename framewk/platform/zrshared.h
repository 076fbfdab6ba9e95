// The platform layer's companion files: a file beside the registry file that its processes
// share, opened safely, locked by byte ranges, mapped into every process and grown; the mutex
// that lives in its mapping; and the syncer thread that keeps it on the disk.
#ifndef ZRSHARED_H
#define ZRSHARED_H

#include <stddef.h>
#include <stdint.h>

// A file beside the registry file that every process of it opens, maps and locks: the
// change log. Opening makes it when missing, with the registry file (`like`)'s permission
// bits and, where the process may set them, owner and group; a link at the name is never
// followed. ZR_COMPANION_UNSAFE: something is at the name that is not a plain file of the
// registry file's owner with that one name; ZR_COMPANION_NONE: it cannot be opened or made
// (a folder the process may not write, or a registry file of another user, whose owner a
// file this process makes cannot take: the file made is removed again); ZR_COMPANION_REMOTE:
// a network file system. A file made is durable in its folder when this returns.
struct ZrCompanion;
enum ZrCompanionOpen { ZR_COMPANION_OPENED, ZR_COMPANION_UNSAFE, ZR_COMPANION_NONE, ZR_COMPANION_REMOTE };
ZrCompanionOpen zrCompanionOpen(const char* path, const char* like, ZrCompanion** out);
void zrCompanionClose(ZrCompanion* c);  // its locks and mapping go with it
// Whether the open file is still the one at `path` (not removed or replaced meanwhile).
bool zrCompanionIsAt(ZrCompanion* c, const char* path);
long long zrCompanionSize(ZrCompanion* c);  // -1 when unknown
// Makes the file at least `size` bytes with its blocks allocated; false (errno set) on a
// full disk or an I/O error. The last ZR_COMPANION_MARK bytes of a file grown here are the
// platform's (POSIX: its end mark, which zrCompanionHolds reads): the caller writes below them.
const uint64_t ZR_COMPANION_MARK = 8;
bool zrCompanionGrow(ZrCompanion* c, long long size);
// zrCompanionGrow for a thread beside the writer's, ahead of the writer's need (POSIX): from
// the size this process knows the file has, and not where the file differs from it.
void zrCompanionGrowAhead(ZrCompanion* c, long long size);
bool zrCompanionTruncate(ZrCompanion* c, long long size);
// The file mapped for reading and writing, shared with every process that maps it, the
// same mapping on every call: its first `header` bytes (which the file must hold) at the
// pointer returned, and up to `reserve` bytes where the system maps that much ahead of
// the file (POSIX). Only bytes inside the file may be touched.
void* zrCompanionMap(ZrCompanion* c, size_t header, size_t reserve);
// The mapping's bytes at `at` when it covers all `n` of them, else null (then Read
// reaches them through the file); Writable the same for writing them in place (Write
// otherwise), under the caller's writer lock.
const void* zrCompanionView(ZrCompanion* c, uint64_t at, size_t n);
void* zrCompanionWritable(ZrCompanion* c, uint64_t at, size_t n);
bool zrCompanionRead(ZrCompanion* c, uint64_t at, void* buf, size_t n);
// Whether another program cut the file below a page of the mapping that this process then
// touched: the access did not fault, but read zeros and wrote nowhere (POSIX; on Windows a
// mapped file cannot be cut). Asked after the accesses, before anything they gave is used.
bool zrCompanionCut(ZrCompanion* c);
// Nonzero once zrCompanionCut says so: for a look that costs no call.
const int* zrCompanionCutFlag(ZrCompanion* c);
// Whether the file still holds its first `end` bytes (and was not cut); marks it cut if not.
bool zrCompanionHolds(ZrCompanion* c, uint64_t end);
bool zrCompanionWrite(ZrCompanion* c, uint64_t at, const void* buf, size_t n);
bool zrCompanionSync(ZrCompanion* c);  // what was written is on disk
bool zrCompanionRemove(ZrCompanion* c, const char* path);
// Locks on single bytes of the file, shared or exclusive, waited for or only tried; a
// process's death releases its locks.
enum ZrRange { ZR_RANGE_GATE, ZR_RANGE_LIVE, ZR_RANGE_WRITER, ZR_RANGE_GROW };
bool zrCompanionLock(ZrCompanion* c, ZrRange r, bool exclusive, bool wait);
void zrCompanionUnlock(ZrCompanion* c, ZrRange r);
// A mutex in memory that processes share (a mapping of a companion): cheap when nobody
// waits, and a holder's death hands it on with ZR_SHARED_OWNER_DIED. Init is false where
// the system has no such mutex (the range lock ZR_RANGE_WRITER serves then).
enum { ZR_SHARED_MUTEX_BYTES = 64 };
enum ZrSharedLockResult { ZR_SHARED_LOCKED, ZR_SHARED_OWNER_DIED, ZR_SHARED_LOCK_FAILED };
bool zrSharedMutexInit(void* at);
ZrSharedLockResult zrSharedMutexLock(void* at);
void zrSharedMutexUnlock(void* at);

// A thread that syncs a companion `delayMs` after a change was noted, one sync for all the
// changes noted meanwhile; Stop syncs what is pending and ends it. Start gives null when
// no thread can be had, and on Windows, where a host may load from its DllMain (the
// caller then syncs for itself).
struct ZrSyncer;
ZrSyncer* zrSyncerStart(ZrCompanion* c, int delayMs);
void zrSyncerNote(ZrSyncer* s);
// The thread grows the companion to `size` bytes soon (zrCompanionGrowAhead), beside the
// writer, which then finds the room made when it comes to need it.
void zrSyncerGrowAhead(ZrSyncer* s, long long size);
void zrSyncerStop(ZrSyncer* s);

#endif
