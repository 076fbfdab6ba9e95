// The exported wide-character value functions: query, set, delete, enumerate and get, and the
// queries that answer a default for a missing value (ZrRegQueryValueSz, ZrRegQueryValueDw).
#include <string.h>

#include "regcalls.h"
#include "zrplat.h"
#include "zrregwide.h"

using namespace zrwide;

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

// Stands in for the typed values until they come: stores what ZrRegSetValueEx can store.
int32_t ZrRegSetKeyValue(void* hKey, const unsigned short* lpSubKey, const unsigned short* lpValueName,
                         uint32_t dwType, const void* lpData, uint32_t cbData) {
    if (!hKey || !lpValueName || (!lpData && cbData)) return ZRREG_BAD_ARG;
    const unsigned char* b = static_cast<const unsigned char*>(lpData);
    char text[10000];
    if (dwType == ZRREG_TYPE_SZ) {
        uint32_t n = cbData / 2;
        if (cbData % 2 || n == 0 || n > sizeof text || b[cbData - 2] || b[cbData - 1]) return ZRREG_BAD_NAME;
        for (uint32_t i = 0; i < n; ++i) {
            if (b[2 * i + 1] || (!b[2 * i] && i + 1 < n)) return ZRREG_BAD_NAME;
            text[i] = static_cast<char>(b[2 * i]);
        }
    } else if (dwType != ZRREG_TYPE_DWORD || cbData != 4) {
        return ZRREG_BAD_NAME;
    }
    void* key = hKey;
    if (lpSubKey && lpSubKey[0]) {
        int32_t rc = ZrRegCreateKey(hKey, lpSubKey, &key);
        if (rc != ZRREG_SUCCESS) return rc;
    }
    int32_t rc = dwType == ZRREG_TYPE_SZ ? ZrRegSetValueEx(key, lpValueName, dwType,
                                                           reinterpret_cast<unsigned char*>(text), cbData / 2)
                                         : ZrRegSetValueEx(key, lpValueName, dwType, b, 4);
    if (key != hKey) ZrRegCloseKey(key);
    return rc;
}
