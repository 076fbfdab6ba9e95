// The platform layer's threads and locks: the library's own threads, the tree lock with its
// lock-free path for a host that calls from one thread only, and the side lock.
#include <atomic>
#include <new>

#include "zrplat.h"
#include "zrsync.h"

#ifdef _WIN32
#include <process.h>
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
static uintptr_t ThisThread() { return GetCurrentThreadId(); }
static void LetOthersRun() { SwitchToThread(); }
#else
static void LetOthersRun() { sched_yield(); }
static uintptr_t ThisThread() { return static_cast<uintptr_t>(pthread_self()); }
#endif

// ---- the tree lock -------------------------------------------------------------------------
// Readers count themselves in one of kSlots counters, each on a cache line of its own and
// chosen by thread, so that readers on different cores share no line; with one lock word
// that moves between the cores on every call, two threads querying at once got less done
// than one. A writer takes the writers' lock, announces itself and waits until every
// counter is zero; a reader that meets the announcement steps back and waits for the
// writer, so that a stream of readers cannot starve a save. Each side's store comes before
// its load, sequentially consistent, so that a reader and a writer never both go on.

const int kSlots = 16;  // MySlot takes the top 4 bits of a hash
struct alignas(64) ReaderSlot {
    std::atomic<int> readers{0};
};

// The process's locks and its count of the library's threads: whichever registry is
// loaded, every thread's calls meet here.
static struct {
    ZrMutex writerLock, sideLock, modeLock;
    ReaderSlot slots[kSlots];
    std::atomic<int> writing{0};
    std::atomic<int> live{0};
    std::atomic<unsigned long> livePid{0};
#ifdef _WIN32
    std::atomic<uintptr_t> owner{0};
    std::atomic<bool> unloading{false};
#endif
} s_proc;

static std::atomic<int>& MySlot() {
    uint64_t key = static_cast<uint64_t>(ThisThread()) * 0x9E3779B97F4A7C15ull;
    return s_proc.slots[key >> 60].readers;
}

static void LockTree(bool alone) {
    if (alone) {
        s_proc.writerLock.Lock();
        s_proc.writing.store(1);
        for (ReaderSlot& slot : s_proc.slots)
            while (slot.readers.load() != 0) LetOthersRun();
        return;
    }
    std::atomic<int>& mine = MySlot();
    for (;;) {
        mine.fetch_add(1);
        if (s_proc.writing.load() == 0) return;
        mine.fetch_sub(1, std::memory_order_release);
        s_proc.writerLock.Lock();  // free again once the writer has finished
        s_proc.writerLock.Unlock();
    }
}

static void UnlockTree(bool alone) {
    if (!alone) {
        MySlot().fetch_sub(1, std::memory_order_release);
        return;
    }
    s_proc.writing.store(0, std::memory_order_release);
    s_proc.writerLock.Unlock();
}

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
bool zrLoneOwner() { return s_proc.owner.load(std::memory_order_relaxed) == ThisThread(); }
static void BecomeOwner() { s_proc.owner.store(ThisThread(), std::memory_order_relaxed); }
static void ForgetOwner() { s_proc.owner.store(0, std::memory_order_relaxed); }
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
// The registration that the expedited barrier needs waits for a grace period of the
// kernel (10 to 14 ms here) once the process has a second thread, as most hosts have by
// their first call: it is left to the first barrier, which only a second calling thread
// needs. A child made by fork lacks it too. Where it fails, the slower barrier over the
// whole system remains.
static bool CanBarrierAll() {
    long cmds = Membarrier(MEMBARRIER_CMD_QUERY);
    return cmds > 0 && (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED);
}
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
    s_proc.modeLock.Lock();
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
    s_proc.modeLock.Unlock();
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
    if (t_sideDepth++ == 0) s_proc.sideLock.Lock();
}
void zrSideUnlockSlow() {
    if (--t_sideDepth == 0) s_proc.sideLock.Unlock();
}

void zrThreadsForget() {
    ForgetOwner();
    zrLoneInCall.store(0);
    zrLoneMode.store(ZR_MODE_UNDECIDED);
}

// ---- threads of the library's own --------------------------------------------------------
// Each is counted from its start to its join, so that the library's unload can tell that
// none of them is left to run in its code once that goes.

int zrThreadsLive() {
    int n = s_proc.live.load();
    return n > 0 && s_proc.livePid.load() != zrProcessId() ? -1 : n;
}

static void Started() {
    s_proc.livePid.store(zrProcessId());
    s_proc.live.fetch_add(1);
}

#ifndef _WIN32
struct ZrThread {
    pthread_t thread;
    void (*run)(void*);
    void* arg;
};

static void* RunThread(void* p) {
    ZrThread* t = static_cast<ZrThread*>(p);
    t->run(t->arg);
    return nullptr;
}

ZrThread* zrThreadStart(void (*run)(void* arg), void* arg) {
    ZrThread* t = new (std::nothrow) ZrThread;
    if (!t) return nullptr;
    t->run = run;
    t->arg = arg;
    if (pthread_create(&t->thread, nullptr, RunThread, t) != 0) {
        delete t;
        return nullptr;
    }
    Started();
    return t;
}

void zrThreadJoin(ZrThread* t) {
    if (!t) return;
    pthread_join(t->thread, nullptr);
    delete t;
    s_proc.live.fetch_sub(1);
}

// A dlclose runs the library's destructor under the dynamic linker's lock, which a thread's
// end does not take: the threads end there as anywhere else.
void zrThreadsUnloading(bool) {}
#else
struct ZrThread {
    HANDLE handle;
    HANDLE done;
    void (*run)(void*);
    void* arg;
};

// While the library is being freed, DllMain holds the loader's lock, and a thread's end
// takes that lock: a thread told to stop then says it is done with the library's code and
// waits to be ended, rather than end by itself, which DllMain would wait for forever.

void zrThreadsUnloading(bool on) { s_proc.unloading.store(on); }

static unsigned __stdcall RunThread(void* p) {
    ZrThread* t = static_cast<ZrThread*>(p);
    t->run(t->arg);
    if (s_proc.unloading.load()) {
        SetEvent(t->done);
        Sleep(INFINITE);
    }
    return 0;
}

ZrThread* zrThreadStart(void (*run)(void* arg), void* arg) {
    ZrThread* t = new (std::nothrow) ZrThread;
    if (!t) return nullptr;
    t->run = run;
    t->arg = arg;
    t->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    t->handle =
        t->done ? reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunThread, t, 0, nullptr)) : nullptr;
    if (!t->handle) {
        if (t->done) CloseHandle(t->done);
        delete t;
        return nullptr;
    }
    Started();
    return t;
}

void zrThreadJoin(ZrThread* t) {
    if (!t) return;
    if (s_proc.unloading.load()) {
        // It holds no lock and runs none of the library's code any more.
        HANDLE either[2] = {t->done, t->handle};
        if (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0)
            TerminateThread(t->handle, 0);
    }
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    CloseHandle(t->done);
    delete t;
    s_proc.live.fetch_sub(1);
}
#endif
