// The exported wide-character key functions (open, close, enumerate, create, delete, count,
// describe, flush) and the conversions between wide and 8-bit names and results.
#include <string.h>

#include "regcalls.h"
#include "zrplat.h"
#include "zrregwide.h"

using namespace zrwide;

// The key operations answer in the exported numbers, all but "no more items".
static_assert(REGERR_SUCCESS == ZRREG_SUCCESS && REGERR_NO_MEMORY == ZRREG_NO_MEMORY &&
                  REGERR_INVALID_HANDLE == ZRREG_INVALID_HANDLE && REGERR_NOT_FOUND == ZRREG_NOT_FOUND &&
                  REGERR_BUFFER_TOO_SMALL == ZRREG_BUFFER_TOO_SMALL &&
                  REGERR_KEY_NOT_FOUND == ZRREG_KEY_NOT_FOUND && REGERR_NOT_LOADED == ZRREG_NOT_LOADED &&
                  REGERR_KEY_BUSY == ZRREG_KEY_BUSY && REGERR_BAD_NAME == ZRREG_BAD_NAME &&
                  REGERR_WRITE_FAULT == ZRREG_WRITE_FAULT && REGERR_ALREADY_EXISTS == ZRREG_ALREADY_EXISTS,
              "internal and exported result codes differ");

long regerrToWinerr(long regerr) { return regerr == REGERR_NO_MORE_ITEMS ? ZRREG_NO_MORE_ITEMS : regerr; }

void xlateRegString(char* inString, char* outString, int length) {
    for (int i = 0; i < length; ++i) outString[i] = inString[i] == '\\' ? '/' : inString[i];
}

char* ZRNWGetSubkey(char* outStr, char* inStr) {
    char* p = inStr;
    while (*p == '/') ++p;
    if (*p == 0) return nullptr;
    char* end = p;
    while (*end && *end != '/') ++end;
    memcpy(outStr, p, static_cast<size_t>(end - p));
    outStr[end - p] = 0;
    return end;
}

int32_t ZrRegOpenKeyEx(void* hKey, const unsigned short* lpSubKey, uint32_t, void** phkResult) {
    if (!hKey || !lpSubKey || !phkResult) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock(hKey);
    HKEY result;
    int32_t rc = OpenKey(RegHandleOf(hKey), lpSubKey, &result);
    if (rc == ZRREG_SUCCESS) *phkResult = RegTokenOf(result);
    return rc;
}

// The token is looked up under the side lock, so that of two closes of one handle the
// second finds it dead.
int32_t ZrRegCloseKey(void* hKey) {
    if (!hKey) return ZRREG_SUCCESS;
    SharedTree lock(hKey);
    SideLock side;
    HKEY h = RegHandleOf(hKey);
    if (h) RegNotifyClosed(h);
    return h ? Win(CfRegCloseKey(h)) : ZRREG_INVALID_HANDLE;
}

static int32_t EnumKey(HKEY hKey, uint32_t dwIndex, unsigned short* lpName, uint32_t* lpcbName) {
    char subKeyName[NAME_BUF];
    subKeyName[0] = 0;  // what a failed enumeration delivers: it writes no name
    unsigned int length = NAME_BUF;
    // An index beyond the int range turns negative, which the key operation reports as
    // past the last subkey.
    unsigned int rc = CfRegEnumKey(hKey, static_cast<int>(dwIndex), subKeyName, &length);
    length = static_cast<unsigned int>(strlen(subKeyName));
    *lpcbName = length;
    zrMbstowcs(lpName, subKeyName, length + 1);
    return Win(rc);
}

int32_t ZrRegEnumKeyEx(void* hKey, uint32_t dwIndex, unsigned short* lpName, uint32_t* lpcbName) {
    if (!hKey || !lpName || !lpcbName) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock(hKey);
    return EnumKey(RegHandleOf(hKey), dwIndex, lpName, lpcbName);
}

// *phkResult is written only when the whole path was opened; after a failure it is
// untouched, so that a caller's variable never holds a handle that was already closed.
int32_t CreateKeyHeld(HKEY hKey, const unsigned short* lpSubKey, HKEY* phkResult) {
    if (!hKey || !lpSubKey || !phkResult) return ZRREG_BAD_ARG;
    char keyNameOut[NAME_BUF];
    if (!ConvertName(lpSubKey, keyNameOut, true)) return ZRREG_BAD_NAME;
    if (keyNameOut[0] == '/' || keyNameOut[0] == 0) return ZRREG_BAD_ARG;

    // The whole path goes into the log as one change: a death in the middle makes all of
    // its levels or none.
    Logged log;
    if (log.rc != REGERR_SUCCESS) return Win(log.rc);
    if (log.on) {
        size_t base = strlen(hKey->ptr);
        char near[512];  // most paths fit: no allocation then
        char* full = base + NAME_BUF + 1 <= sizeof near
                         ? near
                         : static_cast<char*>(zrHostRealloc(nullptr, base + NAME_BUF + 1));
        if (!full) return ZRREG_NO_MEMORY;
        memcpy(full, hKey->ptr, base + 1);
        char part[NAME_BUF];
        for (char* at = keyNameOut; (at = ZRNWGetSubkey(part, at)) != nullptr;) {
            full[base++] = '/';
            strcpy(full + base, part);
            base += strlen(part);
        }
        unsigned int wrote = log.Write(RC_CREATE, full, "");
        if (full != near) zrHostFree(full);
        if (wrote != REGERR_SUCCESS) return Win(wrote);
    }

    char curKey[NAME_BUF];
    HKEY curParent = hKey, prevParent = nullptr, result = nullptr;
    bool levelDone = false, madeAny = false, lastMade = false;
    unsigned int rc = REGERR_SUCCESS;
    char* nextPos = keyNameOut;
    while (rc == REGERR_SUCCESS) {
        nextPos = ZRNWGetSubkey(curKey, nextPos);
        if (!nextPos) break;
        if (levelDone) {
            if (prevParent != hKey) CloseKey(prevParent);
            curParent = result;
        }
        // A level made (not merely opened) goes into the journal.
        bool made;
        rc = CfRegCreateKeyMade(curParent, curKey, &result, &made);
        if (rc == REGERR_SUCCESS && made && !log.on) JournalRecord(RC_CREATE, result->ptr, "");
        madeAny = madeAny || made;
        lastMade = made;
        prevParent = curParent;
        levelDone = true;
    }
    // Levels made before a later one failed stay, as without the log (the last one also
    // when its handle could not be had): the record then names the path down to the last
    // level that stands, in the same place (it is shorter).
    if (madeAny && log.on &&
        (rc == REGERR_SUCCESS ||
         log.Write(RC_CREATE, prevParent->ptr, lastMade ? curKey : "") == REGERR_SUCCESS))
        RegLogCommit();
    if (prevParent != hKey) CloseKey(prevParent);
    if (rc == REGERR_SUCCESS) *phkResult = result;
    return Win(rc);
}

int32_t ZrRegCreateKey(void* hKey, const unsigned short* lpSubKey, void** phkResult) {
    if (!hKey || !lpSubKey || !phkResult) return ZRREG_BAD_ARG;
    TreeAlone lock(hKey);
    HKEY base = RegHandleOf(hKey), result;
    if (!base) return ZRREG_INVALID_HANDLE;
    int32_t rc = CreateKeyHeld(base, lpSubKey, &result);
    if (rc == ZRREG_SUCCESS) *phkResult = RegTokenOf(result);
    return rc;
}

int32_t ZrRegDeleteKey(void* hKey, const unsigned short* szwSubKeyName) {
    if (!hKey || !szwSubKeyName) return ZRREG_BAD_ARG;
    char subKeyNameOut[NAME_BUF];
    if (!ConvertName(szwSubKeyName, subKeyNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(RC_DELETE_KEY, key->ptr, subKeyNameOut,
                   [&] { return CfRegDeleteKey(key, subKeyNameOut); });
}

// The answer of enumerating every subkey in turn: their number, or 0xFFFFFFFF when an
// enumeration would fail (a bad handle, or a name too long for the enumeration's buffer).
uint32_t ZrRegCountSubKeys(void* hKey) {
    if (!hKey) return 0xFFFFFFFF;
    RegLogFollow();
    SharedTree lock(hKey);
    unsigned int count = 0;
    HKEY key = RegHandleOf(hKey);
    return key && CfRegCountSubKeys(key, &count) == REGERR_SUCCESS ? count : 0xFFFFFFFF;
}

int32_t ZrRegQueryInfoKey(void* hKey, uint32_t* lpcSubKeys, uint32_t* lpcchMaxSubKeyLen, uint32_t* lpcValues,
                          uint32_t* lpcchMaxValueNameLen, uint32_t* lpcbMaxValueLen) {
    if (!hKey) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    RegKeyInfo info;
    unsigned int rc = CfRegQueryInfoKey(key, &info, lpcchMaxSubKeyLen != nullptr,
                                        lpcchMaxValueNameLen != nullptr || lpcbMaxValueLen != nullptr);
    if (rc != REGERR_SUCCESS) return Win(rc);
    if (lpcSubKeys) *lpcSubKeys = info.subKeys;
    if (lpcchMaxSubKeyLen) *lpcchMaxSubKeyLen = info.maxSubKeyName;
    if (lpcValues) *lpcValues = info.values;
    if (lpcchMaxValueNameLen) *lpcchMaxValueNameLen = info.maxValueName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = info.maxData;
    return ZRREG_SUCCESS;
}

int32_t ZrRegQueryLastWriteTime(void* hKey, uint64_t* lpftLastWriteTime) {
    if (!hKey || !lpftLastWriteTime) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    RegKeyInfo info;
    unsigned int rc = CfRegQueryInfoKey(key, &info, false, false);
    if (rc == REGERR_SUCCESS) *lpftLastWriteTime = info.lastWrite;
    return Win(rc);
}

// A whole subtree is journaled as one deletion, which the merge replays like
// ZrRegDeleteKey's; the clearing of a key as one entry too, so that a replay also takes
// what another process put into the key meanwhile.
int32_t ZrRegDeleteTree(void* hKey, const unsigned short* lpSubKey) {
    if (!hKey) return ZRREG_BAD_ARG;
    bool whole = !lpSubKey || lpSubKey[0] == 0;
    char subKeyNameOut[NAME_BUF];
    if (!whole && !ConvertName(lpSubKey, subKeyNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(whole ? RC_CLEAR_KEY : RC_DELETE_KEY, key->ptr, whole ? "" : subKeyNameOut,
                   [&] { return CfRegDeleteTree(key, whole ? nullptr : subKeyNameOut); });
}

int32_t ZrRegFlushKey(void* hKey) {
    if (!hKey) return ZRREG_BAD_ARG;
    TreeAlone lock(hKey);
    if (!RegHandleOf(hKey)) return ZRREG_INVALID_HANDLE;
    if (!NWREGIsRegLoaded()) return ZRREG_NOT_LOADED;
    return Win(ShareFlush());
}
