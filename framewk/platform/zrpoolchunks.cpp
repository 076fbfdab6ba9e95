// The block pool's chunks from the system: the set of the chunks it knows, the spares kept
// for the next load, their mapping, and the chunks a load is planned to need.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "zrpool.h"
#include "zrpoolp.h"

#if defined(__linux__)
#include <sys/mman.h>
#elif defined(_WIN32)
#include <malloc.h>
#endif

namespace zrpool {
ZrMutex s_mutex;
ZrArenaLink* s_arenas;
int s_active;
alignas(64) KnownSet* s_known;
}  // namespace zrpool

using namespace zrpool;

namespace {

KnownSet* s_retired;

KnownSet* NewSet(size_t cap) {
    KnownSet* k = static_cast<KnownSet*>(calloc(1, sizeof(KnownSet) + cap * sizeof(uintptr_t)));
    if (k) k->mask = cap - 1;
    return k;
}

void Insert(KnownSet* k, uintptr_t base) {
    uintptr_t* slot = Slots(k);
    size_t i = Home(base, k->mask);
    while (slot[i] != 0) i = (i + 1) & k->mask;
    __atomic_store_n(&slot[i], base, __ATOMIC_RELAXED);
    ++k->count;
}

void Remember(uintptr_t base) { Insert(s_known, base); }

void Publish(KnownSet* k) {
    KnownSet* old = s_known;
    __atomic_store_n(&s_known, k, __ATOMIC_RELEASE);
    if (!old) return;
    old->retired = s_retired;
    s_retired = old;
    if (s_active == 0) FreeRetired();
}

// Room for one more chunk; false when out of memory.
bool MakeRoom() {
    KnownSet* old = s_known;
    if (old && 2 * (old->count + 1) <= old->mask + 1) return true;
    KnownSet* k = NewSet(old ? 2 * (old->mask + 1) : 64);
    if (!k) return false;
    for (size_t i = 0; old && i <= old->mask; ++i)
        if (uintptr_t base = Slots(old)[i]) Insert(k, base);
    Publish(k);
    return true;
}

// Emptied chunks, kept for the next load: a registry that is loaded again finds its memory
// without the cost of the system clearing it anew. Linux may take their pages back
// whenever it needs them (MADV_FREE); elsewhere they stay the process's, so that only a
// few are kept.
#if defined(__linux__)
const int kMaxSpare = 1024;
#else
const int kMaxSpare = 8;
#endif
void* s_spare[kMaxSpare];
int s_spareCount;

// The process's first chunk is left to small pages, of which a small registry touches few;
// the later ones are huge pages where the system has them, each faulted in at once. The
// small-page chunk keeps its pages when it is emptied: on a virtual machine, writing to
// pages that the system may take back can cost a trap for each of them. A load that will
// fill several chunks (zrPoolExpect) maps the first in huge pages too: a fresh process's load
// of a 30 MB file took 512 faults for it instead of one.
void* s_smallPages;

void* MapChunk(bool huge) {
#if defined(__linux__)
    size_t span = 2 * kChunk;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    uintptr_t p = reinterpret_cast<uintptr_t>(m);
    uintptr_t a = (p + kChunk - 1) & ~static_cast<uintptr_t>(kChunk - 1);
    if (a > p) munmap(m, a - p);
    if (p + span > a + kChunk) munmap(reinterpret_cast<void*>(a + kChunk), p + span - (a + kChunk));
    if (huge) madvise(reinterpret_cast<void*>(a), kChunk, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(a);
#elif defined(_WIN32)
    (void)huge;
    return _aligned_malloc(kChunk, kChunk);
#else
    (void)huge;
    void* p = nullptr;
    return posix_memalign(&p, kChunk, kChunk) == 0 ? p : nullptr;
#endif
}

void UnmapChunk(void* c) {
#if defined(__linux__)
    munmap(c, kChunk);
#elif defined(_WIN32)
    _aligned_free(c);
#else
    free(c);
#endif
}

// Chunks begun since the process started; a thread that faults chunks in ahead paces
// itself by it.
std::atomic<long> s_begun;

}  // namespace

namespace zrpool {

void FreeRetired() {
    while (KnownSet* k = s_retired) {
        s_retired = k->retired;
        free(k);
    }
}

// A new chunk for `pool`, a spare if there is one; the caller holds the lock.
Chunk* ChunkAllocHeld(Pool* pool) {
    s_begun.store(s_begun.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    void* m = s_spareCount > 0 ? s_spare[--s_spareCount] : nullptr;
    if (!m) {
        if (!MakeRoom()) return nullptr;
        bool first = s_known->count == 0;
        m = MapChunk(!first);
        if (first) s_smallPages = m;
        if (!m) return nullptr;
        Remember(reinterpret_cast<uintptr_t>(m));
    }
    Chunk* c = static_cast<Chunk*>(m);
    c->next = pool->chunks;
    c->pagesUsed = 0;
    pool->chunks = c;
    return c;
}

Chunk* ChunkAlloc(Pool* pool) {
    Locked locked;
    return ChunkAllocHeld(pool);
}

}  // namespace zrpool

namespace {

// The set of known chunks anew, from the chunks in use (the arenas' too) and the spares, after
// some went back to the system: their addresses may come back from the C allocator. False
// when out of memory while an arena reads the set; it then still names every chunk.
bool KnowOnlyMapped() {
    KnownSet* k = s_known;
    if (s_active > 0) {
        if (!(k = NewSet(s_known->mask + 1))) return false;
    } else {
        memset(Slots(k), 0, sizeof(uintptr_t) * (k->mask + 1));
        k->count = 0;
    }
    for (Chunk* c = s_pool.chunks; c; c = c->next) Insert(k, reinterpret_cast<uintptr_t>(c));
    for (ZrArenaLink* a = s_arenas; a; a = a->next)
        for (Chunk* c = a->pool.chunks; c; c = c->next) Insert(k, reinterpret_cast<uintptr_t>(c));
    for (int i = 0; i < s_spareCount; ++i) Insert(k, reinterpret_cast<uintptr_t>(s_spare[i]));
    if (k != s_known) Publish(k);
    s_pool.lastKnown = 0;
    return true;
}

}  // namespace

// Gives the pages of all chunks of s_pool back; the set of known chunks is rebuilt when some
// of them went back to the system. Not while an arena is left, which may hold blocks of the
// pool or read the set: the next time the pool empties does it.
void zrpool::ReleaseChunks() {
    Locked locked;
    if (s_active > 0) return;
    FreeRetired();
    bool unmapped = false;
    for (Chunk* c = s_pool.chunks; c;) {
        Chunk* next = c->next;
        if (s_spareCount < kMaxSpare) {
#if defined(__linux__) && defined(MADV_FREE)
            if (c != s_smallPages) madvise(c, kChunk, MADV_FREE);
#endif
            s_spare[s_spareCount++] = c;
        } else {
            UnmapChunk(c);
            unmapped = true;
        }
        c = next;
    }
    s_pool = Pool();
    if (unmapped) KnowOnlyMapped();
}

int zrPoolPlan(size_t bytes, void** out, long* begunAt, int max) {
#if ZR_POOL && defined(__linux__)
    Locked locked;
    int n = 0;
    long next = s_begun.load(std::memory_order_relaxed);
    Chunk* c = s_pool.chunks;
    if (c && c->pagesUsed < kPages && n < max) {
        out[n] = c;
        begunAt[n++] = next;
    }
    // The spares are used from the top; new chunks go beneath them, to be used last. Only
    // the new ones are listed: the spares had their pages from an earlier load.
    int spares = s_spareCount;
    size_t have = static_cast<size_t>(spares) * kChunk;
    int add = 0;
    while (have + static_cast<size_t>(add) * kChunk < bytes && s_spareCount + add < kMaxSpare) ++add;
    if (add > 0) {
        memmove(s_spare + add, s_spare, sizeof(void*) * static_cast<size_t>(s_spareCount));
        int made = 0;
        for (; made < add && MakeRoom(); ++made) {
            bool first = s_known->count == 0;
            void* m = MapChunk(!first);
            if (!m) break;
            if (first) s_smallPages = m;
            Remember(reinterpret_cast<uintptr_t>(m));
            s_spare[add - 1 - made] = m;
        }
        if (made < add)
            memmove(s_spare, s_spare + (add - made),
                    sizeof(void*) * static_cast<size_t>(made + s_spareCount));
        s_spareCount += made;
    }
    next += spares;
    for (int i = s_spareCount - spares - 1; i >= 0 && n < max; --i) {
        out[n] = s_spare[i];
        begunAt[n++] = ++next;
    }
    return n;
#else
    (void)bytes, (void)out, (void)begunAt, (void)max;
    return 0;
#endif
}

void zrPoolUnplan(void* const* chunks, const long* begunAt, int count) {
#if ZR_POOL && defined(__linux__)
    Locked locked;
    long begun = s_begun.load(std::memory_order_relaxed);
    int had = s_spareCount;
    for (int i = 0; i < count; ++i) {
        if (begunAt[i] <= begun) continue;
        // Never begun, so still a spare (unless an arena took it), beneath the ones an earlier
        // load left. It goes above the spares until the set no longer names it: a thread that
        // reads the set meanwhile must not take a block of the C allocator there for the pool's.
        for (int k = 0; k < s_spareCount; ++k) {
            if (s_spare[k] != chunks[i]) continue;
            memmove(s_spare + k, s_spare + k + 1, sizeof(void*) * static_cast<size_t>(s_spareCount - k - 1));
            s_spare[--s_spareCount] = chunks[i];
            break;
        }
    }
    if (s_spareCount == had) return;
    if (!KnowOnlyMapped()) {
        s_spareCount = had;
        return;
    }
    for (int i = s_spareCount; i < had; ++i) {
        if (s_spare[i] == s_smallPages) s_smallPages = nullptr;
        UnmapChunk(s_spare[i]);
    }
#else
    (void)chunks, (void)begunAt, (void)count;
#endif
}

long zrPoolChunksBegun() { return s_begun.load(std::memory_order_relaxed); }

void zrPoolExpect(size_t bytes) {
#if ZR_POOL && defined(__linux__)
    // The process's first chunk, mapped now in huge pages and left as the one spare for the
    // first block to take.
    if (bytes < 2 * kChunk) return;
    Locked locked;
    if ((s_known && s_known->count > 0) || !MakeRoom()) return;
    void* m = MapChunk(true);
    if (!m) return;
    s_smallPages = m;
    Remember(reinterpret_cast<uintptr_t>(m));
    s_spare[s_spareCount++] = m;
#else
    (void)bytes;
#endif
}

void zrPoolFaultIn(void* chunk) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    // Older kernels refuse the advice; the pages are then faulted in by their first use.
    madvise(chunk, kChunk, MADV_POPULATE_WRITE);
#else
    (void)chunk;
#endif
}
