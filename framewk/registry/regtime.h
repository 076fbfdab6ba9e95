// The keys' last-write times: the registry file's time for every key the load made, and a
// side table, by node, of the keys changed since (regtime.cpp).
#ifndef REGTIME_H
#define REGTIME_H

#include <stddef.h>
#include <stdint.h>

class RegNode;

// A tree's times (RegTree::times), dropped with the tree: nothing at all until the first
// change, so that a load costs what it did; then 16 bytes a slot, at most half of them used.
// Times are Windows' file times, 100 ns units since 1601.
struct RegKeyTimes {
    struct Slot {
        const RegNode* node;  // null: free
        uint64_t time;
    };
    uint64_t loaded = 0;  // the registry file's modification time when its tree was read
    Slot* slots = nullptr;
    size_t mask = 0, count = 0;
    RegKeyTimes() = default;
    RegKeyTimes(const RegKeyTimes&) = delete;
    RegKeyTimes& operator=(const RegKeyTimes&) = delete;
    ~RegKeyTimes();
};

// These act on the current registry's tree (RegTreeNow), under the tree lock alone but
// RegKeyTime, which readers share.
// A change of the key's values or subkeys (and of `also`'s, a key made or renamed below it):
// the tree is changed, and both keys' times are now. Without memory for the table the times
// stay as they were.
void RegKeyChanged(const RegNode* key, const RegNode* also = nullptr);
uint64_t RegKeyTime(const RegNode* key);
// The tree was read from the registry file: every key not changed since has its time.
void RegKeyTimesLoaded();
// The node goes (its destructor, while the table holds any or it is the root): its entry
// goes with it, so that a key made later at its address starts afresh. When the root goes
// the tree is being replaced by one read anew, whose keys get the file's time.
void RegKeyGone(const RegNode* key);

#endif
