// Joining and leaving the change log: a load makes or joins it (every process of the file
// holds it), the last unload writes the file and removes it, a child after a fork joins
// anew.
#include <stdio.h>
#include <string.h>

#include "zrlogp.h"

// ---- load and unload ------------------------------------------------------------------

static void Close() {
    zrHostFree(L().buf);
    L().buf = nullptr;
    L().bufSize = 0;
    LogKeyFree(L().written);
    LogKeyFree(L().applied);
    LogKeyFree(L().notified);
    zrSyncerStop(L().syncer);
    L().syncer = nullptr;
    __atomic_store_n(&L().cursor->movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    zrCompanionClose(L().log);
    L().log = nullptr;
    L().cutAt = nullptr;
    L().h = nullptr;
    L().map = nullptr;
}

// The registry file's name without its folder: what the header records.
static const char* OwnerName(const char* target) {
    const char* base = strrchr(target, '/');
#ifdef _WIN32
    const char* back = strrchr(target, '\\');
    if (back && (!base || back > base)) base = back;
#endif
    return base ? base + 1 : target;
}

static bool SameName(const char* a, const char* b) {
#ifdef _WIN32
    return _stricmp(a, b) == 0;
#else
    return strcmp(a, b) == 0;
#endif
}

// A log belongs to the file it names, or to the file its records follow (a file renamed
// together with its log keeps its number).
static bool Belongs(const char* target) {
    char owner[kOwnerMax];
    memcpy(owner, L().h->owner, kOwnerMax);
    owner[kOwnerMax - 1] = 0;
    if (SameName(owner, OwnerName(target))) return true;
    LogStamp now;
    if (!FileStamp(target, &now)) return false;
    return (now.device == L().h->base.device && now.file == L().h->base.file) ||
           (L().h->nextSet && now.device == L().h->next.device && now.file == L().h->next.file);
}

// Once a load, when it goes on without a log.
static void Say(const char* why) {
    RegMessage(REGVIEW_MSG_NO_LOG, 0, "%s: %s; changes are kept until the unload, one process at a time",
               RegFileNow->path, why);
}

// Something at the log's name that is no log of this format: it is left as it is.
static void NotALog() {
    char why[REGFILE_TEMP_MAX + 96];
    snprintf(why, sizeof why, "%s is not a change log of this library's format %u; it is left as it is",
             RegFile().log, kVersion);
    zrCompanionUnlock(L().log, ZR_RANGE_GATE);
    Close();
    Say(why);
}

// Another file's log at this file's log's name: it is left as it is, and never applied.
static void OthersLog() {
    char owner[kOwnerMax];
    memcpy(owner, L().h->owner, kOwnerMax);
    owner[kOwnerMax - 1] = 0;
    char why[REGFILE_TEMP_MAX + kOwnerMax + 96];
    snprintf(why, sizeof why,
             "%s is the change log of another file (%s); it is left as it is and not applied", RegFile().log,
             owner);
    zrCompanionUnlock(L().log, ZR_RANGE_GATE);
    Close();
    Say(why);
}

// A log of the former format that another process still holds (a build of that release):
// it is left to that process, whose unload writes its changes into the registry file.
static void FormerInUse() {
    char why[REGFILE_TEMP_MAX + 192];
    snprintf(why, sizeof why,
             "%s is a change log of the library's former format %u, which another process (an older build) "
             "still uses; it is left to that process, whose unload writes its changes",
             RegFile().log, kVersionBefore);
    zrCompanionUnlock(L().log, ZR_RANGE_GATE);
    Close();
    Say(why);
}

// Opens, maps and joins the log, making or recovering it; false when the load goes on
// without it. Only a load (not a child joining anew) takes a log of the former format.
static bool Join(bool loading) {
    const RegFileNames& names = RegFile();
    // A log that this process found empty and alone holds nothing: one that it cannot make
    // whole (a full disk) goes again, rather than stay beside the file.
    bool alone = false, empty = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        ZrCompanionOpen opened = zrCompanionOpen(names.log, names.target, &L().log);
        if (opened == ZR_COMPANION_UNSAFE) {
            char why[REGFILE_TEMP_MAX + 96];
            snprintf(why, sizeof why, "its change log %s is not a plain file of the registry file's owner",
                     names.log);
            Say(why);
            return false;
        }
        if (opened == ZR_COMPANION_REMOTE) {
            Say("it lies on a network file system, whose locks and shared mappings cannot be trusted");
            return false;
        }
        if (opened == ZR_COMPANION_NONE) {
            char why[REGFILE_TEMP_MAX + 64];
            snprintf(why, sizeof why, "no change log can be made (%s)", names.log);
            Say(why);
            return false;
        }
        L().cutAt = zrCompanionCutFlag(L().log);
        if (!zrCompanionLock(L().log, ZR_RANGE_GATE, true, true)) break;
        // The last process may have removed the file while this one waited: begin again.
        if (!zrCompanionIsAt(L().log, names.log)) {
            zrCompanionClose(L().log);
            L().log = nullptr;
            continue;
        }
        alone = zrCompanionLock(L().log, ZR_RANGE_LIVE, true, false);
        L().size = zrCompanionSize(L().log);
        // A file of fewer bytes than the header is not mapped at all: it is not a log.
        if (L().size > 0 && L().size < kHeaderBytes) {
            NotALog();
            return false;
        }
        bool made = L().size == 0;
        empty = made;
        if (made) {
            if (!alone || !zrCompanionGrow(L().log, kHeaderBytes + kFirstRoom)) break;
            L().size = kHeaderBytes + kFirstRoom;
        }
        L().map = static_cast<unsigned char*>(zrCompanionMap(L().log, kHeaderBytes, kMapBytes));
        if (!L().map) break;
        L().h = reinterpret_cast<LogHeader*>(L().map);
        bool fresh = made || memcmp(L().h->magic, "\0\0\0\0\0\0\0\0", 8) == 0;
        empty = fresh;
        if (fresh) {
            LogStamp base;
            if (!alone || !FileStamp(names.target, &base)) break;
            memset(L().h, 0, kHeaderBytes);
            L().h->version = kVersion;
            L().h->headerBytes = kHeaderBytes;
            L().h->lockKind = zrSharedMutexInit(L().h->mutex) ? LOCK_MUTEX : LOCK_RANGE;
            L().h->committed = kHeaderBytes;
            L().h->epoch = 1;
            L().h->moves = 1;
            L().h->base = base;
            const char* owner = OwnerName(names.target);
            size_t n = strlen(owner);
            memcpy(L().h->owner, owner, n < kOwnerMax ? n : kOwnerMax - 1);  // the page came zeroed
            memcpy(L().h->magic, kMagic, 8);  // last: a log cut short before this is made anew
        } else if (memcmp(L().h->magic, kMagic, 8) != 0 ||
                   (L().h->version != kVersion && L().h->version != kVersionBefore) ||
                   L().h->headerBytes != kHeaderBytes) {
            NotALog();
            return false;
        } else if (!Belongs(names.target)) {
            OthersLog();
            return false;
        } else if (L().h->version == kVersionBefore && (!alone || !loading)) {
            FormerInUse();
            return false;
        }
        L().mutex = L().h->lockKind == LOCK_MUTEX;
        // Alone, the exclusive hold becomes a shared one (under the gate, so nobody joins
        // between): byte-range locks of some systems are not converted in place.
        if (alone) {
            LogRecover();
            zrCompanionUnlock(L().log, ZR_RANGE_LIVE);
        }
        zrCompanionLock(L().log, ZR_RANGE_LIVE, false, true);
        // A log of the former format keeps others out until the load has made it current.
        if (L().h->version != kVersionBefore) zrCompanionUnlock(L().log, ZR_RANGE_GATE);
        L().syncer = zrSyncerStart(L().log, kSyncDelayMs);
        L().pid = zrProcessId();
        return true;
    }
    if (L().log) {
        if (alone && empty) zrCompanionRemove(L().log, names.log);
        zrCompanionUnlock(L().log, ZR_RANGE_GATE);
        Close();
    }
    Say("its change log cannot be opened or mapped");
    return false;
}

// Leaves the log; the last process writes the registry file (when the log holds changes)
// and removes the log, unless the file could not be written: the log then holds them.
static void Leave() {
    const RegFileNames& names = RegFile();
    zrSyncerStop(L().syncer);
    L().syncer = nullptr;
    zrCompanionLock(L().log, ZR_RANGE_GATE, true, true);
    zrCompanionUnlock(L().log, ZR_RANGE_LIVE);
    if (zrCompanionLock(L().log, ZR_RANGE_LIVE, true, false) && LogLockWriter()) {
        bool loaded = NWREGIsRegLoaded() != 0;
        if (loaded) LogCatchUp();
        if (loaded ? LogCheckpoint() : L().h->committed == kHeaderBytes) {
            zrCompanionRemove(L().log, names.log);
        } else if (loaded) {
            RegMessage(REGVIEW_MSG_SAVE, 0, "%s could not be written; its changes stay in %s",
                       RegFileNow->path, names.log);
            char why[REGFILE_TEMP_MAX + 128];  // the note's own text, which the new note replaces
            snprintf(why, sizeof why, "%s", RegViewLastUnload().why);
            RegNoteSave(REGVIEW_SAVE_ASIDE, names.log, why);
        }
        LogUnlockWriter();
    } else {
        zrCompanionSync(L().log);
    }
    zrCompanionUnlock(L().log, ZR_RANGE_GATE);
    Close();
}

// A child of a host that forked after its load inherits the log's mapping and open file,
// but the locks on that file are its parent's (they belong to the open file, or to the
// parent process): were the child to use them, its unload would find itself the last and
// remove the log under its parent. So it drops what it inherited, its parent's locks
// untouched, and joins at its first call as a process of its own; its tree then follows
// from the registry file and the records anew. Without a log then, it goes on as a process
// that has none. (The parent's syncer thread did not come along: its record is left.)

bool LogAdoptAnew() {
    if (!L().h) return false;
    L().adopting.Lock();
    if (L().h && L().pid != zrProcessId()) {
        __atomic_store_n(&L().cursor->movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
        L().syncer = nullptr;
        zrCompanionClose(L().log);
        L().log = nullptr;
        L().cutAt = nullptr;
        L().h = nullptr;
        L().map = nullptr;
        L().pending = 0;
        L().written.epoch = 0;  // the parent's records: named anew
        if (Join(false)) {
            L().epoch = 0;  // read anew at the next catching up
            __atomic_store_n(&L().cursor->movesAt, &L().h->moves, __ATOMIC_RELEASE);
            __atomic_store_n(&L().cursor->seen, 0u, __ATOMIC_RELAXED);
        }
    }
    L().adopting.Unlock();
    return L().h != nullptr;
}

void (*RegLogReadHook)();

// The records of a log of the former format, which the load applied, go into the registry
// file; the log, then empty, goes on in this format and others may join it. False when the
// file cannot be written: the log stays as it was, and the load fails rather than go on
// with changes that only that log holds.
static bool MadeCurrent() {
    unsigned long long n = L().h->serial - L().h->epochSerial;
    if (L().h->committed != kHeaderBytes && !LogCheckpoint()) {
        RegMessage(REGVIEW_MSG_LOG, 0,
                   "%s: the %llu changes in its change log of the former format %u cannot be written into "
                   "it; the log is left as it is",
                   RegFileNow->path, n, kVersionBefore);
        return false;
    }
    __atomic_store_n(&L().h->version, kVersion, __ATOMIC_RELEASE);
    zrCompanionUnlock(L().log, ZR_RANGE_GATE);
    if (n)
        RegMessage(REGVIEW_MSG_LOG, 0,
                   "%s: the %llu changes in its change log of the former format %u were written into it",
                   RegFileNow->path, n, kVersionBefore);
    return true;
}

int LogLoad() {
    const RegFileNames& names = RegFile();
    LogStamp probe;
    if (!LogSettingsNow.useLog || !names.saveable || !FileStamp(names.target, &probe) || !Join(true))
        return -1;
    unsigned int rc;
    for (int attempt = 0;; ++attempt) {
        rc = REGERR_NOT_FOUND;  // what a load that reads no file for sure answers
        if (attempt == kLoadTries) {
            RegMessage(REGVIEW_MSG_LOG, 0, "%s was replaced while it was read, %d times; it is not loaded",
                       RegFileNow->path, kLoadTries);
            break;
        }
        if (!LogLockWriter()) break;
        uint64_t epoch = L().h->epoch;
        LogStamp base = L().h->base;
        LogUnlockWriter();
        LogStamp before, after;
        bool known = FileStamp(names.target, &before);
        rc = LoadRegistry(RegFileNow->path);
        if (rc != REGERR_SUCCESS) break;
        if (RegLogReadHook) RegLogReadHook();
        known = known && FileStamp(names.target, &after) && SameStamp(before, after);
        if (!LogLockWriter()) {
            RegSetChanged(false);
            UnloadRegistry();
            rc = REGERR_NOT_FOUND;
            break;
        }
        if (L().h->epoch != epoch || !known) {  // a checkpoint replaced the file meanwhile
            LogUnlockWriter();
            RegSetChanged(false);
            UnloadRegistry();
            continue;
        }
        L().epoch = epoch;
        L().at = kHeaderBytes;
        L().next = L().h->epochSerial + 1;
        if (SameStamp(before, base)) {
            LogCatchUp();
        } else if (L().h->committed == kHeaderBytes) {
            LogRebase(before);  // something else wrote the file: every process reads it anew
        } else {
            // The log's changes go on top of what something else wrote, and a checkpoint
            // makes that the file every process follows.
            LogCatchUp();
            LogCheckpoint();
        }
        if (L().h->version == kVersionBefore && !MadeCurrent()) {
            LogUnlockWriter();
            RegSetChanged(false);
            UnloadRegistry();
            rc = REGERR_WRITE_FAULT;
            break;
        }
        LogUnlockWriter();
        RegSetChanged(false);
        __atomic_store_n(&L().cursor->movesAt, &L().h->moves, __ATOMIC_RELEASE);
        return REGERR_SUCCESS;
    }
    // Not loaded: the log is left as a process that never changed anything leaves it.
    Leave();
    return static_cast<int>(rc);
}

void LogUnload() {
    if (LogAdopt()) Leave();
    RegSetChanged(false);
    UnloadRegistry();
}

void LogEnd() {
    if (!L().h) return;
    if (L().pid == zrProcessId()) return Leave();
    // A child's inherited log: dropped, its parent's locks untouched.
    __atomic_store_n(&L().cursor->movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    zrCompanionClose(L().log);
    zrHostFree(L().buf);
    LogKeyFree(L().written);
    LogKeyFree(L().applied);
    LogKeyFree(L().notified);
    bool own = L().cursor != &RegLogNow;
    L() = RegLogState{};
    if (own) L().cursor = &L().own;
}
