// The change log's checkpoints, which write the tree into the registry file and begin the
// records anew, and the recovery of a log that a crash left.
#include <stdio.h>
#include <string.h>

#include "zrlogp.h"

// ---- checkpoints ----------------------------------------------------------------------

// Writes the tree into the registry file and begins the records anew, under the writer
// lock with the tree caught up. A registry file that something else changed since the
// epoch began is read anew first and the epoch's records applied on top, as the unload's
// merge does. False when the file stays as it was (the records stand).
static bool WriteFile();

// The epoch begins anew on the file `now`, without writing it: every process reads it anew.
void LogRebase(const LogStamp& now) {
    L().h->base = now;
    L().h->epochSerial = L().h->serial;
    L().h->committed = kHeaderBytes;
    ++L().h->epoch;
    LogMoved();
    L().epoch = L().h->epoch;
    L().at = kHeaderBytes;
    L().next = L().h->epochSerial + 1;
    LogSeen();
}

static void SayOnTop() {
    RegMessage(REGVIEW_MSG_LOG, 0,
               "%s was changed by another program; the %llu changes in %s go on top of it", RegFileNow->path,
               static_cast<unsigned long long>(L().h->serial - L().h->epochSerial), RegFile().log);
}

static bool CheckpointLocked() {
    const RegFileNames& names = RegFile();
    LogStamp now;
    bool exists = FileStamp(names.target, &now);
    bool foreign = exists && !SameStamp(now, L().h->base);
    if (foreign) {
        if (RegReplaceTree() != REGERR_SUCCESS) {
            RegMessage(REGVIEW_MSG_LOG, 0,
                       "%s was changed by another program and cannot be read back; the changes stay in %s",
                       RegFileNow->path, names.log);
            return false;
        }
        if (L().h->committed == kHeaderBytes) {
            LogRebase(now);
            return true;
        }
        L().at = kHeaderBytes;
        L().next = L().h->epochSerial + 1;
        LogCatchUp();
        SayOnTop();
    }
    if (L().h->committed == kHeaderBytes && exists) return true;
    return WriteFile();
}

// Every writer of the registry file holds its lock file, the log's checkpoints as a save
// without a log (zrreg import) does: else the two write one temporary file at once, or one
// replaces the file between the other's look at it and its save, and a change is lost.
// A lock file that this process made goes again, so that the folder is left as it was.
bool LogCheckpoint() {
    const RegFileNames& names = RegFile();
    ZrLock lock = -1;
    bool made = false;
    ZrLockResult locked = zrLockFile(names.lock, true, &lock, names.target, &made);
    if (locked != ZR_LOCK_TAKEN) {
        RegNoteSave(REGVIEW_SAVE_FAILED, nullptr,
                    locked == ZR_LOCK_TIMEOUT ? "is locked by another process" : "cannot be locked");
        return false;
    }
    bool ok = CheckpointLocked();
    if (made) {
        zrUnlockRemoving(lock, names.lock);
    } else {
        zrUnlockFile(lock);
    }
    return ok;
}

// The tree replaces the registry file and becomes the new epoch's base. The file it wrote
// is named in the header before the replacement, so that a holder's death between the two
// steps is settled by whoever takes the lock next.
static bool WriteFile() {
    RegSetChanged(true);
    char temp[REGFILE_TEMP_MAX], target[REGFILE_TEMP_MAX];
    if (cfRegSaveRegToTemp(temp, target) != 1) return false;
    LogStamp written;
    if (!FileStamp(temp, &written)) return false;
    L().h->next = written;
    L().h->nextSerial = L().h->serial;
    __atomic_store_n(&L().h->nextSet, 1u, __ATOMIC_RELEASE);
    if (!cfRegSwapRegFile(temp, target)) {
        L().h->nextSet = 0;
        return false;
    }
    LogSettle();
    L().epoch = L().h->epoch;
    L().at = kHeaderBytes;
    L().next = L().h->epochSerial + 1;
    LogSeen();
    LogCaught();
    return true;
}

// A log that no live process holds: what a crash left. A checkpoint cut short is finished
// or forgotten, the mutex made anew (a holder may have died with the machine), and the
// records kept up to the first one that is cut or damaged. Nothing of the header is
// believed that cannot be: an end mark outside the records' room or between two records,
// a number that is not the last record's, an epoch that never was, a lock of no known kind
// make the log damaged, and it begins anew from the records that check out, with one
// message that says what was dropped.
void LogRecover() {
    const char* damaged = nullptr;
    if (L().h->lockKind != LOCK_MUTEX && L().h->lockKind != LOCK_RANGE) {
        damaged = "its lock";
        L().h->lockKind = zrSharedMutexInit(L().h->mutex) ? LOCK_MUTEX : LOCK_RANGE;
        L().mutex = L().h->lockKind == LOCK_MUTEX;
    } else if (L().mutex) {
        zrSharedMutexInit(L().h->mutex);
    }
    if (L().h->nextSet > 1) L().h->nextSet = 0;
    LogSettle();
    uint64_t committed = L().h->committed;
    bool endKnown = committed >= kHeaderBytes && committed <= kMapBytes && committed % 8 == 0;
    if (!endKnown) damaged = "its end mark";
    if (L().h->epoch == 0) {
        damaged = "its epoch";
        L().h->epoch = 1;
    }
    uint64_t end = endKnown ? committed : kMapBytes;
    if (L().size >= 0 && end > static_cast<uint64_t>(L().size)) end = static_cast<uint64_t>(L().size);
    uint64_t at = kHeaderBytes, serial = L().h->epochSerial + 1;
    bool cut = false;
    while (at < (endKnown ? committed : end)) {
        uint64_t size = LogRecordSize(at, end, serial);
        if (!size) {
            cut = endKnown;
            break;
        }
        at += size;
        ++serial;
    }
    unsigned long long kept = serial - 1 - L().h->epochSerial;
    // A commit counts the record before it stores the end mark: a process that died between
    // the two leaves the number one ahead, which is no damage.
    if (!damaged && !cut && L().h->serial != serial - 1 && L().h->serial != serial)
        damaged = "its record number";
    if (damaged) {
        RegMessage(REGVIEW_MSG_LOG, 0,
                   "%s: %s is damaged; the %llu changes that check out are kept, anything behind them "
                   "is dropped",
                   RegFile().log, damaged, kept);
    } else if (cut) {
        RegMessage(REGVIEW_MSG_LOG, static_cast<int>(kept + 1),
                   "%s: record %llu is cut or damaged; the %llu changes before it are kept", RegFile().log,
                   kept + 1, kept);
    }
    L().h->committed = at;
    L().h->serial = serial - 1;
    LogMoved();
}
