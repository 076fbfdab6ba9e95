// The change log that the processes of one registry file share: every change in one order,
// durable when its call returns, applied by every other process at its next call, and
// written into the registry file at checkpoints and by the last process that unloads.
#include <stdio.h>
#include <string.h>

#include "regp.h"
#include "zrplat.h"

// The log (app.txt-log beside app.txt) is one file that every process maps: a header page, then
// the records of the changes since the last checkpoint. A record is written behind the last
// committed one and committed by one store of the header's end mark, so that a process that
// dies leaves every change of a call that returned and nothing of one that did not. Records
// carry their number and a check word, so that a log cut or damaged by a crash of the
// machine loads as the changes before the damage.
//
// The log belongs to one registry file: it is named from the file's whole name, and its
// header holds the file's name and identity (the device and number of the file its
// records apply to). A log whose header names another file, and which does not follow
// this one, is another file's (copied or renamed beside this one): it is never applied.
//
// Three locks on bytes of the file: every loaded process holds LIVE shared, so that an
// unload that gets it alone knows it is the last; GATE (alone) orders joining and leaving;
// the writer lock orders the records: a mutex in the header where the system has one that
// survives a dead holder, else the byte WRITER.
//
// The log is always the registry file's owner's. A process of another user that may write
// the file (a shared folder) joins an existing log but makes none, and it never replaces the
// file (the save refuses): its checkpoints are put off, and the records it leaves wait in
// the log for the owner's next load.

namespace {

const uint32_t kHeaderBytes = 4096;
const char kMagic[8] = {'z', 'r', 'r', 'e', 'g', 'l', 'o', 'g'};
const uint32_t kVersion = 2;
const size_t kOwnerMax = 1024;  // a file name's last part; systems allow 255 bytes
// A checkpoint writes the registry file when the records pass this bound: a 100 MB
// registry file takes about 0.4 s to write, paid once for 64 MB of changes.
const uint64_t kLogBound = uint64_t(64) << 20;
const uint64_t kRecordMax = uint64_t(4) << 20;
const uint64_t kMapBytes = kHeaderBytes + kLogBound + kRecordMax;
const uint64_t kGrowStep = uint64_t(1) << 20;
// A new log starts smaller: a load that changes little writes little.
const uint64_t kFirstRoom = uint64_t(64) << 10;
const int kSyncDelayMs = 200;  // what sits in the system's cache only is synced this soon after
// A load reads the file again while a checkpoint replaces it meanwhile; a file replaced at
// every read is given up on.
const int kLoadTries = 100;

enum LockKind : uint32_t { LOCK_MUTEX = 1, LOCK_RANGE = 2 };

struct Stamp {
    uint64_t device, file, size;
    int64_t mtimeNs;
};

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t headerBytes;
    uint32_t lockKind;
    uint32_t moves;        // moves at every commit and checkpoint: what each call compares
    uint64_t committed;    // the end of the last committed record
    uint64_t serial;       // the number of the last committed record, over the log's life
    uint64_t epoch;        // moves at every checkpoint, after which the records begin anew
    uint64_t epochSerial;  // the number before the epoch's first record
    Stamp base;            // the registry file the epoch's records apply to
    uint32_t nextSet;      // a checkpoint is under way: it wrote `next`, covering nextSerial
    uint32_t pad;
    Stamp next;
    uint64_t nextSerial;
    char owner[kOwnerMax];  // the registry file's name, without its folder: the log lies beside it
    alignas(64) unsigned char mutex[ZR_SHARED_MUTEX_BYTES];
};
static_assert(sizeof(Header) <= kHeaderBytes, "the header fits its page");

// Followed by the path and the name with their NULs, then the data; padded to 8 bytes.
struct RecordHead {
    uint32_t size;   // the whole record
    uint32_t check;  // of everything behind this field
    uint64_t serial;
    uint32_t op;
    uint32_t type;
    uint32_t pathLen, nameLen, dataLen;  // without the NULs
    uint32_t pad;
};
static_assert(sizeof(RecordHead) % 8 == 0, "records stay 8-byte aligned");

}  // namespace

const uint32_t* RegLogMovesAt;
uint32_t RegLogSeen;

static ZrCompanion* s_log;
static Header* s_h;
static unsigned char* s_map;
static ZrSyncer* s_syncer;
static bool s_mutex;        // the writer lock is the header's mutex
static uint64_t s_epoch;    // the epoch this process's tree follows
static uint64_t s_at;       // the end of the records it has applied
static uint64_t s_next;     // the number of the record there
static uint64_t s_pending;  // the end of a record written and not yet committed
static long long s_size;    // the file's size as this process last grew or saw it
static uint64_t s_synced;   // when the calls last synced the log (without a syncer thread)

static unsigned long s_pid;  // the process that joined the log
static int s_cut;            // another program cut the log while mapped: the process goes on without it
static bool s_committed;     // this process committed a change since its load
static Stamp s_base;         // the file the epoch this process caught up with began on
static bool CutOff();
static void Close();
// A group of changes (an import): written one by one under the writer lock held throughout,
// then committed at once, or dropped.
static bool s_group;
static uint64_t s_groupEnd;    // where its next record goes
static uint64_t s_groupCount;  // its records written and not yet committed
static bool Adopt();

// Once the log is cut, the save without it is told (on the caller's thread) what the tree
// follows and whether it holds changes of its own that the journal never saw.
static bool s_handedOver;

bool LogActive() {
    if (!Adopt()) return false;
    if (!CutOff()) return true;
    if (!s_handedOver) {
        s_handedOver = true;
        ShareGoesOnFrom(ZrFileStamp{s_base.device, s_base.file, s_base.size, s_base.mtimeNs}, s_committed);
    }
    return false;
}

static bool s_useLog = true;
static uint64_t s_bound = kLogBound;
void RegLogSetBound(uint64_t bytes) { s_bound = bytes && bytes < kLogBound ? bytes : kLogBound; }
void RegViewUseLog(bool on) { s_useLog = on; }

static Stamp StampOf(const ZrFileStamp& f) { return Stamp{f.device, f.file, f.size, f.mtimeNs}; }

static bool SameStamp(const Stamp& a, const Stamp& b) {
    return a.device == b.device && a.file == b.file && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

static bool FileStamp(const char* path, Stamp* out) {
    ZrFileStamp f;
    if (!zrStampOf(path, &f)) return false;
    *out = StampOf(f);
    return true;
}

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

static void Moved() { __atomic_store_n(&s_h->moves, s_h->moves + 1, __ATOMIC_RELEASE); }

static void Seen() {
    __atomic_store_n(&RegLogSeen, __atomic_load_n(&s_h->moves, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

// `n` bytes of the log at `at`: in the mapping where it covers them, else read into a
// buffer of this process (kept until the unload); null when they cannot be read.
static unsigned char* s_buf;
static size_t s_bufSize;

static const unsigned char* ReadLog(uint64_t at, size_t n) {
    const void* p = zrCompanionView(s_log, at, n);
    if (p) return static_cast<const unsigned char*>(p);
    if (n > s_bufSize) {
        void* grown = zrHostRealloc(s_buf, n);
        if (!grown) return nullptr;
        s_buf = static_cast<unsigned char*>(grown);
        s_bufSize = n;
    }
    return zrCompanionRead(s_log, at, s_buf, n) ? s_buf : nullptr;
}

// The record at `at` when it is whole, the next in order, and inside `end`; else null.
static const RecordHead* RecordAt(uint64_t at, uint64_t end, uint64_t serial) {
    if (at + sizeof(RecordHead) > end) return nullptr;
    RecordHead head;
    const unsigned char* bytes = ReadLog(at, sizeof head);
    if (!bytes) return nullptr;
    memcpy(&head, bytes, sizeof head);
    uint64_t texts = uint64_t(head.pathLen) + head.nameLen + 2;
    if (head.size < sizeof(RecordHead) || head.size % 8 || head.size > kRecordMax || at + head.size > end ||
        head.serial != serial || head.op > RC_RENAME_VALUE ||
        sizeof(RecordHead) + texts + head.dataLen > head.size)
        return nullptr;
    bytes = ReadLog(at, head.size);
    if (!bytes || Check(bytes + 8, head.size - 8) != head.check) return nullptr;
    const RecordHead* r = reinterpret_cast<const RecordHead*>(bytes);
    const char* path = reinterpret_cast<const char*>(r + 1);
    if (memcmp(r, &head, sizeof head) != 0 || path[head.pathLen] != 0 ||
        path[head.pathLen + 1 + head.nameLen] != 0)
        return nullptr;
    return r;
}

static void Apply(const RecordHead* r) {
    const char* path = reinterpret_cast<const char*>(r + 1);
    const char* name = path + r->pathLen + 1;
    RegApplyChange(static_cast<RegChangeOp>(r->op), path, name, r->type, name + r->nameLen + 1, r->dataLen);
}

// ---- the writer lock, and what a dead holder may have left half done -------------------

// A checkpoint that replaced the registry file but died before it began the records anew
// is finished; one that died before the replacement is forgotten (its records stand).
static void Settle() {
    if (!s_h->nextSet) return;
    Stamp now;
    if (FileStamp(RegFile().target, &now) && SameStamp(now, s_h->next)) {
        s_h->base = s_h->next;
        s_h->epochSerial = s_h->nextSerial;
        s_h->serial = s_h->nextSerial;
        s_h->committed = kHeaderBytes;
        ++s_h->epoch;
        Moved();
    }
    s_h->nextSet = 0;
}

// The lock between processes orders this process's threads too where it is a mutex; a
// byte-range lock is the process's (or its open file's), so a mutex of the process comes
// before it (the host's threads meet on the tree lock first, the notifier's thread here).
static ZrWait s_processWriter;
static void UnlockWriter();

static bool LockWriter() {
    if (s_mutex) {
        if (zrSharedMutexLock(s_h->mutex) == ZR_SHARED_LOCK_FAILED) return false;
    } else {
        s_processWriter.Lock();
        if (!zrCompanionLock(s_log, ZR_RANGE_WRITER, true, true)) {
            s_processWriter.Unlock();
            return false;
        }
    }
    if (CutOff()) {
        UnlockWriter();
        return false;
    }
    Settle();
    return true;
}

static void UnlockWriter() {
    if (s_mutex) {
        zrSharedMutexUnlock(s_h->mutex);
    } else {
        zrCompanionUnlock(s_log, ZR_RANGE_WRITER);
        s_processWriter.Unlock();
    }
}

// ---- applying the log -----------------------------------------------------------------

// Applies the records from this process's place to the end mark, with deletions forced:
// they happened already. After a checkpoint the registry file is read anew first.
static void CatchUp() {
    if (s_h->epoch != s_epoch) {
        if (RegReplaceTree() != REGERR_SUCCESS) {
            RegMessage(REGVIEW_MSG_LOG, 0, "%s cannot be read back after a checkpoint of another process",
                       bpRegFile);
            return;  // the tree stays; a later call tries again
        }
        s_epoch = s_h->epoch;
        s_at = kHeaderBytes;
        s_next = s_h->epochSerial + 1;
    }
    uint64_t end = s_h->committed;
    uint64_t serial = s_next;
    RegDeletesForced = true;
    while (s_at < end) {
        const RecordHead* r = RecordAt(s_at, end, serial);
        if (!r) {
            RegMessage(REGVIEW_MSG_LOG, static_cast<int>(serial - s_h->epochSerial),
                       "%s: record %llu is damaged; the changes behind it are not applied", RegFile().log,
                       static_cast<unsigned long long>(serial - s_h->epochSerial));
            s_at = end;
            break;
        }
        Apply(r);
        s_at += r->size;
        ++serial;
    }
    s_next = serial;
    RegDeletesForced = false;
    RegSetChanged(false);
    Seen();
    if (!zrCompanionCut(s_log)) s_base = s_h->base;
}

// Where change notification has read the log to.
static uint64_t s_notifyEpoch, s_notifyAt, s_notifyNext;

bool RegLogScan(bool fromNow, void (*seen)(RegChangeOp op, const char* path, const char* name)) {
    if (!Adopt() || !LockWriter()) return true;
    bool whole = fromNow || s_notifyEpoch == s_h->epoch;
    if (fromNow || !whole) {
        s_notifyEpoch = s_h->epoch;
        s_notifyAt = fromNow ? s_h->committed : kHeaderBytes;
        s_notifyNext = fromNow ? s_h->serial + 1 : s_h->epochSerial + 1;
    }
    uint64_t end = s_h->committed;
    while (s_notifyAt < end) {
        const RecordHead* r = RecordAt(s_notifyAt, end, s_notifyNext);
        if (!r) {
            s_notifyAt = end;
            break;
        }
        const char* path = reinterpret_cast<const char*>(r + 1);
        seen(static_cast<RegChangeOp>(r->op), path, path + r->pathLen + 1);
        s_notifyAt += r->size;
        ++s_notifyNext;
    }
    UnlockWriter();
    return whole;
}

uint32_t RegLogMovesNow() { return s_h ? __atomic_load_n(&s_h->moves, __ATOMIC_ACQUIRE) : 0; }

void RegLogFollowSlow() {
    ZrHeld held = zrTreeLockExclusive();
    if (Adopt() && LockWriter()) {
        CatchUp();
        UnlockWriter();
    }
    zrTreeUnlock(held);
}

// ---- checkpoints ----------------------------------------------------------------------

// Writes the tree into the registry file and begins the records anew, under the writer
// lock with the tree caught up. A registry file that something else changed since the
// epoch began is read anew first and the epoch's records applied on top, as the unload's
// merge does. False when the file stays as it was (the records stand).
static bool WriteFile();

// The epoch begins anew on the file `now`, without writing it: every process reads it anew.
static void Rebase(const Stamp& now) {
    s_h->base = now;
    s_h->epochSerial = s_h->serial;
    s_h->committed = kHeaderBytes;
    ++s_h->epoch;
    Moved();
    s_epoch = s_h->epoch;
    s_at = kHeaderBytes;
    s_next = s_h->epochSerial + 1;
    Seen();
}

static void SayOnTop() {
    RegMessage(REGVIEW_MSG_LOG, 0,
               "%s was changed by another program; the %llu changes in %s go on top of it", bpRegFile,
               static_cast<unsigned long long>(s_h->serial - s_h->epochSerial), RegFile().log);
}

static bool CheckpointLocked() {
    const RegFileNames& names = RegFile();
    Stamp now;
    bool exists = FileStamp(names.target, &now);
    bool foreign = exists && !SameStamp(now, s_h->base);
    if (foreign) {
        if (RegReplaceTree() != REGERR_SUCCESS) {
            RegMessage(REGVIEW_MSG_LOG, 0,
                       "%s was changed by another program and cannot be read back; the changes stay in %s",
                       bpRegFile, names.log);
            return false;
        }
        if (s_h->committed == kHeaderBytes) {
            Rebase(now);
            return true;
        }
        s_at = kHeaderBytes;
        s_next = s_h->epochSerial + 1;
        CatchUp();
        SayOnTop();
    }
    if (s_h->committed == kHeaderBytes && exists) return true;
    return WriteFile();
}

// Every writer of the registry file holds its lock file, the log's checkpoints as a save
// without a log (zrreg import) does: else the two write one temporary file at once, or one
// replaces the file between the other's look at it and its save, and a change is lost.
// A lock file that this process made goes again, so that the folder is left as it was.
static bool Checkpoint() {
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
    Stamp written;
    if (!FileStamp(temp, &written)) return false;
    s_h->next = written;
    s_h->nextSerial = s_h->serial;
    __atomic_store_n(&s_h->nextSet, 1u, __ATOMIC_RELEASE);
    cfRegSwapRegFile(temp, target);
    if (RegViewLastUnload().result != REGVIEW_SAVE_WRITTEN) {
        s_h->nextSet = 0;
        return false;
    }
    Settle();
    s_epoch = s_h->epoch;
    s_at = kHeaderBytes;
    s_next = s_h->epochSerial + 1;
    Seen();
    if (!zrCompanionCut(s_log)) s_base = s_h->base;
    return true;
}

// ---- changes --------------------------------------------------------------------------

unsigned int RegLogBegin() {
    if (s_group) return REGERR_SUCCESS;  // the group holds the writer lock, caught up
    if (!LockWriter()) return REGERR_WRITE_FAULT;
    CatchUp();
    if (CutOff()) {
        UnlockWriter();
        return REGERR_WRITE_FAULT;
    }
    return REGERR_SUCCESS;
}

void RegLogEnd() {
    if (!s_group) UnlockWriter();
}

unsigned int RegLogWrite(RegChangeOp op, const char* path, const char* name, unsigned int type,
                         const void* data, size_t n) {
    s_pending = 0;
    size_t lp = strlen(path), ln = strlen(name);
    uint64_t size = (sizeof(RecordHead) + lp + ln + 2 + n + 7) & ~uint64_t(7);
    if (size > kRecordMax) return REGERR_WRITE_FAULT;
    if (!s_group && s_h->committed + size > kHeaderBytes + s_bound) Checkpoint();
    uint64_t at = s_group ? s_groupEnd : s_h->committed;
    if (at + size > kMapBytes) return REGERR_WRITE_FAULT;
    if (static_cast<long long>(at + size) > s_size) {
        uint64_t want = (at + size + kGrowStep - 1) / kGrowStep * kGrowStep;
        if (want > kMapBytes) want = kMapBytes;
        if (!zrCompanionGrow(s_log, static_cast<long long>(want))) return REGERR_WRITE_FAULT;
        s_size = static_cast<long long>(want);
    }
    // Written in place where the mapping covers the record, else through a buffer.
    unsigned char* p = static_cast<unsigned char*>(zrCompanionWritable(s_log, at, size));
    bool inPlace = p != nullptr;
    if (!inPlace) {
        if (size > s_bufSize) {
            void* grown = zrHostRealloc(s_buf, size);
            if (!grown) return REGERR_NO_MEMORY;
            s_buf = static_cast<unsigned char*>(grown);
            s_bufSize = size;
        }
        p = s_buf;
    }
    RecordHead head = {static_cast<uint32_t>(size),
                       0,
                       s_h->serial + 1 + (s_group ? s_groupCount : 0),
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
    reinterpret_cast<RecordHead*>(p)->check = Check(p + 8, size - 8);
    if (!inPlace && !zrCompanionWrite(s_log, at, p, size)) return REGERR_WRITE_FAULT;
    // The record went nowhere where the file was cut: one look at its size per change.
    if (!zrCompanionHolds(s_log, at + size)) {
        CutOff();
        return REGERR_WRITE_FAULT;
    }
    s_pending = at + size;
    return REGERR_SUCCESS;
}

void RegLogCommit() {
    if (!s_pending) return;
    if (s_group) {
        s_groupEnd = s_pending;
        ++s_groupCount;
        s_pending = 0;
        return;
    }
    s_h->serial += 1;
    __atomic_store_n(&s_h->committed, s_pending, __ATOMIC_RELEASE);
    Moved();
    s_at = s_pending;
    s_next = s_h->serial + 1;
    s_pending = 0;
    s_committed = true;
    Seen();
    RegNotifyKick();
    if (s_syncer) {
        zrSyncerNote(s_syncer);
    } else if (zrMonotonicMs() - s_synced >= kSyncDelayMs) {
        // Without the thread the changing calls sync, at most once a delay; the unload
        // syncs what is left.
        zrCompanionSync(s_log);
        s_synced = zrMonotonicMs();
    }
}

bool RegViewGroupBegin() {
    ZrHeld held = zrTreeLockExclusive();
    bool begun = !s_group && LogActive() && LockWriter();
    if (begun) {
        CatchUp();
        s_group = true;
        s_groupEnd = s_h->committed;
        s_groupCount = 0;
    }
    zrTreeUnlock(held);
    return begun;
}

// Committed: one move of the end mark makes the whole group seen by every process, and it is
// synced before this returns. Dropped (or cut meanwhile): the tree is read anew and follows
// the log again, without the group.
bool RegViewGroupEnd(bool commit) {
    ZrHeld held = zrTreeLockExclusive();
    if (!s_group) {
        zrTreeUnlock(held);
        return false;
    }
    s_group = false;
    bool kept = false;
    if (commit && !CutOff()) {
        kept = true;
        if (s_groupCount) {
            s_h->serial += s_groupCount;
            __atomic_store_n(&s_h->committed, s_groupEnd, __ATOMIC_RELEASE);
            Moved();
            s_at = s_groupEnd;
            s_next = s_h->serial + 1;
            s_committed = true;
            Seen();
            RegNotifyKick();
            kept = zrCompanionSync(s_log);
        }
    } else if (s_groupCount && !CutOff()) {
        s_epoch = 0;
        CatchUp();
    }
    UnlockWriter();
    zrTreeUnlock(held);
    return kept;
}

bool RegLogSync() { return !Adopt() || zrCompanionSync(s_log); }

// The library goes while loaded: the syncer ends, and the calls of a process that calls on
// sync for themselves.
void LogThreadsEnd() {
    zrSyncerStop(s_syncer);
    s_syncer = nullptr;
}

// ---- a log cut by another program -----------------------------------------------------

// Another program cut the log while this process mapped it (the platform's guard turned the
// fault into zeros): nothing more is read from it or written into it. The process goes on
// without a log, as where none can be had; its tree keeps every change it returned, and
// its unload writes them under the lock (beside the file, said so, when the file is no
// longer the one the tree follows).
static bool CutOff() {
    if (__atomic_load_n(&s_cut, __ATOMIC_ACQUIRE)) return true;
    if (!zrCompanionCut(s_log)) return false;
    if (__atomic_exchange_n(&s_cut, 1, __ATOMIC_ACQ_REL)) return true;
    __atomic_store_n(&RegLogMovesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    RegMessage(REGVIEW_MSG_LOG, 0,
               "%s was cut by another program; the changes of other processes since this one's last call are "
               "lost, and this process goes on without it",
               RegFile().log);
    return true;
}

// At the unload: a cut log is closed, the syncer with it.
void LogDropCut() {
    if (!s_cut) return;
    Close();
    s_cut = 0;
    s_handedOver = false;
}

// ---- load and unload ------------------------------------------------------------------

static void Close() {
    zrHostFree(s_buf);
    s_buf = nullptr;
    s_bufSize = 0;
    zrSyncerStop(s_syncer);
    s_syncer = nullptr;
    __atomic_store_n(&RegLogMovesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    zrCompanionClose(s_log);
    s_log = nullptr;
    s_h = nullptr;
    s_map = nullptr;
}

// A log that no live process holds: what a crash left. A checkpoint cut short is finished
// or forgotten, the mutex made anew (a holder may have died with the machine), and the
// records kept up to the first one that is cut or damaged. Nothing of the header is
// believed that cannot be: an end mark outside the records' room or between two records,
// a number that is not the last record's, an epoch that never was, a lock of no known kind
// make the log damaged, and it begins anew from the records that check out, with one
// message that says what was dropped.
static void Recover() {
    const char* damaged = nullptr;
    if (s_h->lockKind != LOCK_MUTEX && s_h->lockKind != LOCK_RANGE) {
        damaged = "its lock";
        s_h->lockKind = zrSharedMutexInit(s_h->mutex) ? LOCK_MUTEX : LOCK_RANGE;
        s_mutex = s_h->lockKind == LOCK_MUTEX;
    } else if (s_mutex) {
        zrSharedMutexInit(s_h->mutex);
    }
    if (s_h->nextSet > 1) s_h->nextSet = 0;
    Settle();
    uint64_t committed = s_h->committed;
    bool endKnown = committed >= kHeaderBytes && committed <= kMapBytes && committed % 8 == 0;
    if (!endKnown) damaged = "its end mark";
    if (s_h->epoch == 0) {
        damaged = "its epoch";
        s_h->epoch = 1;
    }
    uint64_t end = endKnown ? committed : kMapBytes;
    if (s_size >= 0 && end > static_cast<uint64_t>(s_size)) end = static_cast<uint64_t>(s_size);
    uint64_t at = kHeaderBytes, serial = s_h->epochSerial + 1;
    bool cut = false;
    while (at < (endKnown ? committed : end)) {
        const RecordHead* r = RecordAt(at, end, serial);
        if (!r) {
            cut = endKnown;
            break;
        }
        at += r->size;
        ++serial;
    }
    unsigned long long kept = serial - 1 - s_h->epochSerial;
    // A commit counts the record before it stores the end mark: a process that died between
    // the two leaves the number one ahead, which is no damage.
    if (!damaged && !cut && s_h->serial != serial - 1 && s_h->serial != serial) damaged = "its record number";
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
    s_h->committed = at;
    s_h->serial = serial - 1;
    Moved();
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
    memcpy(owner, s_h->owner, kOwnerMax);
    owner[kOwnerMax - 1] = 0;
    if (SameName(owner, OwnerName(target))) return true;
    Stamp now;
    if (!FileStamp(target, &now)) return false;
    return (now.device == s_h->base.device && now.file == s_h->base.file) ||
           (s_h->nextSet && now.device == s_h->next.device && now.file == s_h->next.file);
}

// Once a load, when it goes on without a log.
static void Say(const char* why) {
    RegMessage(REGVIEW_MSG_NO_LOG, 0, "%s: %s; changes are kept until the unload, one process at a time",
               bpRegFile, why);
}

// Something at the log's name that is no log of this format: it is left as it is.
static void NotALog() {
    char why[REGFILE_TEMP_MAX + 96];
    snprintf(why, sizeof why, "%s is not a change log of this library's format %u; it is left as it is",
             RegFile().log, kVersion);
    zrCompanionUnlock(s_log, ZR_RANGE_GATE);
    Close();
    Say(why);
}

// Another file's log at this file's log's name: it is left as it is, and never applied.
static void OthersLog() {
    char owner[kOwnerMax];
    memcpy(owner, s_h->owner, kOwnerMax);
    owner[kOwnerMax - 1] = 0;
    char why[REGFILE_TEMP_MAX + kOwnerMax + 96];
    snprintf(why, sizeof why,
             "%s is the change log of another file (%s); it is left as it is and not applied", RegFile().log,
             owner);
    zrCompanionUnlock(s_log, ZR_RANGE_GATE);
    Close();
    Say(why);
}

// Opens, maps and joins the log, making or recovering it; false when the load goes on
// without it.
static bool Join() {
    const RegFileNames& names = RegFile();
    // A log that this process found empty and alone holds nothing: one that it cannot make
    // whole (a full disk) goes again, rather than stay beside the file.
    bool alone = false, empty = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        ZrCompanionOpen opened = zrCompanionOpen(names.log, names.target, &s_log);
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
        if (!zrCompanionLock(s_log, ZR_RANGE_GATE, true, true)) break;
        // The last process may have removed the file while this one waited: begin again.
        if (!zrCompanionIsAt(s_log, names.log)) {
            zrCompanionClose(s_log);
            s_log = nullptr;
            continue;
        }
        alone = zrCompanionLock(s_log, ZR_RANGE_LIVE, true, false);
        s_size = zrCompanionSize(s_log);
        // A file of fewer bytes than the header is not mapped at all: it is not a log.
        if (s_size > 0 && s_size < kHeaderBytes) {
            NotALog();
            return false;
        }
        bool made = s_size == 0;
        empty = made;
        if (made) {
            if (!alone || !zrCompanionGrow(s_log, kHeaderBytes + kFirstRoom)) break;
            s_size = kHeaderBytes + kFirstRoom;
        }
        s_map = static_cast<unsigned char*>(zrCompanionMap(s_log, kHeaderBytes, kMapBytes));
        if (!s_map) break;
        s_h = reinterpret_cast<Header*>(s_map);
        bool fresh = made || memcmp(s_h->magic, "\0\0\0\0\0\0\0\0", 8) == 0;
        empty = fresh;
        if (fresh) {
            Stamp base;
            if (!alone || !FileStamp(names.target, &base)) break;
            memset(s_h, 0, kHeaderBytes);
            s_h->version = kVersion;
            s_h->headerBytes = kHeaderBytes;
            s_h->lockKind = zrSharedMutexInit(s_h->mutex) ? LOCK_MUTEX : LOCK_RANGE;
            s_h->committed = kHeaderBytes;
            s_h->epoch = 1;
            s_h->moves = 1;
            s_h->base = base;
            const char* owner = OwnerName(names.target);
            size_t n = strlen(owner);
            memcpy(s_h->owner, owner, n < kOwnerMax ? n : kOwnerMax - 1);  // the page came zeroed
            memcpy(s_h->magic, kMagic, 8);  // last: a log cut short before this is made anew
        } else if (memcmp(s_h->magic, kMagic, 8) != 0 || s_h->version != kVersion ||
                   s_h->headerBytes != kHeaderBytes) {
            NotALog();
            return false;
        } else if (!Belongs(names.target)) {
            OthersLog();
            return false;
        }
        s_mutex = s_h->lockKind == LOCK_MUTEX;
        // Alone, the exclusive hold becomes a shared one (under the gate, so nobody joins
        // between): byte-range locks of some systems are not converted in place.
        if (alone) {
            Recover();
            zrCompanionUnlock(s_log, ZR_RANGE_LIVE);
        }
        zrCompanionLock(s_log, ZR_RANGE_LIVE, false, true);
        zrCompanionUnlock(s_log, ZR_RANGE_GATE);
        s_syncer = zrSyncerStart(s_log, kSyncDelayMs);
        s_pid = zrProcessId();
        return true;
    }
    if (s_log) {
        if (alone && empty) zrCompanionRemove(s_log, names.log);
        zrCompanionUnlock(s_log, ZR_RANGE_GATE);
        Close();
    }
    Say("its change log cannot be opened or mapped");
    return false;
}

// Leaves the log; the last process writes the registry file (when the log holds changes)
// and removes the log, unless the file could not be written: the log then holds them.
static void Leave() {
    const RegFileNames& names = RegFile();
    zrSyncerStop(s_syncer);
    s_syncer = nullptr;
    zrCompanionLock(s_log, ZR_RANGE_GATE, true, true);
    zrCompanionUnlock(s_log, ZR_RANGE_LIVE);
    if (zrCompanionLock(s_log, ZR_RANGE_LIVE, true, false) && LockWriter()) {
        bool loaded = NWREGIsRegLoaded() != 0;
        if (loaded) CatchUp();
        if (loaded ? Checkpoint() : s_h->committed == kHeaderBytes) {
            zrCompanionRemove(s_log, names.log);
        } else if (loaded) {
            RegMessage(REGVIEW_MSG_SAVE, 0, "%s could not be written; its changes stay in %s", bpRegFile,
                       names.log);
            char why[REGFILE_TEMP_MAX + 128];  // the note's own text, which the new note replaces
            snprintf(why, sizeof why, "%s", RegViewLastUnload().why);
            RegNoteSave(REGVIEW_SAVE_ASIDE, names.log, why);
        }
        UnlockWriter();
    } else {
        zrCompanionSync(s_log);
    }
    zrCompanionUnlock(s_log, ZR_RANGE_GATE);
    Close();
}

// A child of a host that forked after its load inherits the log's mapping and open file,
// but the locks on that file are its parent's (they belong to the open file, or to the
// parent process): were the child to use them, its unload would find itself the last and
// remove the log under its parent. So it drops what it inherited, its parent's locks
// untouched, and joins at its first call as a process of its own; its tree then follows
// from the registry file and the records anew. Without a log then, it goes on as a process
// that has none. (The parent's syncer thread did not come along: its record is left.)
static ZrWait s_adopting;

static bool Adopt() {
    if (!s_h) return false;
    if (s_pid == zrProcessId()) return true;
    s_adopting.Lock();
    if (s_h && s_pid != zrProcessId()) {
        __atomic_store_n(&RegLogMovesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
        s_syncer = nullptr;
        zrCompanionClose(s_log);
        s_log = nullptr;
        s_h = nullptr;
        s_map = nullptr;
        s_pending = 0;
        if (Join()) {
            s_epoch = 0;  // read anew at the next catching up
            __atomic_store_n(&RegLogMovesAt, &s_h->moves, __ATOMIC_RELEASE);
            __atomic_store_n(&RegLogSeen, 0u, __ATOMIC_RELAXED);
        }
    }
    s_adopting.Unlock();
    return s_h != nullptr;
}

void (*RegLogReadHook)();

int LogLoad() {
    const RegFileNames& names = RegFile();
    Stamp probe;
    s_committed = false;
    if (!s_useLog || !names.saveable || !FileStamp(names.target, &probe) || !Join()) return -1;
    unsigned int rc;
    for (int attempt = 0;; ++attempt) {
        rc = REGERR_NOT_FOUND;  // what a load that reads no file for sure answers
        if (attempt == kLoadTries) {
            RegMessage(REGVIEW_MSG_LOG, 0, "%s was replaced while it was read, %d times; it is not loaded",
                       bpRegFile, kLoadTries);
            break;
        }
        if (!LockWriter()) break;
        uint64_t epoch = s_h->epoch;
        Stamp base = s_h->base;
        UnlockWriter();
        Stamp before, after;
        bool known = FileStamp(names.target, &before);
        rc = LoadRegistry(bpRegFile);
        if (rc != REGERR_SUCCESS) break;
        if (RegLogReadHook) RegLogReadHook();
        known = known && FileStamp(names.target, &after) && SameStamp(before, after);
        if (!LockWriter()) {
            RegSetChanged(false);
            UnloadRegistry();
            rc = REGERR_NOT_FOUND;
            break;
        }
        if (s_h->epoch != epoch || !known) {  // a checkpoint replaced the file meanwhile
            UnlockWriter();
            RegSetChanged(false);
            UnloadRegistry();
            continue;
        }
        s_epoch = epoch;
        s_at = kHeaderBytes;
        s_next = s_h->epochSerial + 1;
        if (SameStamp(before, base)) {
            CatchUp();
        } else if (s_h->committed == kHeaderBytes) {
            Rebase(before);  // something else wrote the file: every process reads it anew
        } else {
            // The log's changes go on top of what something else wrote, and a checkpoint
            // makes that the file every process follows.
            CatchUp();
            Checkpoint();
        }
        UnlockWriter();
        RegSetChanged(false);
        __atomic_store_n(&RegLogMovesAt, &s_h->moves, __ATOMIC_RELEASE);
        return REGERR_SUCCESS;
    }
    // Not loaded: the log is left as a process that never changed anything leaves it.
    Leave();
    return static_cast<int>(rc);
}

void LogUnload() {
    if (Adopt()) Leave();
    RegSetChanged(false);
    UnloadRegistry();
}
