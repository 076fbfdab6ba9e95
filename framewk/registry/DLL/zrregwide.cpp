// The exported wide-character key and value functions: name conversion, result mapping,
// and the tree lock that lets any number of threads call them.
#include <string.h>

#include "regcalls.h"
#include "zrplat.h"

#define NAME_BUF 256  // a name passed in holds at most 255 characters
static_assert(NAME_BUF == REGENUM_NAME_MAX + 1, "enumeration delivers the names that fit this buffer");

// The key operations answer in the exported numbers, all but "no more items".
static_assert(REGERR_SUCCESS == ZRREG_SUCCESS && REGERR_NO_MEMORY == ZRREG_NO_MEMORY &&
                  REGERR_INVALID_HANDLE == ZRREG_INVALID_HANDLE && REGERR_NOT_FOUND == ZRREG_NOT_FOUND &&
                  REGERR_BUFFER_TOO_SMALL == ZRREG_BUFFER_TOO_SMALL &&
                  REGERR_KEY_NOT_FOUND == ZRREG_KEY_NOT_FOUND && REGERR_NOT_LOADED == ZRREG_NOT_LOADED &&
                  REGERR_KEY_BUSY == ZRREG_KEY_BUSY && REGERR_BAD_NAME == ZRREG_BAD_NAME &&
                  REGERR_WRITE_FAULT == ZRREG_WRITE_FAULT && REGERR_ALREADY_EXISTS == ZRREG_ALREADY_EXISTS,
              "internal and exported result codes differ");

long regerrToWinerr(long regerr) { return regerr == REGERR_NO_MORE_ITEMS ? ZRREG_NO_MORE_ITEMS : regerr; }

unsigned long regtypeToWintype(unsigned long regtype) {
    return RegTypeOf(static_cast<RegType>(regtype)).winType;
}

static int32_t Win(unsigned int rc) { return static_cast<int32_t>(regerrToWinerr(static_cast<long>(rc))); }

// Converts a wide name into a zero-filled buffer, each character below 256 becoming its
// byte and the first one above ending the name; with `translate`, "\" becomes "/".
// Names of 256 characters or more would not fit the buffer and are refused.
static bool ConvertName(const zrwchar* name, char* out, bool translate) {
    size_t length = zrWcslen(name);
    if (length >= NAME_BUF) return false;
    // The name ends before its first character beyond 8 bits.
    size_t got = zrWcstombs(out, name, length);
    out[got] = 0;
    if (translate) xlateRegString(out, out, static_cast<int>(got));
    return true;
}

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

// Every exported call holds the tree lock: queries, enumerations, opens and closes share
// it, changes, loads and unloads take it alone. Each successful change goes into the
// journal that the unload replays when another process has replaced the file. The functions below without the
// Zr prefix are the calls' bodies, for callers that hold it already; they take the handle
// that the caller's token names (RegHandleOf), null for a dead one, which the key
// operations refuse as no key handle.
namespace {
struct SharedTree {
    ZrHeld held = zrTreeLockShared();
    ~SharedTree() { zrTreeUnlock(held); }
};
struct TreeAlone {
    ZrHeld held = zrTreeLockExclusive();
    ~TreeAlone() { zrTreeUnlock(held); }
};
struct SideLock {
    SideLock() { zrSideLock(); }
    ~SideLock() { zrSideUnlock(); }
};
// A change goes into the change log when the file has one (under its writer lock, after
// the other processes' changes), else into the journal.
struct Logged {
    bool on = LogActive();
    unsigned int rc = on ? RegLogBegin() : REGERR_SUCCESS;
    ~Logged() {
        if (on && rc == REGERR_SUCCESS) RegLogEnd();
    }
    unsigned int Write(RegChangeOp op, const char* path, const char* name, unsigned int type = 0,
                       const void* data = nullptr, size_t n = 0) {
        return on ? RegLogWrite(op, path, name, type, data, n) : REGERR_SUCCESS;
    }
};

// One change of the tree, under the tree lock alone: with the log its record is written
// first, then the tree changed, then the record committed; without it the change goes
// into the journal once made.
template <class Change>
int32_t Changed(RegChangeOp op, const char* path, const char* name, Change change, unsigned int type = 0,
                const void* data = nullptr, size_t n = 0) {
    Logged log;
    if (log.rc != REGERR_SUCCESS) return Win(log.rc);
    unsigned int rc = log.Write(op, path, name, type, data, n);
    if (rc != REGERR_SUCCESS) return Win(rc);
    rc = change();
    if (rc == REGERR_SUCCESS && log.on) RegLogCommit();
    if (rc == REGERR_SUCCESS && !log.on) JournalRecord(op, path, name, type, data, n);
    return Win(rc);
}
}  // namespace

// Opens and closes change open counts and take blocks from the pool: under the side lock,
// as readers share the tree.
static int32_t OpenKey(HKEY hKey, const unsigned short* lpSubKey, HKEY* phkResult) {
    char keyNameOut[NAME_BUF];
    if (!ConvertName(lpSubKey, keyNameOut, true)) return ZRREG_BAD_NAME;
    HKEY result;
    SideLock side;
    unsigned int rc = CfRegOpenKey(hKey, keyNameOut, &result);
    if (rc == REGERR_SUCCESS) *phkResult = result;
    return Win(rc);
}

static void CloseKey(HKEY hKey) {
    SideLock side;
    CfRegCloseKey(hKey);
}

int32_t ZrRegOpenKeyEx(void* hKey, const unsigned short* lpSubKey, uint32_t, void** phkResult) {
    if (!hKey || !lpSubKey || !phkResult) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock;
    HKEY result;
    int32_t rc = OpenKey(RegHandleOf(hKey), lpSubKey, &result);
    if (rc == ZRREG_SUCCESS) *phkResult = RegTokenOf(result);
    return rc;
}

// The token is looked up under the side lock, so that of two closes of one handle the
// second finds it dead.
int32_t ZrRegCloseKey(void* hKey) {
    if (!hKey) return ZRREG_SUCCESS;
    SharedTree lock;
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
    SharedTree lock;
    return EnumKey(RegHandleOf(hKey), dwIndex, lpName, lpcbName);
}

// Writes `n` wide characters made from the bytes of `s` into a byte buffer that need not
// be aligned for 16-bit units.
static void PutWide(unsigned char* out, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        zrwchar w = static_cast<unsigned char>(s[i]);
        memcpy(out + 2 * i, &w, sizeof w);
    }
}

// The tree answers in 8-bit units, the caller's room is in bytes of 16-bit text. Strings
// of any length are read, through a block of their own when they outgrow the name buffer
// (from the C allocator, which readers may share).
static unsigned int ReadValue(HKEY hKey, const char* valueName, unsigned int* myType, unsigned char* local,
                              unsigned char** data, unsigned int* length) {
    *data = local;
    *length = NAME_BUF;
    unsigned int rc = CfRegQueryValue(hKey, valueName, myType, local, length);
    if (rc == REGERR_BUFFER_TOO_SMALL) {
        *data = static_cast<unsigned char*>(zrHostRealloc(nullptr, *length));
        rc = *data ? CfRegQueryValue(hKey, valueName, myType, *data, length) : REGERR_NO_MEMORY;
        if (!*data) *data = local;
    }
    return rc;
}

static int32_t QueryValue(HKEY hKey, const unsigned short* lpValueName, uint32_t* lpType,
                          unsigned char* lpData, uint32_t* lpcbData) {
    char valueName[NAME_BUF];
    if (!ConvertName(lpValueName, valueName, false)) return ZRREG_BAD_NAME;
    uint32_t room = *lpcbData;

    unsigned char local[NAME_BUF];  // the query writes what is read of it
    unsigned char* data;
    unsigned int length, myType = 0;
    unsigned int rc = ReadValue(hKey, valueName, &myType, local, &data, &length);

    if (rc == REGERR_SUCCESS) {
        uint32_t need = myType == REG_INT ? 4 : 2 * length;
        if (room < need) {
            *lpcbData = need;
            rc = REGERR_BUFFER_TOO_SMALL;
        } else {
            if (myType == REG_INT) {
                memcpy(lpData, data, 4);
            } else {
                PutWide(lpData, reinterpret_cast<char*>(data), length);
            }
            *lpcbData = length;
            *lpType = static_cast<uint32_t>(regtypeToWintype(myType));
        }
    } else {
        *lpcbData = NAME_BUF;
        if (room >= 2) PutWide(lpData, "", 1);
    }
    if (data != local) zrHostFree(data);
    return Win(rc);
}

int32_t ZrRegQueryValueEx(void* hKey, const unsigned short* lpValueName, uint32_t* lpType,
                          unsigned char* lpData, uint32_t* lpcbData) {
    if (!hKey || !lpValueName || !lpType || !lpData || !lpcbData) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock;
    return QueryValue(RegHandleOf(hKey), lpValueName, lpType, lpData, lpcbData);
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
    TreeAlone lock;
    HKEY base = RegHandleOf(hKey), result;
    if (!base) return ZRREG_INVALID_HANDLE;
    int32_t rc = CreateKeyHeld(base, lpSubKey, &result);
    if (rc == ZRREG_SUCCESS) *phkResult = RegTokenOf(result);
    return rc;
}

int32_t ZrRegSetValueEx(void* hKey, const unsigned short* lpValueName, uint32_t dwType,
                        const unsigned char* lpData, uint32_t cbData) {
    if (!hKey || !lpValueName || !lpData || dwType == 0 || cbData == 0) return ZRREG_BAD_ARG;
    char valueNameOut[NAME_BUF];
    if (!ConvertName(lpValueName, valueNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock;
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(
        RC_SET, key->ptr, valueNameOut,
        [&] { return CfRegSetValue(key, valueNameOut, dwType, lpData, cbData); }, dwType, lpData,
        RegSetDataLength(dwType, lpData, cbData));
}

int32_t ZrRegDeleteKey(void* hKey, const unsigned short* szwSubKeyName) {
    if (!hKey || !szwSubKeyName) return ZRREG_BAD_ARG;
    char subKeyNameOut[NAME_BUF];
    if (!ConvertName(szwSubKeyName, subKeyNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock;
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(RC_DELETE_KEY, key->ptr, subKeyNameOut,
                   [&] { return CfRegDeleteKey(key, subKeyNameOut); });
}

int32_t ZrRegDeleteValue(void* hKey, const unsigned short* szwValueName) {
    if (!hKey || !szwValueName) return ZRREG_BAD_ARG;
    char valueNameOut[NAME_BUF];
    if (!ConvertName(szwValueName, valueNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock;
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(RC_DELETE_VALUE, key->ptr, valueNameOut,
                   [&] { return CfRegDeleteValue(key, valueNameOut); });
}

// The answer of enumerating every subkey in turn: their number, or 0xFFFFFFFF when an
// enumeration would fail (a bad handle, or a name too long for the enumeration's buffer).
uint32_t ZrRegCountSubKeys(void* hKey) {
    if (!hKey) return 0xFFFFFFFF;
    RegLogFollow();
    SharedTree lock;
    unsigned int count = 0;
    HKEY key = RegHandleOf(hKey);
    return key && CfRegCountSubKeys(key, &count) == REGERR_SUCCESS ? count : 0xFFFFFFFF;
}

// The query reports the exact room a string needs, so one retry reads any value; the
// loop still stops when the room asked for does not grow, rather than trust that.
uint32_t ZrRegQueryValueSz(void* hkeyBase, const unsigned short* szKey, const unsigned short* szValueName,
                           const unsigned short* szDefault, unsigned short** pszValue) {
    if (!hkeyBase || !szValueName || !pszValue) return static_cast<uint32_t>(ZRREG_BAD_ARG);
    RegLogFollow();
    SharedTree lock;
    // A dead handle is the host's error, which a default would hide.
    HKEY base = RegHandleOf(hkeyBase), hkey = nullptr;
    if (!base) {
        *pszValue = nullptr;
        return ZRREG_INVALID_HANDLE;
    }
    unsigned char* pb = nullptr;
    uint32_t dw = ZRREG_TYPE_SZ, cb = NAME_BUF, offered = 0;
    int32_t rc;
    if (szKey && szKey[0]) {
        rc = OpenKey(base, szKey, &hkey);
    } else {
        hkey = base;
        rc = ZRREG_SUCCESS;
    }
    while (rc == ZRREG_SUCCESS || rc == ZRREG_BUFFER_TOO_SMALL) {
        if (cb <= offered) break;  // rc stays ZRREG_BUFFER_TOO_SMALL
        unsigned char* grown = static_cast<unsigned char*>(zrHostRealloc(pb, cb));
        if (!grown) {
            rc = ZRREG_NO_MEMORY;
            break;
        }
        pb = grown;
        offered = cb;
        rc = QueryValue(hkey, szValueName, &dw, pb, &cb);
        if (rc != ZRREG_BUFFER_TOO_SMALL) break;
    }
    if (rc == ZRREG_SUCCESS && dw != ZRREG_TYPE_SZ) rc = ZRREG_INVALID_HANDLE;
    if (rc != ZRREG_SUCCESS) {
        zrHostFree(pb);
        pb = nullptr;
        if (szDefault) {
            pb = reinterpret_cast<unsigned char*>(zrWcsdup(szDefault));
            if (!pb) rc = ZRREG_NO_MEMORY;
        }
    }
    if (pb) rc = ZRREG_SUCCESS;
    *pszValue = reinterpret_cast<unsigned short*>(pb);
    if (hkey && hkey != base) CloseKey(hkey);
    return static_cast<uint32_t>(rc);
}

// Only an integer value is delivered; a string value gives the default, like a missing
// one, so *pdwValue never holds the bytes of a text. Only a dead handle, the host's error,
// is told apart.
uint32_t ZrRegQueryValueDw(void* hkeyBase, const unsigned short* szKey, const unsigned short* szValueName,
                           uint32_t dwDefault, uint32_t* pdwValue) {
    if (!hkeyBase || !szValueName || !pdwValue) return static_cast<uint32_t>(ZRREG_BAD_ARG);
    RegLogFollow();
    SharedTree lock;
    HKEY base = RegHandleOf(hkeyBase), hkey = nullptr;
    if (!base) {
        *pdwValue = dwDefault;
        return ZRREG_INVALID_HANDLE;
    }
    int32_t rc = ZRREG_SUCCESS;
    if (szKey && szKey[0]) {
        rc = OpenKey(base, szKey, &hkey);
    } else {
        hkey = base;
    }
    uint32_t dw = ZRREG_TYPE_DWORD, cb = 4, value = 0;
    if (rc == ZRREG_SUCCESS)
        rc = QueryValue(hkey, szValueName, &dw, reinterpret_cast<unsigned char*>(&value), &cb);
    *pdwValue = (rc == ZRREG_SUCCESS && dw == ZRREG_TYPE_DWORD) ? value : dwDefault;
    if (hkey && hkey != base) CloseKey(hkey);
    return ZRREG_SUCCESS;
}

// The value is found by its place in the list (CfRegValueAt), never by its name: a key
// may hold two values whose names differ only in case after a hand edit.
int32_t ZrRegEnumValue(void* hKey, uint32_t dwIndex, unsigned short* lpValueName, uint32_t* lpcchValueName,
                       uint32_t* lpType, unsigned char* lpData, uint32_t* lpcbData) {
    if (!hKey || !lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock;
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    RegKeyValue* v = nullptr;
    unsigned int rc = CfRegValueAt(key, dwIndex > 0x7FFFFFFF ? -1 : static_cast<int>(dwIndex), &v);
    if (rc != REGERR_SUCCESS) return Win(rc);
    const char* name = v->GetKey();
    size_t nameLen = strlen(name);
    bool isInt = v->GetType() == REG_INT;
    uint32_t units = static_cast<uint32_t>(v->GetSize());
    uint32_t need = isInt ? 4 : 2 * units;
    if (nameLen >= *lpcchValueName || (lpData && *lpcbData < need)) {
        *lpcchValueName = static_cast<uint32_t>(nameLen + 1);
        if (lpcbData) *lpcbData = need;
        return ZRREG_BUFFER_TOO_SMALL;
    }
    zrMbstowcs(lpValueName, name, nameLen + 1);
    *lpcchValueName = static_cast<uint32_t>(nameLen);
    if (lpType) *lpType = static_cast<uint32_t>(regtypeToWintype(v->GetType()));
    if (lpData) {
        if (isInt) {
            memcpy(lpData, v->GetValue(), 4);
        } else {
            PutWide(lpData, static_cast<const char*>(v->GetValue()), units);
        }
        *lpcbData = units;
    } else if (lpcbData) {
        *lpcbData = need;
    }
    return ZRREG_SUCCESS;
}

int32_t ZrRegQueryInfoKey(void* hKey, uint32_t* lpcSubKeys, uint32_t* lpcchMaxSubKeyLen, uint32_t* lpcValues,
                          uint32_t* lpcchMaxValueNameLen, uint32_t* lpcbMaxValueLen) {
    if (!hKey) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock;
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

// A whole subtree is journaled as one deletion, which the merge replays like
// ZrRegDeleteKey's; the clearing of a key as one entry too, so that a replay also takes
// what another process put into the key meanwhile.
int32_t ZrRegDeleteTree(void* hKey, const unsigned short* lpSubKey) {
    if (!hKey) return ZRREG_BAD_ARG;
    bool whole = !lpSubKey || lpSubKey[0] == 0;
    char subKeyNameOut[NAME_BUF];
    if (!whole && !ConvertName(lpSubKey, subKeyNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock;
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    return Changed(whole ? RC_CLEAR_KEY : RC_DELETE_KEY, key->ptr, whole ? "" : subKeyNameOut,
                   [&] { return CfRegDeleteTree(key, whole ? nullptr : subKeyNameOut); });
}

static int32_t GetValue(HKEY hKey, const unsigned short* lpValue, uint32_t dwFlags, uint32_t* pdwType,
                        void* pvData, uint32_t* pcbData) {
    char valueName[NAME_BUF] = "";
    if (lpValue && !ConvertName(lpValue, valueName, false)) return ZRREG_BAD_NAME;
    unsigned char local[NAME_BUF];
    unsigned char* data;
    unsigned int length, myType = 0;
    unsigned int rc = ReadValue(hKey, valueName, &myType, local, &data, &length);
    if (rc == REGERR_SUCCESS) {
        uint32_t type = static_cast<uint32_t>(regtypeToWintype(myType));
        uint32_t need = myType == REG_INT ? 4 : 2 * length;
        uint32_t wanted = type == ZRREG_TYPE_SZ ? ZRREG_RT_SZ : ZRREG_RT_DWORD;
        if (!(dwFlags & wanted)) {
            rc = ZRREG_UNSUPPORTED_TYPE;
        } else if (pvData && *pcbData < need) {
            *pcbData = need;
            rc = REGERR_BUFFER_TOO_SMALL;
        } else {
            if (pvData && myType == REG_INT) memcpy(pvData, data, 4);
            if (pvData && myType != REG_INT)
                PutWide(static_cast<unsigned char*>(pvData), reinterpret_cast<char*>(data), length);
            if (pcbData) *pcbData = need;
            if (pdwType) *pdwType = type;
        }
    }
    if (data != local) zrHostFree(data);
    return Win(rc);
}

int32_t ZrRegGetValue(void* hKey, const unsigned short* lpSubKey, const unsigned short* lpValue,
                      uint32_t dwFlags, uint32_t* pdwType, void* pvData, uint32_t* pcbData) {
    if (!hKey || (pvData && !pcbData) || (dwFlags & ZRREG_RT_ANY) == 0 || (dwFlags & ~ZRREG_RT_ANY) != 0)
        return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock;
    HKEY base = RegHandleOf(hKey), key = base;
    if (!base) return ZRREG_INVALID_HANDLE;
    int32_t rc = ZRREG_SUCCESS;
    if (lpSubKey && lpSubKey[0]) rc = OpenKey(base, lpSubKey, &key);
    if (rc == ZRREG_SUCCESS) rc = GetValue(key, lpValue, dwFlags, pdwType, pvData, pcbData);
    if (key != base) CloseKey(key);
    return rc;
}

int32_t ZrRegFlushKey(void* hKey) {
    if (!hKey) return ZRREG_BAD_ARG;
    TreeAlone lock;
    if (!RegHandleOf(hKey)) return ZRREG_INVALID_HANDLE;
    if (!NWREGIsRegLoaded()) return ZRREG_NOT_LOADED;
    return Win(ShareFlush());
}

// ---- renames ---------------------------------------------------------------------------

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
    TreeAlone lock;
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
    TreeAlone lock;
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
