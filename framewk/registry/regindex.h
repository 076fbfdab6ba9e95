// NameIndex: a case-folded hash of the names in one list of a key, kept in step with the list.
#ifndef REGINDEX_H
#define REGINDEX_H

#include <stddef.h>
#include <stdint.h>

#include "zrplat.h"

// Maps folded names to the entries of a list (subkeys or values) and their slots in the
// list. Slots grow along the list, so that among entries of equal names the first in list
// order is the one with the smallest slot. The owner appends and removes through Append
// and Remove exactly as it changes the list, and renumbers (Clear, then Append every
// entry) when the list moves its entries to other slots; Stamp records the list's count of
// such moves that the slots agree with.
class NameIndex {
public:
    ZR_POOLED_CLASS
    typedef const char* (*NameOf)(void* entry);

    // An empty index with room for `count` entries, so that appends cannot fail while it
    // holds no more than `count`; null when out of memory (the owner then scans its list).
    static NameIndex* Create(int count, NameOf nameOf);
    NameIndex() = default;  // unusable; Create makes usable ones
    ~NameIndex();
    NameIndex(const NameIndex&) = delete;
    NameIndex& operator=(const NameIndex&) = delete;

    int Count() const { return count; }
    // True when some name holds "/", so that a path's first component is not the only
    // part of it that a name may match.
    bool HasSlashNames() const { return slashNames > 0; }
    // False when out of memory; the index is then unusable and must be dropped. Growth
    // is needed only beyond the most entries the index has held.
    bool Append(void* entry, int slot);
    void Remove(void* entry);
    void Clear();
    // Gives every entry the slot newSlot(its slot); newSlot must keep the slots' order.
    template <class F>
    void Renumber(F newSlot) {
        for (uint32_t i = 0; i <= mask; ++i)
            if (slots[i].entry) slots[i].slot = newSlot(slots[i].slot);
    }
    // The slot the index holds for `entry`, -1 when it holds none (for tests).
    int SlotOf(void* entry) const;
    uint32_t Stamp() const { return stamp; }
    void SetStamp(uint32_t s) { stamp = s; }

    static uint32_t HashStart() { return 2166136261u; }
    static uint32_t HashStep(uint32_t h, unsigned char c) { return (h ^ zrFold(c)) * 16777619u; }
    // The entry of smallest slot not below `minSlot` whose whole name equals the `len`
    // bytes at `name` ignoring case (`hash` is theirs), with its slot in *slot; null when
    // there is none.
    void* Find(const char* name, size_t len, uint32_t hash, int minSlot, int* slot) const;

private:
    struct Slot {
        void* entry;  // null: empty
        uint32_t hash;
        int slot;
    };
    bool Grow();
    void Insert(const Slot& s);

    NameOf nameOf = nullptr;
    Slot* slots = nullptr;
    uint32_t mask = 0;  // capacity - 1; the capacity is a power of 2
    int count = 0;
    int slashNames = 0;
    uint32_t stamp = 0;
};

#endif
