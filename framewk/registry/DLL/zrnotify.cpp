// Change notification: watches of a key (or of its subtree) that fire once when a change of
// the kind they watch reaches it, made by any thread of this process or, through the change
// log, by another process.
#include <string.h>

#include <utility>

#include "registry.h"
#include "zrplat.h"
#include "zrregwide.h"

namespace {
// Why a watch fired: what a caller that waits is answered.
enum Ending { ENDED_CHANGE, ENDED_CLOSE, ENDED_DELETE };
}  // namespace

struct Watch {
    Watch* next;
    HKEY handle;
    bool subtree;
    uint32_t filter;
    bool async;           // signals `event`; otherwise a caller waits
    intptr_t event;       // the library's copy of the host's object, closed when the watch ends
    RegNotifyState* app;  // an app key's watches, which a caller that waits meets there; null: the default's
    bool fired;
    Ending ending;
    char path[1];
};

// Another process's change reaches a watch within this (the promise is 100 ms).
static const int kPollMs = 20;

// The current registry's watches: under the tree lock, or while its notifier holds the pin.
static RegNotifyState& N() { return __atomic_load_n(&RegChangesNow, __ATOMIC_ACQUIRE)->notify; }

// Whether `key` is `path` (exactly, with `self`) or lies below it, names compared as the
// tree compares them.
static bool Within(const char* key, const char* path, bool self) {
    size_t n = strlen(path);
    for (size_t i = 0; i < n; ++i)
        if (!key[i] ||
            zrFold(static_cast<unsigned char>(key[i])) != zrFold(static_cast<unsigned char>(path[i])))
            return false;
    return key[n] == '/' || (self && key[n] == 0);
}

static bool Same(const char* a, const char* b) { return zrSameName(a, b); }

// Whether `key` is the subkey `child` of `parent` or lies below it.
static bool AtOrBelowChild(const char* key, const char* parent, const char* child) {
    if (!Within(key, parent, false)) return false;
    const char* k = key + strlen(parent) + 1;
    size_t i = 0;
    for (; child[i]; ++i)
        if (!k[i] || zrFold(static_cast<unsigned char>(k[i])) != zrFold(static_cast<unsigned char>(child[i])))
            return false;
    return k[i] == 0 || k[i] == '/';
}

static void Fire(Watch* w, Ending ending) {
    w->fired = true;
    w->ending = ending;
    if (w->async) zrHostEventSignal(w->event);
}

// Takes out the fired watches of hosts' objects (a waiting caller takes out its own).
static void Sweep() {
    for (Watch** at = &N().watches; *at;) {
        Watch* w = *at;
        if (w->fired && w->async) {
            *at = w->next;
            zrHostEventClose(w->event);
            zrHostFree(w);
            __atomic_store_n(&N().count, N().count - 1, __ATOMIC_RELAXED);
        } else {
            at = &w->next;
        }
    }
    N().sync.Wake();
}

// Under N().sync. A key made or deleted changes its parent's names; a value set or deleted
// changes its key's values; a key deleted or cleared ends what was below it, which fires
// every watch there, whatever it watches. A creation's record names the deepest level, not
// which levels were new: it fires a watch of any key above it (Win32 would not fire one
// without its subtree for a level made two below).
static void Match(RegChangeOp op, const char* path, const char* name) {
    for (Watch* w = N().watches; w; w = w->next) {
        if (w->fired) continue;
        bool names = false, values = false, gone = false;
        switch (op) {
            case RC_SET:
            case RC_SET_BYTES:
            case RC_DELETE_VALUE:
            case RC_RENAME_VALUE:
                values = Same(w->path, path) || (w->subtree && Within(path, w->path, false));
                break;
            case RC_CREATE:
                names = Within(path, w->path, false) || (*name && Same(w->path, path));
                break;
            case RC_DELETE_KEY:
            case RC_RENAME_KEY:  // the key leaves its old name's path, as a deletion
                names = Same(w->path, path) || (w->subtree && Within(path, w->path, false));
                gone = AtOrBelowChild(w->path, path, name);
                break;
            case RC_CLEAR_KEY:
                names = values = Within(w->path, path, true) || (w->subtree && Within(path, w->path, false));
                gone = Within(w->path, path, false);
                break;
        }
        if (gone)
            Fire(w, ENDED_DELETE);
        else if ((names && (w->filter & ZRREG_NOTIFY_CHANGE_NAME)) ||
                 (values && (w->filter & ZRREG_NOTIFY_CHANGE_LAST_SET)))
            Fire(w, ENDED_CHANGE);
    }
}

void RegNotifyChange(RegChangeOp op, const char* path, const char* name) {
    if (!__atomic_load_n(&N().count, __ATOMIC_RELAXED)) return;
    N().sync.Lock();
    Match(op, path, name);
    Sweep();
    N().sync.Unlock();
}

// The log's records, each matched under the lock (taken per record: the log's writer lock
// comes before it, as a change's commit kicks the notifier while holding that).
static void Seen(RegChangeOp op, const char* path, const char* name) {
    N().sync.Lock();
    Match(op, path, name);
    N().sync.Unlock();
}

// Reads what the log holds beyond where it last read; a checkpoint that began the records
// anew meanwhile hides what changed, so every watch fires.
static void Scan(bool fromNow) {
    bool whole = RegLogScan(fromNow, Seen);
    N().sync.Lock();
    if (!whole)
        for (Watch* w = N().watches; w; w = w->next)
            if (!w->fired) Fire(w, ENDED_CHANGE);
    Sweep();
    N().sync.Unlock();
}

// Reads the log when kicked (a change of this process) or when its move count moved
// (another's); the first round reads whatever came since the first watch's start.
static void RunNotifier(void* state) {
    RegNotifyState& n = *static_cast<RegNotifyState*>(state);
    uint32_t seen = 0;
    n.sync.Lock();
    while (!n.stop) {
        if (!n.kicked) n.sync.Wait(kPollMs);
        bool kicked = n.kicked;
        n.kicked = false;
        n.sync.Unlock();
        // The current registry's log is this one's only while no app key's is current.
        RegPinDefault();
        uint32_t now = RegLogMovesNow();
        if (now != seen || kicked) {
            seen = now;
            Scan(false);
        }
        RegUnpinDefault();
        n.sync.Lock();
    }
    n.sync.Unlock();
}

// An app key's notifier reads its log as a call on it does: with the tree lock alone, its
// registry current. Until it is joined its registry is kept, let go or not.
static void RunAppNotifier(void* registry) {
    Registry* app = static_cast<Registry*>(registry);
    RegNotifyState& n = app->changes.notify;
    n.sync.Lock();
    while (!n.stop) {
        if (!n.kicked) n.sync.Wait(kPollMs);
        n.kicked = false;
        n.sync.Unlock();
        ZrHeld held = zrTreeLockExclusive();
        if (RegAppWatchEnter(app)) {
            Scan(false);
            RegAppWatchDone();
        }
        zrTreeUnlock(held);
        n.sync.Lock();
    }
    n.sync.Unlock();
}

void RegNotifyKick() {
    if (!__atomic_load_n(&N().count, __ATOMIC_RELAXED)) return;
    N().sync.Lock();
    N().kicked = true;
    N().sync.Wake();
    N().sync.Unlock();
}

void RegNotifyClosed(HKEY h) {
    if (!__atomic_load_n(&N().count, __ATOMIC_RELAXED)) return;
    N().sync.Lock();
    for (Watch* w = N().watches; w; w = w->next)
        if (w->handle == h && !w->fired) Fire(w, ENDED_CLOSE);
    Sweep();
    N().sync.Unlock();
}

void RegNotifyStop() {
    N().sync.Lock();
    N().stop = true;
    N().sync.Wake();
    N().sync.Unlock();
}

// An app key's registry is freed after its unload: the callers waiting for its watches
// take them out first. Its notifier stays told to stop.
void RegNotifyEnd() {
    bool app = RegApps.now != nullptr;
    RegNotifyStop();
    ZrThread* t = nullptr;
    N().sync.Lock();
    if (!app) std::swap(t, N().notifier);
    N().sync.Unlock();
    zrThreadJoin(t);
    N().sync.Lock();
    for (Watch* w = N().watches; w; w = w->next)
        if (!w->fired) Fire(w, ENDED_CLOSE);
    Sweep();
    while (app && N().count > 0) N().sync.Wait();
    N().stop = app;
    N().sync.Unlock();
}

// Registers a watch of the handle's key; a caller that waits (no event) gets it in *made.
static int32_t AddWatch(HKEY h, bool subtree, uint32_t filter, void* event, Watch** made) {
    size_t n = strlen(h->ptr);
    Watch* w = static_cast<Watch*>(zrHostRealloc(nullptr, sizeof(Watch) + n));
    if (!w) return ZRREG_NO_MEMORY;
    *w = Watch{nullptr,      h,  subtree, filter, event != nullptr, -1, RegApps.now ? &N() : nullptr, false,
               ENDED_CHANGE, {0}};
    memcpy(w->path, h->ptr, n + 1);
    // The host may close its object while the watch lasts, and open another under its number.
    if (w->async) {
        ZrHostCopy copied = zrHostEventCopy(event, &w->event);
        if (copied != ZR_COPY_MADE) {
            zrHostFree(w);
            return copied == ZR_COPY_BAD ? ZRREG_BAD_ARG : ZRREG_NO_MEMORY;
        }
    }
    bool logged = LogActive();
    N().sync.Lock();
    bool running = N().notifier != nullptr;
    N().sync.Unlock();
    // What the log held before the watch is not its business: reading goes on from here
    // (firing older watches for what was not read yet).
    if (logged) Scan(!running);
    N().sync.Lock();
    if (logged && !N().notifier)
        N().notifier =
            RegApps.now ? zrThreadStart(RunAppNotifier, RegApps.now) : zrThreadStart(RunNotifier, &N());
    if (logged && !N().notifier) {
        N().sync.Unlock();
        if (w->async) zrHostEventClose(w->event);
        zrHostFree(w);
        return ZRREG_NO_MEMORY;
    }
    w->next = N().watches;
    N().watches = w;
    __atomic_store_n(&N().count, N().count + 1, __ATOMIC_RELAXED);
    N().sync.Unlock();
    *made = w;
    return ZRREG_SUCCESS;
}

// Without the tree lock, which an app key's call may hold with its registry current.
static int32_t Wait(Watch* w) {
    RegNotifyState& n = w->app ? *w->app : *__atomic_load_n(&RegApps.defaultWatches, __ATOMIC_ACQUIRE);
    n.sync.Lock();
    while (!w->fired) n.sync.Wait();
    Ending ending = w->ending;
    for (Watch** at = &n.watches; *at; at = &(*at)->next) {
        if (*at == w) {
            *at = w->next;
            break;
        }
    }
    __atomic_store_n(&n.count, n.count - 1, __ATOMIC_RELAXED);
    if (w->app) n.sync.Wake();  // an unload may wait for it
    n.sync.Unlock();
    zrHostFree(w);
    return ending == ENDED_CHANGE  ? ZRREG_SUCCESS
           : ending == ENDED_CLOSE ? ZRREG_INVALID_HANDLE
                                   : ZRREG_KEY_NOT_FOUND;
}

static_assert(REGERR_NO_MEMORY == ZRREG_NO_MEMORY && REGERR_INVALID_HANDLE == ZRREG_INVALID_HANDLE &&
                  REGERR_KEY_NOT_FOUND == ZRREG_KEY_NOT_FOUND,
              "the key's look-up answers in the exported numbers");

// Every watch is thread-agnostic: none ends with the thread that made it.
int32_t ZrRegNotifyChangeKeyValue(void* hKey, int32_t bWatchSubtree, uint32_t dwNotifyFilter, void* hEvent,
                                  int32_t fAsynchronous) {
    const uint32_t kinds = ZRREG_NOTIFY_CHANGE_NAME | ZRREG_NOTIFY_CHANGE_ATTRIBUTES |
                           ZRREG_NOTIFY_CHANGE_LAST_SET | ZRREG_NOTIFY_CHANGE_SECURITY;
    if (!hKey || !(dwNotifyFilter & kinds) || (dwNotifyFilter & ~(kinds | ZRREG_NOTIFY_THREAD_AGNOSTIC)) ||
        (fAsynchronous && !hEvent))
        return ZRREG_BAD_ARG;
    RegLogFollow();
    Watch* w = nullptr;
    int32_t rc;
    {
        zrwide::SharedTree lock(hKey);  // an app key's: alone, its registry current
        HKEY h = RegHandleOf(hKey);
        rc = h ? ZRREG_SUCCESS : ZRREG_INVALID_HANDLE;
        if (rc == ZRREG_SUCCESS && !NWREGIsRegLoaded()) rc = ZRREG_NOT_LOADED;
        // A key deleted meanwhile would never change again: the watch is refused at once.
        RegKeyInfo info;
        if (rc == ZRREG_SUCCESS) rc = static_cast<int32_t>(CfRegQueryInfoKey(h, &info, false, false));
        if (rc == ZRREG_SUCCESS)
            rc = AddWatch(h, bWatchSubtree != 0, dwNotifyFilter, fAsynchronous ? hEvent : nullptr, &w);
    }
    if (rc != ZRREG_SUCCESS || fAsynchronous) return rc;
    return Wait(w);
}
