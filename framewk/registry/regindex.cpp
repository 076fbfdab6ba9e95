// The name index of a key's list: open addressing with linear probing over folded-name hashes.
#include "regindex.h"

#include <string.h>

#include "zrplat.h"

namespace {

NameIndex::Key KeyOfName(const char* name) { return NameIndex::KeyOf(name, strlen(name)); }

}  // namespace

NameIndex* NameIndex::Create(int count, NameOf nameOf) {
    NameIndex* x = zrNew<NameIndex>();
    if (!x) return nullptr;
    x->nameOf = nameOf;
    uint32_t cap = 16;
    while (cap < static_cast<uint32_t>(count) * 2) cap *= 2;
    x->slots = static_cast<Slot*>(zrMalloc(sizeof(Slot) * cap));
    if (!x->slots) {
        delete x;
        return nullptr;
    }
    memset(static_cast<void*>(x->slots), 0, sizeof(Slot) * cap);
    x->mask = cap - 1;
    return x;
}

NameIndex::~NameIndex() { zrFree(slots); }

void NameIndex::Clear() {
    memset(static_cast<void*>(slots), 0, sizeof(Slot) * (mask + 1));
    count = 0;
    slashNames = 0;
    shift = 0;
}

void NameIndex::Insert(const Slot& s) {
    uint32_t i = Home(s.hash);
    while (slots[i].entry) i = (i + 1) & mask;
    slots[i] = s;
}

bool NameIndex::Grow() {
    uint32_t cap = (mask + 1) * 2;
    Slot* grown = static_cast<Slot*>(zrMalloc(sizeof(Slot) * cap));
    if (!grown) return false;
    memset(static_cast<void*>(grown), 0, sizeof(Slot) * cap);
    Slot* old = slots;
    uint32_t oldCap = mask + 1;
    slots = grown;
    mask = cap - 1;
    for (uint32_t i = 0; i < oldCap; ++i)
        if (old[i].entry) Insert(old[i]);
    zrFree(old);
    return true;
}

bool NameIndex::Append(void* entry, int slot) { return Append(entry, slot, KeyOfName(nameOf(entry))); }

bool NameIndex::Append(void* entry, int slot, Key k) {
    if (static_cast<uint32_t>(count + 1) * 2 > mask + 1 && !Grow()) return false;
    Insert(Slot{entry, k.hash, slot + shift});
    ++count;
    if (k.slash) ++slashNames;
    return true;
}

bool NameIndex::AppendBatch(void* const* entries, const int* entrySlots, int n) {
    if (static_cast<uint32_t>(count + n) * 2 > mask + 1) {
        for (int i = 0; i < n; ++i)
            if (!Append(entries[i], entrySlots[i])) return false;
        return true;
    }
    uint32_t hashes[kBatch];
    for (int i = 0; i < n; ++i) {
        Key k = KeyOfName(nameOf(entries[i]));
        hashes[i] = k.hash;
        if (k.slash) ++slashNames;
        __builtin_prefetch(&slots[Home(hashes[i])], 1);
    }
    for (int i = 0; i < n; ++i) Insert(Slot{entries[i], hashes[i], entrySlots[i] + shift});
    count += n;
    return true;
}

int NameIndex::SlotOf(void* entry) const {
    for (uint32_t i = Home(KeyOfName(nameOf(entry)).hash); slots[i].entry; i = (i + 1) & mask)
        if (slots[i].entry == entry) return slots[i].slot - shift;
    return -1;
}

bool NameIndex::Move(void* from, void* to, int slot, uint32_t hash) {
    for (uint32_t i = Home(hash); slots[i].entry; i = (i + 1) & mask) {
        if (slots[i].entry != from) continue;
        slots[i].entry = to;
        slots[i].slot = slot + shift;
        return true;
    }
    return false;
}

void NameIndex::Remove(void* entry) { Remove(entry, KeyOfName(nameOf(entry))); }

void NameIndex::Remove(void* entry, Key k) {
    uint32_t i = Home(k.hash);
    while (slots[i].entry && slots[i].entry != entry) i = (i + 1) & mask;
    if (!slots[i].entry) return;
    // Backward-shift deletion keeps every probe sequence unbroken without tombstones.
    for (uint32_t j = (i + 1) & mask; slots[j].entry; j = (j + 1) & mask) {
        uint32_t home = Home(slots[j].hash);
        bool movable = (j > i) ? (home <= i || home > j) : (home <= i && home > j);
        if (movable) {
            slots[i] = slots[j];
            i = j;
        }
    }
    slots[i].entry = nullptr;
    --count;
    if (k.slash) --slashNames;
}
