// The key tree: keys, their lists of values and subkeys, and subtree destruction (the path
// search is regsearch.cpp, a value itself regvalue.cpp).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "regtree.h"

static const RegTypeInfo kTypes[] = {
    {REG_SZ, ZRREG_TYPE_SZ, "REG_SZ", 6, "REG_SZ"},
    {REG_INT, ZRREG_TYPE_DWORD, "REG_INT", 7, "REG_DWORD"},
};

const RegTypeInfo& RegTypeOf(RegType type) { return kTypes[type - REG_SZ]; }

static bool HasSlash(const char* name) { return strchr(name, '/') != nullptr; }

RegNodeList RegNode::s_noSubKeys;

RegNode::RegNode() : valueIndex(nullptr), subKeys(nullptr) {}

// Deletes every node of `list`'s subtrees without recursing on the C stack, so that a
// tree of any depth can be released: each node's subkeys move to a work list before the
// node itself is deleted. Only subkeys that cannot be moved (no memory for the work
// list) are left to the node's own destructor. Lists are emptied from their ends, which
// costs no moves.
static void DeleteSubtrees(RegNodeList* list) {
    RegNodeList work;
    for (int s = list->FirstSlot(); s < list->EndSlot(); ++s) {
        RegNode* top = list->AtSlot(s);
        if (!top) continue;
        if (work.Add(top) < 0) {
            delete top;
            continue;
        }
        while (work.GetSize() > 0) {
            int last = work.EndSlot() - 1;
            RegNode* n = work.AtSlot(last);
            work.RemoveSlot(last);
            RegNodeList* kids = n->GetRegNodeList();
            while (kids->GetSize() > 0) {
                int k = kids->EndSlot() - 1;
                if (work.Add(kids->AtSlot(k)) < 0) break;
                kids->RemoveSlot(k);
            }
            delete n;
        }
    }
    list->RemoveAll();
}

RegNode::~RegNode() {
    if (RegTreeNow->times.count || this == RegTreeNow->root) RegKeyGone(this);
    ++RegTreeNow->generation;
    delete valueIndex;
    if (subKeys) {
        delete subKeys->index;
        DeleteSubtrees(&subKeys->list);
        delete subKeys;
    }
    if (HasSlash(GetName())) RegTreeNow->slashNames.fetch_sub(1, std::memory_order_relaxed);
    for (int s = values.FirstSlot(); s < values.EndSlot(); ++s) delete values.AtSlot(s);
}

RegNode* NewRegNode(const char* name, size_t len) {
    // Rounded up, so that the pool's block is aligned for the node (see zrpool.cpp).
    size_t bytes = (sizeof(RegNode) + len + 1 + alignof(RegNode) - 1) & ~(alignof(RegNode) - 1);
    void* block = zrMalloc(bytes);
    if (!block) return nullptr;
    RegNode* node = ::new (block) RegNode;
    memcpy(node->GetName(), name, len);
    node->GetName()[len] = 0;
    if (HasSlash(node->GetName())) RegTreeNow->slashNames.fetch_add(1, std::memory_order_relaxed);
    return node;
}

// ---- the name indexes ----------------------------------------------------------------

// Lists up to this size are scanned: for them an index costs more than it saves.
static const int kIndexFrom = 9;

static const char* KeyNameOf(void* e) { return static_cast<RegNode*>(e)->GetName(); }
static const char* ValueNameOf(void* e) { return static_cast<RegKeyValue*>(e)->GetKey(); }

// Fills `index` with the list's entries and their slots; false when it cannot grow.
template <class T>
static bool Number(NameIndex* index, RegList<T>* list) {
    index->Clear();
    void* batch[NameIndex::kBatch];
    int slots[NameIndex::kBatch];
    int n = 0;
    const int ahead = 2 * NameIndex::kBatch;
    for (int s = list->FirstSlot(); s < list->EndSlot(); ++s) {
        if (s + ahead < list->EndSlot()) __builtin_prefetch(list->AtSlot(s + ahead));
        if (!list->AtSlot(s)) continue;
        batch[n] = list->AtSlot(s);
        slots[n++] = s;
        if (n == NameIndex::kBatch) {
            if (!index->AppendBatch(batch, slots, n)) return false;
            n = 0;
        }
    }
    if (n > 0 && !index->AppendBatch(batch, slots, n)) return false;
    index->SetStamp(list->Moves());
    return true;
}

// The list's index, built when missing and the list is long enough. An index that does
// not cover its list, or cannot be built, gives way to the scan: never a wrong answer.
// Lookups run under the shared tree lock, so the first one builds the index under the
// side lock and publishes it whole; only changes (under the tree lock alone) replace or
// drop an index, and they keep it in step with its list.
template <class T>
static NameIndex* IndexFor(NameIndex*& index, RegList<T>* list, NameIndex::NameOf nameOf) {
    int n = list->GetSize();
    NameIndex* cur = __atomic_load_n(&index, __ATOMIC_ACQUIRE);
    if (cur) return cur->Count() == n && cur->Stamp() == list->Moves() ? cur : nullptr;
    if (n < kIndexFrom) return nullptr;
    zrSideLock();
    cur = __atomic_load_n(&index, __ATOMIC_ACQUIRE);
    if (!cur) {
        cur = NameIndex::Create(n, nameOf);
        if (cur && !Number(cur, list)) {
            delete cur;
            cur = nullptr;
        }
        if (cur) __atomic_store_n(&index, cur, __ATOMIC_RELEASE);
    }
    zrSideUnlock();
    return cur;
}

NameIndex* RegNode::KeyIndex() {
    return subKeys ? IndexFor(subKeys->index, &subKeys->list, KeyNameOf) : nullptr;
}
NameIndex* RegNode::ValueIndex() { return IndexFor(valueIndex, &values, ValueNameOf); }

// `h`: the name's hash, when there is an index.
template <class T>
static T* FindIn(NameIndex* index, RegList<T>* list, const char* name, size_t len, uint32_t h, int* slot,
                 const char* (*nameOf)(void*)) {
    if (index) {
        int s = -1;
        void* e = index->FindBy(name, len, h, 0, &s, nameOf);
        if (!e) return nullptr;
        if (s >= list->FirstSlot() && s < list->EndSlot() && list->AtSlot(s) == e) {
            if (slot) *slot = s;
            return static_cast<T*>(e);
        }
    }
    for (int s = list->FirstSlot(); s < list->EndSlot(); ++s) {
        T* e = list->AtSlot(s);
        if (e && zrSameName(nameOf(e), name)) {
            if (slot) *slot = s;
            return e;
        }
    }
    return nullptr;
}

RegKeyValue* RegNode::FindValue(const char* n, size_t len, int* slot) {
    NameIndex* index = ValueIndex();
    return FindIn(index, &values, n, len, index ? NameIndex::Hash(n, len) : 0, slot, ValueNameOf);
}

RegNode* RegNode::FindKeyNode(const char* n, int* slot) {
    if (!subKeys) return nullptr;
    NameIndex* index = KeyIndex();
    size_t len = strlen(n);
    return FindIn(index, &subKeys->list, n, len, index ? NameIndex::Hash(n, len) : 0, slot, KeyNameOf);
}

// After a change of the list: an index whose slots the list has moved follows them, from
// the list's map of its last compaction when that is the one move behind it, or else is
// numbered anew (without memory when the list did not grow); one that cannot be is
// dropped, and the next lookup builds it again.
template <class T>
static bool Remap(NameIndex* index, RegList<T>* list) {
    if (!list->MapsFrom(index->Stamp())) return false;
    if (list->MappedShift() >= 0)
        index->Shift(list->MappedShift());
    else
        index->Renumber([list](int s) { return list->MappedSlot(s); });
    index->SetStamp(list->Moves());
    return true;
}

template <class T>
static void Follow(NameIndex*& index, RegList<T>* list) {
    if (index && index->Stamp() != list->Moves() && !Remap(index, list) && !Number(index, list)) {
        delete index;
        index = nullptr;
    }
}

// `k`: e's name's, when the caller has it.
template <class T>
static bool AddTo(NameIndex*& index, RegList<T>* list, T* e, const NameIndex::Key* k = nullptr) {
    int s = list->Add(e);
    if (s < 0) return false;
    if (index && index->Stamp() != list->Moves() && !Remap(index, list)) {
        Follow(index, list);  // numbered anew, e among the rest
    } else if (index && (index->Count() != list->GetSize() - 1 ||
                         !(k ? index->Append(e, s, *k) : index->Append(e, s)))) {
        delete index;
        index = nullptr;
    }
    return true;
}

static bool LongName(const char* name) {
    for (int i = 0; i <= REGENUM_NAME_MAX; ++i)
        if (name[i] == 0) return false;
    return true;
}

bool RegNode::AddValue(RegKeyValue* value) { return AddTo(valueIndex, &values, value); }

void RegNode::PresizeKeys(int n) {
    if (!subKeys && n > 0) subKeys = zrNew<SubKeys>();
    if (subKeys) subKeys->list.Presize(n);
}

bool RegNode::AddKeyNode(RegNode* r, bool loaded) {
    if (!subKeys && !(subKeys = zrNew<SubKeys>())) return false;
    if (!AddTo(subKeys->index, &subKeys->list, r)) return false;
    if (!loaded) ++RegTreeNow->generation;
    if (LongName(r->GetName())) ++subKeys->list.spare;
    return true;
}

template <class T>
static T* RemoveFrom(NameIndex*& index, RegList<T>* list, int slot, const NameIndex::Key* k = nullptr) {
    T* e = list->AtSlot(slot);
    if (index) {
        if (index->Count() == list->GetSize() && index->Stamp() == list->Moves()) {
            if (k)
                index->Remove(e, *k);
            else
                index->Remove(e);
        } else {
            delete index;
            index = nullptr;
        }
    }
    list->RemoveSlot(slot);
    Follow(index, list);
    return e;
}

RegKeyValue* RegNode::TakeValue(int slot) { return RemoveFrom(valueIndex, &values, slot); }

// The old value's entry can move to the end in place: the list has room, so that the
// append moves no slot, and the index, when there is one, is in step.
bool RegNode::Movable(const NameIndex* index) const { return values.Fits(1) && (index || !valueIndex); }

// `was` (the first of its name, in slot `old`) gives way to `value` at the end of the list,
// its index entry moved along: one probe where a removal and an append were two.
void RegNode::MoveLast(RegKeyValue* was, int old, RegKeyValue* value, NameIndex* index, uint32_t hash) {
    int s = values.Add(value);
    if (index && !index->Move(was, value, s, hash)) {
        delete valueIndex;  // not in step after all: the next lookup builds it anew
        valueIndex = nullptr;
    }
    values.RemoveSlot(old);
    Follow(valueIndex, &values);
}

bool RegNode::Replace(RegKeyValue* value, RegKeyValue* was, int old, NameIndex* index, NameIndex::Key k) {
    if (was && Movable(index)) {
        MoveLast(was, old, value, index, k.hash);
        delete was;
        return true;
    }
    uint32_t moves = values.Moves();
    if (!AddTo(valueIndex, &values, value, index ? &k : nullptr)) return false;
    // The old value is still the first of its name, in a slot of its own if the list
    // moved its entries to make room.
    if (old >= 0 && values.Moves() != moves) FindValue(value->GetKey(), value->NameLen(), &old);
    if (old >= 0) delete RemoveFrom(valueIndex, &values, old, index ? &k : nullptr);
    return true;
}

bool RegNode::SetValueLast(RegKeyValue* value) {
    const char* name = value->GetKey();
    size_t len = value->NameLen();
    NameIndex* index = ValueIndex();
    NameIndex::Key k = index ? NameIndex::KeyOf(name, len) : NameIndex::Key{0, false};
    int old = -1;
    RegKeyValue* was = FindIn(index, &values, name, len, k.hash, &old, ValueNameOf);
    return Replace(value, was, old, index, k);
}

bool RegNode::SetValueLast(const char* name, size_t len, int type, const char* text, size_t textLen,
                           int number) {
    NameIndex* index = ValueIndex();
    NameIndex::Key k = index ? NameIndex::KeyOf(name, len) : NameIndex::Key{0, false};
    int old = -1;
    RegKeyValue* was = FindIn(index, &values, name, len, k.hash, &old, ValueNameOf);
    if (was && Movable(index) && was->Overwrite(name, len, type, text, textLen, number)) {
        MoveLast(was, old, was, index, k.hash);
        return true;
    }
    RegKeyValue* value = RegKeyValue::Make(name, len, type, text, textLen, number);
    if (value && Replace(value, was, old, index, k)) return true;
    delete value;
    return false;
}

RegNode* RegNode::TakeKeyNode(int slot) {
    RegNode* r = RemoveFrom(subKeys->index, &subKeys->list, slot);
    ++RegTreeNow->generation;
    if (LongName(r->GetName())) --subKeys->list.spare;
    return r;
}

// The entry in `slot` gives way to `e` in the same slot, and the index follows: the old
// name out, the new one in (which cannot need room, as the old one's is free).
template <class T>
static void ReplaceIn(NameIndex*& index, RegList<T>* list, int slot, T* e) {
    if (index && (index->Count() != list->GetSize() || index->Stamp() != list->Moves())) {
        delete index;
        index = nullptr;
    }
    if (index) index->Remove(list->AtSlot(slot));
    list->ReplaceSlot(slot, e);
    if (index && !index->Append(e, slot)) {
        delete index;
        index = nullptr;
    }
}

bool RegNode::RenameKeyNode(int slot, const char* name, size_t len) {
    RegNode* old = subKeys->list.AtSlot(slot);
    RegNode* r = NewRegNode(name, len);
    if (!r) return false;
    std::swap(r->valueIndex, old->valueIndex);
    r->values.Swap(old->values);
    std::swap(r->subKeys, old->subKeys);
    ReplaceIn(subKeys->index, &subKeys->list, slot, r);
    if (LongName(old->GetName())) --subKeys->list.spare;
    if (LongName(r->GetName())) ++subKeys->list.spare;
    delete old;  // empty now; its destructor moves the generation of the keys
    __atomic_store_n(&RegTreeNow->renames, RegTreeNow->renames + 1, __ATOMIC_RELAXED);
    return true;
}

bool RegNode::RenameValue(int slot, const char* name, size_t len) {
    RegKeyValue* old = values.AtSlot(slot);
    RegKeyValue* v = old->Renamed(name, len);
    if (!v) return false;
    ReplaceIn(valueIndex, &values, slot, v);
    delete old;
    return true;
}
