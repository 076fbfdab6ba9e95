// Key handles and the key and value operations on 8-bit names.
#include <stdio.h>
#include <string.h>

#include "regtree.h"

// The handle's node while the keys are as they were when it was found (see RegHandle).
static RegNode* Cached(HKEY h) {
    if (__atomic_load_n(&h->gen, __ATOMIC_ACQUIRE) != RegTreeNow->generation) return nullptr;
    return __atomic_load_n(&h->node, __ATOMIC_RELAXED);
}

static void Remember(HKEY h, RegNode* node) {
    __atomic_store_n(&h->node, node, __ATOMIC_RELAXED);
    __atomic_store_n(&h->gen, RegTreeNow->generation, __ATOMIC_RELEASE);
}

// Handles hold their key's absolute path, resolved from the root whenever the keys have
// changed since the handle's last call. Null with *rc 8 when the key is not in the tree,
// or 2 when the search ran out of memory (only a handle kept across a reload can: the
// others reserved their search's room).
static RegNode* LookUp(HKEY h, unsigned int* rc) {
    RegNode* node = Cached(h);
    if (node) return node;
    bool noMemory = false;
    node = RegTreeNow->root ? RegTreeNow->root->Search(h->ptr, &noMemory) : nullptr;
    if (node) {
        Remember(h, node);
    } else {
        *rc = noMemory ? REGERR_NO_MEMORY : REGERR_KEY_NOT_FOUND;
    }
    return node;
}

static bool IsKeyHandle(HKEY h) { return h && h->type == REGHANDLE_KEY; }

// "a" + "/" + "b" in a fresh block, or null.
static char* JoinPath(const char* a, const char* b) {
    size_t la = strlen(a), lb = strlen(b);
    char* p = static_cast<char*>(zrMalloc(la + lb + 2));
    if (!p) return nullptr;
    memcpy(p, a, la);
    p[la] = '/';
    memcpy(p + la + 1, b, lb + 1);
    return p;
}

static HKEY NewHandle(char* path, int parts) {
    if (!ReserveSearchDepth(parts)) return nullptr;
    return RegHandleNew(path, parts);
}

// Slots of the first value or subkey of a name, through the key's name index; -1: none.
static int FindValue(RegNode* node, const char* name) {
    int i = -1;
    return node->FindValue(name, &i) ? i : -1;
}

static int FindSubkey(RegNode* node, const char* name) {
    int i = -1;
    return node->FindKeyNode(name, &i) ? i : -1;
}

// A handle that is not a key handle gets 3 here, as from close, enumerate and query.
unsigned int CfRegOpenKey(HKEY h, const char* keyname, HKEY* newHandle) {
    if (!IsKeyHandle(h) || !keyname || !newHandle) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* baseNode = LookUp(h, &rc);
    if (!baseNode) return rc;
    char* searchkey = JoinPath(baseNode->GetName(), keyname);
    if (!searchkey) return REGERR_NO_MEMORY;
    bool noMemory = false;
    RegNode* keyNode = baseNode->Search(searchkey, &noMemory);
    zrFree(searchkey);
    if (!keyNode) return noMemory ? REGERR_NO_MEMORY : REGERR_NOT_FOUND;
    char* absolutekey = JoinPath(h->ptr, keyname);
    if (!absolutekey) return REGERR_NO_MEMORY;
    HKEY newh = NewHandle(absolutekey, h->parts + PathComponents(keyname));
    if (!newh) {
        zrFree(absolutekey);
        return REGERR_NO_MEMORY;
    }
    // Without "/" in any key name a path splits into its keys one way only, so the root's
    // search for the new path meets `h`'s key first and then finds keyNode below it.
    if (RegTreeNow->slashNames.load(std::memory_order_relaxed) == 0) Remember(newh, keyNode);
    *newHandle = newh;
    keyNode->IncOpenCnt();
    return REGERR_SUCCESS;
}

unsigned int CfRegCloseKey(HKEY h) {
    if (!IsKeyHandle(h)) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    RegHandleFree(h);
    if (node) node->DecOpenCnt();
    return REGERR_SUCCESS;
}

unsigned int CfRegEnumKey(HKEY h, int index, char* buffer, unsigned int* size) {
    if (!IsKeyHandle(h) || !size) return REGERR_INVALID_HANDLE;
    if (!buffer) *size = 0;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    RegNodeList* subs = node->GetRegNodeList();
    if (index < 0 || index >= subs->GetSize()) return REGERR_NO_MORE_ITEMS;
    const char* name = subs->GetAt(index)->GetName();
    size_t len = strlen(name);
    if (len >= *size) {
        *size = static_cast<unsigned int>(len + 1);
        return REGERR_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, name, len + 1);
    return REGERR_SUCCESS;
}

unsigned int CfRegQueryValue(HKEY h, const char* valuename, unsigned int* lpType, unsigned char* lpData,
                             unsigned int* lpcbData) {
    if (!IsKeyHandle(h) || !valuename || !lpType || !lpcbData) return REGERR_INVALID_HANDLE;
    if (!lpData) *lpcbData = 0;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    RegKeyValue* v = node->FindValue(valuename, nullptr);
    if (!v) return REGERR_NOT_FOUND;
    unsigned int n = static_cast<unsigned int>(v->GetSize());
    if (*lpcbData < n) {
        *lpcbData = n;
        return REGERR_BUFFER_TOO_SMALL;
    }
    *lpcbData = n;
    memcpy(lpData, v->GetValue(), n);
    *lpType = static_cast<unsigned int>(v->GetType());
    return REGERR_SUCCESS;
}

unsigned int CfRegFindValue(HKEY h, const char* valuename, size_t len, RegKeyValue** value) {
    if (!IsKeyHandle(h) || !valuename || !value) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    *value = node->FindValue(valuename, len, nullptr);
    return *value ? REGERR_SUCCESS : REGERR_NOT_FOUND;
}

void RegSetChanged(bool changed) { RegTreeNow->changed = changed ? 1 : 0; }

unsigned int CfRegCreateKey(HKEY hParentKey, const char* newKey, HKEY* phNewHandle) {
    bool made;
    return CfRegCreateKeyMade(hParentKey, newKey, phNewHandle, &made);
}

unsigned int CfRegCreateKeyMade(HKEY hParentKey, const char* newKey, HKEY* phNewHandle, bool* made) {
    *made = false;
    if (!NWREGIsRegLoaded()) return REGERR_NOT_LOADED;
    if (!IsKeyHandle(hParentKey) || !newKey || !phNewHandle) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* parent = LookUp(hParentKey, &rc);
    if (!parent) return rc;
    if (newKey[0] == 0) return REGERR_KEY_NOT_FOUND;
    HKEY hKey;
    rc = CfRegOpenKey(hParentKey, newKey, &hKey);
    if (rc == REGERR_SUCCESS) {
        *phNewHandle = hKey;
        return REGERR_SUCCESS;
    }
    // Only a key that is really missing is created: an open that ran out of memory must
    // not add a second key of the same name.
    if (rc != REGERR_NOT_FOUND) return rc;
    if (!RegTextStorable(newKey, strlen(newKey))) return REGERR_BAD_NAME;
    uint64_t before = RegTreeNow->generation;
    RegNode* node = NewRegNode(newKey);
    if (!node) return REGERR_NO_MEMORY;
    if (!parent->AddKeyNode(node)) {
        delete node;
        return REGERR_NO_MEMORY;
    }
    RegKeyChanged(parent, node);
    *made = true;
    // A key added below the parent cannot change what the parent's path names: a path
    // through it is longer. When nothing else changed, the parent's node stays known.
    if (RegTreeNow->generation == before + 1) Remember(hParentKey, parent);
    return CfRegOpenKey(hParentKey, newKey, phNewHandle);
}

// The opening of every change to a key's values or subkeys: a loaded registry (9), a key
// handle (8, where the open calls answer 3), the names and data it needs (3), and the
// key itself (8, or 2). Null with *rc set when the change cannot go on.
static RegNode* ChangeTarget(HKEY h, bool argsGiven, unsigned int* rc) {
    if (!NWREGIsRegLoaded()) {
        *rc = REGERR_NOT_LOADED;
        return nullptr;
    }
    if (!IsKeyHandle(h)) {
        *rc = REGERR_KEY_NOT_FOUND;
        return nullptr;
    }
    if (!argsGiven) {
        *rc = REGERR_INVALID_HANDLE;
        return nullptr;
    }
    return LookUp(h, rc);
}

// The new value (null: no memory) replaces the first of its name, and goes last; the list
// has room for it already.
static unsigned int SetMade(RegNode* parent, RegKeyValue* value) {
    if (!value) return REGERR_NO_MEMORY;
    if (!parent->SetValueLast(value)) {
        delete value;
        return REGERR_NO_MEMORY;
    }
    RegKeyChanged(parent);
    return REGERR_SUCCESS;
}

// The name copy, the data text and the value record are all made before the old value
// is taken out, so that running out of memory leaves the old value in place.
unsigned int CfRegSetValue(HKEY hParent, const char* valueName, unsigned int dwType,
                           const unsigned char* lpData, unsigned int cbData) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, valueName && lpData, &rc);
    if (!parent) return rc;

    int type = dwType == ZRREG_TYPE_DWORD ? REG_INT : REG_SZ;
    size_t dataLen = 0;
    if (type == REG_SZ) {
        // The stored string ends at the first NUL within the data, or after cbData bytes.
        const void* nul = memchr(lpData, 0, cbData);
        dataLen = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - lpData) : cbData;
        if (!RegTextStorable(reinterpret_cast<const char*>(lpData), dataLen)) return REGERR_BAD_NAME;
    }
    size_t nameLen = strlen(valueName);
    if (!RegTextStorable(valueName, nameLen)) return REGERR_BAD_NAME;
    int32_t number = 0;
    if (type == REG_INT) memcpy(&number, lpData, sizeof number);

    // Room in the list first, so that the value, once made, is always appended.
    if (!parent->GetRegKeyValueList()->Reserve(1)) return REGERR_NO_MEMORY;
    if (!parent->SetValueLast(valueName, nameLen, type, reinterpret_cast<const char*>(lpData), dataLen,
                              number))
        return REGERR_NO_MEMORY;
    RegKeyChanged(parent);
    return REGERR_SUCCESS;
}

unsigned int CfRegSetTyped(HKEY hParent, const char* valueName, uint32_t winType, const void* data,
                           size_t n) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, valueName && (data || n == 0), &rc);
    if (!parent) return rc;
    size_t nameLen = strlen(valueName);
    if (!RegTextStorable(valueName, nameLen)) return REGERR_BAD_NAME;
    if (!parent->GetRegKeyValueList()->Reserve(1)) return REGERR_NO_MEMORY;
    return SetMade(parent, RegKeyValue::MakeTyped(valueName, nameLen, winType, data, n));
}

unsigned int CfRegDeleteKey(HKEY hParent, const char* subKeyName) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, subKeyName != nullptr, &rc);
    if (!parent) return rc;
    int i = FindSubkey(parent, subKeyName);
    if (i < 0) return REGERR_NOT_FOUND;
    if (!RegTreeNow->deletesForced && parent->GetRegNodeList()->AtSlot(i)->GetOpenCnt() != 0)
        return REGERR_KEY_BUSY;
    delete parent->TakeKeyNode(i);
    RegKeyChanged(parent);
    return REGERR_SUCCESS;
}

unsigned int CfRegDeleteValue(HKEY hParent, const char* valueName) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, valueName != nullptr, &rc);
    if (!parent) return rc;
    int i = FindValue(parent, valueName);
    if (i < 0) return REGERR_NOT_FOUND;
    delete parent->TakeValue(i);
    RegKeyChanged(parent);
    return REGERR_SUCCESS;
}

unsigned int CfRegValueAt(HKEY h, int index, RegKeyValue** value) {
    if (!IsKeyHandle(h) || !value) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    RegKeyValueList* values = node->GetRegKeyValueList();
    if (index < 0 || index >= values->GetSize()) return REGERR_NO_MORE_ITEMS;
    *value = values->GetAt(index);
    return REGERR_SUCCESS;
}

unsigned int CfRegQueryInfoKey(HKEY h, RegKeyInfo* info, bool keyMax, bool valueMax) {
    if (!IsKeyHandle(h) || !info) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    RegNodeList* keys = node->GetRegNodeList();
    RegKeyValueList* values = node->GetRegKeyValueList();
    *info = RegKeyInfo{static_cast<unsigned int>(keys->GetSize()),
                       static_cast<unsigned int>(values->GetSize()),
                       0,
                       0,
                       0,
                       RegKeyTime(node)};
    for (int s = keys->FirstSlot(); keyMax && s < keys->EndSlot(); ++s) {
        RegNode* k = keys->AtSlot(s);
        unsigned int n = k ? static_cast<unsigned int>(strlen(k->GetName())) : 0;
        if (n > info->maxSubKeyName) info->maxSubKeyName = n;
    }
    for (int s = values->FirstSlot(); valueMax && s < values->EndSlot(); ++s) {
        RegKeyValue* v = values->AtSlot(s);
        if (!v) continue;
        unsigned int n = static_cast<unsigned int>(strlen(v->GetKey()));
        unsigned int bytes = static_cast<unsigned int>(v->GetSize());
        if (v->GetType() == REG_SZ) bytes *= 2;
        if (n > info->maxValueName) info->maxValueName = n;
        if (bytes > info->maxData) info->maxData = bytes;
    }
    return REGERR_SUCCESS;
}

// Whether `top` (with `self`) or a key below it has open handles; 2 when the walk's list
// cannot grow. The walk keeps its own list rather than recurse, as a tree can be deep.
static unsigned int FindOpen(RegNode* top, bool self) {
    if (RegTreeNow->deletesForced) return REGERR_SUCCESS;
    if (self && top->GetOpenCnt() != 0) return REGERR_KEY_BUSY;
    RegNodeList work;
    if (work.Add(top) < 0) return REGERR_NO_MEMORY;
    while (work.GetSize() > 0) {
        int last = work.EndSlot() - 1;
        RegNode* n = work.AtSlot(last);
        work.RemoveSlot(last);
        RegNodeList* kids = n->GetRegNodeList();
        for (int s = kids->FirstSlot(); s < kids->EndSlot(); ++s) {
            RegNode* k = kids->AtSlot(s);
            if (!k) continue;
            if (k->GetOpenCnt() != 0) return REGERR_KEY_BUSY;
            if (work.Add(k) < 0) return REGERR_NO_MEMORY;
        }
    }
    return REGERR_SUCCESS;
}

unsigned int CfRegDeleteTree(HKEY hParent, const char* subKeyName) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, true, &rc);
    if (!parent) return rc;
    if (subKeyName) {
        int i = FindSubkey(parent, subKeyName);
        if (i < 0) return REGERR_NOT_FOUND;
        RegNode* top = parent->GetRegNodeList()->AtSlot(i);
        rc = FindOpen(top, true);
        if (rc != REGERR_SUCCESS) return rc;
        delete parent->TakeKeyNode(i);
        RegKeyChanged(parent);
        return REGERR_SUCCESS;
    }
    rc = FindOpen(parent, false);
    if (rc != REGERR_SUCCESS) return rc;
    RegNodeList* keys = parent->GetRegNodeList();
    RegKeyValueList* values = parent->GetRegKeyValueList();
    if (keys->GetSize() + values->GetSize() > 0) RegKeyChanged(parent);
    // From the ends of the lists, which moves no entry.
    while (keys->GetSize() > 0) delete parent->TakeKeyNode(keys->EndSlot() - 1);
    while (values->GetSize() > 0) delete parent->TakeValue(values->EndSlot() - 1);
    return REGERR_SUCCESS;
}

// The keys the library's own handles stand for by name: a rename would leave them behind.
static bool LibraryKey(RegNode* parent, const char* name) {
    return parent == RegTreeNow->root &&
           (zrSameName(name, "HKEY_LOCAL_MACHINE") || zrSameName(name, "HKEY_CURRENT_USER"));
}

// Another process renamed a key with handles open here: those handles name nothing now
// (their closes find no key), so the counts they made go (without memory for the walk,
// those below the key stay, which only makes a later deletion there answer 10).
static void ForgetOpen(RegNode* top) {
    while (top->GetOpenCnt() > 0) top->DecOpenCnt();
    RegNodeList work;
    if (work.Add(top) < 0) return;
    while (work.GetSize() > 0) {
        int last = work.EndSlot() - 1;
        RegNode* n = work.AtSlot(last);
        work.RemoveSlot(last);
        RegNodeList* kids = n->GetRegNodeList();
        for (int s = kids->FirstSlot(); s < kids->EndSlot(); ++s) {
            RegNode* k = kids->AtSlot(s);
            if (!k) continue;
            while (k->GetOpenCnt() > 0) k->DecOpenCnt();
            if (work.Add(k) < 0) return;
        }
    }
}

unsigned int CfRegRenameKey(HKEY hParent, const char* subKeyName, const char* newName, int ownHandles) {
    unsigned int rc;
    RegNode* parent = ChangeTarget(hParent, subKeyName && newName, &rc);
    if (!parent) return rc;
    int i = FindSubkey(parent, subKeyName);
    if (i < 0) return REGERR_NOT_FOUND;
    size_t len = strlen(newName);
    if (len == 0 || strchr(newName, '/') || !RegTextStorable(newName, len)) return REGERR_BAD_NAME;
    RegNode* node = parent->GetRegNodeList()->AtSlot(i);
    if (LibraryKey(parent, node->GetName())) return REGERR_KEY_BUSY;
    RegNode* other = parent->FindKeyNode(newName, nullptr);
    if (other && other != node) return REGERR_ALREADY_EXISTS;
    // A new case only leaves every path that named the key naming it still.
    bool moves = !zrSameName(node->GetName(), newName);
    if (moves && !RegTreeNow->deletesForced) {
        if (node->GetOpenCnt() > ownHandles) return REGERR_KEY_BUSY;
        rc = FindOpen(node, false);
        if (rc != REGERR_SUCCESS) return rc;
    }
    if (!parent->RenameKeyNode(i, newName, len)) return REGERR_NO_MEMORY;
    if (moves && RegTreeNow->deletesForced) ForgetOpen(parent->GetRegNodeList()->AtSlot(i));
    RegKeyChanged(parent, parent->GetRegNodeList()->AtSlot(i));
    return REGERR_SUCCESS;
}

unsigned int CfRegRenameValue(HKEY h, const char* valueName, const char* newName) {
    unsigned int rc;
    RegNode* node = ChangeTarget(h, valueName && newName, &rc);
    if (!node) return rc;
    int i = FindValue(node, valueName);
    if (i < 0) return REGERR_NOT_FOUND;
    size_t len = strlen(newName);
    if (!RegTextStorable(newName, len)) return REGERR_BAD_NAME;
    RegKeyValue* other = node->FindValue(newName, nullptr);
    if (other && other != node->GetRegKeyValueList()->AtSlot(i)) return REGERR_ALREADY_EXISTS;
    if (!node->RenameValue(i, newName, len)) return REGERR_NO_MEMORY;
    RegKeyChanged(node);
    return REGERR_SUCCESS;
}

unsigned int CfRegCountSubKeys(HKEY h, unsigned int* count) {
    if (!IsKeyHandle(h) || !count) return REGERR_INVALID_HANDLE;
    unsigned int rc;
    RegNode* node = LookUp(h, &rc);
    if (!node) return rc;
    if (node->LongKeyNames() > 0) return REGERR_BUFFER_TOO_SMALL;
    *count = static_cast<unsigned int>(node->GetRegNodeList()->GetSize());
    return REGERR_SUCCESS;
}
