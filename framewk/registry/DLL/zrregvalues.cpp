// The exported wide-character value functions: query, set, delete, enumerate and get, and the
// queries that answer a default for a missing value (ZrRegQueryValueSz, ZrRegQueryValueDw).
#include <string.h>

#include "regcalls.h"
#include "zrplat.h"
#include "zrregwide.h"

using namespace zrwide;

// Writes `n` wide characters made from the bytes of `s` into a byte buffer that need not
// be aligned for 16-bit units.
void zrwide::PutWide(unsigned char* out, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        zrwchar w = static_cast<unsigned char>(s[i]);
        memcpy(out + 2 * i, &w, sizeof w);
    }
}

// The tree holds a plain string in 8-bit units, the caller's room is in bytes of 16-bit
// text; every other value is handed out as it is stored.
uint32_t zrwide::WideSize(RegKeyValue* v) {
    uint32_t n = static_cast<uint32_t>(v->GetSize());
    return v->GetType() == REG_SZ ? 2 * n : n;
}

// An integer, the commonest value, is copied in one move.
void zrwide::PutData(RegKeyValue* v, unsigned char* out) {
    if (v->GetType() == REG_INT) {
        memcpy(out, v->GetValue(), 4);
        return;
    }
    size_t n = static_cast<size_t>(v->GetSize());
    if (v->GetType() == REG_SZ) {
        PutWide(out, static_cast<const char*>(v->GetValue()), n);
    } else if (n) {
        memcpy(out, v->GetValue(), n);
    }
}

static int32_t QueryValue(HKEY hKey, const unsigned short* lpValueName, uint32_t* lpType,
                          unsigned char* lpData, uint32_t* lpcbData) {
    char valueName[NAME_BUF];
    size_t len;
    if (!ConvertName(lpValueName, valueName, false, &len)) return ZRREG_BAD_NAME;
    uint32_t room = *lpcbData;
    RegKeyValue* v = nullptr;
    unsigned int rc = CfRegFindValue(hKey, valueName, len, &v);
    if (rc == REGERR_SUCCESS) {
        uint32_t size = v->GetType() == REG_INT ? 4 : static_cast<uint32_t>(v->GetSize());
        uint32_t need = v->GetType() == REG_SZ ? 2 * size : size;
        if (room < need) {
            *lpcbData = need;
            rc = REGERR_BUFFER_TOO_SMALL;
        } else {
            PutData(v, lpData);
            *lpcbData = size;
            *lpType = v->WinType();
        }
    } else {
        *lpcbData = NAME_BUF;
        if (room >= 2) PutWide(lpData, "", 1);
    }
    return Win(rc);
}

int32_t ZrRegQueryValueEx(void* hKey, const unsigned short* lpValueName, uint32_t* lpType,
                          unsigned char* lpData, uint32_t* lpcbData) {
    if (!hKey || !lpValueName || !lpType || !lpData || !lpcbData) return ZRREG_BAD_ARG;
    RegLogFollow();
    SharedTree lock(hKey);
    return QueryValue(RegHandleOf(hKey), lpValueName, lpType, lpData, lpcbData);
}

int32_t ZrRegSetValueEx(void* hKey, const unsigned short* lpValueName, uint32_t dwType,
                        const unsigned char* lpData, uint32_t cbData) {
    if (!hKey || !lpValueName || !lpData || dwType == 0 || cbData == 0) return ZRREG_BAD_ARG;
    char valueNameOut[NAME_BUF];
    if (!ConvertName(lpValueName, valueNameOut, true)) return ZRREG_BAD_NAME;
    TreeAlone lock(hKey);
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
    TreeAlone lock(hKey);
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
    SharedTree lock(hkeyBase);
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
        // Two bytes more, zero: a string set with its bytes may lack its terminator.
        unsigned char* grown = static_cast<unsigned char*>(zrHostRealloc(pb, size_t(cb) + 2));
        if (!grown) {
            rc = ZRREG_NO_MEMORY;
            break;
        }
        pb = grown;
        offered = cb;
        pb[cb] = pb[cb + 1] = 0;
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
    SharedTree lock(hkeyBase);
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
    SharedTree lock(hKey);
    HKEY key = RegHandleOf(hKey);
    if (!key) return ZRREG_INVALID_HANDLE;
    RegKeyValue* v = nullptr;
    unsigned int rc = CfRegValueAt(key, dwIndex > 0x7FFFFFFF ? -1 : static_cast<int>(dwIndex), &v);
    if (rc != REGERR_SUCCESS) return Win(rc);
    const char* name = v->GetKey();
    size_t nameLen = strlen(name);
    uint32_t need = WideSize(v);
    if (nameLen >= *lpcchValueName || (lpData && *lpcbData < need)) {
        *lpcchValueName = static_cast<uint32_t>(nameLen + 1);
        if (lpcbData) *lpcbData = need;
        return ZRREG_BUFFER_TOO_SMALL;
    }
    zrMbstowcs(lpValueName, name, nameLen + 1);
    *lpcchValueName = static_cast<uint32_t>(nameLen);
    if (lpType) *lpType = v->WinType();
    if (lpData) {
        PutData(v, lpData);
        *lpcbData = static_cast<uint32_t>(v->GetSize());
    } else if (lpcbData) {
        *lpcbData = need;
    }
    return ZRREG_SUCCESS;
}
