// The platform layer: every difference between Windows and POSIX, and every allocation.
#ifndef ZRPLAT_H
#define ZRPLAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <utility>

#include "zrpool.h"

#ifdef _WIN32
#include <io.h>
#else
// The C runtime names the library uses that POSIX lacks.
char* _strdup(const char* s);
int _stricmp(const char* a, const char* b);
char* _strupr(char* s);
int _unlink(const char* path);
#endif

// The one case folding of names: ASCII letters, as the default C locale folds them; bytes
// above 127 stay as they are. _stricmp and every name lookup of the tree use it.
inline unsigned char zrFold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
// Names ordered under that folding (0: equal), as _stricmp orders them in the C locale.
inline int zrCompareNames(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    for (;; ++p, ++q) {
        int d = zrFold(*p) - zrFold(*q);
        if (d != 0 || *p == 0) return d;
    }
}
// Whole names equal under that folding; unlike the C runtime's _stricmp on Windows, never
// swayed by a locale that the host may set.
inline bool zrSameName(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    for (; zrFold(*p) == zrFold(*q); ++p, ++q)
        if (*p == 0) return true;
    return false;
}

// 16-bit text as it crosses the exported interface.
typedef unsigned short zrwchar;

// Every allocation goes through these, so that tests can fail the Nth one. Blocks of
// zrMalloc, zrRealloc and zrStrdup are the library's own and go back through zrFree only
// (small ones come from the block pool, aligned to 4 only when their size is not a
// multiple of 8); memory for the host comes from zrHostRealloc and
// zrWcsdup and is the C allocator's, which the host releases with free.
void* zrMalloc(size_t n);
void* zrRealloc(void* p, size_t n);
void zrFree(void* p);
char* zrStrdup(const char* s);
void* zrHostRealloc(void* p, size_t n);
void zrHostFree(void* p);
bool zrAllocShouldFail();

// Objects of the tree come from the block pool too; zrNew makes them (and counts them as
// allocations, so that operator new itself does not).
#define ZR_POOLED_CLASS                                                                            \
    static void* operator new(size_t n, const std::nothrow_t&) noexcept { return zrPoolAlloc(n); } \
    static void* operator new(size_t n) {                                                          \
        void* p = zrPoolAlloc(n);                                                                  \
        if (!p) abort(); /* only tests use throwing new; the library has no exceptions */          \
        return p;                                                                                  \
    }                                                                                              \
    static void operator delete(void* p) noexcept { zrFree(p); }

// Tree objects: non-throwing new; a null pointer means no memory.
template <class T, class... A>
T* zrNew(A&&... args) {
    if (zrAllocShouldFail()) return nullptr;
    return new (std::nothrow) T(std::forward<A>(args)...);
}

// 16-bit text helpers. Conversions follow the default C locale: a character below 256
// becomes the byte of the same value; conversion to 8 bits stops at the first character
// of 256 or above. Both are implemented here rather than taken from the C runtime, whose
// wide characters are 32 bits on POSIX.
size_t zrWcslen(const zrwchar* s);
zrwchar* zrWcsdup(const zrwchar* s);
// Writes at most n bytes; stops before a character of 256 or above and after a NUL
// (which it writes). Returns the bytes written, the NUL not counted.
size_t zrWcstombs(char* dst, const zrwchar* src, size_t n);
// Writes at most n characters; stops after the NUL (which it writes). Returns the
// characters written, the NUL not counted.
size_t zrMbstowcs(zrwchar* dst, const char* src, size_t n);

// The process's id, for names of its own.
unsigned long zrProcessId();

// The environment variable named by the n units at name, as 16-bit text (from UTF-8 on
// POSIX) into out (room units, no NUL): its length in units, which may exceed room (then
// only room are written), or -1 when it is not set.
long zrGetEnv(const zrwchar* name, size_t n, zrwchar* out, size_t room);

// Thread notifications have no counterpart on POSIX.
void zrDisableThreadLibraryCalls(void* module);

// ---- threads -------------------------------------------------------------------------

// The tree lock: any number of readers share it, a writer holds it alone; it needs no
// set-up. A thread must not take it again while it holds it. Waiting writers go before
// new readers, so that a stream of queries cannot starve a save; readers on different
// cores do not slow each other down (zrthread.cpp).
//
// While one thread alone has ever called, its calls take no lock at all (ZR_HELD_NONE),
// which keeps a single-threaded host's calls as cheap as they were without threads. The
// first call of a second thread ends that for good: it waits until the first thread is
// between calls, and from then on every call locks.
enum ZrHeld { ZR_HELD_NONE, ZR_HELD_SHARED, ZR_HELD_ALONE };
inline ZrHeld zrTreeLockShared();
inline ZrHeld zrTreeLockExclusive();
inline void zrTreeUnlock(ZrHeld held);
// Whether calls lock (for tests): false until a second thread has called.
bool zrTreeLocking();
// The side lock: what a reader under the shared tree lock changes (the name indexes built
// on first lookup, the shared search buffer, the block pool, open counts) it changes under
// this one. A thread that holds it may take it again; it is released by the last unlock.
// Within a call that took no tree lock it does nothing.
inline void zrSideLock();
inline void zrSideUnlock();

// The lone thread's path, inline: a call there costs a few instructions (zrthread.cpp
// says why it is safe). The rest is out of line.
#if defined(__SANITIZE_THREAD__)
#define ZR_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZR_TSAN_BUILD 1
#endif
#endif
#ifdef ZR_TSAN_BUILD
const std::memory_order zrHandshakeOrder = std::memory_order_seq_cst;
#else
const std::memory_order zrHandshakeOrder = std::memory_order_relaxed;
#endif
enum { ZR_MODE_UNDECIDED, ZR_MODE_LONE, ZR_MODE_ENDING, ZR_MODE_SHARED };
extern std::atomic<int> zrLoneMode;
extern std::atomic<int> zrLoneInCall;  // the owner is inside a call that took no lock
#ifdef _WIN32
bool zrLoneOwner();
#else
extern __thread bool zrLoneOwnerFlag __attribute__((tls_model("initial-exec")));
inline bool zrLoneOwner() { return zrLoneOwnerFlag; }
#endif
ZrHeld zrTreeLockSlow(bool alone);
void zrTreeUnlockSlow(ZrHeld held);
void zrSideLockSlow();
void zrSideUnlockSlow();

// The mode is checked before the mark is set, so that once the lone mode has ended for good
// the mark is never set again (zrSideLock reads it in other threads' calls).
#if defined(__GNUC__)
#define ZR_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define ZR_LIKELY(x) (x)
#endif
inline bool zrLoneEnter() {
    if (!ZR_LIKELY(zrLoneMode.load(std::memory_order_acquire) == ZR_MODE_LONE && zrLoneOwner())) return false;
    zrLoneInCall.store(1, zrHandshakeOrder);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (ZR_LIKELY(zrLoneMode.load(zrHandshakeOrder) == ZR_MODE_LONE)) return true;
    zrLoneInCall.store(0, std::memory_order_release);
    return false;
}
inline ZrHeld zrTreeLockShared() { return ZR_LIKELY(zrLoneEnter()) ? ZR_HELD_NONE : zrTreeLockSlow(false); }
inline ZrHeld zrTreeLockExclusive() { return ZR_LIKELY(zrLoneEnter()) ? ZR_HELD_NONE : zrTreeLockSlow(true); }
inline void zrTreeUnlock(ZrHeld held) {
    if (held == ZR_HELD_NONE)
        zrLoneInCall.store(0, std::memory_order_release);
    else
        zrTreeUnlockSlow(held);
}
// Only the owner's mark can be set, and only the owner reads it set: no other thread runs
// a call until the mark is clear and the lone mode has ended for good.
inline void zrSideLock() {
    if (!zrLoneInCall.load(std::memory_order_relaxed)) zrSideLockSlow();
}
inline void zrSideUnlock() {
    if (!zrLoneInCall.load(std::memory_order_relaxed)) zrSideUnlockSlow();
}

// ---- files ---------------------------------------------------------------------------

// Opens a registry file for reading in text mode; null when the path cannot be opened or
// names no regular file (a directory, a FIFO, a device). Never blocks.
FILE* zrOpenFileForRead(const char* path);
// The file that a save replaces: `path` with its symbolic links resolved, so that a link
// stays a link and its target gets the new content; `path` itself when it cannot be
// resolved. False when `out` (outSize bytes) cannot hold it.
bool zrSaveTarget(const char* path, char* out, size_t outSize);
// Replaces `target` by `source` in one step and makes the rename durable.
bool zrReplaceFile(const char* source, const char* target);
// Every file the library writes is written whole this way: `write` fills the temporary
// file `temp`, made anew (whatever is at the name is removed, a link not followed) with
// the permission bits and, where the process may set them, the owner and group of
// `target`; it is synced and closed and then, with `replace`, takes target's place. A temporary file that was
// not written whole is removed; one written whole that could not replace target stays, as it holds the only
// copy of what was written. On failure *err (when given) is the system's error number,
// or 0 when `write` failed for want of memory.
enum ZrWriteResult { ZR_WRITTEN, ZR_WRITE_NOT_MADE, ZR_WRITE_FAILED, ZR_WRITE_NOT_REPLACED };
ZrWriteResult zrWriteWhole(const char* temp, const char* target, bool text, bool replace,
                           bool (*write)(FILE* fp, void* context), void* context, int* err = nullptr);

// The temporary file name of a registry file; false when none can be made.
bool zrTempNameFor(const char* regPath, char* out, size_t outSize);
// The name of a registry file's companion with the extension `ext` (".TMP", ".LCK"), by
// the temporary file's rule; false when none can be made.
bool zrCompanionNameFor(const char* regPath, const char* ext, char* out, size_t outSize);

// ---- reading a registry file ------------------------------------------------------------

// A read of up to n bytes: the count read (0 at the end of the file), -1 when the read failed.
long zrReadFile(FILE* fp, void* buf, size_t n);
// Moves fp to byte `at` of its file; false when it cannot.
bool zrSeekFile(FILE* fp, long long at);
// Whether a thread may work beside the caller's: the process may run on two CPUs or more
// and the system lets a load start threads (not Windows: a host may load from its DllMain).
bool zrMayWorkBeside();

// A thread that reads a file ahead, block after block, while the caller scans the blocks
// before: it takes the copy out of the system's file cache, a fifth of a warm load, off
// the loader's thread. One reader at a time (the loader holds the tree lock).
struct ZrReadAhead;
enum { ZR_AHEAD_BLOCK = 16384 };  // the bytes of its blocks
// Starts reading fp from its position; null when the file is small or no thread can be
// started (the caller then reads for itself).
ZrReadAhead* zrReadAheadStart(FILE* fp);
// The next block, in *data until the next call: its length as zrReadFile gives it, with 0
// (the end) or -1 (a failed read) again for every later call.
long zrReadAheadNext(ZrReadAhead* ra, const unsigned char** data);
// Ends the thread; the stream's position is then wherever the thread stopped.
void zrReadAheadStop(ZrReadAhead* ra);

// ---- sharing a file between processes --------------------------------------------------

// What tells whether a file is still the one a process read: its identity (device and
// inode, or volume and file index) and content stamp (size, modification time).
struct ZrFileStamp {
    unsigned long long device, file, size;
    long long mtimeNs;
};
// False when `path` names no regular file.
bool zrStampOf(const char* path, ZrFileStamp* out);
// The stamp of the file an open stream reads (two streams of the same file have the same).
bool zrStampOfFile(FILE* fp, ZrFileStamp* out);
bool zrSameStamp(const ZrFileStamp& a, const ZrFileStamp& b);
// Windows' file times, 100 ns units since 1601: a stamp's modification time, and the clock's now
// (a coarse clock: a tick of a few milliseconds behind the precise one at most).
uint64_t zrFileTimeOf(const ZrFileStamp& s);
uint64_t zrFileTimeNow();

// An advisory lock on the file `path` (flock on POSIX, LockFileEx on Windows): shared ones
// exclude an exclusive one. An exclusive lock makes the file when it is missing, a shared
// one does not; a file it makes may be read by whoever may read the file `like` (the
// registry file), so that every process that can load the registry can lock it too.
// Tried until it is taken or zrLockWaitMs have passed. ZR_LOCK_NONE: the file cannot be
// opened or made (missing, a folder the process may not write, a link or a folder at the
// name, a file this process may not read, a file system without locks), so there is
// nothing to lock with. *made (when given) says whether this call made the file.
enum ZrLockResult { ZR_LOCK_TAKEN, ZR_LOCK_TIMEOUT, ZR_LOCK_NONE };
typedef intptr_t ZrLock;  // -1: none
ZrLockResult zrLockFile(const char* path, bool exclusive, ZrLock* lock, const char* like = nullptr,
                        bool* made = nullptr);
void zrUnlockFile(ZrLock lock);
// Removes the lock file `path` under the lock, then unlocks: for the maker of a lock file
// whose save failed, so that the folder is left as it was. A process that was waiting for
// the lock meanwhile opens the name again.
void zrUnlockRemoving(ZrLock lock, const char* path);
// Whether a file this process makes can take the owner, group and permission bits of
// `target` (POSIX: the process is root, or owns the file and is of its group; true when
// `target` is missing, and on Windows, where a new file takes its folder's access control).
// A save that cannot gives up rather than hand the file to another user.
bool zrCanKeepOwner(const char* target);
// Syncs the folder that holds `path`, so that a name made or renamed there is durable.
bool zrSyncFolderOf(const char* path);
extern int zrLockWaitMs;

// A mutex with its condition for the library's files, which do not see the system's
// headers: zero bytes (as a static one starts) are an unlocked one. Wait sleeps until
// woken or `ms` milliseconds have passed (-1: until woken), the mutex released meanwhile.
class ZrWait {
public:
    void Lock();
    void Unlock();
    void Wait(int ms = -1);
    void Wake();

private:
    alignas(16) unsigned char storage_[128] = {};
};
// A thread of the library's own, and its end; Start gives null when none can be had.
struct ZrThread;
ZrThread* zrThreadStart(void (*run)(void* arg), void* arg);
void zrThreadJoin(ZrThread* t);
// The library's threads started and not yet joined; -1 in a child made by fork, which has
// their records but not the threads. The library's unload ends them all.
int zrThreadsLive();
// Set while the library is being unloaded from a process that goes on (DllMain's detach):
// on Windows the loader's lock is held then, and joins go another way (zrthread.cpp).
void zrThreadsUnloading(bool on);
// A host's object that change notification signals: on Windows an event handle; on POSIX
// `event` points to an int holding a descriptor (an eventfd or a pipe's write end). The
// library keeps a copy of its own (the handle or descriptor duplicated, close-on-exec), so
// that whatever the host opens after closing its own is never written. ZR_COPY_BAD: no
// open handle or descriptor; ZR_COPY_NO_ROOM: the process has no room for another.
enum ZrHostCopy { ZR_COPY_MADE, ZR_COPY_BAD, ZR_COPY_NO_ROOM };
ZrHostCopy zrHostEventCopy(void* event, intptr_t* copy);
// The event set, or the 8 bytes of the number 1 written unless the descriptor is full.
void zrHostEventSignal(intptr_t copy);
void zrHostEventClose(intptr_t copy);
// Milliseconds of a clock that only moves on.
uint64_t zrMonotonicMs();

// Called by the writer after each file write: false in production; a test seam (below)
// can make it fail.
bool zrWriteFaulted();

// ---- test seams ----------------------------------------------------------------------
// Production code never sets these; tests use them to fail what the system rarely fails.

// The Nth allocation from now (1-based) and every one after it fail; 0 switches injection
// off. zrAllocCount() counts the allocations attempted since the last zrAllocFailAt call
// (on Linux, those of the calling thread and its own last call).
void zrAllocFailAt(long n);
long zrAllocCount();

// Files of at least this many bytes are read ahead by a thread (0: every file; below 0:
// the default, 2 MB, and none on Windows).
void zrReadAheadFrom(long long bytes);

// For a process that has one thread (a child made by fork): its calls are again the
// first of a process, so that a test can watch a lone thread's calls begin to lock.
void zrThreadsForget();

// One step of every save fails until reset to ZR_IO_NONE; or, with ZR_IO_READ, every read
// of a file after the first one since this call.
// ZR_IO_GROW fails every growth of a companion file, ZR_IO_SYNC its syncs too.
enum ZrIoFault {
    ZR_IO_NONE = 0,
    ZR_IO_OPEN,
    ZR_IO_WRITE,
    ZR_IO_SYNC,
    ZR_IO_CLOSE,
    ZR_IO_RENAME,
    ZR_IO_READ,
    ZR_IO_GROW
};
void zrIoFailAt(ZrIoFault f);
bool zrIoFaulted(ZrIoFault f);  // whether the fault set is f: for the platform layer's files
// Off: a save's files are written but not synced, so that a benchmark can time the
// writer apart from the disk. On by default.
void zrSyncFiles(bool on);

// The points of a save at which a test can stop the process (crash tests). The hook is
// null in production; when set, it is called at each point, in this order.
enum ZrSaveStep {
    ZR_STEP_OPEN,     // before the temporary file is created
    ZR_STEP_CREATED,  // it exists, empty, before it is given the registry file's owner and mode
    ZR_STEP_OPENED,   // it exists, empty, with them
    ZR_STEP_WRITE,    // after each write to it
    ZR_STEP_FLUSHED,  // its stream's buffer was handed to the system
    ZR_STEP_SYNCED,   // its content is on disk
    ZR_STEP_CLOSED,
    ZR_STEP_RENAME,   // before it replaces the registry file
    ZR_STEP_RENAMED,  // after the replacement, before the directory is synced
    ZR_STEP_DIRSYNCED
};
extern void (*zrSaveStepHook)(ZrSaveStep step);
// The files and folders synced to disk since the process started (a folder after a
// rename; on Windows the write-through move counts as that).
long zrSyncCount();

#endif
