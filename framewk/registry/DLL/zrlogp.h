// The change log's own declarations, shared by its parts: catching up and committing
// (zrlog.cpp), the records (zrlogrec.cpp), checkpoints and recovery (zrlogcheck.cpp), joining
// and leaving (zrlogjoin.cpp).
#ifndef ZRLOGP_H
#define ZRLOGP_H

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

const uint32_t kHeaderBytes = 4096;
const char kMagic[8] = {'z', 'r', 'r', 'e', 'g', 'l', 'o', 'g'};
const uint32_t kVersion = 3;
// The format before records named their key once per run: a log that a crash of that release
// left is taken by the first process that finds it alone (its records go into the registry
// file, and the log, then empty, goes on in this format).
const uint32_t kVersionBefore = 2;
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

struct LogStamp {
    uint64_t device, file, size;
    int64_t mtimeNs;
};

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
    LogStamp base;         // the registry file the epoch's records apply to
    uint32_t nextSet;      // a checkpoint is under way: it wrote `next`, covering nextSerial
    uint32_t pad;
    LogStamp next;
    uint64_t nextSerial;
    char owner[kOwnerMax];  // the registry file's name, without its folder: the log lies beside it
    alignas(64) unsigned char mutex[ZR_SHARED_MUTEX_BYTES];
};
static_assert(sizeof(LogHeader) <= kHeaderBytes, "the header fits its page");

// Followed by the key's path with its NUL when the record names it, the value's or subkey's
// name with its NUL, then the data; padded to 8 bytes. A run of changes to one key names it
// once: the records behind name it by how far back the record lies that did (a set of a
// 4-byte value then takes 40 bytes).
struct LogRecordHead {
    uint32_t size;   // the whole record
    uint32_t check;  // of everything behind this field, and of the record's number
    uint16_t op;
    uint16_t number;  // the low bits of the record's number: a stale record of an earlier epoch shows
    uint32_t type;
    uint32_t key;  // kKeyNamed and the path's length, or the bytes back to the record that named it
    uint32_t nameLen, dataLen;  // without the NUL
};
static_assert(sizeof(LogRecordHead) == 28, "a record's head takes 28 bytes");
const uint32_t kKeyNamed = 0x80000000u;
inline bool Named(const LogRecordHead* r) { return (r->key & kKeyNamed) != 0; }
inline const char* NameIn(const LogRecordHead* r) {
    return reinterpret_cast<const char*>(r + 1) + (Named(r) ? (r->key & ~kKeyNamed) + 1 : 0);
}
inline const char* DataIn(const LogRecordHead* r) { return NameIn(r) + r->nameLen + 1; }

// The current registry's part in the log.
inline RegLogState& L() { return RegChangesNow->log; }

// What a host or a test chose for every load: whether a log is used, and when a checkpoint
// comes (process-wide).
struct LogSettings {
    bool useLog = true;
    uint64_t bound = kLogBound;
};
extern LogSettings LogSettingsNow;

inline LogStamp StampOf(const ZrFileStamp& f) { return LogStamp{f.device, f.file, f.size, f.mtimeNs}; }

inline bool SameStamp(const LogStamp& a, const LogStamp& b) {
    return a.device == b.device && a.file == b.file && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

inline bool FileStamp(const char* path, LogStamp* out) {
    ZrFileStamp f;
    if (!zrStampOf(path, &f)) return false;
    *out = StampOf(f);
    return true;
}

// The header's move count moved / this process has applied all up to it.
void LogMoved();
void LogSeen();
// `n` bytes of the log at `at`: in the mapping where it covers them, else read into a
// buffer of this process (kept until the unload); null when they cannot be read.
const unsigned char* LogRead(uint64_t at, size_t n);
// A record as its readers take it, of either format.
struct LogEntry {
    uint64_t size;
    RegChangeOp op;
    uint32_t type;
    const char* path;
    const char* name;
    const void* data;
    size_t dataLen;
};
// The size of the record at `at` when it is whole, the next in order, and inside `end`; else 0.
uint64_t LogRecordSize(uint64_t at, uint64_t end, uint64_t serial);
// The record at `at` (as LogRecordSize) with its key's path, which `key` keeps for the
// records behind it; false when the record or the one that named its key is damaged.
bool LogEntryAt(uint64_t at, uint64_t end, uint64_t serial, LogKey& key, LogEntry* e);
void LogKeyFree(LogKey& key);
// The record written is committed: the key it named may be named back to.
inline void LogKeyCommitted() {
    if (!L().pendingKey) return;
    L().written.epoch = L().h->epoch;
    L().pendingKey = 0;
}
// The writer lock, which settles what a dead holder left half done; false when it cannot
// be had.
void LogSettle();
bool LogLockWriter();
// Another program cut the log (and this process goes on without it): asked before and in
// every change, without a call while neither word says so.
bool LogCutOffNow();
inline bool LogCutOff() {
    return (__atomic_load_n(&L().cut, __ATOMIC_ACQUIRE) | __atomic_load_n(L().cutAt, __ATOMIC_ACQUIRE)) !=
               0 &&
           LogCutOffNow();
}
void LogCaught();
void LogUnlockWriter();
// Applies the records from this process's place to the end mark.
void LogCatchUp();
// The epoch begins anew on the file `now`, without writing it.
void LogRebase(const LogStamp& now);
// The tree written into the registry file under its lock file, the records begun anew;
// false when the file stays as it was (the records stand).
bool LogCheckpoint();
// A log that no live process holds is made whole again.
void LogRecover();
// The log this process joined (a child after a fork joins anew); false without one.
bool LogAdoptAnew();
inline bool LogAdopt() { return (L().h && L().pid == zrProcessId()) || LogAdoptAnew(); }

#endif
