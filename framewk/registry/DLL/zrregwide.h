// The exported wide-character functions' shared steps: names converted into 8-bit buffers, results
// mapped to the exported numbers, the tree lock each call holds, and the logging of a change. For
// zrregwide.cpp, zrregvalues.cpp, zrregrename.cpp and zrnotify.cpp only.
#ifndef ZRREGWIDE_H
#define ZRREGWIDE_H

#include <string.h>

#include "regcalls.h"
#include "zrplat.h"

#define NAME_BUF 256  // a name passed in holds at most 255 characters

namespace zrwide {

static_assert(NAME_BUF == REGENUM_NAME_MAX + 1, "enumeration delivers the names that fit this buffer");

inline int32_t Win(unsigned int rc) { return static_cast<int32_t>(regerrToWinerr(static_cast<long>(rc))); }

// Converts a wide name into `out` (NAME_BUF bytes) with its NUL, each character below 256
// becoming its byte and the first one above ending the name; with `translate`, "\" becomes
// "/". Names of 256 characters or more would not fit the buffer and are refused. *got (when
// given) is the converted name's length. One pass converts, translates and measures: every
// call converts a name, and a query of a short one spent a tenth of its time measuring it
// twice.
inline bool ConvertName(const zrwchar* name, char* out, bool translate, size_t* got = nullptr) {
    size_t n = 0;
    for (zrwchar c; n < NAME_BUF && (c = name[n]) != 0 && c < 256; ++n)
        out[n] = translate && c == '\\' ? '/' : static_cast<char>(c);
    if (n == NAME_BUF) return false;
    // The name ends before its first character beyond 8 bits; the rest counts for the limit.
    if (name[n] && n + zrWcslen(name + n) >= NAME_BUF) return false;
    out[n] = 0;
    if (got) *got = n;
    return true;
}

// Every exported call holds the tree lock: queries, enumerations, opens and closes share
// it, changes, loads and unloads take it alone. Each successful change goes into the
// journal that the unload replays when another process has replaced the file. The
// functions of the wide files without the Zr prefix are the calls' bodies, for callers
// that hold it already; they take the handle that the caller's token names (RegHandleOf),
// null for a dead one, which the key operations refuse as no key handle.
// A call on an app key's handle takes the tree alone and makes the handle's registry current
// until it returns; while no app key is loaded, no call looks for one.
class KeyTree {
public:
    KeyTree(const void* token, bool alone) {
        if (__builtin_expect(!__atomic_load_n(&RegApps.loaded, __ATOMIC_ACQUIRE), 1) || !RegOwnerOf(token)) {
            held_ = alone ? zrTreeLockExclusive() : zrTreeLockShared();
            return;
        }
        held_ = zrTreeLockExclusive();
        app_ = RegOwnerOf(token);  // closed meanwhile: the call meets a dead handle
        if (app_) RegAppEnter(app_);
    }
    ~KeyTree() {
        if (app_) RegAppLeave();
        zrTreeUnlock(held_);
        if (app_) RegAppsReap();
    }
    KeyTree(const KeyTree&) = delete;
    KeyTree& operator=(const KeyTree&) = delete;
    bool App() const { return app_ != nullptr; }

private:
    ZrHeld held_;
    Registry* app_ = nullptr;
};
struct SharedTree : KeyTree {
    explicit SharedTree(const void* token) : KeyTree(token, false) {}
};
struct TreeAlone : KeyTree {
    explicit TreeAlone(const void* token) : KeyTree(token, true) {}
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

// A value's data as the calls hand it out: a plain string as 16-bit text (WideSize bytes),
// everything else as stored. PutWide writes n characters of 8-bit text as 16-bit units.
void PutWide(unsigned char* out, const char* s, size_t n);
uint32_t WideSize(RegKeyValue* v);
void PutData(RegKeyValue* v, unsigned char* out);

// Opens and closes change open counts and take blocks from the pool: under the side lock,
// as readers share the tree.
inline int32_t OpenKey(HKEY hKey, const unsigned short* lpSubKey, HKEY* phkResult) {
    char keyNameOut[NAME_BUF];
    if (!ConvertName(lpSubKey, keyNameOut, true)) return ZRREG_BAD_NAME;
    HKEY result;
    SideLock side;
    unsigned int rc = CfRegOpenKey(hKey, keyNameOut, &result);
    if (rc == REGERR_SUCCESS) *phkResult = result;
    return Win(rc);
}

inline void CloseKey(HKEY hKey) {
    SideLock side;
    CfRegCloseKey(hKey);
}

}  // namespace zrwide

#endif
