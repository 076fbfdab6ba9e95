// The change log that the processes of one registry file share: every change in one order,
// durable when its call returns, applied by every other process at its next call. This part
// applies the records, holds the writer lock, and commits a change (zrlogrec.cpp writes it).
#include <stdio.h>
#include <string.h>

#include "zrlogp.h"

RegLogCursor RegLogNow;

// Once the log is cut, the save without it is told (on the caller's thread) what the tree
// follows and whether it holds changes of its own that the journal never saw.
bool LogActive() {
    if (!LogAdopt()) return false;
    if (!LogCutOff()) return true;
    if (!L().handedOver) {
        L().handedOver = true;
        ShareGoesOnFrom(L().base, L().committed);
    }
    return false;
}

// Another program cut the log while this process mapped it (the platform's guard turned the
// fault into zeros): nothing more is read from it or written into it. The process goes on
// without a log, as where none can be had; its tree keeps every change it returned, and
// its unload writes them under the lock (beside the file, said so, when the file is no
// longer the one the tree follows).
bool LogCutOffNow() {
    if (__atomic_load_n(&L().cut, __ATOMIC_ACQUIRE)) return true;
    if (!zrCompanionCut(L().log)) return false;
    if (__atomic_exchange_n(&L().cut, 1, __ATOMIC_ACQ_REL)) return true;
    __atomic_store_n(&L().cursor->movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    RegMessage(REGVIEW_MSG_LOG, 0,
               "%s was cut by another program; the changes of other processes since this one's last call are "
               "lost, and this process goes on without it",
               RegFile().log);
    return true;
}

// What the tree now follows, kept in case the log is cut away.
void LogCaught() {
    if (!zrCompanionCut(L().log))
        L().base = ZrFileStamp{L().h->base.device, L().h->base.file, L().h->base.size, L().h->base.mtimeNs};
}

LogSettings LogSettingsNow;
void RegLogSetBound(uint64_t bytes) { LogSettingsNow.bound = bytes && bytes < kLogBound ? bytes : kLogBound; }
void RegViewUseLog(bool on) { LogSettingsNow.useLog = on; }

void LogMoved() { __atomic_store_n(&L().h->moves, L().h->moves + 1, __ATOMIC_RELEASE); }

void LogSeen() {
    __atomic_store_n(&L().cursor->seen, __atomic_load_n(&L().h->moves, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

// ---- the writer lock, and what a dead holder may have left half done -------------------

// A checkpoint that replaced the registry file but died before it began the records anew
// is finished; one that died before the replacement is forgotten (its records stand).
void LogSettle() {
    if (!L().h->nextSet) return;
    LogStamp now;
    if (FileStamp(RegFile().target, &now) && SameStamp(now, L().h->next)) {
        L().h->base = L().h->next;
        L().h->epochSerial = L().h->nextSerial;
        L().h->serial = L().h->nextSerial;
        L().h->committed = kHeaderBytes;
        ++L().h->epoch;
        LogMoved();
    }
    L().h->nextSet = 0;
}

// The host's threads meet on the tree lock first, the notifier's thread at the process's
// writer lock.

bool LogLockWriter() {
    if (L().mutex) {
        if (zrSharedMutexLock(L().h->mutex) == ZR_SHARED_LOCK_FAILED) return false;
    } else {
        L().processWriter.Lock();
        if (!zrCompanionLock(L().log, ZR_RANGE_WRITER, true, true)) {
            L().processWriter.Unlock();
            return false;
        }
    }
    if (LogCutOff()) {
        LogUnlockWriter();
        return false;
    }
    LogSettle();
    return true;
}

void LogUnlockWriter() {
    if (L().mutex) {
        zrSharedMutexUnlock(L().h->mutex);
    } else {
        zrCompanionUnlock(L().log, ZR_RANGE_WRITER);
        L().processWriter.Unlock();
    }
}

// ---- applying the log -----------------------------------------------------------------

// Applies the records from this process's place to the end mark, with deletions forced:
// they happened already. After a checkpoint the registry file is read anew first.
void LogCatchUp() {
    if (L().h->epoch != L().epoch) {
        if (RegReplaceTree() != REGERR_SUCCESS) {
            RegMessage(REGVIEW_MSG_LOG, 0, "%s cannot be read back after a checkpoint of another process",
                       RegFileNow->path);
            return;  // the tree stays; a later call tries again
        }
        L().epoch = L().h->epoch;
        L().at = kHeaderBytes;
        L().next = L().h->epochSerial + 1;
    }
    uint64_t end = L().h->committed;
    uint64_t serial = L().next;
    RegTreeNow->deletesForced = true;
    while (L().at < end) {
        LogEntry e;
        if (!LogEntryAt(L().at, end, serial, L().applied, &e)) {
            RegMessage(REGVIEW_MSG_LOG, static_cast<int>(serial - L().h->epochSerial),
                       "%s: record %llu is damaged; the changes behind it are not applied", RegFile().log,
                       static_cast<unsigned long long>(serial - L().h->epochSerial));
            L().at = end;
            break;
        }
        RegApplyChange(e.op, e.path, e.name, e.type, e.data, e.dataLen);
        L().at += e.size;
        ++serial;
    }
    L().next = serial;
    RegTreeNow->deletesForced = false;
    RegSetChanged(false);
    LogSeen();
    LogCaught();
}

bool RegLogScan(bool fromNow, void (*seen)(RegChangeOp op, const char* path, const char* name)) {
    if (!LogAdopt() || !LogLockWriter()) return true;
    bool whole = fromNow || L().notifyEpoch == L().h->epoch;
    if (fromNow || !whole) {
        L().notifyEpoch = L().h->epoch;
        L().notifyAt = fromNow ? L().h->committed : kHeaderBytes;
        L().notifyNext = fromNow ? L().h->serial + 1 : L().h->epochSerial + 1;
    }
    uint64_t end = L().h->committed;
    while (L().notifyAt < end) {
        LogEntry e;
        if (!LogEntryAt(L().notifyAt, end, L().notifyNext, L().notified, &e)) {
            L().notifyAt = end;
            break;
        }
        seen(e.op, e.path, e.name);
        L().notifyAt += e.size;
        ++L().notifyNext;
    }
    LogUnlockWriter();
    return whole;
}

uint32_t RegLogMovesNow() { return L().h ? __atomic_load_n(&L().h->moves, __ATOMIC_ACQUIRE) : 0; }

void RegLogFollowHeld() {
    const uint32_t* moves = __atomic_load_n(&L().cursor->movesAt, __ATOMIC_ACQUIRE);
    if (!moves ||
        __atomic_load_n(moves, __ATOMIC_ACQUIRE) == __atomic_load_n(&L().cursor->seen, __ATOMIC_RELAXED))
        return;
    if (LogAdopt() && LogLockWriter()) {
        LogCatchUp();
        LogUnlockWriter();
    }
}

void RegLogFollowSlow() {
    ZrHeld held = zrTreeLockExclusive();
    if (LogAdopt() && LogLockWriter()) {
        LogCatchUp();
        LogUnlockWriter();
    }
    zrTreeUnlock(held);
}

// ---- changes --------------------------------------------------------------------------

unsigned int RegLogBegin() {
    if (L().group) return REGERR_SUCCESS;  // the group holds the writer lock, caught up
    if (!LogLockWriter()) return REGERR_WRITE_FAULT;
    // Caught up already (the usual case): the writer lock looked at the cut after it was taken,
    // and a cut since shows where the record is written.
    if (L().epoch == L().h->epoch && L().at == L().h->committed) {
        RegSetChanged(false);
        LogSeen();
        return REGERR_SUCCESS;
    }
    LogCatchUp();
    if (LogCutOff()) {
        LogUnlockWriter();
        return REGERR_WRITE_FAULT;
    }
    return REGERR_SUCCESS;
}

void RegLogEnd() {
    if (!L().group) LogUnlockWriter();
}

void RegLogCommit() {
    if (!L().pending) return;
    LogKeyCommitted();
    if (L().group) {
        L().groupEnd = L().pending;
        ++L().groupCount;
        L().pending = 0;
        return;
    }
    L().h->serial += 1;
    __atomic_store_n(&L().h->committed, L().pending, __ATOMIC_RELEASE);
    LogMoved();
    L().at = L().pending;
    L().next = L().h->serial + 1;
    L().pending = 0;
    L().committed = true;
    LogSeen();
    RegNotifyKick();
    if (L().syncer) {
        zrSyncerNote(L().syncer);
    } else if (zrMonotonicMs() - L().synced >= kSyncDelayMs) {
        // Without the thread the changing calls sync, at most once a delay; the unload
        // syncs what is left.
        zrCompanionSync(L().log);
        L().synced = zrMonotonicMs();
    }
}

bool RegViewGroupBegin() {
    ZrHeld held = zrTreeLockExclusive();
    bool begun = !L().group && LogActive() && LogLockWriter();
    if (begun) {
        LogCatchUp();
        L().group = true;
        L().groupEnd = L().h->committed;
        L().groupCount = 0;
    }
    zrTreeUnlock(held);
    return begun;
}

// Committed: one move of the end mark makes the whole group seen by every process, and it is
// synced before this returns. Dropped: the tree is read anew and follows the log again,
// without the group.
bool RegViewGroupEnd(bool commit) {
    ZrHeld held = zrTreeLockExclusive();
    if (!L().group) {
        zrTreeUnlock(held);
        return false;
    }
    L().group = false;
    bool kept = false;
    if (commit && !LogCutOff()) {
        kept = true;
        if (L().groupCount) {
            L().h->serial += L().groupCount;
            __atomic_store_n(&L().h->committed, L().groupEnd, __ATOMIC_RELEASE);
            LogMoved();
            L().at = L().groupEnd;
            L().next = L().h->serial + 1;
            L().committed = true;
            LogSeen();
            RegNotifyKick();
            kept = zrCompanionSync(L().log);
        }
    } else if (L().groupCount && !LogCutOff()) {
        L().written.epoch = 0;
        L().epoch = 0;
        LogCatchUp();
    }
    LogUnlockWriter();
    zrTreeUnlock(held);
    return kept;
}

bool RegLogSync() { return !LogAdopt() || zrCompanionSync(L().log); }

// The library goes while loaded: the syncer ends, and the calls of a process that calls on
// sync for themselves.
void LogThreadsEnd() {
    zrSyncerStop(L().syncer);
    L().syncer = nullptr;
}
