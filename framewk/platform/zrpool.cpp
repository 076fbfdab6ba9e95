// The block pool under the library's allocations: size classes carved out of large chunks.
#include "zrpool.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// A load makes millions of small blocks (names, texts, nodes, list blocks), and the C
// allocator spends more time on them than the scanner and parser together. Blocks of up
// to kPoolMax bytes therefore come from size classes carved out of large chunks and are
// kept on free lists by class; larger ones come from the C allocator. Each block carries
// an 8-byte header naming its class (0: the C allocator's), so zrFree tells them apart.
// When the last pooled block is freed, the chunks are emptied and kept for the next load (see
// the spares below); only surplus ones go back to the system. The
// sanitizer builds use the C allocator alone, so that they keep checking every block.
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

struct BlockHeader {
    uint32_t cls;   // size class (payload of 8 * cls bytes); 0: from the C allocator
    uint32_t size;  // the bytes asked for
};
static_assert(sizeof(BlockHeader) == 8, "the header keeps payloads 8-byte aligned");

const size_t kGranule = 8;
const size_t kPoolMax = 256;
const size_t kClasses = kPoolMax / kGranule;
const size_t kFirstChunk = 64 * 1024;
const size_t kLastChunk = 2 * 1024 * 1024;  // a huge page where the system has them

struct Chunk {
    Chunk* next;
    size_t size;
};

struct FreeBlock {
    FreeBlock* next;
};

struct Pool {
    FreeBlock* freeList[kClasses + 1];
    char* cur;  // bump region of the newest chunk
    char* end;
    Chunk* chunks;
    size_t nextChunk;
    long live;    // pooled blocks not yet freed
    size_t held;  // bytes of the chunks in use
};
Pool s_pool;

#if defined(__linux__)
// Emptied huge chunks, kept for the next load: a registry that is loaded again finds its
// memory without the cost of the system clearing it anew, and until then the system may
// take the pages back whenever it needs them.
const int kMaxSpare = 1024;
Chunk* s_spare[kMaxSpare];
int s_spareCount;

// Mapped on its own and aligned to its size, so that it can be one huge page.
Chunk* MapHugeChunk() {
    if (s_spareCount > 0) return s_spare[--s_spareCount];
    size_t span = 2 * kLastChunk;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    uintptr_t p = reinterpret_cast<uintptr_t>(m);
    uintptr_t a = (p + kLastChunk - 1) & ~static_cast<uintptr_t>(kLastChunk - 1);
    if (a > p) munmap(m, a - p);
    if (p + span > a + kLastChunk)
        munmap(reinterpret_cast<void*>(a + kLastChunk), p + span - (a + kLastChunk));
    madvise(reinterpret_cast<void*>(a), kLastChunk, MADV_HUGEPAGE);
    return reinterpret_cast<Chunk*>(a);
}
#endif

// Emptied smaller chunks, one of each size, kept as well: every load begins with the same
// sizes, and a small registry loaded again would otherwise fault its memory in anew.
const int kSmallSizes = 5;  // kFirstChunk << 0 .. 4, below kLastChunk
static_assert((kFirstChunk << (kSmallSizes - 1)) < kLastChunk, "the small sizes lie below the huge one");
Chunk* s_smallSpare[kSmallSizes];

int SmallSlot(size_t size) {
    for (int i = 0; i < kSmallSizes; ++i)
        if (size == kFirstChunk << i) return i;
    return -1;
}

Chunk* ChunkAlloc(size_t size) {
#if defined(__linux__)
    if (size == kLastChunk) return MapHugeChunk();
#endif
    int slot = SmallSlot(size);
    if (slot >= 0 && s_smallSpare[slot]) {
        Chunk* c = s_smallSpare[slot];
        s_smallSpare[slot] = nullptr;
        return c;
    }
    return static_cast<Chunk*>(malloc(size));
}

void ChunkFree(Chunk* c) {
    int slot = SmallSlot(c->size);
    if (slot >= 0 && !s_smallSpare[slot]) {
        s_smallSpare[slot] = c;
        return;
    }
#if defined(__linux__)
    if (c->size == kLastChunk) {
        if (s_spareCount < kMaxSpare) {
#ifdef MADV_FREE
            madvise(c, kLastChunk, MADV_FREE);
#endif
            s_spare[s_spareCount++] = c;
        } else {
            munmap(c, kLastChunk);
        }
        return;
    }
#endif
    free(c);
}

bool NewChunk(size_t need) {
    size_t size = s_pool.nextChunk ? s_pool.nextChunk : kFirstChunk;
    while (size < need + sizeof(Chunk)) size *= 2;
    Chunk* c = ChunkAlloc(size);
    if (!c) return false;
    c->next = s_pool.chunks;
    c->size = size;
    s_pool.chunks = c;
    s_pool.held += size;
    s_pool.cur = reinterpret_cast<char*>(c) + sizeof(Chunk);
    s_pool.end = reinterpret_cast<char*>(c) + size;
    s_pool.nextChunk = size < kLastChunk ? size * 2 : kLastChunk;
    return true;
}

void ReleaseChunks() {
    for (Chunk* c = s_pool.chunks; c;) {
        Chunk* next = c->next;
        ChunkFree(c);
        c = next;
    }
    s_pool = Pool();
}

void* BlockAlloc(size_t n) {
    if (n > UINT32_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader* h;
    size_t cls = (n + kGranule - 1) / kGranule;
    if (cls == 0) cls = 1;
    if (!ZR_POOL || n > kPoolMax) {
        h = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + n));
        if (!h) return nullptr;
        cls = 0;
    } else if (FreeBlock* f = s_pool.freeList[cls]) {
        s_pool.freeList[cls] = f->next;
        h = reinterpret_cast<BlockHeader*>(f) - 1;
        ++s_pool.live;
    } else {
        size_t bytes = sizeof(BlockHeader) + cls * kGranule;
        if (static_cast<size_t>(s_pool.end - s_pool.cur) < bytes && !NewChunk(bytes)) return nullptr;
        h = reinterpret_cast<BlockHeader*>(s_pool.cur);
        s_pool.cur += bytes;
        ++s_pool.live;
    }
    h->cls = static_cast<uint32_t>(cls);
    h->size = static_cast<uint32_t>(n);
    return h + 1;
}

}  // namespace

void* zrPoolAlloc(size_t n) { return BlockAlloc(n); }

size_t zrPoolHeldBytes() { return s_pool.held; }

void zrPoolFree(void* p) {
    if (!p) return;
    BlockHeader* h = static_cast<BlockHeader*>(p) - 1;
    if (h->cls == 0) {
        free(h);
        return;
    }
    FreeBlock* f = static_cast<FreeBlock*>(p);
    f->next = s_pool.freeList[h->cls];
    s_pool.freeList[h->cls] = f;
    if (--s_pool.live == 0) ReleaseChunks();
}

void* zrPoolResize(void* p, size_t n) {
    if (!p) return BlockAlloc(n);
    BlockHeader* h = static_cast<BlockHeader*>(p) - 1;
    if (h->cls == 0 && n > kPoolMax) {
        if (n > UINT32_MAX - sizeof(BlockHeader)) return nullptr;
        BlockHeader* g = static_cast<BlockHeader*>(realloc(h, sizeof(BlockHeader) + n));
        if (!g) return nullptr;
        g->size = static_cast<uint32_t>(n);
        return g + 1;
    }
    if (h->cls != 0 && n <= h->cls * kGranule && n > 0) {
        h->size = static_cast<uint32_t>(n);
        return p;
    }
    void* q = BlockAlloc(n);
    if (!q) return nullptr;
    memcpy(q, p, h->size < n ? h->size : n);
    zrPoolFree(p);
    return q;
}
