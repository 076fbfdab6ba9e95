// The platform layer's mutexes (the library's own with its condition, and the robust one that
// processes share in a companion's mapping), the syncer thread that brings what was written to
// a companion onto the disk within its delay and grows it ahead of the writer, and the copy of
// a host's event that change notification signals.
#include <errno.h>

#include "zrplat.h"
#include "zrshared.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

// ---- the library's mutex with its condition ------------------------------------------
#include "zrsync.h"

static_assert(sizeof(ZrSync) <= 128, "the system's mutex and condition fit ZrWait");

// Zero bytes are the system's initial mutex and condition (SRWLOCK_INIT and
// CONDITION_VARIABLE_INIT; glibc's PTHREAD_*_INITIALIZER).
void ZrWait::Lock() { reinterpret_cast<ZrSync*>(storage_)->Lock(); }
void ZrWait::Unlock() { reinterpret_cast<ZrSync*>(storage_)->Unlock(); }
void ZrWait::Wait(int ms) {
    ZrSync* s = reinterpret_cast<ZrSync*>(storage_);
    if (ms < 0) {
        s->Wait();
    } else {
        s->WaitMs(ms);
    }
}
void ZrWait::Wake() { reinterpret_cast<ZrSync*>(storage_)->Wake(); }

#ifndef _WIN32
// ---- the mutex that processes share ---------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= ZR_SHARED_MUTEX_BYTES, "the mutex fits its room");

// A robust mutex: the death of its holder hands it to the next taker with word of it.
// A robust mutex needs the kernel to walk the dead thread's list of held mutexes; an
// emulator (qemu-user) answers ENOSYS to that list and the mutex of a dead holder then
// stays locked for ever: the caller takes the byte lock instead.
static bool RobustMutexesWork() {
    void* head = nullptr;
    size_t len = 0;
    return syscall(SYS_get_robust_list, 0, &head, &len) == 0;
}

bool zrSharedMutexInit(void* at) {
    if (!RobustMutexesWork()) return false;
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

// ---- the syncer: what was written reaches the disk within its delay --------------------
#include <poll.h>
#include <time.h>

// The thread looks every delay whether a change was noted and syncs then, so that a change
// only stores a flag: waking the thread at the first change of a burst took a lock and a
// system call, and on a busy machine the woken thread could take the changing one's core
// for milliseconds. After a while without changes it sleeps until the next is noted.
struct ZrSyncer {
    ZrCompanion* c;
    int delayMs;
    std::atomic<bool> noted{false};    // a change waits for a sync
    std::atomic<bool> asleep{false};   // the thread waits for a note, not for the delay
    std::atomic<long long> growTo{0};  // a size the companion is to have soon; 0: none asked
    ZrSync sync;
    bool stop = false;
    ZrThread* thread;
};

static const int kIdleTurns = 50;  // delays without a change before the thread sleeps

static void RunSyncer(void* p) {
    ZrSyncer* s = static_cast<ZrSyncer*>(p);
    int idle = 0;
    uint64_t turn = zrMonotonicMs();  // when the last delay began
    s->sync.Lock();
    for (;;) {
        if (idle < kIdleTurns) {
            // A stop that came before the thread first took the lock was woken for nobody.
            uint64_t gone = zrMonotonicMs() - turn;
            if (!s->stop && !s->growTo.load() && gone < static_cast<uint64_t>(s->delayMs))
                s->sync.WaitMs(s->delayMs - static_cast<int>(gone));
        } else {
            // A note that came before `asleep` was seen is seen here (both sequentially
            // consistent); one that came after wakes the thread under the lock.
            s->asleep.store(true);
            if (!s->noted.load() && !s->growTo.load() && !s->stop) s->sync.Wait();
            s->asleep.store(false);
        }
        bool stopping = s->stop;
        if (long long size = s->growTo.exchange(0)) {
            s->sync.Unlock();
            zrCompanionGrowAhead(s->c, size);
            s->sync.Lock();
        }
        // Woken for a growth inside the delay: the changes wait for its end, as a sync at
        // every growth had writeback take the pages from under the writer every few ms.
        if (!stopping && idle < kIdleTurns && zrMonotonicMs() - turn < static_cast<uint64_t>(s->delayMs))
            continue;
        turn = zrMonotonicMs();
        if (s->noted.exchange(false)) {
            idle = 0;
            s->sync.Unlock();
            zrCompanionSync(s->c);
            s->sync.Lock();
        } else {
            ++idle;
        }
        if (stopping) break;
    }
    s->sync.Unlock();
}

ZrHostCopy zrHostEventCopy(void* event, intptr_t* copy) {
    int fd = fcntl(*static_cast<int*>(event), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno == EBADF ? ZR_COPY_BAD : ZR_COPY_NO_ROOM;
    *copy = fd;
    return ZR_COPY_MADE;
}

void zrHostEventSignal(intptr_t copy) {
    int fd = static_cast<int>(copy);
    struct pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return;  // full: the host has word already
    uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void zrHostEventClose(intptr_t copy) { close(static_cast<int>(copy)); }

uint64_t zrMonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

ZrSyncer* zrSyncerStart(ZrCompanion* c, int delayMs) {
    ZrSyncer* s = new (std::nothrow) ZrSyncer;
    if (!s) return nullptr;
    s->c = c;
    s->delayMs = delayMs;
    if (!(s->thread = zrThreadStart(RunSyncer, s))) {
        delete s;
        return nullptr;
    }
    return s;
}

void zrSyncerNote(ZrSyncer* s) {
    // A load when a sync is pending already (the usual case in a burst), not an exchange.
    if (s->noted.load(std::memory_order_acquire) || s->noted.exchange(true) || !s->asleep.load()) return;
    s->sync.Lock();
    s->sync.Wake();
    s->sync.Unlock();
}

// The ask is rare (one a step of the file's growth): a wake every time.
void zrSyncerGrowAhead(ZrSyncer* s, long long size) {
    s->growTo.store(size);
    s->sync.Lock();
    s->sync.Wake();
    s->sync.Unlock();
}

void zrSyncerStop(ZrSyncer* s) {
    if (!s) return;
    s->sync.Lock();
    s->stop = true;
    s->sync.Wake();
    s->sync.Unlock();
    zrThreadJoin(s->thread);
    delete s;
}
#else
ZrHostCopy zrHostEventCopy(void* event, intptr_t* copy) {
    HANDLE self = GetCurrentProcess(), made = nullptr;
    if (!DuplicateHandle(self, static_cast<HANDLE>(event), self, &made, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return GetLastError() == ERROR_INVALID_HANDLE ? ZR_COPY_BAD : ZR_COPY_NO_ROOM;
    *copy = reinterpret_cast<intptr_t>(made);
    return ZR_COPY_MADE;
}

void zrHostEventSignal(intptr_t copy) { SetEvent(reinterpret_cast<HANDLE>(copy)); }

void zrHostEventClose(intptr_t copy) { CloseHandle(reinterpret_cast<HANDLE>(copy)); }

uint64_t zrMonotonicMs() { return GetTickCount64(); }
ZrSyncer* zrSyncerStart(ZrCompanion*, int) { return nullptr; }
void zrSyncerNote(ZrSyncer*) {}
void zrSyncerGrowAhead(ZrSyncer*, long long) {}
void zrSyncerStop(ZrSyncer*) {}
#endif
