// The platform layer's companion files on Windows: a file that the processes of one registry
// file share, opened safely, locked by byte ranges, its header page mapped.
#ifdef _WIN32
#include <errno.h>

#include "zrplat.h"
#include "zrshared.h"

#include <windows.h>

// On Windows the mapping covers the header page only (a mapping cannot outgrow its file,
// and a file grown to the whole reserve would take its room on disk): records are written
// and read through the file, and the writer lock is the byte WRITER.
struct ZrCompanion {
    HANDLE file;
    HANDLE mapping;
    void* view;
    size_t viewBytes;
};

static const ULONGLONG kRangeBase = 0x7FFFF000;

static bool FileInfo(HANDLE h, BY_HANDLE_FILE_INFORMATION* fi) {
    return GetFileInformationByHandle(h, fi) != 0;
}

// A UNC path or a drive that the system calls remote.
static bool Remote(const char* path) {
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) return true;
    char root[4] = {path[0], ':', '\\', 0};
    return path[0] && path[1] == ':' && GetDriveTypeA(root) == DRIVE_REMOTE;
}

ZrCompanionOpen zrCompanionOpen(const char* path, const char* like, ZrCompanion** out) {
    *out = nullptr;
    if (GetFileAttributesA(like) == INVALID_FILE_ATTRIBUTES) return ZR_COMPANION_NONE;
    if (Remote(like)) return ZR_COMPANION_REMOTE;
    HANDLE h = INVALID_HANDLE_VALUE;
    // A log that its last process is removing cannot be opened for a moment.
    for (int attempt = 0; attempt < 50; ++attempt) {
        h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
        Sleep(2);
    }
    if (h == INVALID_HANDLE_VALUE) return ZR_COMPANION_NONE;
    BY_HANDLE_FILE_INFORMATION fi;
    if (!FileInfo(h, &fi) ||
        (fi.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        fi.nNumberOfLinks != 1) {
        CloseHandle(h);
        return ZR_COMPANION_UNSAFE;
    }
    ZrCompanion* c = static_cast<ZrCompanion*>(calloc(1, sizeof(ZrCompanion)));
    if (!c) {
        CloseHandle(h);
        return ZR_COMPANION_NONE;
    }
    c->file = h;
    *out = c;
    return ZR_COMPANION_OPENED;
}

void zrCompanionClose(ZrCompanion* c) {
    if (!c) return;
    if (c->view) UnmapViewOfFile(c->view);
    if (c->mapping) CloseHandle(c->mapping);
    CloseHandle(c->file);
    free(c);
}

// The system refuses to cut a file that a process maps.
bool zrCompanionCut(ZrCompanion*) { return false; }
const int* zrCompanionCutFlag(ZrCompanion*) {
    static const int never = 0;
    return &never;
}
bool zrCompanionHolds(ZrCompanion*, uint64_t) { return true; }

bool zrCompanionIsAt(ZrCompanion* c, const char* path) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = FileInfo(c->file, &a) && FileInfo(h, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(h);
    return same;
}

long long zrCompanionSize(ZrCompanion* c) {
    LARGE_INTEGER size;
    return GetFileSizeEx(c->file, &size) ? size.QuadPart : -1;
}

bool zrCompanionGrow(ZrCompanion* c, long long size) {
    if (zrIoFaulted(ZR_IO_GROW)) return false;
    if (zrCompanionSize(c) >= size) return true;
    LARGE_INTEGER to;
    to.QuadPart = size;
    return SetFilePointerEx(c->file, to, nullptr, FILE_BEGIN) && SetEndOfFile(c->file);
}

bool zrCompanionTruncate(ZrCompanion* c, long long size) {
    LARGE_INTEGER to;
    to.QuadPart = size;
    return SetFilePointerEx(c->file, to, nullptr, FILE_BEGIN) && SetEndOfFile(c->file);
}

void* zrCompanionMap(ZrCompanion* c, size_t header, size_t) {
    if (c->view) return c->view;
    c->mapping = CreateFileMappingA(c->file, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(header), nullptr);
    if (!c->mapping) return nullptr;
    c->view = MapViewOfFile(c->mapping, FILE_MAP_ALL_ACCESS, 0, 0, header);
    c->viewBytes = header;
    return c->view;
}

const void* zrCompanionView(ZrCompanion* c, uint64_t at, size_t n) {
    if (!c->view || at + n > c->viewBytes) return nullptr;
    return static_cast<const unsigned char*>(c->view) + at;
}

void* zrCompanionWritable(ZrCompanion*, uint64_t, size_t) { return nullptr; }

static OVERLAPPED At(uint64_t at) {
    OVERLAPPED o = {};
    o.Offset = static_cast<DWORD>(at);
    o.OffsetHigh = static_cast<DWORD>(at >> 32);
    return o;
}

bool zrCompanionRead(ZrCompanion* c, uint64_t at, void* buf, size_t n) {
    OVERLAPPED o = At(at);
    DWORD got = 0;
    return ReadFile(c->file, buf, static_cast<DWORD>(n), &got, &o) && got == n;
}

bool zrCompanionWrite(ZrCompanion* c, uint64_t at, const void* buf, size_t n) {
    if (zrIoFaulted(ZR_IO_WRITE)) return false;
    OVERLAPPED o = At(at);
    DWORD put = 0;
    return WriteFile(c->file, buf, static_cast<DWORD>(n), &put, &o) && put == n;
}

bool zrCompanionSync(ZrCompanion* c) {
    if (zrIoFaulted(ZR_IO_SYNC)) return false;
    if (c->view && !FlushViewOfFile(c->view, c->viewBytes)) return false;
    return FlushFileBuffers(c->file) != 0;
}

bool zrCompanionRemove(ZrCompanion*, const char* path) { return DeleteFileA(path) != 0; }

bool zrCompanionLock(ZrCompanion* c, ZrRange r, bool exclusive, bool wait) {
    OVERLAPPED o = At(kRangeBase + static_cast<ULONGLONG>(r));
    DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(c->file, flags, 0, 1, 0, &o) != 0;
}

void zrCompanionUnlock(ZrCompanion* c, ZrRange r) {
    OVERLAPPED o = At(kRangeBase + static_cast<ULONGLONG>(r));
    UnlockFileEx(c->file, 0, 1, 0, &o);
}

// No mutex in shared memory passes on when its holder dies: the byte WRITER serves.
bool zrSharedMutexInit(void*) { return false; }
ZrSharedLockResult zrSharedMutexLock(void*) { return ZR_SHARED_LOCK_FAILED; }
void zrSharedMutexUnlock(void*) {}
#endif
