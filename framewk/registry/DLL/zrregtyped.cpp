// The exported calls that take and give every value type: ZrRegSetKeyValue, and
// ZrRegGetValue with its type flags, expansion and zeroing.
#include <string.h>

#include <utility>

#include "regcalls.h"
#include "zrplat.h"
#include "zrregwide.h"

using namespace zrwide;

namespace {
// Bytes handed out by GetValue: the value's, then maybe expanded or given a terminator.
struct Out {
    unsigned char* p = nullptr;
    size_t n = 0, cap = 0;
    ~Out() { zrHostFree(p); }
    bool Room(size_t more) {
        if (n + more <= cap) return true;
        size_t want = (n + more) * 2 + 64;
        unsigned char* grown = static_cast<unsigned char*>(zrHostRealloc(p, want));
        if (!grown) return false;
        p = grown;
        cap = want;
        return true;
    }
    bool Units(const zrwchar* u, size_t count) {
        if (!Room(2 * count)) return false;
        memcpy(p + n, u, 2 * count);
        n += 2 * count;
        return true;
    }
};

zrwchar UnitAt(const unsigned char* d, size_t i) {
    zrwchar u;
    memcpy(&u, d + 2 * i, sizeof u);
    return u;
}

// The text of `units` units at d with every %NAME% of a set variable replaced by its value,
// as ExpandEnvironmentStringsW does (anything else stays as it is).
bool Expand(const unsigned char* d, size_t units, Out* out) {
    for (size_t i = 0; i < units;) {
        zrwchar u = UnitAt(d, i);
        size_t end = i + 1;
        while (u == '%' && end < units && UnitAt(d, end) != '%') ++end;
        if (u == '%' && end < units && end > i + 1) {
            zrwchar name[256];
            size_t len = end - i - 1;
            long got = -1;
            if (len < 256) {
                memcpy(name, d + 2 * (i + 1), 2 * len);
                zrwchar probe;
                got = zrGetEnv(name, len, &probe, 0);
            }
            if (got >= 0) {
                if (!out->Room(2 * static_cast<size_t>(got))) return false;
                zrGetEnv(name, len, reinterpret_cast<zrwchar*>(out->p + out->n), static_cast<size_t>(got));
                out->n += 2 * static_cast<size_t>(got);
                i = end + 1;
                continue;
            }
            // Not a variable: the "%" stays, and the closing one may open the next.
            if (!out->Units(&u, 1)) return false;
            ++i;
            continue;
        }
        if (!out->Units(&u, 1)) return false;
        ++i;
    }
    return true;
}

// What ZrRegGetValue accepts of a type (after expansion), as RegGetValueW: 0, or a result.
int32_t Restrict(uint32_t flags, uint32_t type, size_t n) {
    if ((flags & ZRREG_RT_ANY) == ZRREG_RT_ANY) return ZRREG_SUCCESS;
    const RegTypeRow* row = RegTypeRowOf(type);
    if (!row || !(flags & row->rtFlag)) return ZRREG_UNSUPPORTED_TYPE;
    if (type == ZRREG_TYPE_BINARY) {
        uint32_t rt = flags & ZRREG_RT_ANY;
        size_t expect = rt == ZRREG_RT_DWORD_ANY ? 4 : rt == ZRREG_RT_QWORD_ANY ? 8 : n;
        if (n != expect) return ZRREG_UNSUPPORTED_TYPE;
    }
    return ZRREG_SUCCESS;
}

int32_t GetValue(HKEY hKey, const unsigned short* lpValue, uint32_t flags, uint32_t* pdwType, void* pvData,
                 uint32_t* pcbData) {
    char valueName[NAME_BUF] = "";
    size_t len = 0;
    if (lpValue && !ConvertName(lpValue, valueName, false, &len)) return ZRREG_BAD_NAME;
    RegKeyValue* v = nullptr;
    unsigned int rc = CfRegFindValue(hKey, valueName, len, &v);
    if (rc != REGERR_SUCCESS) return Win(rc);
    uint32_t type = v->WinType();
    Out out;
    if (!out.Room(WideSize(v) + 2)) return ZRREG_NO_MEMORY;
    PutData(v, out.p);
    out.n = WideSize(v);
    bool text = v->GetType() == REG_BYTES && (type == ZRREG_TYPE_SZ || type == ZRREG_TYPE_EXPAND_SZ);
    if (type == ZRREG_TYPE_EXPAND_SZ && !(flags & ZRREG_NOEXPAND)) {
        Out expanded;
        if (!Expand(out.p, out.n / 2, &expanded) || !expanded.Room(2)) return ZRREG_NO_MEMORY;
        if (out.n % 2) expanded.p[expanded.n++] = out.p[out.n - 1];
        std::swap(out.p, expanded.p);
        std::swap(out.n, expanded.n);
        std::swap(out.cap, expanded.cap);
        type = ZRREG_TYPE_SZ;
    }
    // A string comes back with its terminator, as RegGetValueW hands it out.
    if (text && (out.n % 2 || out.n == 0 || UnitAt(out.p, out.n / 2 - 1) != 0)) {
        if (!out.Room(3)) return ZRREG_NO_MEMORY;
        if (out.n % 2) out.p[out.n++] = 0;
        out.p[out.n++] = 0;
        out.p[out.n++] = 0;
    }
    int32_t result = Restrict(flags, type, out.n);
    if (result != ZRREG_SUCCESS) return result;
    uint32_t need = static_cast<uint32_t>(out.n);
    if (pvData && *pcbData < need) {
        *pcbData = need;
        return ZRREG_BUFFER_TOO_SMALL;
    }
    if (pvData && need) memcpy(pvData, out.p, need);
    if (pcbData) *pcbData = need;
    if (pdwType) *pdwType = type;
    return ZRREG_SUCCESS;
}
}  // namespace

int32_t ZrRegGetValue(void* hKey, const unsigned short* lpSubKey, const unsigned short* lpValue,
                      uint32_t dwFlags, uint32_t* pdwType, void* pvData, uint32_t* pcbData) {
    const uint32_t known = ZRREG_RT_ANY | ZRREG_NOEXPAND | ZRREG_ZEROONFAILURE;
    uint32_t rt = dwFlags & ZRREG_RT_ANY;
    if (!hKey || (pvData && !pcbData) || rt == 0 || (dwFlags & ~known) != 0) return ZRREG_BAD_ARG;
    // As RegGetValueW: an expandable string asked for by its flag alone must not be expanded.
    if ((rt & ZRREG_RT_EXPAND_SZ) && !(dwFlags & ZRREG_NOEXPAND) && rt != ZRREG_RT_ANY) return ZRREG_BAD_ARG;
    uint32_t room = pcbData ? *pcbData : 0;
    int32_t rc;
    {
        RegLogFollow();
        SharedTree lock(hKey);
        HKEY base = RegHandleOf(hKey), key = base;
        rc = ZRREG_INVALID_HANDLE;
        if (base) {
            rc = ZRREG_SUCCESS;
            if (lpSubKey && lpSubKey[0]) rc = OpenKey(base, lpSubKey, &key);
            if (rc == ZRREG_SUCCESS) rc = GetValue(key, lpValue, dwFlags, pdwType, pvData, pcbData);
            if (key != base) CloseKey(key);
        }
    }
    if (rc != ZRREG_SUCCESS && pvData && (dwFlags & ZRREG_ZEROONFAILURE)) memset(pvData, 0, room);
    return rc;
}

int32_t ZrRegSetKeyValue(void* hKey, const unsigned short* lpSubKey, const unsigned short* lpValueName,
                         uint32_t dwType, const void* lpData, uint32_t cbData) {
    if (!hKey || (!lpData && cbData)) return ZRREG_BAD_ARG;
    static const zrwchar kNone[] = {0};
    char name[NAME_BUF];
    if (!ConvertName(lpValueName ? lpValueName : kNone, name, true)) return ZRREG_BAD_NAME;
    const unsigned char* data = static_cast<const unsigned char*>(lpData);
    TreeAlone lock(hKey);
    HKEY base = RegHandleOf(hKey), key = base;
    if (!base) return ZRREG_INVALID_HANDLE;
    if (lpSubKey && lpSubKey[0]) {
        int32_t rc = CreateKeyHeld(base, lpSubKey, &key);
        if (rc != ZRREG_SUCCESS) return rc;
    }
    // A plain value goes into the log and the journal as ZrRegSetValueEx's set, which an
    // older build of the library reads too; only an extended one needs RC_SET_BYTES.
    char plain[REGFILE_TEXT_MAX + 2];
    long len = -1;
    if (dwType == ZRREG_TYPE_DWORD && cbData == 4) {
        memcpy(plain, data, 4);
        len = 4;
    } else if (dwType == ZRREG_TYPE_SZ && cbData / 2 <= REGFILE_TEXT_MAX + 1) {
        len = RegTypePlainText(data, cbData, plain);
        if (len >= 0) plain[len++] = 0;
    }
    int32_t rc;
    if (len >= 0) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(plain);
        unsigned int n = static_cast<unsigned int>(len);
        rc = Changed(
            RC_SET, key->ptr, name, [&] { return CfRegSetValue(key, name, dwType, p, n); }, dwType, p,
            RegSetDataLength(dwType, p, n));
    } else {
        rc = Changed(
            RC_SET_BYTES, key->ptr, name, [&] { return CfRegSetTyped(key, name, dwType, data, cbData); },
            dwType, data, cbData);
    }
    if (key != base) CloseKey(key);
    return rc;
}
