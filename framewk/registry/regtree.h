// The tree and the key operations on it (no file, no other process): keys, values, the
// search, the builder, the handles and the calls that act on the current registry's tree.
#ifndef REGTREE_H
#define REGTREE_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "regindex.h"
#include "reglist.h"
#include "regmsg.h"
#include "regtime.h"
#include "regvalue.h"
#include "zrplat.h"
#include "zrtempl.h"

// Result codes of the key operations.
#define REGERR_SUCCESS 0           // the operation was carried out
#define REGERR_NO_MEMORY 2         // an allocation failed
#define REGERR_INVALID_HANDLE 3    // null or dead handle, or a needed pointer argument is null
#define REGERR_NOT_FOUND 5         // the named subkey or value does not exist
#define REGERR_NO_MORE_ITEMS 6     // the enumeration index is past the last subkey
#define REGERR_BUFFER_TOO_SMALL 7  // the caller's buffer is too small; the size needed was stored
#define REGERR_KEY_NOT_FOUND 8     // the handle's key is not in the tree (and the cases of type/empty name)
#define REGERR_NOT_LOADED 9        // no registry is loaded
#define REGERR_KEY_BUSY 10         // the subkey to be deleted has open handles
#define REGERR_WRITE_FAULT 29      // the change could not be recorded in the change log
#define REGERR_ALREADY_EXISTS 183  // a rename's new name is another key's or value's
#define REGERR_BAD_NAME \
    11  // a name or text the file cannot carry (see RegTextStorable), or
        // a wide name of 256 characters or more

class RegNode;
typedef RegList<RegNode> RegNodeList;
typedef RegList<RegKeyValue> RegKeyValueList;

// The longest subkey name that the wide enumeration delivers; a longer one does not fit
// its buffer.
#define REGENUM_NAME_MAX 255

// A key, with its name behind it in the same block (NewRegNode makes it).
class RegNode {
public:
    static void operator delete(void* p) noexcept { zrFree(p); }
    ~RegNode();
    RegNode(const RegNode&) = delete;
    RegNode& operator=(const RegNode&) = delete;
    // Both return false, and take nothing over, when the list cannot grow.
    bool AddValue(RegKeyValue* value);
    // A loaded key leaves the generation of the keys alone: the load counts once for all
    // of them (and may build beside another thread).
    bool AddKeyNode(RegNode* r, bool loaded = false);
    // Room for exactly n subkeys in a key that has none yet (RegList::Presize).
    void PresizeKeys(int n);
    char* GetName() { return reinterpret_cast<char*>(this + 1); }
    // *noMemory (when given) tells a path that could not be searched to its end from one
    // that names no key.
    RegNode* Search(const char* path, bool* noMemory = nullptr);
    bool Save(FILE* fp, int tab);
    // A key without subkeys answers with a list that is empty for good (see subKeys).
    RegNodeList* GetRegNodeList() { return subKeys ? &subKeys->list : &s_noSubKeys; }
    RegKeyValueList* GetRegKeyValueList() { return &values; }
    int GetOpenCnt() { return values.spare; }
    void IncOpenCnt() { ++values.spare; }
    // A key deleted by another process while open here, made again meanwhile, may meet a
    // close of a handle that it never counted.
    void DecOpenCnt() {
        if (values.spare > 0) --values.spare;
    }
    // The first value or subkey, in list order, whose whole name equals `name` ignoring
    // case, with its slot in the list in *slot (when slot is not null); null when there
    // is none.
    RegKeyValue* FindValue(const char* name, int* slot) { return FindValue(name, strlen(name), slot); }
    // The same for the name of `len` bytes (its NUL behind them).
    RegKeyValue* FindValue(const char* name, size_t len, int* slot);
    RegNode* FindKeyNode(const char* name, int* slot);
    // Take the entry in `slot` out of its list and hand it to the caller. Lists change only
    // through these and the two Add members, which keep the name indexes in step.
    RegKeyValue* TakeValue(int slot);
    // Appends `value` and deletes the first value of its name before it, if any, the name
    // hashed once for the lookup and the index's two changes; false (nothing changed) when
    // out of memory.
    bool SetValueLast(RegKeyValue* value);
    // SetValueLast for a value made of these (as RegKeyValue::Make takes them): an old value
    // of the same spelling, type and size takes the data in place and goes last, no block
    // made or freed (a host that overwrites numbers spent a tenth of each set on that).
    bool SetValueLast(const char* name, size_t len, int type, const char* text, size_t textLen, int number);
    RegNode* TakeKeyNode(int slot);
    // The entry in `slot` made anew under the `len` bytes at `name`, in the same place of
    // the list: a key with its subkeys, values and open count, a value with its type and
    // data. False when out of memory, and nothing changed.
    bool RenameKeyNode(int slot, const char* name, size_t len);
    bool RenameValue(int slot, const char* name, size_t len);
    // Subkeys whose names are longer than REGENUM_NAME_MAX bytes.
    int LongKeyNames() const { return subKeys ? subKeys->list.spare : 0; }
    // The name index of a list, built on first use; null for a short list or without memory.
    NameIndex* KeyIndex();
    NameIndex* ValueIndex();

private:
    friend RegNode* NewRegNode(const char* name, size_t len);
    bool Movable(const NameIndex* index) const;
    void MoveLast(RegKeyValue* was, int old, RegKeyValue* value, NameIndex* index, uint32_t hash);
    bool Replace(RegKeyValue* value, RegKeyValue* was, int old, NameIndex* index, NameIndex::Key k);
    RegNode();

    // Most keys of a registry have no subkeys: what only subkeys need is made with the
    // first of them, which keeps a key without subkeys 32 bytes smaller.
    struct SubKeys {
        ZR_POOLED_CLASS
        RegNodeList list;  // its spare word counts the names longer than REGENUM_NAME_MAX
        NameIndex* index = nullptr;
    };
    static RegNodeList s_noSubKeys;  // never changed: every change goes to a key's own list

    // Built on the first lookup in a list of more than a few entries; null: scan the list.
    NameIndex* valueIndex;
    RegKeyValueList values;  // its spare word is the key's open count
    SubKeys* subKeys;
};

// Makes a node named with a copy of the `len` bytes at `name`; null when out of memory.
RegNode* NewRegNode(const char* name, size_t len);
inline RegNode* NewRegNode(const char* name) { return NewRegNode(name, strlen(name)); }

// The root key's name, which a file's first key gets when it names another.
extern const char kRegRootName[];
RegNode* Search(const char* path, bool* noMemory = nullptr);
// Searches keep their positions below a fixed depth in a buffer shared by all of them. A
// handle reserves room there for its path when it is made, so that resolving a handle
// never runs out of memory; the unload releases the buffer.
bool ReserveSearch(const char* path);
bool ReserveSearchDepth(int components);  // for a path of that many components
int PathComponents(const char* path);     // the names a path can hold: its "/" and one
void ReleaseSearch();

// Whether the n bytes at s can be stored: the writer can put them into the file so that
// the scanner reads them back as they are (no double quote, line break or byte 26, and
// short enough; the longest, REGFILE_WORD_MAX bytes, only when they form a bare word).
bool RegTextStorable(const char* s, size_t n);

// ---- tree building -------------------------------------------------------------------
// The open-key stack: tree building adds keys and values to the key on its top. It is the
// growable array of keys, its top the last element: pushing at the front, as the stack
// once did, moved the whole stack for every key, quadratic in a deep file's depth.
typedef TArray<RegNode*, RegNode*> RegNodeStack;
struct RegScanner;
// A tree builder: its open-key stack, and the tree it builds. A load's builds a new tree
// (tree, which the loader then installs); a builder may also add to the registry's tree.
struct RegBuilder {
    RegNodeStack* stack;
    RegNode** root;  // where the root is: &tree, or the registry's (&RegTreeNow->root)
    RegNode* tree;
    int rootCreated;  // 1: the first key named another than the root, and the builder made it
    // Sibling keys tend to be alike: a loaded key's lists start with the room that the last
    // loaded key's lists (its subkeys: the last that had any) ended with, which spares most
    // lists their growth and their shrinking to fit.
    int valuesHint, keysHint;
    // The scanner of the reader the builder belongs to: messages name its line, and a part
    // of a load fails instead of reporting. Null: the line is RegFileNow->line.
    RegScanner* scan;
};
// An empty builder of a new tree (root null) or of the tree at *root; false when there is no
// memory for the stack. End drops the stack, and leaves the tree alone.
bool RegBuilderBegin(RegBuilder* b, RegNode** root = nullptr);
void RegBuilderEnd(RegBuilder* b);
bool NodeStackPush(RegBuilder* b, RegNode* node);  // false: no memory, and nothing pushed
void NodeStackPop(RegBuilder* b);
// The open key: null when the stack is empty or missing. Inline: the loader asks at every item.
inline RegNode* NodeStackTop(const RegBuilder* b) {
    int n = b->stack ? b->stack->GetSize() : 0;
    return n > 0 ? b->stack->GetAt(n - 1) : nullptr;
}
int NodeStackDepth(const RegBuilder* b);
// A root that the builder made itself, because the first key named another, is still open
// when a load's parse ends: this closes it.
void EndMadeRoot(RegBuilder* b);
// Deletes the registry's tree (its root and everything under it).
void ReleaseTree();
// A copy of the tree at `root`, every key and value in list order, open counts 0; null when
// out of memory (and nothing is left of the copy). Its keys count in the current tree.
RegNode* RegCopyTree(RegNode* root);
// Makes a key named with a copy of the `len` bytes at `name` below the open key (or the
// root) and opens it; *copy (when copy is given) is then the key's own copy of the name.
int CreateKeyNode(RegBuilder* b, const char* name, size_t len, char** copy = nullptr, bool loaded = false);
int EndKeyNode(RegBuilder* b, const char* name);
// EndKeyNode for a key the parser has read to its end: its lists give back their spare room,
// and one of kRegIndexAtLoad entries or more gets its name index.
const int kRegIndexAtLoad = 16384;
int EndLoadedKeyNode(RegBuilder* b, const char* name);
// Adds a value made of copies of the name and the data (for REG_INT the number's digits)
// to the open key, and frees them; when it fails they stay the caller's.
int AddValue(RegBuilder* b, char* valuename, int type, void* data);
// Adds an extended value of the type number and the n bytes at data to the open key
// (RegKeyValue::MakeTyped); takes nothing over.
int AddTypedValue(RegBuilder* b, const char* valuename, size_t nameLen, uint32_t winType, const void* data,
                  size_t n);

// ---- key handles and key operations --------------------------------------------------
#define REGHANDLE_KEY 0x100000

// A handle holds its key's absolute path, and the node the path named when it was last
// resolved with the generation of the keys then: while the generation is the same, the
// node is still the answer. The cache is written by calls that only read the tree; when
// readers share the tree, the generation cannot move and all of them store the same node
// for it, and the node is written before the generation (release) and read after it
// (acquire), so that no reader pairs a generation with another generation's node.
typedef struct RegHandle {
    uint32_t type;
    char* ptr;
    int parts;  // the path's components (see PathComponents)
    RegNode* node;
    uint64_t gen;  // 0: nothing cached
} REG_HANDLE, *PREG_HANDLE;
typedef PREG_HANDLE HKEY;

// ---- one registry's tree -------------------------------------------------------------
struct SearchFrame;
// The tree of a registry and the handles of its own keys. The tree and key operations act
// on the current registry's, RegTreeNow, which the registry (registry.h) sets; without a
// load it is an empty registry's that no file backs.
struct RegTree {
    RegNode* root = nullptr;
    // Moves on every change to the keys of the tree (a key added, taken out or destroyed),
    // so that a node found for a path stays the answer for that path while it is
    // unchanged. Changes to values leave it alone: they cannot change what a path names.
    uint64_t generation = 1;
    uint64_t renames = 0;  // moves on every rename of a key (see RegViewKeyRenames)
    // The keys alive whose names hold a "/", which let a path name a key in more than one
    // way. Atomic: a load in two parts makes keys on two threads (such names are rare, so
    // the count's cost is too).
    std::atomic<long> slashNames{0};
    SearchFrame* frames = nullptr;  // the deep searches' shared buffer (ReserveSearch)
    int frameCap = 0;
    long loads = 0;   // the loads in effect: 0 or 1
    int changed = 0;  // 1: the tree changed since the load or the last save
    // While set, deletions take keys with open handles too (whose handles then find their
    // keys gone): another process's deletion, applied here, has happened already.
    bool deletesForced = false;
    HKEY rootHandle = nullptr;                                // the handle of the root that a load opens
    HKEY hklm = nullptr, hkcu = nullptr, ardoRoot = nullptr;  // the predefined handles
    RegKeyTimes times;
};
extern RegTree* RegTreeNow;
inline int NWREGIsRegLoaded() { return static_cast<int>(RegTreeNow->loads); }

// ---- the handle table: the handles a host holds ------------------------------------------
// A host holds no address but a token: the number of the handle's slot in the table and
// the slot's serial, which moves on when the handle is made and again when it is closed,
// so that a dead token (closed, of an earlier load, or never one) names no live handle.
// Slots never move and are never freed: looking up any token is safe, also while other
// threads open and close. The serial is compared in its low kRegSerialBits bits, so a
// token kept while its slot serves 2^(kRegSerialBits-1) more handles names the newest; a
// closed slot serves again only after kRegSlotsResting others were closed, which makes
// that as many times rarer.
// A cache line each: a lookup scales the slot's number by a shift, and threads that
// cache their keys in their own handles never share a line.
struct Registry;
struct alignas(64) RegHandleSlot {
    REG_HANDLE key;     // first: a handle's address is its slot's
    Registry* owner;    // atomic: an app key's registry, null for the default registry's keys
    uint32_t serial;    // atomic: readers of dead tokens meet its writers
    uint32_t index;     // the slot's number
    uint32_t nextFree;  // the queue of closed slots, under the side lock
};
// The serial in a token's low bits, odd for a live handle: no token is null or the
// address of an aligned object. With 32-bit pointers, 2^20 handles can be open at once,
// and a slot tells 2^11 of its handles apart.
#if UINTPTR_MAX > 0xFFFFFFFFu
const int kRegSerialBits = 32;
const int kRegIndexBits = 31;
#else
const int kRegSerialBits = 12;
const int kRegIndexBits = 20;
#endif
const uint32_t kRegSerialMask = static_cast<uint32_t>((uint64_t(1) << kRegSerialBits) - 1);
const uint32_t kRegSlotsResting = 512;
// Chunk k holds 2^(kRegFirstChunkBits + k) slots, each as many as all before it and
// 2^kRegFirstChunkBits more: slot i lies in the chunk of i + 2^kRegFirstChunkBits's top bit.
// The first chunk holds the handles of all but the hosts that keep thousands open.
const int kRegFirstChunkBits = 12;
const int kRegChunks = kRegIndexBits - kRegFirstChunkBits + 1;
// The table is the process's, not a registry's: a token kept from an earlier load must stay
// safe to look up.
struct RegHandleTable {
    RegHandleSlot* chunks[kRegChunks];  // published with release, read with acquire
    void* blocks[kRegChunks];           // as allocated, before the chunks' alignment
    // Slots 0 .. used-1 have been handed out; the closed ones wait in a queue, oldest first.
    uint32_t used;
    uint32_t freeHead, freeTail, freeCount;
};
extern RegHandleTable RegHandles;
// The slot of a number beyond the first chunk, null when it has none.
RegHandleSlot* RegHandleFarSlot(uintptr_t index);

// The handle a token names; null when it names none (a dead token, or no token at all).
inline HKEY RegHandleOf(const void* token) {
    uintptr_t t = reinterpret_cast<uintptr_t>(token);
    uintptr_t index = t >> kRegSerialBits;
    RegHandleSlot* slot;
    if (__builtin_expect(index < (uintptr_t(1) << kRegFirstChunkBits), 1)) {
        slot = __atomic_load_n(&RegHandles.chunks[0], __ATOMIC_ACQUIRE);
        if (!slot) return nullptr;
        slot += index;
    } else {
        slot = RegHandleFarSlot(index);
        if (!slot) return nullptr;
    }
    uint32_t serial = static_cast<uint32_t>(t) & kRegSerialMask;
    if (!(serial & 1) || (__atomic_load_n(&slot->serial, __ATOMIC_ACQUIRE) & kRegSerialMask) != serial)
        return nullptr;
    return &slot->key;
}

// A handle belongs to the registry it was made in (RegApps.now, registry.h); the table's walks
// below take the current registry's handles only.
// The app key's registry of a live token; null for the default registry's, or a dead token.
inline Registry* RegOwnerOf(const void* token) {
    HKEY h = RegHandleOf(token);
    if (!h) return nullptr;
    RegHandleSlot* slot = reinterpret_cast<RegHandleSlot*>(h);
    Registry* owner = __atomic_load_n(&slot->owner, __ATOMIC_ACQUIRE);
    // The slot may have served another handle meanwhile: only the token's own answer counts.
    return RegHandleOf(token) == h ? owner : nullptr;
}

// The token of a handle of the table (never of a REG_HANDLE made elsewhere).
inline void* RegTokenOf(HKEY h) {
    RegHandleSlot* slot = reinterpret_cast<RegHandleSlot*>(h);
    uintptr_t serial = __atomic_load_n(&slot->serial, __ATOMIC_RELAXED) & kRegSerialMask;
    return reinterpret_cast<void*>((static_cast<uintptr_t>(slot->index) << kRegSerialBits) | serial);
}

// A new handle of the absolute path `path` (which it takes over) with `parts` components;
// null when no slot can be had. Both run under the side lock or the tree lock alone.
HKEY RegHandleNew(char* path, int parts);
// Closes the handle: its token is dead from now on, and its path is freed.
void RegHandleFree(HKEY h);
// A handle of the key at the absolute path `path` (which stays the caller's) for the key
// operations of the library itself: in no table, never a host's, nothing to release.
REG_HANDLE RegHandleAt(const char* path);
// Closes every handle of the current registry: the unload's, so that none lives into the
// next load.
void RegHandleFreeAll();
// Calls f for every live handle of the current registry.
void RegHandleEach(void (*f)(HKEY h));
// After the tree was replaced: each live handle's room in the search buffer is reserved
// again and its key (when the new tree has it) counted open.
void RegHandleRecount();
// Frees the table when it holds no handle: for a library that leaves the process, after
// which no token can be looked up.
void RegHandleRelease();

// Other files read and change the flag through these.
inline bool RegIsChanged() { return RegTreeNow->changed == 1; }
void RegSetChanged(bool changed);
// CfRegCreateKey that also tells whether it made the key (rather than opened it).
unsigned int CfRegCreateKeyMade(HKEY hParentKey, const char* newKey, HKEY* phNewHandle, bool* made);

unsigned int CfRegOpenKey(HKEY h, const char* keyname, HKEY* newHandle);
unsigned int CfRegCloseKey(HKEY h);
unsigned int CfRegEnumKey(HKEY h, int index, char* buffer, unsigned int* size);
unsigned int CfRegQueryValue(HKEY h, const char* valuename, unsigned int* lpType, unsigned char* lpData,
                             unsigned int* lpcbData);
unsigned int CfRegCreateKey(HKEY hParentKey, const char* newKey, HKEY* phNewHandle);
unsigned int CfRegSetValue(HKEY hParent, const char* valueName, unsigned int dwType,
                           const unsigned char* lpData, unsigned int cbData);
// Sets a value of any type number with exactly the n bytes at data (RegKeyValue::MakeTyped).
unsigned int CfRegSetTyped(HKEY hParent, const char* valueName, uint32_t winType, const void* data, size_t n);
// The value named valueName, of `len` bytes (the first, ignoring case), of the key; valid
// until the tree changes.
unsigned int CfRegFindValue(HKEY h, const char* valuename, size_t len, RegKeyValue** value);
unsigned int CfRegDeleteKey(HKEY hParent, const char* subKeyName);
unsigned int CfRegDeleteValue(HKEY hParent, const char* valueName);
// The number of subkeys; 7 (buffer too small) when a subkey name does not fit the wide
// enumeration's buffer, as enumerating them all would find.
unsigned int CfRegCountSubKeys(HKEY h, unsigned int* count);
// The value at `index` in list order, O(1) like the subkeys' enumeration; 6 past the last.
unsigned int CfRegValueAt(HKEY h, int index, RegKeyValue** value);
// What ZrRegQueryInfoKey answers: the counts always, in O(1); the maxima only when asked
// (otherwise 0), by a walk over the subkeys' names or the values' names and data.
struct RegKeyInfo {
    unsigned int subKeys, values;
    unsigned int maxSubKeyName, maxValueName;  // bytes, without the NUL
    unsigned int maxData;                      // bytes as the wide query needs them
    uint64_t lastWrite;                        // the key's last-write time (regtime.h)
};
unsigned int CfRegQueryInfoKey(HKEY h, RegKeyInfo* info, bool keyMax, bool valueMax);
// Deletes the subkey subKeyName of hParent with everything below it or, for a null name,
// every subkey and value of hParent; 10 (and nothing changed) when one of the keys to go
// has open handles.
unsigned int CfRegDeleteTree(HKEY hParent, const char* subKeyName);
// Renames the subkey subKeyName of hParent to newName (one name, no "/"), which no other
// subkey may have (183); the case of a name may change. 10 when the subkey is the root's
// HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, or it or a key below it has open handles beyond
// `ownHandles` of its own (the caller's handle of the key itself); while deletions are
// forced the open handles go along uncounted: another process renamed the key already.
unsigned int CfRegRenameKey(HKEY hParent, const char* subKeyName, const char* newName, int ownHandles);
// Renames the value valueName of h to newName, which no other value of h may have (183);
// the value keeps its type, data and place.
unsigned int CfRegRenameValue(HKEY h, const char* valueName, const char* newName);
int cfRegOpenRoot();
void cfRegCloseRoot();
// HkeyRegRoot, HkeyHKLM, HkeyHKCU and HkeyArdoRoot are exported (zrregdll.h) and hand
// out an HKEY as an opaque pointer.

// ---- predefined handles --------------------------------------------------------------
void cfRegCloseHKLM();
void cfRegCloseHKCU();
void HkeyArdoRootClose();
// All three: what the unload releases of them.
void cfRegClosePredefined();

#endif
