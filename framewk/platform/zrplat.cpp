// The platform layer's implementation for Windows and POSIX: allocation (over the block
// pool of zrpool.cpp), the C runtime names POSIX lacks, 16-bit text, the process
// calls, and the allocation test seam; its files are in zrfile.cpp, its locks in
// zrthread.cpp.
#include "zrplat.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

// ---- test seams ----------------------------------------------------------------------
// Idle in production: no allocation fails (the save's seams are in zrfile.cpp).

// Readers under the shared tree lock allocate too, and a load builds on two threads: each
// thread counts its own, where the system has cheap thread-local words. One count written
// by both threads of a load at every allocation took each as long as the whole load.
static std::atomic<long> s_allocFailAt;  // 0: never fail
#if defined(__linux__)
static __thread long t_allocCount __attribute__((tls_model("initial-exec")));
static long Count(long add) { return t_allocCount += add; }
static void ResetCount() { t_allocCount = 0; }
#else
// Relaxed loads and stores cost no more than plain ones (a count may be lost when threads
// race, which only the single-threaded fault tests read).
static std::atomic<long> s_allocCount;
static long Count(long add) {
    long count = s_allocCount.load(std::memory_order_relaxed) + add;
    s_allocCount.store(count, std::memory_order_relaxed);
    return count;
}
static void ResetCount() { s_allocCount.store(0, std::memory_order_relaxed); }
#endif

void zrAllocFailAt(long n) {
    s_allocFailAt.store(n, std::memory_order_relaxed);
    ResetCount();
}

long zrAllocCount() { return Count(0); }

bool zrAllocShouldFail() {
    long count = Count(1);
    long failAt = s_allocFailAt.load(std::memory_order_relaxed);
    return failAt > 0 && count >= failAt;
}

// ---- allocation ----------------------------------------------------------------------

void* zrMalloc(size_t n) { return zrAllocShouldFail() ? nullptr : zrPoolAlloc(n); }

void zrFree(void* p) { zrPoolFree(p); }

void* zrRealloc(void* p, size_t n) { return zrAllocShouldFail() ? nullptr : zrPoolResize(p, n); }

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

int _stricmp(const char* a, const char* b) { return zrCompareNames(a, b); }

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

// ---- the DLL entry -------------------------------------------------------------------------

#ifdef _WIN32
void zrDisableThreadLibraryCalls(void* module) { DisableThreadLibraryCalls(static_cast<HMODULE>(module)); }
unsigned long zrProcessId() { return GetCurrentProcessId(); }
#else
void zrDisableThreadLibraryCalls(void*) {}
// Asked at every change (a child made by fork joins the log anew): a system call each
// time cost as much as the change's record. The child of a fork forgets it. One word holds
// the id and whether the fork's handler is in place, so that a child, which keeps the
// handler, does not add another.
static const unsigned long kForgetting = ~(~0ul >> 1);
static std::atomic<unsigned long> s_pid{0};
static void ForgetPid() { s_pid.store(kForgetting, std::memory_order_relaxed); }
unsigned long zrProcessId() {
    unsigned long pid = s_pid.load(std::memory_order_relaxed);
    if (pid & ~kForgetting) return pid & ~kForgetting;
    unsigned long none = 0;
    if (pid == 0 && s_pid.compare_exchange_strong(none, kForgetting))
        pthread_atfork(nullptr, nullptr, ForgetPid);
    pid = static_cast<unsigned long>(getpid());
    s_pid.store(pid | kForgetting, std::memory_order_relaxed);
    return pid;
}
#endif

// ---- the environment ----------------------------------------------------------------------

#ifdef _WIN32
long zrGetEnv(const zrwchar* name, size_t n, zrwchar* out, size_t room) {
    wchar_t key[256], value[32767];
    if (n == 0 || n >= 256) return -1;
    memcpy(key, name, 2 * n);
    key[n] = 0;
    DWORD got = GetEnvironmentVariableW(key, value, 32767);
    if (got == 0 || got >= 32767) return -1;
    memcpy(out, value, 2 * (got < room ? got : room));
    return static_cast<long>(got);
}
#else
long zrGetEnv(const zrwchar* name, size_t n, zrwchar* out, size_t room) {
    char key[256];
    if (n == 0 || n >= sizeof key) return -1;
    for (size_t i = 0; i < n; ++i) {
        if (name[i] == 0 || name[i] >= 0x80 || name[i] == '=') return -1;
        key[i] = static_cast<char>(name[i]);
    }
    key[n] = 0;
    const unsigned char* v = reinterpret_cast<const unsigned char*>(getenv(key));
    if (!v) return -1;
    size_t len = 0;
    auto put = [&](uint32_t u) {
        if (len < room) out[len] = static_cast<zrwchar>(u);
        ++len;
    };
    while (*v) {
        uint32_t c = *v++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (c >= 0x80) c &= 0x3F >> more;
        for (; more > 0 && (*v & 0xC0) == 0x80; --more) c = c << 6 | (*v++ & 0x3F);
        if (more > 0 || c > 0x10FFFF) c = 0xFFFD;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return static_cast<long>(len);
}
#endif
