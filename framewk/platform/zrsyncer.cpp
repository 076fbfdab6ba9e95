// The platform layer's mutex with its condition for the library's files, the syncer thread that
// brings what was written to a companion onto the disk within its delay, and the copy of a
// host's event that change notification signals.
#include <errno.h>

#include "zrplat.h"

#ifndef _WIN32
#include <fcntl.h>
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

// ---- the syncer: what was written reaches the disk within its delay --------------------
#ifndef _WIN32
#include <poll.h>
#include <time.h>

// The thread looks every delay whether a change was noted and syncs then, so that a change
// only stores a flag: waking the thread at the first change of a burst took a lock and a
// system call, and on a busy machine the woken thread could take the changing one's core
// for milliseconds. After a while without changes it sleeps until the next is noted.
struct ZrSyncer {
    ZrCompanion* c;
    int delayMs;
    std::atomic<bool> noted{false};   // a change waits for a sync
    std::atomic<bool> asleep{false};  // the thread waits for a note, not for the delay
    ZrSync sync;
    bool stop = false;
    ZrThread* thread;
};

static const int kIdleTurns = 50;  // delays without a change before the thread sleeps

static void RunSyncer(void* p) {
    ZrSyncer* s = static_cast<ZrSyncer*>(p);
    int idle = 0;
    s->sync.Lock();
    for (;;) {
        if (idle < kIdleTurns) {
            // A stop that came before the thread first took the lock was woken for nobody.
            if (!s->stop) s->sync.WaitMs(s->delayMs);
        } else {
            // A note that came before `asleep` was seen is seen here (both sequentially
            // consistent); one that came after wakes the thread under the lock.
            s->asleep.store(true);
            if (!s->noted.load() && !s->stop) s->sync.Wait();
            s->asleep.store(false);
        }
        bool stopping = s->stop;
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
void zrSyncerStop(ZrSyncer*) {}
#endif
