// The search for a key by its path, below the root or any key: names compared ignoring
// case, names that hold "/" tried too, with no recursion on the C stack.
#include <string.h>

#include "regtree.h"

// The position behind `n`'s whole name at the front of `p`, ignoring case; null when the
// name does not match there. Bytes are folded only where they differ: a path mostly
// spells its keys as they are stored, and every handle's call may search its path anew.
static const char* MatchName(RegNode* n, const char* p) {
    const unsigned char* nm = reinterpret_cast<const unsigned char*>(n->GetName());
    const unsigned char* q = reinterpret_cast<const unsigned char*>(p);
    for (; *nm; ++nm, ++q)
        if (*q != *nm && zrFold(*q) != zrFold(*nm)) return nullptr;
    return reinterpret_cast<const char*>(q);
}

// One key on the search's path: its subkeys are tried against `rest` in list order.
struct SearchFrame {
    RegNode* node;
    const char* rest;  // the path behind node's name and its "/"
    NameIndex* index;  // null: the subkeys are scanned
    int next;          // scan: the slot of the next subkey to try
    int minSlot;       // index: the smallest slot not yet tried
};

// The next subkey, in list order, whose whole name matches the front of the rest and is
// followed there by the end of the path or a "/"; `*end` is the position behind the name.
// With an index, each candidate front (the rest up to a "/" or its end) is looked up and
// the earliest entry wins; the fronts beyond the first "/" matter only when some name
// holds a "/".
static RegNode* NextSubKey(SearchFrame& f, const char** end) {
    if (!f.index) {
        RegNodeList* subs = f.node->GetRegNodeList();
        if (f.next < subs->FirstSlot()) f.next = subs->FirstSlot();
        while (f.next < subs->EndSlot()) {
            RegNode* s = subs->AtSlot(f.next++);
            if (!s) continue;
            const char* e = MatchName(s, f.rest);
            if (e && (*e == 0 || *e == '/')) {
                *end = e;
                return s;
            }
        }
        return nullptr;
    }
    void* best = nullptr;
    int bestSlot = 0, slot = 0;
    for (const char* p = f.rest;; ++p) {
        if (*p == 0 || *p == '/') {
            size_t len = static_cast<size_t>(p - f.rest);
            void* e = f.index->Find(f.rest, len, NameIndex::Hash(f.rest, len), f.minSlot, &slot);
            if (e && (!best || slot < bestSlot)) {
                best = e;
                bestSlot = slot;
                *end = p;
            }
            if (*p == 0 || !f.index->HasSlashNames()) break;
        }
    }
    if (best) f.minSlot = bestSlot + 1;
    return static_cast<RegNode*>(best);
}

static const int kLocalFrames = 32;

// A search pushes one frame per key on the path it follows, at most one per component.
int PathComponents(const char* path) {
    size_t len = strlen(path);
    int n = 1;
    for (size_t i = 0; i < len; ++i) n += path[i] == '/';
    return n;
}

bool ReserveSearch(const char* path) { return ReserveSearchDepth(PathComponents(path)); }

bool ReserveSearchDepth(int n) {
    RegTree* t = RegTreeNow;
    if (n <= kLocalFrames || n <= t->frameCap) return true;
    SearchFrame* f =
        static_cast<SearchFrame*>(zrRealloc(t->frames, sizeof(SearchFrame) * static_cast<size_t>(n)));
    if (!f) return false;
    t->frames = f;
    t->frameCap = n;
    return true;
}

void ReleaseSearch() {
    zrFree(RegTreeNow->frames);
    RegTreeNow->frames = nullptr;
    RegTreeNow->frameCap = 0;
}

// The node's whole name must match the front of the path, ignoring case; behind it comes
// the end of the path, or "/" and a rest that one of the subkeys must match. Subkeys are
// tried in list order and each subtree is searched completely before the next (names may
// hold "/", so the path is never split into components first). The walk keeps its own
// stack of positions, so that no path, however deep, can exhaust the C stack.
RegNode* RegNode::Search(const char* path, bool* noMemory) {
    SearchFrame local[kLocalFrames];
    SearchFrame* frames = local;
    int cap = kLocalFrames, depth = 0;
    RegNode* found = nullptr;

    const char* end = MatchName(this, path);
    if (!end) return nullptr;
    if (*end == 0) return this;
    if (*end != '/') return nullptr;
    frames[depth++] = SearchFrame{this, end + 1, KeyIndex(), 0, 0};
    // Readers share the buffer of deep searches: one at a time, under the side lock.
    bool shared = false;

    while (depth > 0 && !found) {
        const char* e = nullptr;
        RegNode* s = NextSubKey(frames[depth - 1], &e);
        if (!s) {
            --depth;
        } else if (*e == 0) {
            found = s;
        } else {
            if (depth == cap) {
                // Only the first overflow can need memory: the shared buffer then holds
                // a frame for every component of the path.
                if (frames != local) {
                    if (noMemory) *noMemory = true;
                    break;
                }
                zrSideLock();
                shared = true;
                if (!ReserveSearch(path)) {
                    if (noMemory) *noMemory = true;
                    break;
                }
                memcpy(static_cast<void*>(RegTreeNow->frames), local, sizeof local);
                frames = RegTreeNow->frames;
                cap = RegTreeNow->frameCap;
            }
            frames[depth++] = SearchFrame{s, e + 1, s->KeyIndex(), 0, 0};
        }
    }
    if (shared) zrSideUnlock();
    return found;
}

RegNode* Search(const char* path, bool* noMemory) {
    if (strcmp(path, "/") == 0) return RegTreeNow->root;
    return RegTreeNow->root ? RegTreeNow->root->Search(path, noMemory) : nullptr;
}
