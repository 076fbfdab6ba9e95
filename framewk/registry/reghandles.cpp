// The handle table (see regp.h): the slots of the handles a host holds, and their reuse.
#include <stdlib.h>

#include "registry.h"
#include "zrplat.h"

RegHandleTable RegHandles;
static const uint32_t kMaxSlots = uint32_t(1) << kRegIndexBits;

static int ChunkOf(uint32_t index, uint32_t* offset) {
    uint32_t at = index + (1u << kRegFirstChunkBits);
    int top = 31 - __builtin_clz(at);
    *offset = at - (1u << top);
    return top - kRegFirstChunkBits;
}

RegHandleSlot* RegHandleFarSlot(uintptr_t index) {
    if (index >= kMaxSlots) return nullptr;
    uint32_t offset;
    RegHandleSlot* chunk =
        __atomic_load_n(&RegHandles.chunks[ChunkOf(static_cast<uint32_t>(index), &offset)], __ATOMIC_ACQUIRE);
    return chunk ? chunk + offset : nullptr;
}

static RegHandleSlot* SlotAt(uint32_t index) {
    uint32_t offset;
    return RegHandles.chunks[ChunkOf(index, &offset)] + offset;
}

// A slot never handed out, its chunk allocated (zeroed: even serials, no handle) when it
// is the chunk's first; null without memory.
static RegHandleSlot* FreshSlot() {
    if (RegHandles.used == kMaxSlots) return nullptr;
    uint32_t offset;
    int k = ChunkOf(RegHandles.used, &offset);
    if (!RegHandles.chunks[k]) {
        if (zrAllocShouldFail()) return nullptr;
        size_t n = size_t(1) << (kRegFirstChunkBits + k);
        void* block = calloc(n + 1, sizeof(RegHandleSlot));
        if (!block) return nullptr;
        RegHandles.blocks[k] = block;
        uintptr_t line = (reinterpret_cast<uintptr_t>(block) + alignof(RegHandleSlot) - 1) &
                         ~static_cast<uintptr_t>(alignof(RegHandleSlot) - 1);
        __atomic_store_n(&RegHandles.chunks[k], reinterpret_cast<RegHandleSlot*>(line), __ATOMIC_RELEASE);
    }
    RegHandleSlot* slot = RegHandles.chunks[k] + offset;
    slot->index = RegHandles.used++;
    return slot;
}

static RegHandleSlot* RestedSlot() {
    RegHandleSlot* slot = SlotAt(RegHandles.freeHead);
    RegHandles.freeHead = slot->nextFree;
    --RegHandles.freeCount;
    return slot;
}

REG_HANDLE RegHandleAt(const char* path) {
    REG_HANDLE h = {};
    h.type = REGHANDLE_KEY;
    h.ptr = const_cast<char*>(path);
    return h;
}

HKEY RegHandleNew(char* path, int parts) {
    RegHandleSlot* slot = RegHandles.freeCount > kRegSlotsResting ? RestedSlot() : FreshSlot();
    if (!slot && RegHandles.freeCount) slot = RestedSlot();
    if (!slot) return nullptr;
    HKEY h = &slot->key;
    h->type = REGHANDLE_KEY;
    h->ptr = path;
    h->parts = parts;
    h->node = nullptr;
    h->gen = 0;
    __atomic_store_n(&slot->owner, RegApps.now, __ATOMIC_RELAXED);
    if (RegApps.now) ++RegApps.now->handles;
    // Filled before its serial goes odd: whoever finds the handle by its token finds it whole.
    __atomic_store_n(&slot->serial, slot->serial + 1, __ATOMIC_RELEASE);
    return h;
}

void RegHandleFree(HKEY h) {
    RegHandleSlot* slot = reinterpret_cast<RegHandleSlot*>(h);
    __atomic_store_n(&slot->serial, slot->serial + 1, __ATOMIC_RELEASE);
    if (slot->owner) --slot->owner->handles;
    zrFree(h->ptr);
    h->ptr = nullptr;
    if (RegHandles.freeCount++ == 0) {
        RegHandles.freeHead = slot->index;
    } else {
        SlotAt(RegHandles.freeTail)->nextFree = slot->index;
    }
    RegHandles.freeTail = slot->index;
}

void RegHandleFreeAll() {
    for (uint32_t i = 0; i < RegHandles.used; ++i) {
        RegHandleSlot* slot = SlotAt(i);
        if ((slot->serial & 1) && slot->owner == RegApps.now) RegHandleFree(&slot->key);
    }
}

void RegHandleEach(void (*f)(HKEY h)) {
    for (uint32_t i = 0; i < RegHandles.used; ++i) {
        RegHandleSlot* slot = SlotAt(i);
        if ((slot->serial & 1) && slot->owner == RegApps.now) f(&slot->key);
    }
}

void RegHandleRelease() {
    for (uint32_t i = 0; i < RegHandles.used; ++i)
        if (SlotAt(i)->serial & 1) return;
    for (int k = 0; k < kRegChunks; ++k) {
        free(RegHandles.blocks[k]);
        RegHandles.blocks[k] = nullptr;
        RegHandles.chunks[k] = nullptr;
    }
    RegHandles.used = RegHandles.freeHead = RegHandles.freeTail = RegHandles.freeCount = 0;
}

// ---- the predefined handles, as the unload and a reload close them -------------------------

static void CloseCached(HKEY* cache) {
    if (*cache) {
        CfRegCloseKey(*cache);
        *cache = nullptr;
    }
}

void cfRegCloseHKLM() { CloseCached(&RegTreeNow->hklm); }

void cfRegCloseHKCU() { CloseCached(&RegTreeNow->hkcu); }

void HkeyArdoRootClose() { CloseCached(&RegTreeNow->ardoRoot); }

void cfRegClosePredefined() {
    cfRegCloseHKLM();
    cfRegCloseHKCU();
    HkeyArdoRootClose();
}
