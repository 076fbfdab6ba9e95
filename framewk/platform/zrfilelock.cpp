// The platform layer's sharing of a file between processes: file stamps, and the lock file
// that every writer of a registry file takes in turn.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "zrplat.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

// ---- sharing a file between processes --------------------------------------------------

// A save in progress holds the lock for a write and a sync: seconds at worst.
int zrLockWaitMs = 5000;

bool zrSameStamp(const ZrFileStamp& a, const ZrFileStamp& b) {
    return a.device == b.device && a.file == b.file && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

#ifdef _WIN32
static bool StampOfHandle(HANDLE h, ZrFileStamp* out) {
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi) || (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    out->device = fi.dwVolumeSerialNumber;
    out->file = (static_cast<unsigned long long>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
    out->size = (static_cast<unsigned long long>(fi.nFileSizeHigh) << 32) | fi.nFileSizeLow;
    out->mtimeNs =
        static_cast<long long>(((static_cast<unsigned long long>(fi.ftLastWriteTime.dwHighDateTime) << 32) |
                                fi.ftLastWriteTime.dwLowDateTime) *
                               100);
    return true;
}

bool zrStampOf(const char* path, ZrFileStamp* out) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = StampOfHandle(h, out);
    CloseHandle(h);
    return ok;
}

bool zrStampOfFile(FILE* fp, ZrFileStamp* out) {
    return StampOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp))), out);
}

// A lock file that its maker removes (zrUnlockRemoving) is marked for deletion under its
// lock; its name stays until the last handle closes, so a process that was waiting holds
// the lock on it alone, and a new opener is refused (access denied) until then and tries
// again: no two processes ever hold locks on two files of one name.
ZrLockResult zrLockFile(const char* path, bool exclusive, ZrLock* lock, const char*, bool* made) {
    *lock = -1;
    if (made) *made = false;
    HANDLE h = INVALID_HANDLE_VALUE;
    bool mine = false;
    for (int waited = 0;; waited += 10) {
        h = CreateFileA(path, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, exclusive ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            mine = exclusive && GetLastError() != ERROR_ALREADY_EXISTS;
            break;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED || waited >= zrLockWaitMs) return ZR_LOCK_NONE;
        Sleep(10);
    }
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    for (int waited = 0;; waited += 10) {
        OVERLAPPED ov = {};
        if (LockFileEx(h, flags, 0, 1, 0, &ov)) {
            *lock = reinterpret_cast<ZrLock>(h);
            if (made) *made = mine;
            return ZR_LOCK_TAKEN;
        }
        if (waited >= zrLockWaitMs) break;
        Sleep(10);
    }
    CloseHandle(h);
    return ZR_LOCK_TIMEOUT;
}

// Closing the handle releases its lock.
void zrUnlockFile(ZrLock lock) {
    if (lock != -1) CloseHandle(reinterpret_cast<HANDLE>(lock));
}

bool zrCanKeepOwner(const char*) { return true; }

uint64_t zrFileTimeOf(const ZrFileStamp& s) { return static_cast<uint64_t>(s.mtimeNs) / 100; }

uint64_t zrFileTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void zrUnlockRemoving(ZrLock lock, const char*) {
    if (lock == -1) return;
    FILE_DISPOSITION_INFO gone = {};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(reinterpret_cast<HANDLE>(lock), FileDispositionInfo, &gone, sizeof gone);
    zrUnlockFile(lock);
}
#else
static const uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

uint64_t zrFileTimeOf(const ZrFileStamp& s) {
    return static_cast<uint64_t>(s.mtimeNs / 100 + static_cast<long long>(kUnixEpochAsFileTime));
}

// The coarse clock, as a key's last-write time is taken at every change: a fifth of the
// precise one's 26 ns, and a tick of a few milliseconds is finer than such times need.
uint64_t zrFileTimeNow() {
    struct timespec now;
#ifdef CLOCK_REALTIME_COARSE
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
#else
    clock_gettime(CLOCK_REALTIME, &now);
#endif
    return static_cast<uint64_t>(now.tv_sec) * 10000000ull + static_cast<uint64_t>(now.tv_nsec) / 100 +
           kUnixEpochAsFileTime;
}

static bool StampOfStat(const struct stat& st, ZrFileStamp* out) {
    if (!S_ISREG(st.st_mode)) return false;
    out->device = static_cast<unsigned long long>(st.st_dev);
    out->file = static_cast<unsigned long long>(st.st_ino);
    out->size = static_cast<unsigned long long>(st.st_size);
    out->mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

bool zrStampOf(const char* path, ZrFileStamp* out) {
    struct stat st;
    return stat(path, &st) == 0 && StampOfStat(st, out);
}

bool zrStampOfFile(FILE* fp, ZrFileStamp* out) {
    struct stat st;
    return fstat(fileno(fp), &st) == 0 && StampOfStat(st, out);
}

// flock, not fcntl: its locks belong to the open file, so that they hold between threads
// too and closing another descriptor of the file does not drop them; and it needs no
// write access, so a lock file made by another user serves as well.
ZrLockResult zrLockFile(const char* path, bool exclusive, ZrLock* lock, const char* like, bool* made) {
    *lock = -1;
    if (made) *made = false;
    for (int waited = 0;;) {
        int fd = -1;
        bool mine = false;
        if (exclusive) {
            // A lock file made under a strict umask (077) would shut out every other user that
            // may load the registry: it gets the registry file's read bits instead.
            fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
            struct stat st;
            mine = fd >= 0;
            if (mine) fchmod(fd, like && stat(like, &st) == 0 ? (st.st_mode & 0444) | 0600 : 0644);
        }
        if (fd < 0) fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (exclusive ? O_CREAT : 0), 0666);
        if (fd < 0) return ZR_LOCK_NONE;
        for (;; waited += 10) {
            if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                // A file system without such locks: a lock file made for nothing goes again.
                close(fd);
                if (mine) unlink(path);
                return ZR_LOCK_NONE;
            }
            if (waited >= zrLockWaitMs) {
                close(fd);
                return ZR_LOCK_TIMEOUT;
            }
            usleep(10000);
        }
        // Its maker may have removed the file while this process waited (zrUnlockRemoving):
        // a lock on a file of no name excludes nobody, so the name is opened again.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            *lock = fd;
            if (made) *made = mine;
            return ZR_LOCK_TAKEN;
        }
        close(fd);
        if (waited >= zrLockWaitMs) return ZR_LOCK_TIMEOUT;
    }
}

bool zrCanKeepOwner(const char* target) {
    struct stat st;
    if (stat(target, &st) != 0 || geteuid() == 0) return true;
    if (st.st_uid != geteuid()) return false;
    if (st.st_gid == getegid()) return true;
    int n = getgroups(0, nullptr);
    gid_t* groups = n > 0 ? static_cast<gid_t*>(zrHostRealloc(nullptr, sizeof(gid_t) * n)) : nullptr;
    if (groups) n = getgroups(n, groups);
    bool member = false;
    for (int i = 0; groups && i < n; ++i) member = member || groups[i] == st.st_gid;
    zrHostFree(groups);
    return member;
}

void zrUnlockRemoving(ZrLock lock, const char* path) {
    if (lock == -1) return;
    unlink(path);
    close(static_cast<int>(lock));
}

void zrUnlockFile(ZrLock lock) {
    if (lock != -1) close(static_cast<int>(lock));
}
#endif
