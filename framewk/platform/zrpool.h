// The block pool: where the library's own blocks come from (see zrpool.cpp for why).
#ifndef ZRPOOL_H
#define ZRPOOL_H

#include <stddef.h>

// A block of n bytes (aligned to 8 when n is a multiple of 8, else to 4), null when none
// can be had. Fault injection is the caller's (zrMalloc, zrRealloc and zrNew count before
// they call in here).
void* zrPoolAlloc(size_t n);
// Takes back a block of zrPoolAlloc or zrPoolResize; null is ignored.
void zrPoolFree(void* p);
// Like realloc: the block moves or grows in place; null (the block untouched) on failure.
void* zrPoolResize(void* p, size_t n);
// The bytes of the pages the calling thread's pool (or arena) has handed out to its size
// classes (for measurements).
size_t zrPoolHeldBytes();
// Whether the pool takes p for a block of its own chunks (for tests): an address the
// system got back must be the C allocator's again.
bool zrPoolOwns(const void* p);

// An arena of its own for a thread that builds part of a tree beside the thread that holds
// the library's lock. The holding thread makes it before it starts the other (null where the
// build has no arenas: the caller must then not build beside it); from zrPoolArenaBegin until
// zrPoolArenaEnd the other thread's zrPoolAlloc, zrPoolFree and zrPoolResize work on the
// arena instead of the pool, with no lock but on the rare taking of a page.
struct ZrPoolArena;
ZrPoolArena* zrPoolArenaNew();
void zrPoolArenaBegin(ZrPoolArena* arena);
void zrPoolArenaEnd();  // the calling thread is back on the pool; the arena stays for merging
// Folds an ended arena, whose thread has been joined, into the pool: its blocks are the
// pool's from then on, freed by any thread under the usual one-at-a-time rule. Frees the
// arena record.
void zrPoolArenaMerge(ZrPoolArena* arena);

// For a thread that faults the pool's memory in ahead of a load (zrahead.cpp). Maps, without
// touching them, chunks enough for `bytes` more than the pool holds free, to be used after
// the spare ones, and lists the chunk in use and the new ones, in the order of their use,
// in out[]; begunAt[i] is the count of zrPoolChunksBegun() at which out[i] comes into use.
// Returns how many it listed, at most `max`; 0 where the pool does not map chunks itself.
int zrPoolPlan(size_t bytes, void** out, long* begunAt, int max);
// Gives back to the system the chunks of a plan (as zrPoolPlan listed them) that the load
// never began, so that a load that needed less, or failed early, keeps no address space.
void zrPoolUnplan(void* const* chunks, const long* begunAt, int count);
// A load of about `bytes` of content begins (any thread): where that fills several chunks and
// the pool has none yet, its first is mapped in huge pages like the others (zrpoolchunks.cpp).
void zrPoolExpect(size_t bytes);
// Chunks the pool has begun to carve since the process started; any thread may ask.
long zrPoolChunksBegun();
// Faults in every page of a chunk from zrPoolPlan without changing its bytes; any thread.
void zrPoolFaultIn(void* chunk);

#endif
