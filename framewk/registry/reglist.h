// RegList: the list behind a key's subkeys and values, in insertion order, with removal in O(1).
// The key lists outgrew the growable array (TArray, which keeps the open-key stack): its
// removal moves every later entry, so deleting the values of a key with a million of them
// one by one took quadratic time; and a list here must also hand its name index the slots
// that entries keep between compactions.
#ifndef REGLIST_H
#define REGLIST_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <utility>

#include "zrplat.h"

// The entries sit in an array of slots in list order. Taking out the first or the last
// entry moves a bound of the list; taking out one between them leaves a hole (a null
// slot). Holes are closed (the entries moved down, in order) when they outnumber the
// entries and when the array is full, so that every compaction is paid for by the removals
// that made its holes or the additions that filled the array. A removal never allocates.
//
// While there are holes, the i-th entry of an array of fewer than kRankFrom slots is found
// by counting; in a longer one through a rank structure in the same block as the slots: a
// bit per slot (set: an entry) and a Fenwick tree of the entries per 64 slots, filled when
// the first hole is made and kept in step until the next compaction. Moves() counts the
// compactions that moved entries to other slots, so that a name index holding slots can
// tell it must renumber.
// The map of the last compaction (see MappedSlot), held for the one list that made it: it
// is read in the same change that made it, so that no list keeps a word for it. Lists change
// only under the tree's lock, one change at a time.
struct RegListLastMap {
    const void* list;
    uint32_t moves;
    int map;
};
inline RegListLastMap g_regListLastMap;

template <class T>
class RegList {
public:
    ZR_POOLED_CLASS
    RegList() = default;
    ~RegList() {
        zrFree(slots);
        if (g_regListLastMap.list == this) g_regListLastMap.list = nullptr;
    }
    RegList(const RegList&) = delete;
    RegList& operator=(const RegList&) = delete;

    static const int kRankFrom = 64;

    int GetSize() const { return live; }
    // The i-th entry in list order, 0 <= i < GetSize().
    T* GetAt(int i) const { return slots[SlotOf(i)]; }
    int SlotOf(int i) const { return Holes() == 0 ? begin + i : cap < kRankFrom ? Scan(i) : Select(i); }
    // The slots of the list are [FirstSlot(), EndSlot()); a hole holds null. The first and
    // the last slot always hold an entry.
    int FirstSlot() const { return begin; }
    int EndSlot() const { return end; }
    T* AtSlot(int s) const { return slots[s]; }
    uint32_t Moves() const { return moves; }
    // After a compaction in place of a list that kept the rank structure, the rank bits of
    // before it are still there, and tell each entry's new slot from its old one: a name
    // index whose slots agreed with the list just before that compaction (its stamp is one
    // move behind) renumbers from them, without reading a name.
    bool MapsFrom(uint32_t stamp) const { return Map() != kNoMap && stamp + 1 == moves; }
    // The shift of every entry in that compaction, when it moved them all alike; else -1.
    int MappedShift() const { return Map() >= 0 ? Map() : -1; }
    int MappedSlot(int old) const {
        if (Map() >= 0) return old - Map();
        uint64_t below = Bits()[old / 64] & ((uint64_t(1) << (old % 64)) - 1);
        return Tree()[old / 64 + 1] + __builtin_popcountll(below);
    }

    // Room for n more entries at the end, so that the next n Adds cannot fail.
    bool Reserve(int n);
    // The next n Adds move no entry.
    bool Fits(int n) const { return end + n <= cap; }
    // Room for exactly n entries in a list that never had any; a hint, which changes
    // nothing when it cannot be followed.
    void Presize(int n) {
        if (cap != 0 || n <= 0) return;
        if (T** b = static_cast<T**>(zrMalloc(BlockBytes(n)))) {
            slots = b;
            cap = n;
            Unrank();
        }
    }
    // Appends e; its slot, or -1 when out of memory (the list is then unchanged).
    int Add(T* e);
    // Inserts count copies of e before the i-th entry; false when out of memory.
    bool InsertAt(int i, T* e, int count);
    void RemoveSlot(int s);
    void RemoveAt(int i, int count) {
        while (count-- > 0) RemoveSlot(SlotOf(i));
    }
    // Gives back the room after the last entry of a list without holes, but for `room`
    // slots (which it makes where they are missing); a list that cannot (holes, or no
    // memory) keeps what it has. Slots do not move.
    void ShrinkToFit(int room = 0) {
        if (Holes() != 0 || begin != 0 || cap == live + room || live == 0) return;
        void* p = zrRealloc(slots, BlockBytes(live + room));
        if (!p) return;
        slots = static_cast<T**>(p);
        cap = live + room;
        Unrank();
    }
    // A long list's first change then neither grows it nor fills its rank structure (for a
    // list of 100,000 entries a few tenths of a millisecond, in fresh memory): the load
    // leaves it a quarter more room and fills the structure.
    void ReadyForChanges() {
        ShrinkToFit(live / 4);
        if (cap >= kRankFrom && !Ranked()) FillRank();
    }
    // Puts e into the occupied slot s in place of its entry: the list's order stays.
    void ReplaceSlot(int s, T* e) { slots[s] = e; }
    // Exchanges the whole content (the spare word too) with `o`: a renamed key's lists go
    // over to its new node.
    void Swap(RegList& o) {
        std::swap(begin, o.begin);
        std::swap(end, o.end);
        std::swap(cap, o.cap);
        std::swap(live, o.live);
        std::swap(moves, o.moves);
        std::swap(slots, o.slots);
        std::swap(spare, o.spare);
        SetMap(kNoMap);
        o.SetMap(kNoMap);
    }
    void RemoveAll() {
        zrFree(slots);
        slots = nullptr;
        begin = end = cap = live = 0;
        ++moves;
        SetMap(kNoMap);
    }

    // Kept for the list's owner, in what would be padding: a key keeps its open count in
    // its values' list, which makes the key 8 bytes smaller.
    int32_t spare = 0;

private:
    int Holes() const { return end - begin - live; }
    static int Blocks(int c) { return (c + 63) / 64; }
    static size_t RankOffset(int c) {
        return (static_cast<size_t>(c) * sizeof(T*) + 7) & ~static_cast<size_t>(7);
    }
    static size_t BlockBytes(int c) {
        if (c < kRankFrom) return static_cast<size_t>(c) * sizeof(T*);
        size_t b = static_cast<size_t>(Blocks(c));
        return RankOffset(c) + b * sizeof(uint64_t) + (b + 1) * sizeof(int32_t);
    }
    uint64_t* Bits() const {
        return reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(slots) + RankOffset(cap));
    }
    // tree[1..Blocks] is the Fenwick tree; tree[0] is 1 while the structure is filled.
    int32_t* Tree() const { return reinterpret_cast<int32_t*>(Bits() + Blocks(cap)); }
    bool Ranked() const { return cap >= kRankFrom && Tree()[0] != 0; }
    void Unrank() {
        if (cap >= kRankFrom) Tree()[0] = 0;
        SetMap(kNoMap);
    }
    void Count(int s, int delta) {
        Bits()[s / 64] ^= uint64_t(1) << (s % 64);
        int32_t* t = Tree();
        for (int i = s / 64 + 1, n = Blocks(cap); i <= n; i += i & -i) t[i] += delta;
    }
    void FillRank();
    int Select(int k) const;
    int Scan(int k) const {
        int s = begin;
        for (;; ++s)
            if (slots[s] && k-- == 0) return s;
    }
    void Compact();

    // After `spare`, so that the five words and it fill the room before the pointer.
    int begin = 0, end = 0, cap = 0, live = 0;
    uint32_t moves = 0;
    T** slots = nullptr;
    // How MappedSlot answers for the last compaction: kNoMap, not at all; kByRank, from
    // the rank bits; 0 or more, the shift of every entry (a list without holes).
    static const int kNoMap = -2, kByRank = -1;
    int Map() const {
        const RegListLastMap& m = g_regListLastMap;
        return m.list == this && m.moves == moves ? m.map : kNoMap;
    }
    void SetMap(int map) {
        if (map != kNoMap) {
            g_regListLastMap = RegListLastMap{this, moves, map};
        } else if (g_regListLastMap.list == this) {
            g_regListLastMap.list = nullptr;
        }
    }
};

template <class T>
void RegList<T>::FillRank() {
    int n = Blocks(cap);
    uint64_t* bits = Bits();
    int32_t* t = Tree();
    memset(bits, 0, sizeof(uint64_t) * static_cast<size_t>(n));
    for (int s = begin; s < end; ++s)
        if (slots[s]) bits[s / 64] |= uint64_t(1) << (s % 64);
    SetMap(kNoMap);
    for (int i = 1; i <= n; ++i) t[i] = __builtin_popcountll(bits[i - 1]);
    for (int i = 1; i <= n; ++i) {
        int j = i + (i & -i);
        if (j <= n) t[j] += t[i];
    }
    t[0] = 1;
}

// The slot of the k-th entry: the Fenwick tree gives its block, the block's bits the slot.
template <class T>
int RegList<T>::Select(int k) const {
    const int32_t* t = Tree();
    int n = Blocks(cap), pos = 0, step = 1;
    while (step * 2 <= n) step *= 2;
    for (; step > 0; step /= 2) {
        if (pos + step <= n && t[pos + step] <= k) {
            pos += step;
            k -= t[pos];
        }
    }
    uint64_t w = Bits()[pos];
    for (; k > 0; --k) w &= w - 1;
    return pos * 64 + __builtin_ctzll(w);
}

// For MappedSlot: a list without holes only shifts; a ranked one keeps its bits, and its
// Fenwick tree becomes the count of entries before each block (tree[b + 1] for block b).
template <class T>
void RegList<T>::Compact() {
    if (begin == 0 && Holes() == 0) return;
    bool ranked = Ranked();
    int shift = Holes() == 0 ? begin : kNoMap;
    int w = 0;
    for (int s = begin; s < end; ++s)
        if (slots[s]) slots[w++] = slots[s];
    begin = 0;
    end = w;
    Unrank();
    ++moves;
    SetMap(shift);
    if (ranked && shift < 0) {
        int32_t* t = Tree();
        int n = Blocks(cap);
        for (int i = n; i >= 1; --i) {  // back to the entries of each block
            int j = i + (i & -i);
            if (j <= n) t[j] -= t[i];
        }
        int32_t before = 0;
        for (int i = 1; i <= n; ++i) {
            int32_t c = t[i];
            t[i] = before;
            before += c;
        }
        SetMap(kByRank);
    }
}

template <class T>
bool RegList<T>::Reserve(int n) {
    if (end + n <= cap) return true;
    int dead = begin + Holes();
    if (live + n <= cap && dead >= cap / 4) {
        Compact();
        return true;
    }
    if (live > (0x7fffffff - n) / 2) return false;
    int grow = live >= 1024 ? live : (live / 2 < 8 ? 8 : live / 2);
    int c = live + (grow > n ? grow : n);
    T** b = static_cast<T**>(zrMalloc(BlockBytes(c)));
    if (!b) return false;
    int w = 0;
    for (int s = begin; s < end; ++s)
        if (slots[s]) b[w++] = slots[s];
    if (dead > 0) ++moves;
    zrFree(slots);
    slots = b;
    cap = c;
    begin = 0;
    end = w;
    Unrank();
    return true;
}

template <class T>
int RegList<T>::Add(T* e) {
    if (!Reserve(1)) return -1;
    int s = end++;
    slots[s] = e;
    ++live;
    if (Ranked()) Count(s, 1);
    return s;
}

template <class T>
bool RegList<T>::InsertAt(int i, T* e, int count) {
    if (count <= 0) return true;
    if (i >= live) {
        if (!Reserve(count)) return false;
        for (int k = 0; k < count; ++k) Add(e);
        return true;
    }
    if (i == 0 && begin >= count) {  // into the room that removals at the front left
        for (int k = 0; k < count; ++k) {
            slots[--begin] = e;
            if (Ranked()) Count(begin, 1);
        }
        live += count;
        return true;
    }
    if (!Reserve(count)) return false;
    Compact();
    int s = begin + i;
    memmove(static_cast<void*>(slots + s + count), slots + s, sizeof(T*) * static_cast<size_t>(end - s));
    for (int k = 0; k < count; ++k) slots[s + k] = e;
    end += count;
    live += count;
    Unrank();
    ++moves;
    return true;
}

template <class T>
void RegList<T>::RemoveSlot(int s) {
    slots[s] = nullptr;
    --live;
    if (Ranked()) Count(s, -1);
    if (s == begin) {
        while (begin < end && !slots[begin]) ++begin;
    } else if (s == end - 1) {
        while (end > begin && !slots[end - 1]) --end;
    } else if (cap >= kRankFrom && !Ranked()) {
        FillRank();
    }
    if (live == 0) {
        begin = end = 0;
    } else if (Holes() > live) {
        Compact();
    }
}

#endif
