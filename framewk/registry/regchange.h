// The changes of a registry: the journal, the change log that the processes of a file
// share (record, commit, follow) and change notification. Changes reach the tree through
// its key operations.
#ifndef REGCHANGE_H
#define REGCHANGE_H

#include "regfile.h"
#include "zrshared.h"

// The changes as the journal and the change log record them and apply them again.
enum RegChangeOp {
    RC_CREATE,
    RC_SET,
    RC_DELETE_KEY,
    RC_DELETE_VALUE,
    RC_CLEAR_KEY,
    RC_RENAME_KEY,
    RC_RENAME_VALUE,
    RC_SET_BYTES,  // a set of an extended value: its type number and bytes (CfRegSetTyped)
    RC_LAST_OP = RC_SET_BYTES
};
// One change applied to the tree: RC_CREATE makes every missing level of `path` (and the
// subkey `name` when it is not empty); RC_SET
// makes the key as well; RC_DELETE_KEY's path is the parent's and `name` the subkey's.
// A rename's new name is its data: RC_RENAME_KEY's path is the parent's, RC_RENAME_VALUE's
// the key's, `name` the old name.
void RegApplyChange(RegChangeOp op, const char* path, const char* name, unsigned int type, const void* data,
                    size_t n);
// The bytes of a value's data that a set keeps: 4 of an integer, a text up to its NUL.
size_t RegSetDataLength(unsigned int type, const unsigned char* data, size_t n);
// The journal of this process's successful changes since the load, in order; paths are
// absolute (a handle's), texts 8-bit. Each entry holds about 64 bytes besides its texts
// until the unload, 16 MB in all at most; a value set again at once replaces its entry.
// A change that cannot be recorded makes a merge keep the tree aside instead.
// A change of the op's kind: a set's data as RegSetDataLength measures it; RC_CREATE's
// path is the key made (each level its own entry).
void JournalRecord(RegChangeOp op, const char* path, const char* name, unsigned int type = 0,
                   const void* data = nullptr, size_t n = 0);
void JournalClear();
// This process's changes, in order, on the tree as another process left it (see ShareMerge).
void JournalReplay();
// A change could not be recorded: no replay can be trusted.
bool JournalLost();
// Without a log, at the unload: this process's tree is kept beside the registry file, which
// stays as it is, and unloaded; one line says why and where.
void ShareKeepAside(const char* why);
// Without a log, at the unload: the file (stamped `found`) is not the one loaded. It is read
// anew and this process's changes replayed onto it, with this process's tree safe in a
// file of its own until the merged tree has replaced the file.
// True when the merged tree replaced the file.
bool ShareMerge(const ZrFileStamp& found);

// ---- the change log (zrlog.cpp) ---------------------------------------------------------
// Every change of every process that has the registry file loaded goes into one log beside
// it (RegFile().log), in one order, on disk when its call returns (the system's cache
// reaches the disk within a second); every process applies the others' changes at its next
// call. Without a log (none can be made or trusted) the file is shared as before: the
// journal above and the merge at the unload.
// LogLoad and LogUnload run under the tree lock alone. LogLoad answers as LoadRegistry
// does, or -1 when the load goes on without a log.
int LogLoad();
void LogUnload();
// Leaves the log, if the registry still has it, as a process that changed nothing does.
void LogEnd();
bool LogActive();
// The change log was cut away: from here the process saves as one without a log, its tree
// following the file `base`; `changed`: the tree holds changes that no journal recorded,
// so that a file replaced meanwhile gets them beside it, never under a replay.
void ShareGoesOnFrom(const ZrFileStamp& base, bool changed);
// Each exported call first applies what other processes changed since its last call: a
// load of one word when nothing changed.
// The current registry's log as every call looks at it first, without a lock: process-wide,
// as a call begins before it knows of any registry.
struct RegLogCursor {
    const uint32_t* movesAt;  // the log's move count, null without a log
    uint32_t seen;            // the count when this process last applied the log
};
extern RegLogCursor RegLogNow;
void RegLogFollowSlow();
inline void RegLogFollow() {
    const uint32_t* moves = __atomic_load_n(&RegLogNow.movesAt, __ATOMIC_ACQUIRE);
    if (moves &&
        __atomic_load_n(moves, __ATOMIC_ACQUIRE) != __atomic_load_n(&RegLogNow.seen, __ATOMIC_RELAXED))
        RegLogFollowSlow();
}
// A change through the log, under the tree lock alone: Begin takes the log's writer lock
// and applies the others' changes; Write puts the change's record behind the last one
// (REGERR_WRITE_FAULT: a full disk or an I/O error, nothing recorded); the caller then
// changes the tree and, when that succeeded, Commits: the change is durable and seen by
// others. End releases the lock; a record not committed is overwritten by the next.
unsigned int RegLogBegin();
unsigned int RegLogWrite(RegChangeOp op, const char* path, const char* name, unsigned int type,
                         const void* data, size_t n);
void RegLogCommit();
void RegLogEnd();
// RegLogFollow for the current registry, its tree lock held alone (an app key's calls).
void RegLogFollowHeld();
// Every change recorded so far is on disk; false when the sync failed.
bool RegLogSync();
// Ends the log's thread (the library's unload while loaded); the calls then sync themselves.
void LogThreadsEnd();
// Change notification's reading of the log beside the tree: each record from where it
// last read (or, fromNow, none: it begins at the end) to the end goes to `seen`; false
// when a checkpoint began the records anew since (what changed meanwhile is unknown).
// MovesNow is the header's move count (0 without a log).
bool RegLogScan(bool fromNow, void (*seen)(RegChangeOp op, const char* path, const char* name));
uint32_t RegLogMovesNow();
// For tests: the records' bound that makes a checkpoint (0: the default, 64 MB).
void RegLogSetBound(uint64_t bytes);
// For tests: called after each read of the registry file by a load that has a log.
extern void (*RegLogReadHook)();

// ---- one registry's changes -------------------------------------------------------------
struct LogHeader;
struct JournalEntry;
struct Watch;
// The file that the load read (when known for sure) and the journal of this process's
// changes since (zrshare.cpp).
struct RegShareState {
    ZrFileStamp loaded = {};
    bool loadedKnown = false;
    JournalEntry* first = nullptr;
    JournalEntry* tail = nullptr;
    size_t journalBytes = 0;
    bool journalLost = false;  // a change could not be recorded: no replay can be trusted
};
// A key's path as a reader or the writer of the log last met it: named by the record at
// `at` of the epoch `epoch` (0: none).
struct LogKey {
    uint64_t at = 0, epoch = 0;
    char* path = nullptr;
    size_t len = 0, room = 0;
};
// This process's part in the change log (zrlog.cpp).
struct RegLogState {
    // Where the calls look for the others' changes: the process-wide cursor for the default
    // registry, `own` for an app key's, which its calls follow under the tree lock alone.
    RegLogCursor* cursor = &RegLogNow;
    RegLogCursor own = {};
    ZrCompanion* log = nullptr;
    const int* cutAt = nullptr;  // the companion's word that says it was cut
    LogHeader* h = nullptr;
    unsigned char* map = nullptr;
    ZrSyncer* syncer = nullptr;
    bool mutex = false;            // the writer lock is the header's mutex
    uint64_t epoch = 0;            // the epoch this process's tree follows
    uint64_t at = 0;               // the end of the records it has applied
    uint64_t next = 0;             // the number of the record there
    uint64_t pending = 0;          // the end of a record written and not yet committed
    long long size = 0;            // the file's size as this process last grew or saw it
    uint64_t synced = 0;           // when the calls last synced the log (without a syncer thread)
    unsigned long pid = 0;         // the process that joined the log
    unsigned char* buf = nullptr;  // records read or written beside the mapping
    size_t bufSize = 0;
    uint64_t notifyEpoch = 0, notifyAt = 0, notifyNext = 0;  // where notification has read to
    // The key that this process's last committed record named, which the next may name
    // back to (pendingKey: the record written names it), and the keys that applying and
    // notification last read.
    LogKey written, applied, notified;
    uint64_t pendingKey = 0;
    // The lock between processes orders this process's threads too where it is a mutex; a
    // byte-range lock is the process's (or its open file's), so a mutex of the process
    // comes before it.
    ZrWait processWriter;
    ZrWait adopting;          // a child after a fork joins once
    int cut = 0;              // another program cut the log while mapped: the process goes on without it
    bool handedOver = false;  // the save without a log has been told so
    bool committed = false;   // this process committed a change since its load
    ZrFileStamp base = {};    // the file that the epoch this process caught up with began on
    // A group of changes (an import): written under the writer lock held throughout, then
    // committed at once, or dropped.
    bool group = false;
    uint64_t groupEnd = 0, groupCount = 0;
};
// The watches of the registry's keys and the notifier thread that reads the log for them
// (zrnotify.cpp).
struct RegNotifyState {
    ZrWait sync;  // guards everything below
    Watch* watches = nullptr;
    int count = 0;
    ZrThread* notifier = nullptr;
    bool stop = false, kicked = false;
};
struct RegChanges {
    RegShareState share;
    RegLogState log;
    RegNotifyState notify;
};
extern RegChanges* RegChangesNow;

// ---- change notification (zrnotify.cpp) --------------------------------------------------
// A change as the journal or the log records it reaches the watches it concerns.
void RegNotifyChange(RegChangeOp op, const char* path, const char* name);
// A change went into the log: the notifier looks at it soon.
void RegNotifyKick();
// The handle's watches fire and end (it is being closed); End ends every watch and the
// notifier (the unload's): an app key's notifier is told to stop, and joined once the call
// has let go of the tree lock (RegAppsReap), as it may wait for that. Stop only tells the
// current registry's notifier to stop.
void RegNotifyClosed(HKEY h);
void RegNotifyEnd();
void RegNotifyStop();

#endif
