// The platform layer's implementation: allocation with fault injection, 16-bit text,
// unlocked byte reads, and the safe replacement of a file, for Windows and POSIX.
#include "zrplat.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---- allocation and its fault injection -------------------------------------------

static long s_allocFailAt;  // 0: never fail
static long s_allocCount;

void zrAllocFailAt(long n) {
    s_allocFailAt = n;
    s_allocCount = 0;
}

long zrAllocCount() { return s_allocCount; }

bool zrAllocShouldFail() {
    ++s_allocCount;
    return s_allocFailAt > 0 && s_allocCount >= s_allocFailAt;
}

// ---- the block pool ------------------------------------------------------------------
// A load makes millions of small blocks (names, texts, nodes, list blocks), and the C
// allocator spends more time on them than the scanner and parser together. Blocks of up
// to kPoolMax bytes therefore come from size classes carved out of large chunks and are
// kept on free lists by class; larger ones come from the C allocator. Each block carries
// an 8-byte header naming its class (0: the C allocator's), so zrFree tells them apart.
// When the last pooled block is freed, every chunk goes back to the C allocator. The
// sanitizer builds use the C allocator alone, so that they keep checking every block.
#if defined(__SANITIZE_ADDRESS__)
#define ZR_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_POOL 0
#endif
#endif
#ifndef ZR_POOL
#define ZR_POOL 1
#endif

namespace {

struct BlockHeader {
    uint32_t cls;   // size class (payload of 8 * cls bytes); 0: from the C allocator
    uint32_t size;  // the bytes asked for
};
static_assert(sizeof(BlockHeader) == 8, "the header keeps payloads 8-byte aligned");

const size_t kGranule = 8;
const size_t kPoolMax = 256;
const size_t kClasses = kPoolMax / kGranule;
const size_t kFirstChunk = 64 * 1024;
const size_t kLastChunk = 2 * 1024 * 1024;  // a huge page where the system has them

struct Chunk {
    Chunk* next;
    size_t size;
};

struct FreeBlock {
    FreeBlock* next;
};

struct Pool {
    FreeBlock* freeList[kClasses + 1];
    char* cur;  // bump region of the newest chunk
    char* end;
    Chunk* chunks;
    size_t nextChunk;
    long live;    // pooled blocks not yet freed
    size_t held;  // bytes of the chunks in use
};
Pool s_pool;

#if defined(__linux__)
// Emptied huge chunks, kept for the next load: a registry that is loaded again finds its
// memory without the cost of the system clearing it anew, and until then the system may
// take the pages back whenever it needs them.
const int kMaxSpare = 1024;
Chunk* s_spare[kMaxSpare];
int s_spareCount;

// Mapped on its own and aligned to its size, so that it can be one huge page.
Chunk* MapHugeChunk() {
    if (s_spareCount > 0) return s_spare[--s_spareCount];
    size_t span = 2 * kLastChunk;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    uintptr_t p = reinterpret_cast<uintptr_t>(m);
    uintptr_t a = (p + kLastChunk - 1) & ~static_cast<uintptr_t>(kLastChunk - 1);
    if (a > p) munmap(m, a - p);
    if (p + span > a + kLastChunk)
        munmap(reinterpret_cast<void*>(a + kLastChunk), p + span - (a + kLastChunk));
    madvise(reinterpret_cast<void*>(a), kLastChunk, MADV_HUGEPAGE);
    return reinterpret_cast<Chunk*>(a);
}
#endif

Chunk* ChunkAlloc(size_t size) {
#if defined(__linux__)
    if (size == kLastChunk) return MapHugeChunk();
#endif
    return static_cast<Chunk*>(malloc(size));
}

void ChunkFree(Chunk* c) {
#if defined(__linux__)
    if (c->size == kLastChunk) {
        if (s_spareCount < kMaxSpare) {
#ifdef MADV_FREE
            madvise(c, kLastChunk, MADV_FREE);
#endif
            s_spare[s_spareCount++] = c;
        } else {
            munmap(c, kLastChunk);
        }
        return;
    }
#endif
    free(c);
}

bool NewChunk(size_t need) {
    size_t size = s_pool.nextChunk ? s_pool.nextChunk : kFirstChunk;
    while (size < need + sizeof(Chunk)) size *= 2;
    Chunk* c = ChunkAlloc(size);
    if (!c) return false;
    c->next = s_pool.chunks;
    c->size = size;
    s_pool.chunks = c;
    s_pool.held += size;
    s_pool.cur = reinterpret_cast<char*>(c) + sizeof(Chunk);
    s_pool.end = reinterpret_cast<char*>(c) + size;
    s_pool.nextChunk = size < kLastChunk ? size * 2 : kLastChunk;
    return true;
}

void ReleaseChunks() {
    for (Chunk* c = s_pool.chunks; c;) {
        Chunk* next = c->next;
        ChunkFree(c);
        c = next;
    }
    s_pool = Pool();
}

void* BlockAlloc(size_t n) {
    if (n > UINT32_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader* h;
    size_t cls = (n + kGranule - 1) / kGranule;
    if (cls == 0) cls = 1;
    if (!ZR_POOL || n > kPoolMax) {
        h = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + n));
        if (!h) return nullptr;
        cls = 0;
    } else if (FreeBlock* f = s_pool.freeList[cls]) {
        s_pool.freeList[cls] = f->next;
        h = reinterpret_cast<BlockHeader*>(f) - 1;
        ++s_pool.live;
    } else {
        size_t bytes = sizeof(BlockHeader) + cls * kGranule;
        if (static_cast<size_t>(s_pool.end - s_pool.cur) < bytes && !NewChunk(bytes)) return nullptr;
        h = reinterpret_cast<BlockHeader*>(s_pool.cur);
        s_pool.cur += bytes;
        ++s_pool.live;
    }
    h->cls = static_cast<uint32_t>(cls);
    h->size = static_cast<uint32_t>(n);
    return h + 1;
}

}  // namespace

void* zrPoolAlloc(size_t n) { return BlockAlloc(n); }

size_t zrPoolHeldBytes() { return s_pool.held; }

void* zrMalloc(size_t n) { return zrAllocShouldFail() ? nullptr : BlockAlloc(n); }

void zrFree(void* p) {
    if (!p) return;
    BlockHeader* h = static_cast<BlockHeader*>(p) - 1;
    if (h->cls == 0) {
        free(h);
        return;
    }
    FreeBlock* f = static_cast<FreeBlock*>(p);
    f->next = s_pool.freeList[h->cls];
    s_pool.freeList[h->cls] = f;
    if (--s_pool.live == 0) ReleaseChunks();
}

void* zrRealloc(void* p, size_t n) {
    if (zrAllocShouldFail()) return nullptr;
    if (!p) return BlockAlloc(n);
    BlockHeader* h = static_cast<BlockHeader*>(p) - 1;
    if (h->cls == 0 && n > kPoolMax) {
        if (n > UINT32_MAX - sizeof(BlockHeader)) return nullptr;
        BlockHeader* g = static_cast<BlockHeader*>(realloc(h, sizeof(BlockHeader) + n));
        if (!g) return nullptr;
        g->size = static_cast<uint32_t>(n);
        return g + 1;
    }
    if (h->cls != 0 && n <= h->cls * kGranule && n > 0) {
        h->size = static_cast<uint32_t>(n);
        return p;
    }
    void* q = BlockAlloc(n);
    if (!q) return nullptr;
    memcpy(q, p, h->size < n ? h->size : n);
    zrFree(p);
    return q;
}

void* zrHostRealloc(void* p, size_t n) { return zrAllocShouldFail() ? nullptr : realloc(p, n ? n : 1); }

void zrHostFree(void* p) { free(p); }

char* zrStrdup(const char* s) {
    size_t n = strlen(s) + 1;
    char* d = static_cast<char*>(zrMalloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

// ---- C runtime names missing on POSIX -----------------------------------------------

#ifndef _WIN32
char* _strdup(const char* s) { return zrStrdup(s); }

// ASCII folding, as the default C locale does; bytes above 127 compare as themselves.
static int asciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int _stricmp(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    for (;; ++p, ++q) {
        int d = asciiLower(*p) - asciiLower(*q);
        if (d != 0 || *p == 0) return d;
    }
}

char* _strupr(char* s) {
    for (char* p = s; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
    return s;
}

int _unlink(const char* path) { return unlink(path); }
#endif

// ---- 16-bit text ---------------------------------------------------------------------

size_t zrWcslen(const zrwchar* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

zrwchar* zrWcsdup(const zrwchar* s) {
    size_t n = (zrWcslen(s) + 1) * sizeof(zrwchar);
    zrwchar* d = static_cast<zrwchar*>(zrHostRealloc(nullptr, n));
    if (d) memcpy(d, s, n);
    return d;
}

size_t zrWcstombs(char* dst, const zrwchar* src, size_t n) {
    size_t i = 0;
    for (; i < n; ++i) {
        if (src[i] >= 256) break;
        dst[i] = static_cast<char>(src[i]);
        if (src[i] == 0) break;
    }
    return i;
}

size_t zrMbstowcs(zrwchar* dst, const char* src, size_t n) {
    size_t i = 0;
    for (; i < n; ++i) {
        dst[i] = static_cast<unsigned char>(src[i]);
        if (src[i] == 0) break;
    }
    return i;
}

// ---- streams -------------------------------------------------------------------------

#ifdef _WIN32
int zrGetcUnlocked(FILE* fp) { return _getc_nolock(fp); }
void zrLockFile(FILE* fp) { _lock_file(fp); }
void zrUnlockFile(FILE* fp) { _unlock_file(fp); }
void zrDisableThreadLibraryCalls(void* module) { DisableThreadLibraryCalls(static_cast<HMODULE>(module)); }
#else
int zrGetcUnlocked(FILE* fp) { return getc_unlocked(fp); }
void zrLockFile(FILE* fp) { flockfile(fp); }
void zrUnlockFile(FILE* fp) { funlockfile(fp); }
void zrDisableThreadLibraryCalls(void*) {}
#endif

// ---- saving a file -------------------------------------------------------------------

static ZrIoFault s_ioFault;

void (*zrSaveStepHook)(ZrSaveStep step);

static inline void Step(ZrSaveStep s) {
    if (zrSaveStepHook) zrSaveStepHook(s);
}

void zrIoFailAt(ZrIoFault f) { s_ioFault = f; }

static bool ioFaulted(ZrIoFault f) { return s_ioFault == f; }

bool zrWriteFaulted() {
    Step(ZR_STEP_WRITE);
    return ioFaulted(ZR_IO_WRITE);
}

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
    return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY), _S_IREAD | _S_IWRITE);
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

FILE* zrOpenTempForWrite(const char* path, const char* like, bool text) {
    Step(ZR_STEP_OPEN);
    if (ioFaulted(ZR_IO_OPEN)) return nullptr;
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
    if (ioFaulted(ZR_IO_SYNC)) return false;
#ifdef _WIN32
    return _commit(_fileno(fp)) == 0;
#else
    return fsync(fileno(fp)) == 0;
#endif
}

bool zrCommitFile(FILE* fp) {
    bool ok = fflush(fp) == 0 && !ferror(fp) && !ioFaulted(ZR_IO_WRITE);
    if (ok) Step(ZR_STEP_FLUSHED);
    ok = ok && syncStream(fp);
    if (ok) Step(ZR_STEP_SYNCED);
    bool closed = fclose(fp) == 0 && !ioFaulted(ZR_IO_CLOSE);
    if (ok && closed) Step(ZR_STEP_CLOSED);
    return ok && closed;
}

#ifdef _WIN32
bool zrReplaceFile(const char* source, const char* target) {
    Step(ZR_STEP_RENAME);
    if (ioFaulted(ZR_IO_RENAME)) return false;
    if (!MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
    Step(ZR_STEP_RENAMED);
    Step(ZR_STEP_DIRSYNCED);  // the write-through move is durable as it returns
    return true;
}
#else
// The rename is durable only once the directory that holds the entry is synced.
static void syncParentDir(const char* path) {
    const char* slash = strrchr(path, '/');
    char dir[1024];
    if (!slash) {
        strcpy(dir, ".");
    } else {
        size_t n = static_cast<size_t>(slash - path);
        if (n == 0) n = 1;  // the root directory
        if (n >= sizeof dir) return;
        memcpy(dir, path, n);
        dir[n] = 0;
    }
    int fd = open(dir, O_RDONLY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool zrReplaceFile(const char* source, const char* target) {
    Step(ZR_STEP_RENAME);
    if (ioFaulted(ZR_IO_RENAME)) return false;
    if (rename(source, target) != 0) return false;
    Step(ZR_STEP_RENAMED);
    syncParentDir(target);
    Step(ZR_STEP_DIRSYNCED);
    return true;
}
#endif

// Windows upper-cases the whole path and cuts it at its first "."; on POSIX, where
// directories are case-sensitive, the same rule applies to the last component only, so
// the temporary file lies beside the registry file.
bool zrTempNameFor(const char* regPath, char* out, size_t outSize) {
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
    char* dot = strstr(base, ".");
    if (!dot) return false;
    if (static_cast<size_t>(dot - out) + 5 > outSize) return false;  // room for ".TMP" and NUL
    strcpy(dot, ".TMP");
    return true;
}
