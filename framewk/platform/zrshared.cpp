// The platform layer's companion files: a file that the processes of one registry file
// share, opened safely, locked by byte ranges, mapped into every process, and the mutex
// that lives in such a mapping.
#include "zrplat.h"

#include <errno.h>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct ZrCompanion {
    int fd;
    void* map;
    size_t mapBytes;
    bool ofd;  // locks of the open file (Linux), else of the process
};

// The locks lie on bytes far beyond anything the file holds (below 2 GB for 32-bit offsets).
static const off_t kRangeBase = 0x7FFFF000;

ZrCompanionOpen zrCompanionOpen(const char* path, const char* like, ZrCompanion** out) {
    *out = nullptr;
    struct stat reg, st;
    if (stat(like, &reg) != 0) return ZR_COMPANION_NONE;
    mode_t mode = reg.st_mode & 0666;
    bool made = true;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno == ENOENT ? ZR_COMPANION_NONE : ZR_COMPANION_UNSAFE;
    }
    if (fd < 0) return ZR_COMPANION_NONE;
    if (made) {
        // The registry file's owner where the process may set it; the group bits go
        // when the group cannot be the registry file's, rather than widen who reads.
        if (fchown(fd, reg.st_uid, reg.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), reg.st_gid) != 0)
            mode &= static_cast<mode_t>(~060);
        if (fchmod(fd, mode) != 0) {
            close(fd);
            unlink(path);
            return ZR_COMPANION_NONE;
        }
    }
    // Only a plain file of the registry file's owner, with no other name, is trusted.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != reg.st_uid || st.st_nlink != 1) {
        close(fd);
        return ZR_COMPANION_UNSAFE;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ZrCompanion* c = static_cast<ZrCompanion*>(calloc(1, sizeof(ZrCompanion)));
    if (!c) {
        close(fd);
        return ZR_COMPANION_NONE;
    }
    c->fd = fd;
#ifdef F_OFD_SETLK
    c->ofd = true;
#endif
    *out = c;
    return ZR_COMPANION_OPENED;
}

void zrCompanionClose(ZrCompanion* c) {
    if (!c) return;
    if (c->map) munmap(c->map, c->mapBytes);
    close(c->fd);
    free(c);
}

bool zrCompanionIsAt(ZrCompanion* c, const char* path) {
    struct stat a, b;
    return fstat(c->fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

long long zrCompanionSize(ZrCompanion* c) {
    struct stat st;
    return fstat(c->fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Blocks are allocated, not merely promised: a full disk fails here, never later as a
// fault on a write into the mapping.
bool zrCompanionGrow(ZrCompanion* c, long long size) {
    if (zrIoFaulted(ZR_IO_GROW)) {
        errno = ENOSPC;
        return false;
    }
    long long now = zrCompanionSize(c);
    if (now < 0) return false;
    if (now >= size) return true;
    int rc = posix_fallocate(c->fd, static_cast<off_t>(now), static_cast<off_t>(size - now));
    if (rc != 0) errno = rc;
    return rc == 0;
}

bool zrCompanionTruncate(ZrCompanion* c, long long size) {
    return ftruncate(c->fd, static_cast<off_t>(size)) == 0;
}

void* zrCompanionMap(ZrCompanion* c, size_t bytes) {
    if (c->map) return c->map;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, c->fd, 0);
    if (p == MAP_FAILED) return nullptr;
    c->map = p;
    c->mapBytes = bytes;
    return p;
}

bool zrCompanionSync(ZrCompanion* c) {
    if (zrIoFaulted(ZR_IO_SYNC)) {
        errno = EIO;
        return false;
    }
    return fdatasync(c->fd) == 0;
}

bool zrCompanionRemove(ZrCompanion*, const char* path) { return unlink(path) == 0; }

static bool RangeLock(ZrCompanion* c, ZrRange r, short type, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kRangeBase + static_cast<off_t>(r);
    fl.l_len = 1;
    for (;;) {
#ifdef F_OFD_SETLK
        if (c->ofd) {
            if (fcntl(c->fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
            if (errno == EINVAL) {  // a kernel (or emulator) without locks of the open file
                c->ofd = false;
                continue;
            }
            if (errno == EINTR) continue;
            return false;
        }
#endif
        if (fcntl(c->fd, wait ? F_SETLKW : F_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool zrCompanionLock(ZrCompanion* c, ZrRange r, bool exclusive, bool wait) {
    return RangeLock(c, r, exclusive ? F_WRLCK : F_RDLCK, wait);
}

void zrCompanionUnlock(ZrCompanion* c, ZrRange r) { RangeLock(c, r, F_UNLCK, false); }

static_assert(sizeof(pthread_mutex_t) <= ZR_SHARED_MUTEX_BYTES, "the mutex fits its room");

// A robust mutex: the death of its holder hands it to the next taker with word of it.
bool zrSharedMutexInit(void* at) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(static_cast<pthread_mutex_t*>(at), &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

ZrSharedLockResult zrSharedMutexLock(void* at) {
    pthread_mutex_t* m = static_cast<pthread_mutex_t*>(at);
    int rc = pthread_mutex_lock(m);
    if (rc == 0) return ZR_SHARED_LOCKED;
    if (rc == EOWNERDEAD && pthread_mutex_consistent(m) == 0) return ZR_SHARED_OWNER_DIED;
    return ZR_SHARED_LOCK_FAILED;
}

void zrSharedMutexUnlock(void* at) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(at)); }

#else
// Windows keeps the library's single-process ways for now: no companion is made, and the
// unload merges as before.
ZrCompanionOpen zrCompanionOpen(const char*, const char*, ZrCompanion** out) {
    *out = nullptr;
    return ZR_COMPANION_UNAVAILABLE;
}
void zrCompanionClose(ZrCompanion*) {}
bool zrCompanionIsAt(ZrCompanion*, const char*) { return false; }
long long zrCompanionSize(ZrCompanion*) { return -1; }
bool zrCompanionGrow(ZrCompanion*, long long) { return false; }
bool zrCompanionTruncate(ZrCompanion*, long long) { return false; }
void* zrCompanionMap(ZrCompanion*, size_t) { return nullptr; }
bool zrCompanionSync(ZrCompanion*) { return false; }
bool zrCompanionRemove(ZrCompanion*, const char*) { return false; }
bool zrCompanionLock(ZrCompanion*, ZrRange, bool, bool) { return false; }
void zrCompanionUnlock(ZrCompanion*, ZrRange) {}
bool zrSharedMutexInit(void*) { return false; }
ZrSharedLockResult zrSharedMutexLock(void*) { return ZR_SHARED_LOCK_FAILED; }
void zrSharedMutexUnlock(void*) {}
#endif

// ---- the syncer: what was written reaches the disk within its delay --------------------
#ifndef _WIN32
#include <time.h>

#include "zrsync.h"

struct ZrSyncer {
    ZrCompanion* c;
    int delayMs;
    std::atomic<bool> noted{false};  // a change waits for a sync
    ZrSync sync;
    bool pending = false, stop = false;
    pthread_t thread;
};

static void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static void* RunSyncer(void* p) {
    ZrSyncer* s = static_cast<ZrSyncer*>(p);
    s->sync.Lock();
    for (;;) {
        while (!s->pending && !s->stop) s->sync.Wait();
        if (!s->pending) break;
        bool stopping = s->stop;
        s->sync.Unlock();
        // Changes that come meanwhile share the sync; a stop does not wait for the delay.
        for (int waited = 0; !stopping && waited < s->delayMs; waited += 10) {
            SleepMs(10);
            s->sync.Lock();
            stopping = s->stop;
            s->sync.Unlock();
        }
        s->noted.store(false, std::memory_order_release);
        s->sync.Lock();
        s->pending = false;
        s->sync.Unlock();
        zrCompanionSync(s->c);
        s->sync.Lock();
    }
    s->sync.Unlock();
    return nullptr;
}

ZrSyncer* zrSyncerStart(ZrCompanion* c, int delayMs) {
    ZrSyncer* s = new (std::nothrow) ZrSyncer;
    if (!s) return nullptr;
    s->c = c;
    s->delayMs = delayMs;
    if (pthread_create(&s->thread, nullptr, RunSyncer, s) != 0) {
        delete s;
        return nullptr;
    }
    return s;
}

void zrSyncerNote(ZrSyncer* s) {
    if (s->noted.exchange(true, std::memory_order_acq_rel)) return;
    s->sync.Lock();
    s->pending = true;
    s->sync.Wake();
    s->sync.Unlock();
}

void zrSyncerStop(ZrSyncer* s) {
    if (!s) return;
    s->sync.Lock();
    s->stop = true;
    s->sync.Wake();
    s->sync.Unlock();
    pthread_join(s->thread, nullptr);
    delete s;
}
#else
ZrSyncer* zrSyncerStart(ZrCompanion*, int) { return nullptr; }
void zrSyncerNote(ZrSyncer*) {}
void zrSyncerStop(ZrSyncer*) {}
#endif
