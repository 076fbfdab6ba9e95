// Sharing a registry file between processes: the lock every process of the library takes
// on it, the stamp of the file a load read, and the journal of this process's changes,
// which the unload replays onto the file when another process has replaced it meanwhile.
#include <stdio.h>
#include <string.h>

#include "regchange.h"
#include "zrplat.h"

// The lock lies on a companion file beside the registry file (links resolved), named by
// the temporary file's rule with ".LCK": APP.LCK beside app.txt (RegFile().lock). Not on
// the registry file itself: a save replaces that file by a rename, and a lock on it would
// stay with the old file, which no later process opens. A save makes the companion and
// leaves it; only a save that wrote nothing removes the one it made, under the lock, and
// whoever waited for that lock opens the name again (zrLockFile).
// Files whose names share that part (app.txt, App.ini) share the lock as they share the
// temporary file, which the lock guards; each has a change log of its own (app.txt-log).

// The current registry's share.
static RegShareState& S() { return RegChangesNow->share; }

// ---- the journal -----------------------------------------------------------------------

// One change, its texts in the same block behind it.
struct JournalEntry {
    JournalEntry* next;
    RegChangeOp op;
    unsigned int type;
    size_t dataLen;
    char* path;  // the key's absolute path (RC_DELETE_KEY: its parent's)
    char* name;  // the value's or the subkey's name; "" for RC_CREATE
    char* data;
};

// The journal's memory is capped: a process that changes more since its load keeps its
// changes only while the file stays its own (else they wait beside the file).
static const size_t kJournalMax = 16u << 20;

static void Record(RegChangeOp op, const char* path, const char* name, unsigned int type, const void* data,
                   size_t dataLen) {
    RegNotifyChange(op, path, name);
    if (S().journalLost) return;
    // A value set again at once replaces its record: what a host that sets one value over
    // and over (a position, a counter) needs, and it replays the same.
    JournalEntry* t = S().tail;
    if ((op == RC_SET || op == RC_SET_BYTES) && t && t->op == op && t->dataLen == dataLen &&
        strcmp(t->name, name) == 0 && strcmp(t->path, path) == 0) {
        t->type = type;
        if (dataLen) memcpy(t->data, data, dataLen);
        return;
    }
    size_t lp = strlen(path) + 1, ln = strlen(name) + 1, size = sizeof(JournalEntry) + lp + ln + dataLen;
    JournalEntry* e = nullptr;
    if (S().journalBytes + size <= kJournalMax) e = static_cast<JournalEntry*>(zrHostRealloc(nullptr, size));
    if (!e) {
        JournalClear();
        S().journalLost = true;
        return;
    }
    S().journalBytes += size;
    char* p = reinterpret_cast<char*>(e + 1);
    *e = JournalEntry{nullptr, op, type, dataLen, p, p + lp, p + lp + ln};
    memcpy(e->path, path, lp);
    memcpy(e->name, name, ln);
    if (dataLen) memcpy(e->data, data, dataLen);
    if (t) {
        t->next = e;
    } else {
        S().first = e;
    }
    S().tail = e;
}

size_t RegSetDataLength(unsigned int type, const unsigned char* data, size_t n) {
    if (type == ZRREG_TYPE_DWORD) return 4;
    const void* nul = memchr(data, 0, n);
    return nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - data) : n;
}

void JournalRecord(RegChangeOp op, const char* path, const char* name, unsigned int type, const void* data,
                   size_t n) {
    Record(op, path, name, type, data, n);
}

void JournalClear() {
    while (S().first) {
        JournalEntry* next = S().first->next;
        zrHostFree(S().first);
        S().first = next;
    }
    S().tail = nullptr;
    S().journalBytes = 0;
    S().journalLost = false;
}

// Makes every missing level of the absolute path, level by level below the root.
static bool EnsureKey(const char* path) {
    if (Search(path)) return true;
    size_t n = strlen(path);
    char* buf = static_cast<char*>(zrHostRealloc(nullptr, n + 1));
    if (!buf) return false;
    memcpy(buf, path, n + 1);
    char* end = strchr(buf, '/');  // behind the root's name
    bool ok = end != nullptr;
    while (ok && *end) {
        char* name = end + 1;
        char* next = strchr(name, '/');
        if (!next) next = name + strlen(name);
        char was = *next;
        *end = 0;
        *next = 0;
        if (*name) {
            REG_HANDLE parent = RegHandleAt(buf);
            HKEY h;
            ok = CfRegCreateKey(&parent, name, &h) == REGERR_SUCCESS;
            if (ok) CfRegCloseKey(h);
        }
        *end = '/';
        *next = was;
        end = next;
    }
    zrHostFree(buf);
    return ok;
}

void RegApplyChange(RegChangeOp op, const char* path, const char* name, unsigned int type, const void* data,
                    size_t n) {
    REG_HANDLE h = RegHandleAt(path);
    switch (op) {
        case RC_CREATE:
            if (EnsureKey(path) && *name) {
                HKEY made;
                if (CfRegCreateKey(&h, name, &made) == REGERR_SUCCESS) CfRegCloseKey(made);
            }
            break;
        case RC_SET:
            if (EnsureKey(path))
                CfRegSetValue(&h, name, type, static_cast<const unsigned char*>(data),
                              static_cast<unsigned int>(n));
            break;
        case RC_SET_BYTES:
            if (EnsureKey(path)) CfRegSetTyped(&h, name, type, data, n);
            break;
        case RC_DELETE_KEY:
            CfRegDeleteKey(&h, name);
            break;
        case RC_DELETE_VALUE:
            CfRegDeleteValue(&h, name);
            break;
        case RC_CLEAR_KEY:
            CfRegDeleteTree(&h, nullptr);
            break;
        case RC_RENAME_KEY:
        case RC_RENAME_VALUE: {
            char to[REGENUM_NAME_MAX + 1];  // what the rename calls take
            if (n >= sizeof to) break;
            memcpy(to, data, n);
            to[n] = 0;
            if (op == RC_RENAME_KEY) {
                CfRegRenameKey(&h, name, to, 0);
            } else {
                CfRegRenameValue(&h, name, to);
            }
            break;
        }
    }
}

// This process's changes, in order, on the tree as another process left it. A change to
// a key that the other deleted makes the key again, holding this process's values only;
// a key or value that this process deleted goes, whatever the other put into it: per
// change, the process that unloads later wins.
void JournalReplay() {
    for (JournalEntry* e = S().first; e; e = e->next)
        RegApplyChange(e->op, e->path, e->name, e->type, e->data, e->dataLen);
}

// Keeps this process's tree beside the registry file, which stays as it is; one line says
// why and where.
void ShareKeepAside(const char* why) {
    const char* own = RegFile().own;
    int err;
    if (cfRegSaveRegTo(own, &err)) {
        RegMessage(REGVIEW_MSG_SAVE, 0, "%s %s; this process's changes are kept in %s", RegFileNow->path, why,
                   own);
        RegNoteSave(REGVIEW_SAVE_ASIDE, own, why);
    } else {
        RegMessage(REGVIEW_MSG_SAVE, 0, "%s %s; this process's changes could not be kept", RegFileNow->path,
                   why);
        RegNoteSave(REGVIEW_SAVE_FAILED, nullptr, why);
    }
    RegSetChanged(false);
    UnloadRegistry();
}

// The file (stamped `found`) is not the one loaded: read it anew and replay this process's
// changes onto it, with this process's tree safe in a file of its own until the merged
// tree has replaced the file.
bool ShareMerge(const ZrFileStamp& found) {
    const char* own = RegFile().own;
    const char* path = RegFileNow->path;
    int err;
    if (S().journalLost) {
        ShareKeepAside("has changed since the load, and a change was not recorded");
        return false;
    }
    // It cannot write its temporary file either: the save fails as before.
    if (!cfRegSaveRegTo(own, &err)) return UnloadRegistry();
    RegSetChanged(false);
    UnloadRegistry();
    unsigned int rc = ReloadRegistry();
    if (rc != REGERR_SUCCESS) {
        char why[96] = "no memory";
        if (rc == REGLOAD_REFUSED) snprintf(why, sizeof why, "line %d", RegFileNow->line);
        if (rc == REGLOAD_REFUSED && yytoolong())
            snprintf(why, sizeof why, "line %d: a text longer than the scanner's limit of 10000 bytes",
                     RegFileNow->line);
        if (rc == REGERR_NOT_FOUND) snprintf(why, sizeof why, "it cannot be opened");
        char said[sizeof why + 64];
        snprintf(said, sizeof said, "has changed since the load and cannot be read back (%s)", why);
        RegMessage(REGVIEW_MSG_SAVE, 0, "%s %s; this process's changes are kept in %s", path, said, own);
        RegNoteSave(REGVIEW_SAVE_ASIDE, own, said);
        return false;
    }
    JournalReplay();
    RegSetChanged(true);
    bool written = UnloadRegistry();
    ZrFileStamp now;
    if (zrStampOf(RegFile().target, &now) && !zrSameStamp(now, found)) {
        _unlink(own);
        return written;
    } else {
        RegMessage(REGVIEW_MSG_SAVE, 0, "%s cannot be written; this process's changes are kept in %s", path,
                   own);
        char why[REGFILE_TEMP_MAX + 160];
        snprintf(why, sizeof why, "cannot be written (%s)", RegViewLastUnload().why);
        RegNoteSave(REGVIEW_SAVE_ASIDE, own, why);
        return false;
    }
}

bool JournalLost() { return S().journalLost; }

void ShareGoesOnFrom(const ZrFileStamp& base, bool changed) {
    S().loaded = base;
    S().loadedKnown = true;
    if (!changed) return;
    RegSetChanged(true);
    S().journalLost = true;
}
