// The platform layer's locks: the tree lock with its lock-free path for a host that calls
// from one thread only, and the side lock.
#include <atomic>

#include "zrplat.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#endif
#endif

// ---- the system's locks ----------------------------------------------------------------

static thread_local int t_sideDepth;

#ifdef _WIN32
static SRWLOCK s_treeLock = SRWLOCK_INIT;
static SRWLOCK s_sideLock = SRWLOCK_INIT;
static SRWLOCK s_modeLock = SRWLOCK_INIT;

static void LockTree(bool alone) {
    alone ? AcquireSRWLockExclusive(&s_treeLock) : AcquireSRWLockShared(&s_treeLock);
}
static void UnlockTree(bool alone) {
    alone ? ReleaseSRWLockExclusive(&s_treeLock) : ReleaseSRWLockShared(&s_treeLock);
}
static void LockSide() { AcquireSRWLockExclusive(&s_sideLock); }
static void UnlockSide() { ReleaseSRWLockExclusive(&s_sideLock); }
static void LockMode() { AcquireSRWLockExclusive(&s_modeLock); }
static void UnlockMode() { ReleaseSRWLockExclusive(&s_modeLock); }
static uintptr_t ThisThread() { return GetCurrentThreadId(); }
static void LetOthersRun() { SwitchToThread(); }
#else
#ifdef PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP
static pthread_rwlock_t s_treeLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
#else
static pthread_rwlock_t s_treeLock = PTHREAD_RWLOCK_INITIALIZER;
#endif
static pthread_mutex_t s_sideLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t s_modeLock = PTHREAD_MUTEX_INITIALIZER;

// Failures here are errors of use (a lock taken twice), which the locks' callers exclude.
static void LockTree(bool alone) {
    alone ? pthread_rwlock_wrlock(&s_treeLock) : pthread_rwlock_rdlock(&s_treeLock);
}
static void UnlockTree(bool) { pthread_rwlock_unlock(&s_treeLock); }
static void LockSide() { pthread_mutex_lock(&s_sideLock); }
static void UnlockSide() { pthread_mutex_unlock(&s_sideLock); }
static void LockMode() { pthread_mutex_lock(&s_modeLock); }
static void UnlockMode() { pthread_mutex_unlock(&s_modeLock); }
static void LetOthersRun() { sched_yield(); }
#endif

// ---- one thread alone ------------------------------------------------------------------
// The lone thread (the owner) marks itself inside a call and then checks that it is still
// alone; a second thread first ends the lone mode and then waits for the mark to clear.
// That is Dekker's handshake, and each side's store must be seen before its load. The
// owner pays only a compiler barrier for it: the second thread, once, makes every thread
// of the process pass a full memory barrier (membarrier on Linux, FlushProcessWriteBuffers
// on Windows). Where the system has no such call, every call locks from the start. The
// ThreadSanitizer build, which cannot see that barrier, orders both sides' operations
// sequentially consistent instead, which is just as correct and slower.

std::atomic<int> zrLoneMode{ZR_MODE_UNDECIDED};
std::atomic<int> zrLoneInCall{0};
#ifdef _WIN32
static std::atomic<uintptr_t> s_owner{0};
bool zrLoneOwner() { return s_owner.load(std::memory_order_relaxed) == ThisThread(); }
static void BecomeOwner() { s_owner.store(ThisThread(), std::memory_order_relaxed); }
static void ForgetOwner() { s_owner.store(0, std::memory_order_relaxed); }
#else
__thread bool zrLoneOwnerFlag __attribute__((tls_model("initial-exec")));
static void BecomeOwner() { zrLoneOwnerFlag = true; }
static void ForgetOwner() { zrLoneOwnerFlag = false; }
#endif

#if defined(_WIN32)
static bool CanBarrierAll() { return true; }
static void BarrierAll() { FlushProcessWriteBuffers(); }
#elif defined(__linux__) && defined(__NR_membarrier)
static long Membarrier(int cmd) { return syscall(__NR_membarrier, cmd, 0, 0); }
static bool CanBarrierAll() {
    long cmds = Membarrier(MEMBARRIER_CMD_QUERY);
    return cmds > 0 && (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
           Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
}
// A child made by fork may not have the registration: it registers again, and the
// slower barrier over the whole system remains.
static void BarrierAll() {
    if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return;
    if (Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 &&
        Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0)
        return;
    Membarrier(MEMBARRIER_CMD_GLOBAL);
}
#else
static bool CanBarrierAll() { return false; }
static void BarrierAll() {}
#endif

// Settles the mode for a thread that cannot take the lock-free path: the first thread
// becomes the owner; any other ends the lone mode and waits until the owner is out of
// its call. Threads that find the mode ending wait here on the mode lock.
static void Settle() {
    LockMode();
    int mode = zrLoneMode.load(std::memory_order_relaxed);
    if (mode == ZR_MODE_UNDECIDED) {
        if (CanBarrierAll()) {
            BecomeOwner();
            zrLoneMode.store(ZR_MODE_LONE, std::memory_order_release);
        } else {
            zrLoneMode.store(ZR_MODE_SHARED, std::memory_order_release);
        }
    } else if (mode == ZR_MODE_LONE && !zrLoneOwner()) {
        zrLoneMode.store(ZR_MODE_ENDING, zrHandshakeOrder);
        BarrierAll();
        while (zrLoneInCall.load(std::memory_order_seq_cst)) LetOthersRun();
        zrLoneMode.store(ZR_MODE_SHARED, std::memory_order_release);
    }
    UnlockMode();
}

ZrHeld zrTreeLockSlow(bool alone) {
    while (zrLoneMode.load(std::memory_order_acquire) != ZR_MODE_SHARED) {
        if (zrLoneEnter()) return ZR_HELD_NONE;
        Settle();
    }
    LockTree(alone);
    return alone ? ZR_HELD_ALONE : ZR_HELD_SHARED;
}

void zrTreeUnlockSlow(ZrHeld held) { UnlockTree(held == ZR_HELD_ALONE); }

bool zrTreeLocking() { return zrLoneMode.load(std::memory_order_acquire) == ZR_MODE_SHARED; }

void zrSideLockSlow() {
    if (t_sideDepth++ == 0) LockSide();
}
void zrSideUnlockSlow() {
    if (--t_sideDepth == 0) UnlockSide();
}

void zrThreadsForget() {
    ForgetOwner();
    zrLoneInCall.store(0);
    zrLoneMode.store(ZR_MODE_UNDECIDED);
}
