// NameIndex: a case-folded hash of the names in one list of a key, kept in step with the list.
#ifndef REGINDEX_H
#define REGINDEX_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

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
    // A name's hash and whether it holds "/": taken once by a caller that looks a name up
    // and then appends or removes entries of that name.
    struct Key {
        uint32_t hash;
        bool slash;
    };
    static Key KeyOf(const char* name, size_t len) {
        return Key{Hash(name, len), memchr(name, '/', len) != nullptr};
    }
    bool Append(void* entry, int slot, Key k);
    // Append for n entries (at most kBatch) at once: their homes are fetched from memory
    // together rather than one miss after another, which in a long list is most of the cost.
    static const int kBatch = 16;
    bool AppendBatch(void* const* entries, const int* entrySlots, int n);
    void Remove(void* entry);
    void Remove(void* entry, Key k);
    // `to` takes `from`'s place (a name of the same fold) at `slot`: a replaced value that
    // goes to the end of its list costs one probe, where a removal and an append were two.
    // False when the index does not hold `from`.
    bool Move(void* from, void* to, int slot, uint32_t hash);
    void Clear();
    // Gives every entry the slot newSlot(its slot); newSlot must keep the slots' order.
    template <class F>
    void Renumber(F newSlot) {
        for (uint32_t i = 0; i <= mask; ++i)
            if (slots[i].entry) slots[i].slot = newSlot(slots[i].slot - shift);
        shift = 0;
    }
    // Every entry's slot less `by`: a list that only closed the room before its first entry
    // moved them all alike, and the index follows without a pass over its slots.
    void Shift(int by) {
        shift += by;
        if (shift > (1 << 30)) Renumber([](int s) { return s; });
    }
    // The slot the index holds for `entry`, -1 when it holds none (for tests).
    int SlotOf(void* entry) const;
    uint32_t Stamp() const { return stamp; }
    void SetStamp(uint32_t s) { stamp = s; }

    // The hash of the n bytes at p under zrFold's folding: eight bytes at a step, as a
    // byte-at-a-time hash spent more than the rest of building a long list's index.
    static uint32_t Hash(const char* p, size_t n) {
        const uint64_t k = 0x9E3779B97F4A7C15ull;
        uint64_t h = n * k;
        for (; n >= 8; p += 8, n -= 8) h = Mix(h, FoldWord(Load8(p)));
        if (n > 0) h = Mix(h, FoldWord(LoadShort(p, n)));
        return static_cast<uint32_t>(h ^ (h >> 32));
    }
    // The entry of smallest slot not below `minSlot` whose whole name equals the `len`
    // bytes at `name` ignoring case (`hash` is theirs), with its slot in *slot; null when
    // there is none.
    void* Find(const char* name, size_t len, uint32_t hash, int minSlot, int* slot) const {
        return FindBy(name, len, hash, minSlot, slot, nameOf);
    }
    // Find with the entries' names read through `nameOf`: a caller that knows its entries'
    // kind has the names read inline rather than through the index's function.
    template <class N>
    void* FindBy(const char* name, size_t len, uint32_t hash, int minSlot, int* slot, N nameOf) const {
        void* best = nullptr;
        int bestSlot = 0;
        for (uint32_t i = Home(hash); slots[i].entry; i = (i + 1) & mask) {
            const Slot& s = slots[i];
            if (s.hash != hash || s.slot < minSlot + shift || (best && s.slot >= bestSlot)) continue;
            if (!SameName(nameOf(s.entry), name, len)) continue;
            best = s.entry;
            bestSlot = s.slot;
        }
        if (best && slot) *slot = bestSlot - shift;
        return best;
    }
    // The whole of `stored` equals the `len` bytes at `name`, ignoring case. Folded only
    // where the bytes differ: most names that a lookup meets match as they are.
    static bool SameName(const char* stored, const char* name, size_t len) {
        const unsigned char* a = reinterpret_cast<const unsigned char*>(stored);
        const unsigned char* b = reinterpret_cast<const unsigned char*>(name);
        for (size_t i = 0; i < len; ++i)
            if (a[i] != b[i] && (a[i] == 0 || zrFold(a[i]) != zrFold(b[i]))) return false;
        return a[len] == 0;
    }

private:
    static uint64_t Load8(const char* p) {
        uint64_t w;
        memcpy(&w, p, 8);
        return w;
    }
    static uint64_t Load4(const char* p) {
        uint32_t w;
        memcpy(&w, p, 4);
        return w;
    }
    static uint64_t Load2(const char* p) {
        uint16_t w;
        memcpy(&w, p, 2);
        return w;
    }
    // The n bytes at p (1 to 7) as the low bytes of a word, read in two loads that may
    // overlap: copied byte by byte into a word on the stack, they came back through a load
    // that store forwarding cannot serve, a stall at every lookup of a short name.
    static uint64_t LoadShort(const char* p, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        uint64_t w = 0;  // the shifts below line the bytes up in little-endian order only
        memcpy(&w, p, n);
        return w;
#else
        if (n >= 4) return Load4(p) | Load4(p + n - 4) << (8 * (n - 4));
        if (n >= 2) return Load2(p) | Load2(p + n - 2) << (8 * (n - 2));
        return static_cast<unsigned char>(p[0]);
#endif
    }
    // Adds 0x20 to every byte of w from 'A' to 'Z', as zrFold does to each.
    static uint64_t FoldWord(uint64_t w) {
        const uint64_t ones = 0x0101010101010101ull, high = ones * 0x80;
        uint64_t low7 = w & ~high;
        uint64_t atLeastA = low7 + ones * (0x80 - 'A');
        uint64_t aboveZ = low7 + ones * (0x80 - 'Z' - 1);
        uint64_t upper = atLeastA & ~aboveZ & ~w & high;
        return w | (upper >> 2);
    }
    static uint64_t Mix(uint64_t h, uint64_t w) {
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        return h ^ (h >> 29);
    }
    struct Slot {
        void* entry;  // null: empty
        uint32_t hash;
        int slot;
    };
    bool Grow();
    void Insert(const Slot& s);
    // A name's home slot. The hash's low bits are poorly mixed (a multiply carries only
    // upward: its lowest bit is the parity of the names' lowest bits), which made long runs
    // of names that differ in their last bytes share homes; the finaliser spreads them.
    uint32_t Home(uint32_t h) const {
        h ^= h >> 16;
        h *= 0x85ebca6bu;
        h ^= h >> 13;
        return h & mask;
    }

    NameOf nameOf = nullptr;
    Slot* slots = nullptr;
    uint32_t mask = 0;  // capacity - 1; the capacity is a power of 2
    int count = 0;
    int slashNames = 0;
    int shift = 0;  // a stored slot less this is the entry's slot
    uint32_t stamp = 0;
};

#endif
