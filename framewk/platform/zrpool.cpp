// The block pool under the library's allocations: size classes carved out of aligned chunks.
#include "zrpool.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

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
const size_t kPage = 64 * 1024;
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
    long live;    // pooled blocks not yet freed
    size_t held;  // bytes of the pages handed out
};
Pool s_pool;

Chunk* ChunkBase(const void* p) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(kChunk - 1));
}

// ---- the chunks the pool has from the system: an open-addressing set of their bases ----
uintptr_t* s_known;
size_t s_knownMask;  // capacity - 1; the capacity is a power of 2 (0: no set yet)
size_t s_knownCount;
uintptr_t s_lastKnown;  // the chunk of the last block found, where the next one mostly lies

size_t Home(uintptr_t base) {
    return static_cast<size_t>((static_cast<uint64_t>(base / kChunk) * 0x9E3779B97F4A7C15ull) >> 32) &
           s_knownMask;
}

bool Known(const void* p) {
    if (!s_known) return false;
    uintptr_t base = reinterpret_cast<uintptr_t>(ChunkBase(p));
    if (base == s_lastKnown && base != 0) return true;
    for (size_t i = Home(base);; i = (i + 1) & s_knownMask) {
        if (s_known[i] == base) {
            s_lastKnown = base;
            return true;
        }
        if (s_known[i] == 0) return false;
    }
}

void Remember(uintptr_t base) {
    size_t i = Home(base);
    while (s_known[i] != 0) i = (i + 1) & s_knownMask;
    s_known[i] = base;
    ++s_knownCount;
}

// Room for one more chunk; false when out of memory.
bool MakeRoom() {
    if (s_known && 2 * (s_knownCount + 1) <= s_knownMask + 1) return true;
    size_t cap = s_known ? 2 * (s_knownMask + 1) : 64;
    uintptr_t* old = s_known;
    size_t oldCap = old ? s_knownMask + 1 : 0;
    s_known = static_cast<uintptr_t*>(calloc(cap, sizeof(uintptr_t)));
    if (!s_known) {
        s_known = old;
        return false;
    }
    s_knownMask = cap - 1;
    s_knownCount = 0;
    for (size_t i = 0; i < oldCap; ++i)
        if (old[i]) Remember(old[i]);
    free(old);
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

Chunk* ChunkAlloc() {
    s_begun.store(s_begun.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    void* m = s_spareCount > 0 ? s_spare[--s_spareCount] : nullptr;
    if (!m) {
        if (!MakeRoom()) return nullptr;
        m = MapChunk(s_knownCount > 0);
        if (s_knownCount == 0) s_smallPages = m;
        if (!m) return nullptr;
        Remember(reinterpret_cast<uintptr_t>(m));
    }
    Chunk* c = static_cast<Chunk*>(m);
    c->next = s_pool.chunks;
    c->pagesUsed = 0;
    s_pool.chunks = c;
    return c;
}

// The set of known chunks anew, from the chunks in use and the spares, after some went back
// to the system: their addresses may come back from the C allocator.
void KnowOnlyMapped() {
    memset(s_known, 0, sizeof(uintptr_t) * (s_knownMask + 1));
    s_knownCount = 0;
    s_lastKnown = 0;
    for (Chunk* c = s_pool.chunks; c; c = c->next) Remember(reinterpret_cast<uintptr_t>(c));
    for (int i = 0; i < s_spareCount; ++i) Remember(reinterpret_cast<uintptr_t>(s_spare[i]));
}

// Gives the pages of all chunks back; the set of known chunks is rebuilt when some of them
// went back to the system.
void ReleaseChunks() {
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
bool NewPage(size_t cls) {
    Chunk* c = s_pool.chunks;
    if ((!c || c->pagesUsed == kPages) && !(c = ChunkAlloc())) return false;
    int i = c->pagesUsed++;
    c->cls[i] = static_cast<unsigned char>(cls);
    char* page = reinterpret_cast<char*>(c) + static_cast<size_t>(i) * kPage;
    s_pool.cur[cls] = i == 0 ? page + kChunkHead : page;
    s_pool.end[cls] = page + kPage;
    s_pool.held += kPage;
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
    size_t cls = ClassOf(n);
    if (FreeBlock* f = s_pool.freeList[cls]) {
        s_pool.freeList[cls] = NextFree(f);
        ++s_pool.live;
        return f;
    }
    size_t bytes = cls * kGranule;
    if (static_cast<size_t>(s_pool.end[cls] - s_pool.cur[cls]) < bytes && !NewPage(cls)) return nullptr;
    void* p = s_pool.cur[cls];
    s_pool.cur[cls] += bytes;
    ++s_pool.live;
    return p;
}

}  // namespace

int zrPoolPlan(size_t bytes, void** out, long* begunAt, int max) {
#if ZR_POOL && defined(__linux__)
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
            void* m = MapChunk(s_knownCount > 0);
            if (!m) break;
            if (s_knownCount == 0) s_smallPages = m;
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
    long begun = s_begun.load(std::memory_order_relaxed);
    bool dropped = false;
    for (int i = 0; i < count; ++i) {
        if (begunAt[i] <= begun) continue;
        // Never begun, so still a spare, beneath the ones an earlier load left.
        for (int k = 0; k < s_spareCount; ++k) {
            if (s_spare[k] != chunks[i]) continue;
            memmove(s_spare + k, s_spare + k + 1, sizeof(void*) * static_cast<size_t>(s_spareCount - k - 1));
            --s_spareCount;
            if (chunks[i] == s_smallPages) s_smallPages = nullptr;
            UnmapChunk(chunks[i]);
            dropped = true;
            break;
        }
    }
    if (dropped) KnowOnlyMapped();
#else
    (void)chunks, (void)begunAt, (void)count;
#endif
}

bool zrPoolOwns(const void* p) { return Known(p); }

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

size_t zrPoolHeldBytes() { return s_pool.held; }

void zrPoolFree(void* p) {
    if (!p) return;
    if (!Known(p)) {
        free(p);
        return;
    }
    size_t cls = BlockClass(p);
    memcpy(p, &s_pool.freeList[cls], sizeof(FreeBlock*));
    s_pool.freeList[cls] = static_cast<FreeBlock*>(p);
    if (--s_pool.live == 0) ReleaseChunks();
}

// A block moves whenever its class changes, to a smaller one too, so that a list that
// gives back its spare room (ShrinkToFit) really gives it back.
void* zrPoolResize(void* p, size_t n) {
    if (!p) return BlockAlloc(n);
    size_t had;  // bytes of the old block that may be copied
    if (!Known(p)) {
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
