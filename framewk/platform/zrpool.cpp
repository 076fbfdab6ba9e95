// The block pool under the library's allocations: size classes carved out of aligned chunks.
#include "zrpool.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "zrpoolp.h"

// A load makes millions of small blocks (names, texts, nodes, list blocks), and the C
// allocator spends more time on them than the scanner and parser together. Blocks of up
// to kPoolMax bytes therefore come from size classes carved out of large chunks and are
// kept on free lists by class; larger ones come from the C allocator. No block carries a
// header, which would cost a load 8 bytes in each of its two million blocks: chunks are
// aligned to their size and cut into pages of one class each, so a block's address names
// its chunk, and the chunk's page table its class. A block in no chunk of the pool is the
// C allocator's.
// When the last pooled block is freed, the chunks are emptied and kept for the next load (see
// the spares in zrpoolchunks.cpp).

namespace zrpool {
// On lines of their own: the pool's thread writes it at every block, beside an arena's.
alignas(64) Pool s_pool;
}  // namespace zrpool

using namespace zrpool;

namespace {

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

// While an arena is out, the pool and the arenas carve their pages from one chunk at a time,
// s_carve (in the list of the pool that began it), under the lock: each carving its own
// newest chunk, a load in two parts held one half-filled chunk more, which on huge pages
// counts whole toward the process's memory (1.7 MB of the 100 MB file's 77 MB). s_shared
// changes only on the pool's thread while no arena's thread runs.
bool s_shared;
Chunk* s_carve;

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

bool zrPoolOwns(const void* p) { return Known(t_pool, p); }

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
