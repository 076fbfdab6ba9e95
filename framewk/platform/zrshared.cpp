// The platform layer's companion files (POSIX): a file that the processes of one registry
// file share, opened safely, locked by byte ranges, mapped into every process, and grown.
#include "zrshared.h"
#include "zrplat.h"

#include <errno.h>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// Three mappings: the header page writable; the whole reserve read-only, for reading
// records; and a writable window of 2 MB over where records are being written. Writeback
// write-protects every writable page it cleans, which costs an interrupt of every core the
// process runs on per page: a window that moves on leaves the written pages unmapped
// (one flush for the whole window), and the read-only mapping costs nothing there.
struct ZrCompanion {
    int fd;
    void* header;
    size_t headerBytes;
    void* map;
    size_t mapBytes;
    void* window;
    uint64_t windowAt;
    bool ofd;        // locks of the open file (Linux), else of the process
    int cut;         // set by the bus-error guard: the file was cut below a page this process touched
    uint64_t known;  // a size of the file whose last bytes held the end mark; 0 when unknown
    // The writer's thread and the syncer's grow the file one at a time (and, across
    // processes, under ZR_RANGE_GROW); `ofd` and `known` are read and written atomically.
    pthread_mutex_t growing;
};

static uint64_t Known(const ZrCompanion* c) { return __atomic_load_n(&c->known, __ATOMIC_ACQUIRE); }
static void SetKnown(ZrCompanion* c, uint64_t size) { __atomic_store_n(&c->known, size, __ATOMIC_RELEASE); }

// The last ZR_COMPANION_MARK bytes of a file that zrCompanionGrow made: a cut anywhere below
// them takes them (their page faults, or the system zeroes what lies past the new end), so
// one load tells that the file still holds all before them, where fstat took a system call.
static const uint64_t kEndMark = 0x6B72616D646E657AULL;

static const uint64_t kWindow = uint64_t(2) << 20;

// The locks lie on bytes far beyond anything the file holds (below 2 GB for 32-bit offsets).
static const off_t kRangeBase = 0x7FFFF000;

// ---- the bus-error guard ---------------------------------------------------------------
// Another program that truncates a mapped companion would end every process that touches a
// page past the new end with SIGBUS. The guard puts a page of zeros of this process's own
// where the fault fell and marks the companion cut; the access goes on, and the caller, who
// asks zrCompanionCut after it, trusts nothing the mapping gave. A fault outside every
// companion goes to the handler that was there before, or ends the process as it would
// have. The handler is installed while a companion is mapped, and the one before it put
// back when the last one closes (so that none is left behind when the library goes).
namespace {
const int kGuarded = 8;
struct BusGuard {
    ZrCompanion* guarded[kGuarded];
    struct sigaction before;
    uintptr_t page;
    int mapped;
    pthread_mutex_t lock;
};
BusGuard s_bus = {{}, {}, 0, 0, PTHREAD_MUTEX_INITIALIZER};

bool Inside(uintptr_t a, const void* from, size_t n) {
    uintptr_t f = reinterpret_cast<uintptr_t>(from);
    return from && a >= f && a - f < n;
}

void OnBusError(int sig, siginfo_t* si, void* context) {
    uintptr_t a = reinterpret_cast<uintptr_t>(si->si_addr);
    for (ZrCompanion*& slot : s_bus.guarded) {
        ZrCompanion* c = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
        if (!c || !(Inside(a, c->header, c->headerBytes) || Inside(a, c->map, c->mapBytes) ||
                    Inside(a, c->window, kWindow)))
            continue;
        void* page = reinterpret_cast<void*>(a & ~(s_bus.page - 1));
        if (mmap(page, s_bus.page, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
            MAP_FAILED)
            break;
        __atomic_store_n(&c->cut, 1, __ATOMIC_RELEASE);
        return;
    }
    if (s_bus.before.sa_flags & SA_SIGINFO) {
        s_bus.before.sa_sigaction(sig, si, context);
    } else if (s_bus.before.sa_handler != SIG_DFL && s_bus.before.sa_handler != SIG_IGN) {
        s_bus.before.sa_handler(sig);
    } else {
        signal(SIGBUS, SIG_DFL);  // the access faults again, and the process ends as it would have
    }
}

// False when every slot is taken: the companion is then not mapped at all.
bool Guard(ZrCompanion* c) {
    pthread_mutex_lock(&s_bus.lock);
    bool placed = false;
    for (ZrCompanion*& slot : s_bus.guarded) {
        if (slot) continue;
        __atomic_store_n(&slot, c, __ATOMIC_RELEASE);
        placed = true;
        break;
    }
    if (placed && s_bus.mapped++ == 0) {
        s_bus.page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        struct sigaction on = {};
        on.sa_sigaction = OnBusError;
        on.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&on.sa_mask);
        sigaction(SIGBUS, &on, &s_bus.before);
    }
    pthread_mutex_unlock(&s_bus.lock);
    return placed;
}

void Unguard(ZrCompanion* c) {
    pthread_mutex_lock(&s_bus.lock);
    for (ZrCompanion*& slot : s_bus.guarded) {
        if (slot != c) continue;
        __atomic_store_n(&slot, static_cast<ZrCompanion*>(nullptr), __ATOMIC_RELEASE);
        if (--s_bus.mapped == 0) {
            // Put back only over our own: a handler the host installed since stays.
            struct sigaction now;
            if (sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) &&
                now.sa_sigaction == OnBusError)
                sigaction(SIGBUS, &s_bus.before, nullptr);
        }
        break;
    }
    pthread_mutex_unlock(&s_bus.lock);
}
}  // namespace

bool zrCompanionCut(ZrCompanion* c) { return c && __atomic_load_n(&c->cut, __ATOMIC_ACQUIRE) != 0; }
const int* zrCompanionCutFlag(ZrCompanion* c) { return &c->cut; }

// Bytes written past the end into the last page that a cut left raise no fault: they are
// simply never in the file.
bool zrCompanionHolds(ZrCompanion* c, uint64_t end) {
    uint64_t known = Known(c);
    if (known >= end + ZR_COMPANION_MARK && c->map && known <= c->mapBytes) {
        uint64_t mark;
        memcpy(&mark, static_cast<const unsigned char*>(c->map) + known - ZR_COMPANION_MARK, sizeof mark);
        if (mark == kEndMark && !zrCompanionCut(c)) return true;
    }
    // Grown by another process since, or a grow cut short before its mark: the file asked.
    struct stat st;
    if (fstat(c->fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= end) {
        SetKnown(c, static_cast<uint64_t>(st.st_size));
        return !zrCompanionCut(c);
    }
    __atomic_store_n(&c->cut, 1, __ATOMIC_RELEASE);
    return false;
}

// The file systems that the system says are reached over a network.
static bool Remote(const char* path) {
    struct statfs fs;
    if (statfs(path, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x5346414F:  // AFS
        case 0x73757245:  // Coda
        case 0x01021997:  // 9P
        case 0x00C36400:  // Ceph
            return true;
    }
    return false;
}

ZrCompanionOpen zrCompanionOpen(const char* path, const char* like, ZrCompanion** out) {
    *out = nullptr;
    struct stat reg, st;
    if (stat(like, &reg) != 0) return ZR_COMPANION_NONE;
    if (Remote(like)) return ZR_COMPANION_REMOTE;
    mode_t mode = reg.st_mode & 0666;
    bool made = true;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno == ENOENT ? ZR_COMPANION_NONE : ZR_COMPANION_UNSAFE;
    }
    if (fd < 0) return ZR_COMPANION_NONE;
    if (made) {
        // The registry file's owner where the process may set it; the group bits go
        // when the group cannot be the registry file's, rather than widen who reads.
        if (fchown(fd, reg.st_uid, reg.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), reg.st_gid) != 0)
            mode &= static_cast<mode_t>(~060);
        if (fchmod(fd, mode) != 0) {
            close(fd);
            unlink(path);
            return ZR_COMPANION_NONE;
        }
    }
    // Only a plain file of the registry file's owner, with no other name, is trusted. One
    // that this process made and may not give that owner (another user's registry file that
    // it may write) goes again: every later process would refuse it.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != reg.st_uid || st.st_nlink != 1) {
        close(fd);
        if (!made) return ZR_COMPANION_UNSAFE;
        unlink(path);
        return ZR_COMPANION_NONE;
    }
    if (made) zrSyncFolderOf(path);
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ZrCompanion* c = static_cast<ZrCompanion*>(calloc(1, sizeof(ZrCompanion)));
    if (!c) {
        close(fd);
        return ZR_COMPANION_NONE;
    }
    c->fd = fd;
    pthread_mutex_init(&c->growing, nullptr);
#ifdef F_OFD_SETLK
    c->ofd = true;
#endif
    *out = c;
    return ZR_COMPANION_OPENED;
}

void zrCompanionClose(ZrCompanion* c) {
    if (!c) return;
    if (c->header) Unguard(c);
    if (c->header) munmap(c->header, c->headerBytes);
    if (c->map) munmap(c->map, c->mapBytes);
    if (c->window) munmap(c->window, kWindow);
    close(c->fd);
    pthread_mutex_destroy(&c->growing);
    free(c);
}

bool zrCompanionIsAt(ZrCompanion* c, const char* path) {
    struct stat a, b;
    return fstat(c->fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

long long zrCompanionSize(ZrCompanion* c) {
    struct stat st;
    return fstat(c->fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

static bool RangeLock(ZrCompanion* c, ZrRange r, short type, bool wait);

// Blocks are allocated, not merely promised: a full disk fails here, never later as a
// fault on a write into the mapping. Zeros written, not merely reserved: the first store to
// each page then finds it in the system's cache with its blocks in place.
static bool GrowFrom(ZrCompanion* c, long long now, long long size) {
    static const unsigned char zeros[65536] = {};
    for (long long at = now; at < size;) {
        size_t n = static_cast<size_t>(size - at < 65536 ? size - at : 65536);
        ssize_t put = pwrite(c->fd, zeros, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            return false;
        }
        at += put;
    }
    if (size < static_cast<long long>(ZR_COMPANION_MARK)) return true;
    uint64_t mark = kEndMark;
    if (!zrCompanionWrite(c, static_cast<uint64_t>(size) - ZR_COMPANION_MARK, &mark, sizeof mark))
        return false;
    SetKnown(c, static_cast<uint64_t>(size));
    return true;
}

// The grower's locks: the process's own, then the other processes' (whose growth from a
// size they saw before this one's would write zeros over records made since).
static bool LockGrowth(ZrCompanion* c) {
    pthread_mutex_lock(&c->growing);
    if (RangeLock(c, ZR_RANGE_GROW, F_WRLCK, true)) return true;
    pthread_mutex_unlock(&c->growing);
    return false;
}

static void UnlockGrowth(ZrCompanion* c) {
    RangeLock(c, ZR_RANGE_GROW, F_UNLCK, false);
    pthread_mutex_unlock(&c->growing);
}

bool zrCompanionGrow(ZrCompanion* c, long long size) {
    if (zrIoFaulted(ZR_IO_GROW)) {
        errno = ENOSPC;
        return false;
    }
    if (static_cast<long long>(Known(c)) >= size) return true;  // grown ahead, or by another process
    if (!LockGrowth(c)) return false;
    long long now = zrCompanionSize(c);
    bool grown =
        now >= 0 && (now >= size ? (SetKnown(c, static_cast<uint64_t>(now)), true) : GrowFrom(c, now, size));
    UnlockGrowth(c);
    return grown;
}

// Only from the size that this process last saw whole, its end mark in place: a file cut
// since is left as it is, for the writer to find cut (grown over the cut, it would hold a
// mark at its new end and hide it); one that another process grew needs nothing.
void zrCompanionGrowAhead(ZrCompanion* c, long long size) {
    if (!LockGrowth(c)) return;
    long long now = zrCompanionSize(c);
    uint64_t mark = 0;
    if (now >= static_cast<long long>(ZR_COMPANION_MARK) && now < size &&
        static_cast<uint64_t>(now) == Known(c) && !zrCompanionCut(c) &&
        pread(c->fd, &mark, sizeof mark, static_cast<off_t>(now) - ZR_COMPANION_MARK) == sizeof mark &&
        mark == kEndMark)
        GrowFrom(c, now, size);
    UnlockGrowth(c);
}

bool zrCompanionTruncate(ZrCompanion* c, long long size) {
    return ftruncate(c->fd, static_cast<off_t>(size)) == 0;
}

void* zrCompanionMap(ZrCompanion* c, size_t header, size_t reserve) {
    if (c->header) return c->header;
    void* h = mmap(nullptr, header, PROT_READ | PROT_WRITE, MAP_SHARED, c->fd, 0);
    if (h == MAP_FAILED) return nullptr;
    void* p = mmap(nullptr, reserve, PROT_READ, MAP_SHARED, c->fd, 0);
    if (p == MAP_FAILED) {
        munmap(h, header);
        return nullptr;
    }
    c->header = h;
    c->headerBytes = header;
    c->map = p;
    c->mapBytes = reserve;
    if (!Guard(c)) {
        munmap(h, header);
        munmap(p, reserve);
        c->header = c->map = nullptr;
        return nullptr;
    }
    return h;
}

const void* zrCompanionView(ZrCompanion* c, uint64_t at, size_t n) {
    if (!c->map || at + n > c->mapBytes) return nullptr;
    return static_cast<const unsigned char*>(c->map) + at;
}

void* zrCompanionWritable(ZrCompanion* c, uint64_t at, size_t n) {
    if (!c->map || at + n > c->mapBytes || n > kWindow / 2) return nullptr;
    if (!c->window || at < c->windowAt || at + n > c->windowAt + kWindow) {
        if (c->window) munmap(c->window, kWindow);
        c->windowAt = at & ~(kWindow / 2 - 1);
        c->window = mmap(nullptr, kWindow, PROT_READ | PROT_WRITE, MAP_SHARED, c->fd,
                         static_cast<off_t>(c->windowAt));
        if (c->window == MAP_FAILED) {
            c->window = nullptr;
            return nullptr;
        }
    }
    return static_cast<unsigned char*>(c->window) + (at - c->windowAt);
}

bool zrCompanionRead(ZrCompanion* c, uint64_t at, void* buf, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        ssize_t got = pread(c->fd, p, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        at += static_cast<uint64_t>(got);
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool zrCompanionWrite(ZrCompanion* c, uint64_t at, const void* buf, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        ssize_t put = pwrite(c->fd, p, n, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        at += static_cast<uint64_t>(put);
        n -= static_cast<size_t>(put);
    }
    return true;
}

bool zrCompanionSync(ZrCompanion* c) {
    if (zrIoFaulted(ZR_IO_SYNC)) {
        errno = EIO;
        return false;
    }
    return fdatasync(c->fd) == 0;
}

bool zrCompanionRemove(ZrCompanion*, const char* path) { return unlink(path) == 0; }

static bool RangeLock(ZrCompanion* c, ZrRange r, short type, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kRangeBase + static_cast<off_t>(r);
    fl.l_len = 1;
    for (;;) {
#ifdef F_OFD_SETLK
        if (__atomic_load_n(&c->ofd, __ATOMIC_RELAXED)) {
            if (fcntl(c->fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
            if (errno == EINVAL) {  // a kernel (or emulator) without locks of the open file
                __atomic_store_n(&c->ofd, false, __ATOMIC_RELAXED);
                continue;
            }
            if (errno == EINTR) continue;
            return false;
        }
#endif
        if (fcntl(c->fd, wait ? F_SETLKW : F_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool zrCompanionLock(ZrCompanion* c, ZrRange r, bool exclusive, bool wait) {
    return RangeLock(c, r, exclusive ? F_WRLCK : F_RDLCK, wait);
}

void zrCompanionUnlock(ZrCompanion* c, ZrRange r) { RangeLock(c, r, F_UNLCK, false); }

#endif
