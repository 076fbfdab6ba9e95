// The change log that the processes of one registry file share: every change in one order,
// durable when its call returns, applied by every other process at its next call. This part
// holds the records: reading, checking and applying them, the writer lock, and a change's
// write and commit.
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
bool LogCutOff() {
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

// Four lanes that do not wait on each other, folded at the end: a record is checked at the
// speed of its loads rather than of a chain of multiplications.
static uint64_t Mix(uint64_t h, const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 32);
}

static uint32_t Check(const unsigned char* p, size_t n) {
    uint64_t a = 0x9E3779B97F4A7C15ull ^ n, b = 0xC2B2AE3D27D4EB4Full, c = 0x165667B19E3779F9ull,
             d = 0x27D4EB2F165667C5ull;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = Mix(a, p + i);
        b = Mix(b, p + i + 8);
        c = Mix(c, p + i + 16);
        d = Mix(d, p + i + 24);
    }
    for (; i + 8 <= n; i += 8) a = Mix(a, p + i);
    uint64_t h = a ^ ((b << 17) | (b >> 47)) ^ ((c << 31) | (c >> 33)) ^ ((d << 47) | (d >> 17));
    h = (h ^ (h >> 29)) * 0xFF51AFD7ED558CCDull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void LogMoved() { __atomic_store_n(&L().h->moves, L().h->moves + 1, __ATOMIC_RELEASE); }

void LogSeen() {
    __atomic_store_n(&L().cursor->seen, __atomic_load_n(&L().h->moves, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

const unsigned char* LogRead(uint64_t at, size_t n) {
    const void* p = zrCompanionView(L().log, at, n);
    if (p) return static_cast<const unsigned char*>(p);
    if (n > L().bufSize) {
        void* grown = zrHostRealloc(L().buf, n);
        if (!grown) return nullptr;
        L().buf = static_cast<unsigned char*>(grown);
        L().bufSize = n;
    }
    return zrCompanionRead(L().log, at, L().buf, n) ? L().buf : nullptr;
}

// The record at `at` when it is whole, the next in order, and inside `end`; else null.
const LogRecordHead* LogRecordAt(uint64_t at, uint64_t end, uint64_t serial) {
    if (at + sizeof(LogRecordHead) > end) return nullptr;
    LogRecordHead head;
    const unsigned char* bytes = LogRead(at, sizeof head);
    if (!bytes) return nullptr;
    memcpy(&head, bytes, sizeof head);
    uint64_t texts = uint64_t(head.pathLen) + head.nameLen + 2;
    if (head.size < sizeof(LogRecordHead) || head.size % 8 || head.size > kRecordMax ||
        at + head.size > end || head.serial != serial || head.op > RC_LAST_OP ||
        sizeof(LogRecordHead) + texts + head.dataLen > head.size)
        return nullptr;
    bytes = LogRead(at, head.size);
    if (!bytes || Check(bytes + 8, head.size - 8) != head.check) return nullptr;
    const LogRecordHead* r = reinterpret_cast<const LogRecordHead*>(bytes);
    const char* path = reinterpret_cast<const char*>(r + 1);
    if (memcmp(r, &head, sizeof head) != 0 || path[head.pathLen] != 0 ||
        path[head.pathLen + 1 + head.nameLen] != 0)
        return nullptr;
    return r;
}

static void Apply(const LogRecordHead* r) {
    const char* path = reinterpret_cast<const char*>(r + 1);
    const char* name = path + r->pathLen + 1;
    RegApplyChange(static_cast<RegChangeOp>(r->op), path, name, r->type, name + r->nameLen + 1, r->dataLen);
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
        const LogRecordHead* r = LogRecordAt(L().at, end, serial);
        if (!r) {
            RegMessage(REGVIEW_MSG_LOG, static_cast<int>(serial - L().h->epochSerial),
                       "%s: record %llu is damaged; the changes behind it are not applied", RegFile().log,
                       static_cast<unsigned long long>(serial - L().h->epochSerial));
            L().at = end;
            break;
        }
        Apply(r);
        L().at += r->size;
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
        const LogRecordHead* r = LogRecordAt(L().notifyAt, end, L().notifyNext);
        if (!r) {
            L().notifyAt = end;
            break;
        }
        const char* path = reinterpret_cast<const char*>(r + 1);
        seen(static_cast<RegChangeOp>(r->op), path, path + r->pathLen + 1);
        L().notifyAt += r->size;
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

unsigned int RegLogWrite(RegChangeOp op, const char* path, const char* name, unsigned int type,
                         const void* data, size_t n) {
    L().pending = 0;
    size_t lp = strlen(path), ln = strlen(name);
    uint64_t size = (sizeof(LogRecordHead) + lp + ln + 2 + n + 7) & ~uint64_t(7);
    if (size > kRecordMax) return REGERR_WRITE_FAULT;
    if (!L().group && L().h->committed + size > kHeaderBytes + LogSettingsNow.bound) LogCheckpoint();
    uint64_t at = L().group ? L().groupEnd : L().h->committed;
    if (at + size > kMapBytes) return REGERR_WRITE_FAULT;
    if (static_cast<long long>(at + size) > L().size) {
        uint64_t want = (at + size + kGrowStep - 1) / kGrowStep * kGrowStep;
        if (want > kMapBytes) want = kMapBytes;
        if (!zrCompanionGrow(L().log, static_cast<long long>(want))) return REGERR_WRITE_FAULT;
        L().size = static_cast<long long>(want);
    }
    // Written in place where the mapping covers the record, else through a buffer.
    unsigned char* p = static_cast<unsigned char*>(zrCompanionWritable(L().log, at, size));
    bool inPlace = p != nullptr;
    if (!inPlace) {
        if (size > L().bufSize) {
            void* grown = zrHostRealloc(L().buf, size);
            if (!grown) return REGERR_NO_MEMORY;
            L().buf = static_cast<unsigned char*>(grown);
            L().bufSize = size;
        }
        p = L().buf;
    }
    LogRecordHead head = {static_cast<uint32_t>(size),
                          0,
                          L().h->serial + 1 + (L().group ? L().groupCount : 0),
                          static_cast<uint32_t>(op),
                          type,
                          static_cast<uint32_t>(lp),
                          static_cast<uint32_t>(ln),
                          static_cast<uint32_t>(n),
                          0};
    memcpy(p, &head, sizeof head);
    char* texts = reinterpret_cast<char*>(p + sizeof head);
    memcpy(texts, path, lp + 1);
    memcpy(texts + lp + 1, name, ln + 1);
    if (n) memcpy(texts + lp + ln + 2, data, n);
    size_t used = sizeof head + lp + ln + 2 + n;
    memset(p + used, 0, size - used);
    reinterpret_cast<LogRecordHead*>(p)->check = Check(p + 8, size - 8);
    if (!inPlace && !zrCompanionWrite(L().log, at, p, size)) return REGERR_WRITE_FAULT;
    // The record went nowhere where the file was cut: one look at its size per change.
    if (!zrCompanionHolds(L().log, at + size)) {
        LogCutOff();
        return REGERR_WRITE_FAULT;
    }
    L().pending = at + size;
    return REGERR_SUCCESS;
}

void RegLogCommit() {
    if (!L().pending) return;
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
