// The block pool under the library's allocations: size classes carved out of aligned chunks.
#include "zrpool.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "zrsync.h"

#if defined(__linux__)
#include <sys/mman.h>
#elif defined(_WIN32)
#include <malloc.h>
#endif

// A load makes millions of small blocks (names, texts, nodes, list blocks), and the C
// allocator spends more time on them than the scanner and parser together. Blocks of up
// to kPoolMax bytes therefore come from size classes carved out of large chunks and are
// kept on free lists by class; larger ones come from the C allocator. No block carries a
// header, which would cost a load 8 bytes in each of its two million blocks: chunks are
// aligned to their size and cut into pages of one class each, so a block's address names
// its chunk, and the chunk's page table its class. A block in no chunk of the pool is the
// C allocator's.
// When the last pooled block is freed, the chunks are emptied and kept for the next load (see
// the spares below). The sanitizer builds use the C allocator alone, so that they keep
// checking every block.
#if defined(__SANITIZE_ADDRESS__)
#define ZR_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_POOL 0
#endif
#endif
#ifndef ZR_POOL
#define ZR_POOL 1
#endif

namespace {

// Classes step by 4 bytes: a loaded value (a 4-byte head, its name and text) wastes 2 bytes
// on average instead of 4, which is 2.5 MB of a 100 MB registry. A block's alignment is
// therefore its class's: 8 when the class is a multiple of 8 (as the size of every type
// that needs 8 is), 4 otherwise. The smallest class holds the free list's link.
const size_t kGranule = 4;
const size_t kMinClass = 2;
const size_t kPoolMax = 256;
const size_t kClasses = kPoolMax / kGranule;
const size_t kChunk = 2 * 1024 * 1024;  // a huge page where the system has them (see MapChunk)
const size_t kPage = 32 * 1024;
const int kPages = static_cast<int>(kChunk / kPage);

// At the start of every chunk, in its first page.
struct Chunk {
    Chunk* next;  // the chunks in use, newest first
    int pagesUsed;
    unsigned char cls[kPages];  // the class of each page handed out
};
const size_t kChunkHead = (sizeof(Chunk) + 15) & ~static_cast<size_t>(15);

struct FreeBlock {
    FreeBlock* next;
};

struct Pool {
    FreeBlock* freeList[kClasses + 1];
    char* cur[kClasses + 1];  // bump region of the class's newest page
    char* end[kClasses + 1];
    Chunk* chunks;
    long live;            // pooled blocks not yet freed
    size_t held;          // bytes of the pages handed out
    uintptr_t lastKnown;  // the chunk of the last block found, where the next one mostly lies
};
// On lines of their own: the pool's thread writes it at every block, beside an arena's.
alignas(64) Pool s_pool;

// The pool of the calling thread: s_pool, or an arena's while its thread builds beside the
// thread that holds the library's lock. Initial-exec TLS costs the fast paths one load, and
// 8 bytes of static TLS is room enough in a library that Python loads late.
#if ZR_POOL && defined(__linux__)
#define ZR_ARENAS 1
static __thread Pool* t_pool __attribute__((tls_model("initial-exec"))) = &s_pool;
#else
#define ZR_ARENAS 0
Pool* t_pool = &s_pool;
#endif

Chunk* ChunkBase(const void* p) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(kChunk - 1));
}

// The chunk source below (the known set, the spares, the mapping) is shared by the threads
// of all pools; s_mutex guards it. Only Known reads without it.
ZrMutex s_mutex;
struct Locked {
    Locked() { s_mutex.Lock(); }
    ~Locked() { s_mutex.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// Arenas begun and not yet merged, all under s_mutex.
struct ZrArenaLink {
    Pool pool;
    ZrArenaLink* next;
};
ZrArenaLink* s_arenas;
int s_active;

// ---- the chunks the pool has from the system: an open-addressing set of their bases ----
// Every free looks a block up here without the lock while another thread may add a chunk,
// so a set is never changed but by adding to an empty slot: one that is rebuilt is a new
// record, published whole, and the old one is kept for the readers that still hold it
// until no arena is left.
struct KnownSet {
    size_t mask;  // capacity - 1; the capacity is a power of 2
    size_t count;
    KnownSet* retired;
};
// The slots follow the record.
uintptr_t* Slots(const KnownSet* k) { return reinterpret_cast<uintptr_t*>(const_cast<KnownSet*>(k) + 1); }
alignas(64) KnownSet* s_known;
KnownSet* s_retired;

size_t Home(uintptr_t base, size_t mask) {
    return static_cast<size_t>((static_cast<uint64_t>(base / kChunk) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

bool Known(Pool* pool, const void* p) {
    uintptr_t base = reinterpret_cast<uintptr_t>(ChunkBase(p));
    if (base == pool->lastKnown && base != 0) return true;
    const KnownSet* k = __atomic_load_n(&s_known, __ATOMIC_ACQUIRE);
    if (!k) return false;
    const uintptr_t* slot = Slots(k);
    for (size_t i = Home(base, k->mask);; i = (i + 1) & k->mask) {
        uintptr_t s = __atomic_load_n(&slot[i], __ATOMIC_RELAXED);
        if (s == base) {
            pool->lastKnown = base;
            return true;
        }
        if (s == 0) return false;
    }
}

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

void FreeRetired() {
    while (KnownSet* k = s_retired) {
        s_retired = k->retired;
        free(k);
    }
}

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
// pages that the system may take back can cost a trap for each of them.
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

// While an arena is out, the pool and the arenas carve their pages from one chunk at a time,
// s_carve (in the list of the pool that began it), under the lock: each carving its own
// newest chunk, a load in two parts held one half-filled chunk more, which on huge pages
// counts whole toward the process's memory (1.7 MB of the 100 MB file's 77 MB). s_shared
// changes only on the pool's thread while no arena's thread runs.
bool s_shared;
Chunk* s_carve;

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

// Gives the pages of all chunks of s_pool back; the set of known chunks is rebuilt when some
// of them went back to the system. Not while an arena is left, which may hold blocks of the
// pool or read the set: the next time the pool empties does it.
void ReleaseChunks() {
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

// A fresh page for class `cls`: the next one of the newest chunk, or of a new chunk.
bool NewPage(Pool* pool, size_t cls) {
    Chunk* c;
    int i;
    if (s_shared) {
        Locked locked;
        c = s_carve;
        if ((!c || c->pagesUsed == kPages) && !(c = s_carve = ChunkAllocHeld(pool))) return false;
        i = c->pagesUsed++;
        c->cls[i] = static_cast<unsigned char>(cls);
    } else {
        c = pool->chunks;
        if ((!c || c->pagesUsed == kPages) && !(c = ChunkAlloc(pool))) return false;
        i = c->pagesUsed++;
        c->cls[i] = static_cast<unsigned char>(cls);
    }
    char* page = reinterpret_cast<char*>(c) + static_cast<size_t>(i) * kPage;
    pool->cur[cls] = i == 0 ? page + kChunkHead : page;
    pool->end[cls] = page + kPage;
    pool->held += kPage;
    return true;
}

size_t ClassOf(size_t n) { return n <= kMinClass * kGranule ? kMinClass : (n + kGranule - 1) / kGranule; }

// A free block's link to the next, in a block that may be aligned to 4 only.
FreeBlock* NextFree(const FreeBlock* f) {
    FreeBlock* next;
    memcpy(&next, f, sizeof next);
    return next;
}

// The class of a block of the pool.
size_t BlockClass(const void* p) {
    const Chunk* c = ChunkBase(p);
    return c->cls[(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(c)) / kPage];
}

void* BlockAlloc(size_t n) {
    if (!ZR_POOL || n > kPoolMax) return malloc(n ? n : 1);
    Pool* pool = t_pool;
    size_t cls = ClassOf(n);
    if (FreeBlock* f = pool->freeList[cls]) {
        pool->freeList[cls] = NextFree(f);
        ++pool->live;
        return f;
    }
    size_t bytes = cls * kGranule;
    if (static_cast<size_t>(pool->end[cls] - pool->cur[cls]) < bytes && !NewPage(pool, cls)) return nullptr;
    void* p = pool->cur[cls];
    pool->cur[cls] += bytes;
    ++pool->live;
    return p;
}

void PushFree(Pool* pool, size_t cls, void* p) {
    memcpy(p, &pool->freeList[cls], sizeof(FreeBlock*));
    pool->freeList[cls] = static_cast<FreeBlock*>(p);
}

}  // namespace

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

bool zrPoolOwns(const void* p) { return Known(t_pool, p); }

long zrPoolChunksBegun() { return s_begun.load(std::memory_order_relaxed); }

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

void* zrPoolAlloc(size_t n) { return BlockAlloc(n); }

size_t zrPoolHeldBytes() { return t_pool->held; }

void zrPoolFree(void* p) {
    if (!p) return;
    Pool* pool = t_pool;
    if (!Known(pool, p)) {
        free(p);
        return;
    }
    PushFree(pool, BlockClass(p), p);
    // An arena keeps its chunks: they become the pool's when it is merged.
    if (--pool->live == 0 && pool == &s_pool) ReleaseChunks();
}

// A block moves whenever its class changes, to a smaller one too, so that a list that
// gives back its spare room (ShrinkToFit) really gives it back.
void* zrPoolResize(void* p, size_t n) {
    if (!p) return BlockAlloc(n);
    size_t had;  // bytes of the old block that may be copied
    if (!Known(t_pool, p)) {
        if (n > kPoolMax || !ZR_POOL) return realloc(p, n ? n : 1);
        had = n;  // the old block is larger than any of the pool's
    } else {
        size_t cls = BlockClass(p);
        if (n <= kPoolMax && ClassOf(n) == cls) return p;
        had = cls * kGranule;
    }
    void* q = BlockAlloc(n);
    if (!q) return nullptr;
    memcpy(q, p, had < n ? had : n);
    zrPoolFree(p);
    return q;
}

struct ZrPoolArena : ZrArenaLink {};

ZrPoolArena* zrPoolArenaNew() {
#if ZR_ARENAS
    // On cache lines of its own, as s_pool.
    size_t bytes = (sizeof(ZrPoolArena) + 63) & ~static_cast<size_t>(63);
    ZrPoolArena* a = static_cast<ZrPoolArena*>(aligned_alloc(64, bytes));
    if (!a) return nullptr;
    memset(static_cast<void*>(a), 0, bytes);
    Locked locked;
    a->next = s_arenas;
    s_arenas = a;
    ++s_active;
    if (!s_shared) s_carve = s_pool.chunks;
    s_shared = true;
    return a;
#elif !ZR_POOL
    // Every block is the C allocator's, which any thread may use: the record is a token.
    return static_cast<ZrPoolArena*>(calloc(1, sizeof(ZrPoolArena)));
#else
    return nullptr;
#endif
}

void zrPoolArenaBegin(ZrPoolArena* arena) {
#if ZR_ARENAS
    t_pool = &arena->pool;
#else
    (void)arena;
#endif
}

void zrPoolArenaEnd() { t_pool = &s_pool; }

void zrPoolArenaMerge(ZrPoolArena* arena) {
    if (!arena) return;
#if ZR_ARENAS
    Pool& from = arena->pool;
    Pool& to = s_pool;
    bool empty;
    {
        Locked locked;
        for (ZrArenaLink** l = &s_arenas; *l; l = &(*l)->next)
            if (*l == arena) {
                *l = arena->next;
                break;
            }
        // Appended, so that the pool goes on carving its own newest chunk.
        Chunk** tail = &to.chunks;
        while (*tail) tail = &(*tail)->next;
        *tail = from.chunks;
        for (size_t cls = kMinClass; cls <= kClasses; ++cls) {
            // The arena's list goes in front: its thread frees little, so it is the short one.
            if (FreeBlock* head = from.freeList[cls]) {
                FreeBlock* last = head;
                while (FreeBlock* next = NextFree(last)) last = next;
                memcpy(static_cast<void*>(last), &to.freeList[cls], sizeof last);
                to.freeList[cls] = head;
            }
            // The region with more room stays the pool's; the other's room is cut into free
            // blocks, as its pages are faulted in already.
            size_t bytes = cls * kGranule;
            if (from.end[cls] - from.cur[cls] > to.end[cls] - to.cur[cls]) {
                char* cur = to.cur[cls];
                char* end = to.end[cls];
                to.cur[cls] = from.cur[cls];
                to.end[cls] = from.end[cls];
                from.cur[cls] = cur;
                from.end[cls] = end;
            }
            for (char* b = from.cur[cls]; b && static_cast<size_t>(from.end[cls] - b) >= bytes; b += bytes)
                PushFree(&to, cls, b);
        }
        to.live += from.live;
        to.held += from.held;
        if (--s_active == 0) {
            FreeRetired();
            // The pool carves on where the arenas left off: that chunk goes first in its list.
            s_shared = false;
            for (Chunk** l = &to.chunks; s_carve && *l; l = &(*l)->next)
                if (*l == s_carve) {
                    *l = s_carve->next;
                    s_carve->next = to.chunks;
                    to.chunks = s_carve;
                    break;
                }
            s_carve = nullptr;
        }
        empty = to.live == 0;
    }
    free(arena);
    // The pool may have emptied while the arena was left.
    if (empty) ReleaseChunks();
#else
    free(arena);
#endif
}
