// The change log that the processes of one registry file share: every change in one order,
// durable when its call returns, applied by every other process at its next call, and
// written into the registry file at checkpoints and by the last process that unloads.
#include <stdio.h>
#include <string.h>

#include "regchange.h"
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

}  // namespace

struct LogHeader {
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
static_assert(sizeof(LogHeader) <= kHeaderBytes, "the header fits its page");

namespace {

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

RegLogCursor RegLogNow;

// The current registry's part in the log.
static RegLogState& L() { return RegChangesNow->log; }

static bool Adopt();

bool LogActive() { return Adopt(); }

// What a host or a test chose for every load: whether a log is used, and when a checkpoint
// comes.
static struct {
    bool useLog = true;
    uint64_t bound = kLogBound;
} s_settings;
void RegLogSetBound(uint64_t bytes) { s_settings.bound = bytes && bytes < kLogBound ? bytes : kLogBound; }
void RegViewUseLog(bool on) { s_settings.useLog = on; }

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

static void Moved() { __atomic_store_n(&L().h->moves, L().h->moves + 1, __ATOMIC_RELEASE); }

static void Seen() {
    __atomic_store_n(&RegLogNow.seen, __atomic_load_n(&L().h->moves, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

// `n` bytes of the log at `at`: in the mapping where it covers them, else read into a
// buffer of this process (kept until the unload); null when they cannot be read.

static const unsigned char* ReadLog(uint64_t at, size_t n) {
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
    if (!L().h->nextSet) return;
    Stamp now;
    if (FileStamp(RegFile().target, &now) && SameStamp(now, L().h->next)) {
        L().h->base = L().h->next;
        L().h->epochSerial = L().h->nextSerial;
        L().h->serial = L().h->nextSerial;
        L().h->committed = kHeaderBytes;
        ++L().h->epoch;
        Moved();
    }
    L().h->nextSet = 0;
}

// The host's threads meet on the tree lock first, the notifier's thread at the process's
// writer lock.

static bool LockWriter() {
    if (L().mutex) {
        if (zrSharedMutexLock(L().h->mutex) == ZR_SHARED_LOCK_FAILED) return false;
    } else {
        L().processWriter.Lock();
        if (!zrCompanionLock(L().log, ZR_RANGE_WRITER, true, true)) {
            L().processWriter.Unlock();
            return false;
        }
    }
    Settle();
    return true;
}

static void UnlockWriter() {
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
static void CatchUp() {
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
        const RecordHead* r = RecordAt(L().at, end, serial);
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
    Seen();
}

bool RegLogScan(bool fromNow, void (*seen)(RegChangeOp op, const char* path, const char* name)) {
    if (!Adopt() || !LockWriter()) return true;
    bool whole = fromNow || L().notifyEpoch == L().h->epoch;
    if (fromNow || !whole) {
        L().notifyEpoch = L().h->epoch;
        L().notifyAt = fromNow ? L().h->committed : kHeaderBytes;
        L().notifyNext = fromNow ? L().h->serial + 1 : L().h->epochSerial + 1;
    }
    uint64_t end = L().h->committed;
    while (L().notifyAt < end) {
        const RecordHead* r = RecordAt(L().notifyAt, end, L().notifyNext);
        if (!r) {
            L().notifyAt = end;
            break;
        }
        const char* path = reinterpret_cast<const char*>(r + 1);
        seen(static_cast<RegChangeOp>(r->op), path, path + r->pathLen + 1);
        L().notifyAt += r->size;
        ++L().notifyNext;
    }
    UnlockWriter();
    return whole;
}

uint32_t RegLogMovesNow() { return L().h ? __atomic_load_n(&L().h->moves, __ATOMIC_ACQUIRE) : 0; }

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
    L().h->base = now;
    L().h->epochSerial = L().h->serial;
    L().h->committed = kHeaderBytes;
    ++L().h->epoch;
    Moved();
    L().epoch = L().h->epoch;
    L().at = kHeaderBytes;
    L().next = L().h->epochSerial + 1;
    Seen();
}

static void SayOnTop() {
    RegMessage(REGVIEW_MSG_LOG, 0,
               "%s was changed by another program; the %llu changes in %s go on top of it", RegFileNow->path,
               static_cast<unsigned long long>(L().h->serial - L().h->epochSerial), RegFile().log);
}

static bool CheckpointLocked() {
    const RegFileNames& names = RegFile();
    Stamp now;
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
            Rebase(now);
            return true;
        }
        L().at = kHeaderBytes;
        L().next = L().h->epochSerial + 1;
        CatchUp();
        SayOnTop();
    }
    if (L().h->committed == kHeaderBytes && exists) return true;
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
    L().h->next = written;
    L().h->nextSerial = L().h->serial;
    __atomic_store_n(&L().h->nextSet, 1u, __ATOMIC_RELEASE);
    cfRegSwapRegFile(temp, target);
    if (RegViewLastUnload().result != REGVIEW_SAVE_WRITTEN) {
        L().h->nextSet = 0;
        return false;
    }
    Settle();
    L().epoch = L().h->epoch;
    L().at = kHeaderBytes;
    L().next = L().h->epochSerial + 1;
    Seen();
    return true;
}

// ---- changes --------------------------------------------------------------------------

unsigned int RegLogBegin() {
    if (!LockWriter()) return REGERR_WRITE_FAULT;
    CatchUp();
    return REGERR_SUCCESS;
}

void RegLogEnd() { UnlockWriter(); }

unsigned int RegLogWrite(RegChangeOp op, const char* path, const char* name, unsigned int type,
                         const void* data, size_t n) {
    L().pending = 0;
    size_t lp = strlen(path), ln = strlen(name);
    uint64_t size = (sizeof(RecordHead) + lp + ln + 2 + n + 7) & ~uint64_t(7);
    if (size > kRecordMax) return REGERR_WRITE_FAULT;
    if (L().h->committed + size > kHeaderBytes + s_settings.bound) Checkpoint();
    uint64_t at = L().h->committed;
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
    RecordHead head = {static_cast<uint32_t>(size),
                       0,
                       L().h->serial + 1,
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
    if (!inPlace && !zrCompanionWrite(L().log, at, p, size)) return REGERR_WRITE_FAULT;
    L().pending = at + size;
    return REGERR_SUCCESS;
}

void RegLogCommit() {
    if (!L().pending) return;
    L().h->serial += 1;
    __atomic_store_n(&L().h->committed, L().pending, __ATOMIC_RELEASE);
    Moved();
    L().at = L().pending;
    L().next = L().h->serial + 1;
    L().pending = 0;
    Seen();
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

bool RegLogSync() { return !Adopt() || zrCompanionSync(L().log); }

// The library goes while loaded: the syncer ends, and the calls of a process that calls on
// sync for themselves.
void LogThreadsEnd() {
    zrSyncerStop(L().syncer);
    L().syncer = nullptr;
}

// ---- load and unload ------------------------------------------------------------------

static void Close() {
    zrHostFree(L().buf);
    L().buf = nullptr;
    L().bufSize = 0;
    zrSyncerStop(L().syncer);
    L().syncer = nullptr;
    __atomic_store_n(&RegLogNow.movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    zrCompanionClose(L().log);
    L().log = nullptr;
    L().h = nullptr;
    L().map = nullptr;
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
    if (L().h->lockKind != LOCK_MUTEX && L().h->lockKind != LOCK_RANGE) {
        damaged = "its lock";
        L().h->lockKind = zrSharedMutexInit(L().h->mutex) ? LOCK_MUTEX : LOCK_RANGE;
        L().mutex = L().h->lockKind == LOCK_MUTEX;
    } else if (L().mutex) {
        zrSharedMutexInit(L().h->mutex);
    }
    if (L().h->nextSet > 1) L().h->nextSet = 0;
    Settle();
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
        const RecordHead* r = RecordAt(at, end, serial);
        if (!r) {
            cut = endKnown;
            break;
        }
        at += r->size;
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
    memcpy(owner, L().h->owner, kOwnerMax);
    owner[kOwnerMax - 1] = 0;
    if (SameName(owner, OwnerName(target))) return true;
    Stamp now;
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

// Opens, maps and joins the log, making or recovering it; false when the load goes on
// without it.
static bool Join() {
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
            Stamp base;
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
        } else if (memcmp(L().h->magic, kMagic, 8) != 0 || L().h->version != kVersion ||
                   L().h->headerBytes != kHeaderBytes) {
            NotALog();
            return false;
        } else if (!Belongs(names.target)) {
            OthersLog();
            return false;
        }
        L().mutex = L().h->lockKind == LOCK_MUTEX;
        // Alone, the exclusive hold becomes a shared one (under the gate, so nobody joins
        // between): byte-range locks of some systems are not converted in place.
        if (alone) {
            Recover();
            zrCompanionUnlock(L().log, ZR_RANGE_LIVE);
        }
        zrCompanionLock(L().log, ZR_RANGE_LIVE, false, true);
        zrCompanionUnlock(L().log, ZR_RANGE_GATE);
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
    if (zrCompanionLock(L().log, ZR_RANGE_LIVE, true, false) && LockWriter()) {
        bool loaded = NWREGIsRegLoaded() != 0;
        if (loaded) CatchUp();
        if (loaded ? Checkpoint() : L().h->committed == kHeaderBytes) {
            zrCompanionRemove(L().log, names.log);
        } else if (loaded) {
            RegMessage(REGVIEW_MSG_SAVE, 0, "%s could not be written; its changes stay in %s",
                       RegFileNow->path, names.log);
            char why[REGFILE_TEMP_MAX + 128];  // the note's own text, which the new note replaces
            snprintf(why, sizeof why, "%s", RegViewLastUnload().why);
            RegNoteSave(REGVIEW_SAVE_ASIDE, names.log, why);
        }
        UnlockWriter();
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

static bool Adopt() {
    if (!L().h) return false;
    if (L().pid == zrProcessId()) return true;
    L().adopting.Lock();
    if (L().h && L().pid != zrProcessId()) {
        __atomic_store_n(&RegLogNow.movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
        L().syncer = nullptr;
        zrCompanionClose(L().log);
        L().log = nullptr;
        L().h = nullptr;
        L().map = nullptr;
        L().pending = 0;
        if (Join()) {
            L().epoch = 0;  // read anew at the next catching up
            __atomic_store_n(&RegLogNow.movesAt, &L().h->moves, __ATOMIC_RELEASE);
            __atomic_store_n(&RegLogNow.seen, 0u, __ATOMIC_RELAXED);
        }
    }
    L().adopting.Unlock();
    return L().h != nullptr;
}

void (*RegLogReadHook)();

int LogLoad() {
    const RegFileNames& names = RegFile();
    Stamp probe;
    if (!s_settings.useLog || !names.saveable || !FileStamp(names.target, &probe) || !Join()) return -1;
    unsigned int rc;
    for (int attempt = 0;; ++attempt) {
        rc = REGERR_NOT_FOUND;  // what a load that reads no file for sure answers
        if (attempt == kLoadTries) {
            RegMessage(REGVIEW_MSG_LOG, 0, "%s was replaced while it was read, %d times; it is not loaded",
                       RegFileNow->path, kLoadTries);
            break;
        }
        if (!LockWriter()) break;
        uint64_t epoch = L().h->epoch;
        Stamp base = L().h->base;
        UnlockWriter();
        Stamp before, after;
        bool known = FileStamp(names.target, &before);
        rc = LoadRegistry(RegFileNow->path);
        if (rc != REGERR_SUCCESS) break;
        if (RegLogReadHook) RegLogReadHook();
        known = known && FileStamp(names.target, &after) && SameStamp(before, after);
        if (!LockWriter()) {
            RegSetChanged(false);
            UnloadRegistry();
            rc = REGERR_NOT_FOUND;
            break;
        }
        if (L().h->epoch != epoch || !known) {  // a checkpoint replaced the file meanwhile
            UnlockWriter();
            RegSetChanged(false);
            UnloadRegistry();
            continue;
        }
        L().epoch = epoch;
        L().at = kHeaderBytes;
        L().next = L().h->epochSerial + 1;
        if (SameStamp(before, base)) {
            CatchUp();
        } else if (L().h->committed == kHeaderBytes) {
            Rebase(before);  // something else wrote the file: every process reads it anew
        } else {
            // The log's changes go on top of what something else wrote, and a checkpoint
            // makes that the file every process follows.
            CatchUp();
            Checkpoint();
        }
        UnlockWriter();
        RegSetChanged(false);
        __atomic_store_n(&RegLogNow.movesAt, &L().h->moves, __ATOMIC_RELEASE);
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

void LogEnd() {
    if (!L().h) return;
    if (L().pid == zrProcessId()) return Leave();
    // A child's inherited log: dropped, its parent's locks untouched.
    __atomic_store_n(&RegLogNow.movesAt, static_cast<const uint32_t*>(nullptr), __ATOMIC_RELEASE);
    zrCompanionClose(L().log);
    zrHostFree(L().buf);
    L() = RegLogState{};
}
