// The block pool: where the library's own blocks come from (see zrpool.cpp for why).
#ifndef ZRPOOL_H
#define ZRPOOL_H

#include <stddef.h>

// A block of n bytes, null when none can be had. Fault injection is the caller's
// (zrMalloc, zrRealloc and zrNew count before they call in here).
void* zrPoolAlloc(size_t n);
// Takes back a block of zrPoolAlloc or zrPoolResize; null is ignored.
void zrPoolFree(void* p);
// Like realloc: the block moves or grows in place; null (the block untouched) on failure.
void* zrPoolResize(void* p, size_t n);
// The bytes of the pages the pool has handed out to its size classes (for measurements).
size_t zrPoolHeldBytes();

#endif
