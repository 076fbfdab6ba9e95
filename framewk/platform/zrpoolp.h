// The block pool's own declarations, shared by zrpool.cpp (blocks, pages and arenas) and
// zrpoolchunks.cpp (the chunks the pool has from the system) only.
#ifndef ZRPOOLP_H
#define ZRPOOLP_H

#include <stddef.h>
#include <stdint.h>

#include "zrsync.h"

// The sanitizer builds use the C allocator alone, so that they keep checking every block.
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

// The globals below are hidden, so that every free reaches s_known and s_pool straight
// rather than through the global offset table, as when one file held them.
#if defined(__ELF__)
#define ZR_POOL_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZR_POOL_HIDDEN
#endif

namespace zrpool {

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
extern ZR_POOL_HIDDEN Pool s_pool;

inline Chunk* ChunkBase(const void* p) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(kChunk - 1));
}

// The chunk source of zrpoolchunks.cpp (the known set, the spares, the mapping) is shared by
// the threads of all pools; s_mutex guards it. Only Known reads without it.
extern ZR_POOL_HIDDEN ZrMutex s_mutex;
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
extern ZR_POOL_HIDDEN ZrArenaLink* s_arenas;
extern ZR_POOL_HIDDEN int s_active;

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
inline uintptr_t* Slots(const KnownSet* k) {
    return reinterpret_cast<uintptr_t*>(const_cast<KnownSet*>(k) + 1);
}
extern ZR_POOL_HIDDEN KnownSet* s_known;

inline size_t Home(uintptr_t base, size_t mask) {
    return static_cast<size_t>((static_cast<uint64_t>(base / kChunk) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

// Of zrpoolchunks.cpp, under s_mutex unless said: a new chunk for `pool` (ChunkAlloc takes the
// lock itself); the rebuilt sets no reader holds any more freed; the pool's chunks given back
// when its last block is freed (ReleaseChunks takes the lock itself).
Chunk* ChunkAllocHeld(Pool* pool);
Chunk* ChunkAlloc(Pool* pool);
void FreeRetired();
void ReleaseChunks();

}  // namespace zrpool

#endif
