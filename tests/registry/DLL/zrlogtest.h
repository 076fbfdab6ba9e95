// What the change log's process tests share: values of the keys K0 and K, a child process
// that reports how it ended, and an int that a parent and its children share.
#pragma once
#ifndef _WIN32
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"
#include "zrregdll.h"

inline void* K0() {
    void* h = nullptr;
    ZrRegOpenKeyEx(HkeyRegRoot(), WP(u"K0"), 0, &h);
    return h;
}

inline int32_t SetDw(const char* name, int32_t v) {
    void* k = K0();
    int32_t rc = ZrRegSetValueEx(k, WP(W(name)), ZRREG_TYPE_DWORD, reinterpret_cast<unsigned char*>(&v), 4);
    ZrRegCloseKey(k);
    return rc;
}

// The value, or -1 when K0 has none of that name.
inline int32_t GetDw(const char* name) {
    void* k = K0();
    uint32_t v = 0;
    bool found = ZrRegQueryValueDw(k, nullptr, WP(W(name)), 0xFFFFFFFFu, &v) == 0;
    ZrRegCloseKey(k);
    return found ? static_cast<int32_t>(v) : -1;
}

// Sets the text value `name` of the key K, making K where it is missing.
inline int32_t SetText(const char16_t* name, const char* text) {
    void* h = nullptr;
    if (ZrRegCreateKey(HkeyRegRoot(), WP(u"K"), &h) != 0) return -1;
    int32_t rc = ZrRegSetValueEx(h, WP(name), ZRREG_TYPE_SZ, reinterpret_cast<const unsigned char*>(text),
                                 static_cast<uint32_t>(strlen(text) + 1));
    ZrRegCloseKey(h);
    return rc;
}

// Runs f in a child process: its result as the exit code, or 128 + the signal that ended it.
template <class F>
int InChild(F f) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The end of the records in a log's bytes: zeros lie behind them, up to the file's end mark.
inline size_t RecordsEnd(const std::string& log) {
    size_t end = log.size() > 4096 + 8 ? log.size() - 8 : log.size();
    while (end > 4096 && log[end - 1] == 0) --end;
    return end;
}

inline int* SharedInt() {
    void* p = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return static_cast<int*>(p);
}
#endif
