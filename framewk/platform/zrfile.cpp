// The platform layer's files for Windows and POSIX: opening a registry file, temporary
// files, committing and replacing them; and the test seams that fail or stop a save.
#include "zrplat.h"

#include <errno.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---- test seams ----------------------------------------------------------------------
// Idle in production: no save step fails, no hook is called.

// The process's I/O seams, in one place: the fault injected (atomic: the syncer thread of a
// change log asks it too), the reads since, whether files are synced, and the syncs made.
static struct {
    std::atomic<ZrIoFault> fault{ZR_IO_NONE};
    long readsSinceFault = 0;
    bool syncFiles = true;
    long syncs = 0;
} s_io;

void (*zrSaveStepHook)(ZrSaveStep step);

static inline void Step(ZrSaveStep s) {
    if (zrSaveStepHook) zrSaveStepHook(s);
}

void zrIoFailAt(ZrIoFault f) {
    s_io.fault.store(f, std::memory_order_relaxed);
    s_io.readsSinceFault = 0;
}

// An injected fault fails as a full disk would.
bool zrIoFaulted(ZrIoFault f) {
    if (s_io.fault.load(std::memory_order_relaxed) != f) return false;
    errno = f == ZR_IO_WRITE ? ENOSPC : EIO;
    return true;
}

void zrSyncFiles(bool on) { s_io.syncFiles = on; }

long zrSyncCount() { return s_io.syncs; }
static bool Synced(bool ok) {
    if (ok) ++s_io.syncs;
    return ok;
}

long zrReadFile(FILE* fp, void* buf, size_t n) {
    if (zrIoFaulted(ZR_IO_READ) && s_io.readsSinceFault++ > 0) return -1;
    size_t got = fread(buf, 1, n, fp);
    return got == 0 && ferror(fp) ? -1 : static_cast<long>(got);
}

bool zrSeekFile(FILE* fp, long long at) {
#ifdef _WIN32
    return _fseeki64(fp, at, SEEK_SET) == 0;
#else
    if (at < 0 || static_cast<long long>(static_cast<off_t>(at)) != at) return false;
    return fseeko(fp, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

bool zrWriteFaulted() {
    Step(ZR_STEP_WRITE);
    return zrIoFaulted(ZR_IO_WRITE);
}

// ---- files ---------------------------------------------------------------------------

#ifdef _WIN32
FILE* zrOpenFileForRead(const char* path) {
    FILE* fp = fopen(path, "r");
    // A device name (CON, NUL, COM1) opens as a character device: not a registry file.
    if (fp && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)))) != FILE_TYPE_DISK) {
        fclose(fp);
        return nullptr;
    }
    return fp;
}

// Only a path that is itself a reparse point (a symbolic link) is replaced by its final
// path: any other keeps the exact name that the temporary file's name is derived from.
bool zrSaveTarget(const char* path, char* out, size_t outSize) {
    DWORD attr = GetFileAttributesA(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
        HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        DWORD n = GetFinalPathNameByHandleA(h, out, static_cast<DWORD>(outSize), FILE_NAME_NORMALIZED);
        CloseHandle(h);
        return n > 0 && n < outSize;
    }
    if (strlen(path) >= outSize) return false;
    strcpy(out, path);
    return true;
}

// The new file inherits its access control from the folder, as any new file there does;
// a link planted at the name is removed, not followed, and _O_EXCL refuses anything
// that appears there again before the file is made.
static int createExclusive(const char* path, const char*, bool text) {
    DeleteFileA(path);
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY), _S_IREAD | _S_IWRITE);
    if (fd >= 0) Step(ZR_STEP_CREATED);
    return fd;
}
#else
// Opened without blocking, so that a FIFO without a writer cannot hang the load; only
// then is it known to be a regular file, and the flag is cleared for the reads.
FILE* zrOpenFileForRead(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* fp = fdopen(fd, "r");
    if (!fp) close(fd);
    return fp;
}

bool zrSaveTarget(const char* path, char* out, size_t outSize) {
    char* real = realpath(path, nullptr);
    // A registry file that has gone since the load is written where it was.
    const char* use = real ? real : path;
    bool fits = strlen(use) < outSize;
    if (fits) strcpy(out, use);
    free(real);
    return fits;
}

// Whatever is at the name is removed (a stale file of an earlier crash, or a link that
// someone planted there), and the file is made anew: O_EXCL|O_NOFOLLOW refuse anything
// that appears there again. It takes the registry file's owner, group and permission
// bits before a byte is written, so that the content is never more open than before.
static int createExclusive(const char* path, const char* like, bool) {
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    struct stat st;
    bool known = like && stat(like, &st) == 0;
    mode_t mode = known ? (st.st_mode & 07777) : 0666;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, known ? mode & 0600 : mode);
    if (fd >= 0) Step(ZR_STEP_CREATED);
    if (fd < 0 || !known) return fd;
    // Owner and group only where the process may set them; a group alone is often allowed.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // The file keeps this process's group: tighten the group bits rather than widen who reads.
        mode &= static_cast<mode_t>(~070);
    }
    if (fchmod(fd, mode) != 0) {
        close(fd);
        unlink(path);
        return -1;
    }
    return fd;
}
#endif

// Text mode unless `text` is false; null when the file cannot be made.
static FILE* OpenTempForWrite(const char* path, const char* like, bool text) {
    Step(ZR_STEP_OPEN);
    if (zrIoFaulted(ZR_IO_OPEN)) return nullptr;
    int fd = createExclusive(path, like, text);
    if (fd < 0) return nullptr;
#ifdef _WIN32
    FILE* fp = _fdopen(fd, text ? "w" : "wb");  // text mode: "\r\n" line ends
#else
    FILE* fp = fdopen(fd, "w");
#endif
    if (!fp) {
#ifdef _WIN32
        _close(fd);
#else
        close(fd);
#endif
        _unlink(path);
        return nullptr;
    }
    Step(ZR_STEP_OPENED);
    return fp;
}

static bool syncStream(FILE* fp) {
    if (zrIoFaulted(ZR_IO_SYNC)) return false;
    if (!s_io.syncFiles) return true;
#ifdef _WIN32
    return Synced(_commit(_fileno(fp)) == 0);
#else
    return Synced(fsync(fileno(fp)) == 0);
#endif
}

// Checks the stream's error state, flushes, syncs and closes; false on any failure (the
// stream is closed either way).
static bool CommitFile(FILE* fp) {
    bool ok = fflush(fp) == 0 && !ferror(fp) && !zrIoFaulted(ZR_IO_WRITE);
    if (ok) Step(ZR_STEP_FLUSHED);
    ok = ok && syncStream(fp);
    if (ok) Step(ZR_STEP_SYNCED);
    bool closed = fclose(fp) == 0 && !zrIoFaulted(ZR_IO_CLOSE);
    if (ok && closed) Step(ZR_STEP_CLOSED);
    return ok && closed;
}

#ifdef _WIN32
bool zrSyncFolderOf(const char*) { return true; }  // a folder has no handle to sync there

bool zrReplaceFile(const char* source, const char* target) {
    Step(ZR_STEP_RENAME);
    if (zrIoFaulted(ZR_IO_RENAME)) return false;
    if (!Synced(MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0))
        return false;
    Step(ZR_STEP_RENAMED);
    Step(ZR_STEP_DIRSYNCED);  // the write-through move is durable as it returns
    return true;
}
#else
// A new or renamed entry is durable only once the directory that holds it is synced.
bool zrSyncFolderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    char dir[1024];
    if (!slash) {
        strcpy(dir, ".");
    } else {
        size_t n = static_cast<size_t>(slash - path);
        if (n == 0) n = 1;  // the root directory
        if (n >= sizeof dir) return false;
        memcpy(dir, path, n);
        dir[n] = 0;
    }
    int fd = open(dir, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = Synced(fsync(fd) == 0);
    close(fd);
    return ok;
}

bool zrReplaceFile(const char* source, const char* target) {
    Step(ZR_STEP_RENAME);
    if (zrIoFaulted(ZR_IO_RENAME)) return false;
    if (rename(source, target) != 0) return false;
    Step(ZR_STEP_RENAMED);
    zrSyncFolderOf(target);
    Step(ZR_STEP_DIRSYNCED);
    return true;
}
#endif

// Whether two names name one file: the same text (letter case aside on Windows), or one
// file reached by both, as on a file system that ignores case.
static bool SameFile(const char* a, const char* b) {
#ifdef _WIN32
    if (_stricmp(a, b) == 0) return true;
#else
    if (strcmp(a, b) == 0) return true;
#endif
    ZrFileStamp x, y;
    return zrStampOf(a, &x) && zrStampOf(b, &y) && x.device == y.device && x.file == y.file;
}

ZrWriteResult zrWriteWhole(const char* temp, const char* target, bool text, bool replace,
                           bool (*write)(FILE* fp, void* context), void* context, int* err) {
    int dummy;
    if (!err) err = &dummy;
    FILE* fp = OpenTempForWrite(temp, target, text);
    if (!fp) {
        *err = errno;
        return ZR_WRITE_NOT_MADE;
    }
    errno = 0;
    bool ok = write(fp, context);
    *err = errno;
    bool committed = CommitFile(fp);
    if (!ok || !committed) {
        if (ok || *err == 0) *err = errno;
        _unlink(temp);
        return ZR_WRITE_FAILED;
    }
    if (replace && !zrReplaceFile(temp, target)) {
        *err = errno;
        return ZR_WRITE_NOT_REPLACED;
    }
    return ZR_WRITTEN;
}

// Windows upper-cases the whole path and cuts it at its first "."; on POSIX, where
// directories are case-sensitive, the same rule applies to the last component only, so
// the temporary file lies beside the registry file.
bool zrTempNameFor(const char* regPath, char* out, size_t outSize) {
    return zrCompanionNameFor(regPath, ".TMP", out, outSize);
}

bool zrCompanionNameFor(const char* regPath, const char* ext, char* out, size_t outSize) {
    size_t len = strlen(regPath);
    if (len >= outSize) return false;
    memcpy(out, regPath, len + 1);
#ifdef _WIN32
    char* base = out;
#else
    char* slash = strrchr(out, '/');
    char* base = slash ? slash + 1 : out;
#endif
    _strupr(base);
    // A name without a "." takes the extension behind its whole name (reg: REG.TMP), the
    // name a file reg.txt beside it gets too: the lock that such files share orders their
    // saves, as it does for app.txt and app.ini.
    char* dot = strstr(base, ".");
    if (!dot) dot = base + strlen(base);
    if (static_cast<size_t>(dot - out) + strlen(ext) + 1 > outSize) return false;  // room for ext and NUL
    strcpy(dot, ext);
    // A registry file named like its own companion (R.TMP, APP.LCK) would be removed or
    // locked in its own place: its companion takes the extension once more (R.TMP.TMP),
    // a name that the rule never gives the file itself.
    if (SameFile(out, regPath)) {
        if (strlen(out) + strlen(ext) + 1 > outSize) return false;
        strcat(out, ext);
    }
    return true;
}
