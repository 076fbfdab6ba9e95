// The keys' last-write times: an open-addressed table from node to time, with linear probes
// and deletion by moving the later entries of a run back (no tombstones to sweep).
#include "regtime.h"

#include <string.h>

#include "regfile.h"

RegKeyTimes::~RegKeyTimes() { zrFree(slots); }

static RegKeyTimes& T() { return RegTreeNow->times; }

static size_t Home(const RegNode* n, size_t mask) {
    uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(n)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 24) & mask;
}

// The slot of `n`, or the free slot where it would go.
static size_t Find(const RegKeyTimes& t, const RegNode* n) {
    size_t i = Home(n, t.mask);
    while (t.slots[i].node && t.slots[i].node != n) i = (i + 1) & t.mask;
    return i;
}

static bool Grow(RegKeyTimes& t) {
    size_t cap = t.slots ? (t.mask + 1) * 2 : 16;
    auto* fresh = static_cast<RegKeyTimes::Slot*>(zrMalloc(cap * sizeof(RegKeyTimes::Slot)));
    if (!fresh) return false;
    memset(fresh, 0, cap * sizeof(RegKeyTimes::Slot));
    RegKeyTimes old = {};
    old.slots = t.slots;
    old.mask = t.mask;
    t.slots = fresh;
    t.mask = cap - 1;
    for (size_t i = 0; old.slots && i <= old.mask; ++i)
        if (old.slots[i].node) t.slots[Find(t, old.slots[i].node)] = old.slots[i];
    return true;  // old frees the old slots
}

static void Set(const RegNode* n, uint64_t time) {
    RegKeyTimes& t = T();
    if ((t.count + 1) * 2 > (t.slots ? t.mask + 1 : 0) && !Grow(t)) return;
    size_t i = Find(t, n);
    if (!t.slots[i].node) ++t.count;
    t.slots[i] = RegKeyTimes::Slot{n, time};
}

void RegKeyChanged(const RegNode* key, const RegNode* also) {
    RegTreeNow->changed = 1;
    uint64_t now = zrFileTimeNow();
    Set(key, now);
    if (also) Set(also, now);
}

uint64_t RegKeyTime(const RegNode* key) {
    const RegKeyTimes& t = T();
    if (!t.count) return t.loaded;
    const RegKeyTimes::Slot& s = t.slots[Find(t, key)];
    return s.node ? s.time : t.loaded;
}

void RegKeyTimesLoaded() {
    ZrFileStamp s;
    if (zrStampOf(RegFile().target, &s)) T().loaded = zrFileTimeOf(s);
}

void RegKeyGone(const RegNode* key) {
    RegKeyTimes& t = T();
    if (key == RegTreeNow->root) {
        zrFree(t.slots);
        t.slots = nullptr;
        t.mask = t.count = 0;
        RegKeyTimesLoaded();
        return;
    }
    if (!t.count) return;
    size_t i = Find(t, key);
    if (!t.slots[i].node) return;
    // Each later entry of the run whose home is not between the hole and itself moves into
    // the hole, which then moves on to where it was.
    for (size_t j = i;;) {
        t.slots[i].node = nullptr;
        for (;;) {
            j = (j + 1) & t.mask;
            if (!t.slots[j].node) {
                --t.count;
                return;
            }
            size_t k = Home(t.slots[j].node, t.mask);
            bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
            if (!stays) break;
        }
        t.slots[i] = t.slots[j];
        i = j;
    }
}
