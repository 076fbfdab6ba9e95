// Work ahead of the loader: a thread that reads the file block after block into a ring
// while the scanner works through the blocks before them, and on Linux one that faults in
// the pool's memory before the tree is built in it.
#include "zrplat.h"
#include "zrsync.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <unistd.h>
#endif

namespace {

// Sixteen blocks of 16 KB: the ring stays in the caches that both cores reach (rings of
// 512 KB and more measured slower than reading without the thread), and it stays the
// process's between loads, so that a load does not fault it in anew.
const int kBlocks = 16;
const size_t kBlock = ZR_AHEAD_BLOCK;
// For a smaller file the threads' start costs about what they save (a 1 MB file loaded
// 3-5% slower with them, a 4 MB one 5-8% faster). On Windows the loader reads for itself
// unless a test asks otherwise: a host may load from a DllMain, where a new thread cannot
// start while the loader lock is held.
#ifdef _WIN32
const long long kAheadFrom = INT64_MAX;
#else
const long long kAheadFrom = 2 << 20;
#endif

// The chunks of memory that the warm-up thread faults in at most ahead of the load: the
// memory a file's content needs is only estimated (as its size), and this bounds what an
// estimate too high faults in for nothing.
const long kWarmAhead = 2;
const int kWarmMax = 1024;

template <class T>
ZrThread* StartThread(T* obj) {
    return zrThreadStart([](void* p) { static_cast<T*>(p)->Run(); }, obj);
}

// The helper threads only pay where the load has a second CPU to run them on: on one
// (a process bound to a CPU, as by taskset -c 0) they take turns with the parse, and a warm
// load of the 100 MB file took 113 ms with them and 91 ms without.
bool OneCpu() {
#if defined(__linux__)
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) < 2;
#else
    return false;
#endif
}

// Faults in, one after the other, the chunks that the pool planned for the load, each
// shortly before the load comes to it. The first touch of fresh memory is slow where a
// virtual machine's host hands out its pages only then (about 3 ms for a chunk of 2 MB
// on the machines this was measured on, as much as the load's whole parse for a large
// file); the thread moves that beside the parse.
// The plan is only an estimate, so once a sixteenth of the file has been parsed the thread
// also projects the chunks the whole load will begin (as many per byte as so far) and
// leaves alone the ones beyond: faulted in for nothing, they would count toward the
// process's peak memory until the load gives them back.
struct WarmUp {
    void* chunk[kWarmMax];
    long begunAt[kWarmMax];
    int count;
    long begunBefore;               // zrPoolChunksBegun() when the plan was made
    long long size;                 // the file's
    std::atomic<long long> parsed;  // bytes the loader has taken
    std::atomic<bool> stop;
    ZrThread* thread;

    bool BeyondProjection(long at) const {
        long long p = parsed.load(std::memory_order_relaxed);
        if (p < size / 16 || p <= 0) return false;
        double total = static_cast<double>(zrPoolChunksBegun() - begunBefore) * static_cast<double>(size) /
                       static_cast<double>(p);
        return static_cast<double>(at - begunBefore) > total;
    }

    void Run() {
        for (int i = 0; i < count; ++i) {
            while (zrPoolChunksBegun() + kWarmAhead < begunAt[i]) {
                if (stop.load(std::memory_order_relaxed)) return;
#ifndef _WIN32
                usleep(200);
#endif
            }
            if (stop.load(std::memory_order_relaxed)) return;
            if (!BeyondProjection(begunAt[i])) zrPoolFaultIn(chunk[i]);
        }
    }
};

}  // namespace

bool zrMayWorkBeside() {
#ifdef _WIN32
    return false;
#else
    return !OneCpu();
#endif
}

struct ZrReadAhead {
    FILE* fp;
    ZrSync sync;
    // Blocks are filled in turn; filled - taken of them wait for the caller, who holds the
    // one before them (if any) until its next call.
    long filled, taken;
    long len[kBlocks];  // bytes of each block; 0 after the file's end; -1 a failed read
    bool stop, waiting;
    ZrThread* thread;
    WarmUp warm;
    bool warming;
    unsigned char ring[kBlocks][kBlock];

    // The blocks the thread may not fill: those waiting, and the one the caller holds.
    long Busy() const { return filled - taken + (taken > 0 ? 1 : 0); }

    void Run() {
        for (;;) {
            sync.Lock();
            // Once the ring is full, the thread sleeps until half of it is free, so that
            // neither side wakes the other for every block.
            while (!stop && Busy() >= kBlocks) {
                waiting = true;
                sync.Wait();
            }
            waiting = false;
            long slot = filled % kBlocks;
            bool quit = stop;
            sync.Unlock();
            if (quit) return;
            long n = zrReadFile(fp, ring[slot], kBlock);
            sync.Lock();
            len[slot] = n;
            ++filled;
            sync.Wake();
            sync.Unlock();
            if (n <= 0) return;
        }
    }
};

namespace {

// The process's one reader ahead: one load at a time reads ahead (the loader holds the
// tree lock); a second asker reads for itself. `from` is the size from which it does.
struct {
    long long from = kAheadFrom;
    ZrReadAhead* ring;
    std::atomic<bool> busy;
} s_ahead;

}  // namespace

void zrReadAheadFrom(long long bytes) { s_ahead.from = bytes < 0 ? kAheadFrom : bytes; }

ZrReadAhead* zrReadAheadStart(FILE* fp) {
    ZrFileStamp stamp;
    long long size = fp && zrStampOfFile(fp, &stamp) ? static_cast<long long>(stamp.size) : -1;
    if (size < s_ahead.from || OneCpu() || s_ahead.busy.exchange(true)) return nullptr;
    if (!s_ahead.ring) s_ahead.ring = static_cast<ZrReadAhead*>(malloc(sizeof(ZrReadAhead)));
    if (!s_ahead.ring) {
        s_ahead.busy = false;
        return nullptr;
    }
    ZrReadAhead* ra = new (s_ahead.ring) ZrReadAhead;  // the ring's bytes stay as they were
    ra->fp = fp;
    ra->filled = ra->taken = 0;
    ra->stop = ra->waiting = false;
    if (!(ra->thread = StartThread(ra))) {
        s_ahead.busy = false;
        return nullptr;
    }
    // The content of a registry file takes about as many bytes of memory as the file.
    ra->warm.begunBefore = zrPoolChunksBegun();
    ra->warm.count = zrPoolPlan(static_cast<size_t>(size), ra->warm.chunk, ra->warm.begunAt, kWarmMax);
    ra->warm.size = size;
    ra->warm.parsed.store(0, std::memory_order_relaxed);
    ra->warm.stop = false;
    ra->warming = ra->warm.count > 0 && (ra->warm.thread = StartThread(&ra->warm)) != nullptr;
    return ra;
}

long zrReadAheadNext(ZrReadAhead* ra, const unsigned char** data) {
    ra->sync.Lock();
    if (ra->taken > 0 && ra->len[(ra->taken - 1) % kBlocks] <= 0) {
        ra->sync.Unlock();
        return ra->len[(ra->taken - 1) % kBlocks];  // the end, or the failure, again
    }
    // The block held since the last call is free again.
    if (ra->waiting && ra->filled - ra->taken <= kBlocks / 2) ra->sync.Wake();
    while (ra->filled == ra->taken) ra->sync.Wait();
    long slot = ra->taken++ % kBlocks;
    long n = ra->len[slot];
    ra->sync.Unlock();
    if (n > 0) ra->warm.parsed.fetch_add(n, std::memory_order_relaxed);
    *data = ra->ring[slot];
    return n;
}

void zrReadAheadStop(ZrReadAhead* ra) {
    if (!ra) return;
    ra->sync.Lock();
    ra->stop = true;
    ra->sync.Wake();
    ra->sync.Unlock();
    ra->warm.stop = true;
    zrThreadJoin(ra->thread);
    if (ra->warming) zrThreadJoin(ra->warm.thread);
    zrPoolUnplan(ra->warm.chunk, ra->warm.begunAt, ra->warm.count);
    ra->~ZrReadAhead();
    s_ahead.busy = false;
}
