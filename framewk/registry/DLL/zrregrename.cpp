// The exported renames of keys and values: each one change, logged or journaled whole.
#include <string.h>

#include "regcalls.h"
#include "zrplat.h"
#include "zrregwide.h"

using namespace zrwide;

// The absolute path of `sub` below `key` ("" or null: the key's own), "\" taken as "/", in
// a block of zrMalloc's; with *result set to ZRREG_BAD_NAME or ZRREG_NO_MEMORY when null.
static char* PathBelow(HKEY key, const unsigned short* sub, int32_t* result) {
    char name[NAME_BUF] = "";
    if (sub && !ConvertName(sub, name, true)) {
        *result = ZRREG_BAD_NAME;
        return nullptr;
    }
    size_t lk = strlen(key->ptr), ln = strlen(name);
    char* path = static_cast<char*>(zrMalloc(lk + ln + 2));
    if (!path) {
        *result = ZRREG_NO_MEMORY;
        return nullptr;
    }
    memcpy(path, key->ptr, lk + 1);
    if (ln) {
        path[lk] = '/';
        memcpy(path + lk + 1, name, ln + 1);
    }
    if (!ReserveSearch(path)) {
        zrFree(path);
        *result = ZRREG_NO_MEMORY;
        return nullptr;
    }
    return path;
}

static bool LibraryHandle(HKEY h) {
    return h == RegTreeNow->rootHandle || h == RegTreeNow->hklm || h == RegTreeNow->hkcu ||
           h == RegTreeNow->ardoRoot;
}

// The key is found from the root by its whole path, whose end is then the key's name (the
// search matched it there): the rest is the parent's path. The record names the parent and
// that name, as a deletion's does. Renaming hKey's own key takes hKey along to the new path.
static int32_t RenameKeyHeld(HKEY key, const unsigned short* lpSubKeyName, const char* newName) {
    bool own = !lpSubKeyName || !lpSubKeyName[0];
    if (own && LibraryHandle(key)) return ZRREG_KEY_BUSY;
    Logged log;
    if (log.rc != REGERR_SUCCESS) return Win(log.rc);
    int32_t result = ZRREG_SUCCESS;
    char* path = PathBelow(key, own ? nullptr : lpSubKeyName, &result);
    if (!path) return result;
    bool noMemory = false;
    RegNode* node = nullptr;
    if (!Search(key->ptr, &noMemory)) {
        result = noMemory ? ZRREG_NO_MEMORY : ZRREG_KEY_NOT_FOUND;
    } else if (!(node = Search(path, &noMemory))) {
        result = noMemory ? ZRREG_NO_MEMORY : ZRREG_NOT_FOUND;
    } else if (node == RegTreeNow->root) {
        result = ZRREG_KEY_BUSY;
    }
    char* moved = nullptr;  // hKey's new path
    size_t lp = strlen(path), ln = node ? strlen(node->GetName()) : 0, lnew = strlen(newName);
    if (result == ZRREG_SUCCESS) {
        path[lp - ln - 1] = 0;  // the parent's path; the name follows
        if (own && !(moved = static_cast<char*>(zrMalloc(lp - ln + lnew + 1)))) result = ZRREG_NO_MEMORY;
    }
    unsigned int rc = REGERR_SUCCESS;
    if (result == ZRREG_SUCCESS) rc = log.Write(RC_RENAME_KEY, path, path + lp - ln, 0, newName, lnew);
    if (result == ZRREG_SUCCESS && rc == REGERR_SUCCESS) {
        REG_HANDLE parent = RegHandleAt(path);
        rc = CfRegRenameKey(&parent, path + lp - ln, newName, own ? 1 : 0);
    }
    if (result == ZRREG_SUCCESS && rc == REGERR_SUCCESS) {
        if (log.on) RegLogCommit();
        if (!log.on) JournalRecord(RC_RENAME_KEY, path, path + lp - ln, 0, newName, lnew);
        if (moved) {
            memcpy(moved, path, lp - ln - 1);
            moved[lp - ln - 1] = '/';
            memcpy(moved + lp - ln, newName, lnew + 1);
            zrFree(key->ptr);
            key->ptr = moved;
            key->parts = PathComponents(moved);
            key->gen = 0;
            moved = nullptr;
        }
    }
    if (result == ZRREG_SUCCESS) result = Win(rc);
    zrFree(moved);
    zrFree(path);
    return result;
}

int32_t ZrRegRenameKey(void* hKey, const unsigned short* lpSubKeyName, const unsigned short* lpNewKeyName) {
    if (!hKey || !lpNewKeyName || !lpNewKeyName[0]) return ZRREG_BAD_ARG;
    char newName[NAME_BUF];
    if (!ConvertName(lpNewKeyName, newName, false)) return ZRREG_BAD_NAME;
    if (strpbrk(newName, "\\/") || !RegTextStorable(newName, strlen(newName))) return ZRREG_BAD_NAME;
    TreeAlone lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    if (!NWREGIsRegLoaded()) return ZRREG_NOT_LOADED;
    return RenameKeyHeld(key, lpSubKeyName, newName);
}

int32_t ZrRegRenameValue(void* hKey, const unsigned short* lpSubKey, const unsigned short* lpValueName,
                         const unsigned short* lpNewValueName) {
    if (!hKey || !lpValueName || !lpNewValueName) return ZRREG_BAD_ARG;
    char oldName[NAME_BUF], newName[NAME_BUF];
    if (!ConvertName(lpValueName, oldName, true) || !ConvertName(lpNewValueName, newName, true))
        return ZRREG_BAD_NAME;
    TreeAlone lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    if (!NWREGIsRegLoaded()) return ZRREG_NOT_LOADED;
    int32_t result = ZRREG_SUCCESS;
    char* path = PathBelow(key, lpSubKey, &result);
    if (!path) return result;
    // A key below hKey that is missing is ZRREG_NOT_FOUND, as for the open calls.
    REG_HANDLE at = RegHandleAt(path);
    bool below = lpSubKey && lpSubKey[0];
    result = Changed(
        RC_RENAME_VALUE, path, oldName,
        [&] {
            if (below && Search(key->ptr) && !Search(path))
                return static_cast<unsigned int>(REGERR_NOT_FOUND);
            return CfRegRenameValue(&at, oldName, newName);
        },
        0, newName, strlen(newName));
    zrFree(path);
    return result;
}
