/* A host written in C that unloads the library (dlclose, or FreeLibrary on Windows) while a
 * registry is loaded, changed and watched, and then goes on: the library's threads must be
 * gone with its code, and a second load of the library must find the changes in the log.
 * Usage: unload_host LIBRARY WORKDIR */
#include <stdio.h>
#include <string.h>

#include "zrhostw.h"
#include "zrregdll.h"

#ifdef _WIN32
#include <windows.h>
#define OPEN_LIBRARY(path) ((void*)LoadLibraryA(path))
#define FIND(lib, name) ((void*)GetProcAddress((HMODULE)(lib), name))
#define CLOSE_LIBRARY(lib) FreeLibrary((HMODULE)(lib))
#define STILL_LOADED(path) (GetModuleHandleA(path) != NULL)
#define PAUSE_MS(ms) Sleep(ms)
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#define OPEN_LIBRARY(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define FIND(lib, name) dlsym(lib, name)
#define CLOSE_LIBRARY(lib) dlclose(lib)
#define STILL_LOADED(path) (dlopen(path, RTLD_NOW | RTLD_NOLOAD) != NULL)
static void PauseMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}
#define PAUSE_MS(ms) PauseMs(ms)
#endif

/* The calls used, found by name in each load of the library. */
static struct {
    __typeof__(&ZrLoadRegistry) load;
    __typeof__(&ZrUnloadRegistry) unload;
    __typeof__(&HkeyRegRoot) root;
    __typeof__(&ZrRegCreateKey) create;
    __typeof__(&ZrRegSetValueEx) set;
    __typeof__(&ZrRegCloseKey) close;
    __typeof__(&ZrRegQueryValueDw) queryDw;
    __typeof__(&ZrRegNotifyChangeKeyValue) notify;
} call;

static void* Open(const char* path) {
    void* lib = OPEN_LIBRARY(path);
    if (!lib) return NULL;
    *(void**)&call.load = FIND(lib, "ZrLoadRegistry");
    *(void**)&call.unload = FIND(lib, "ZrUnloadRegistry");
    *(void**)&call.root = FIND(lib, "HkeyRegRoot");
    *(void**)&call.create = FIND(lib, "ZrRegCreateKey");
    *(void**)&call.set = FIND(lib, "ZrRegSetValueEx");
    *(void**)&call.close = FIND(lib, "ZrRegCloseKey");
    *(void**)&call.queryDw = FIND(lib, "ZrRegQueryValueDw");
    *(void**)&call.notify = FIND(lib, "ZrRegNotifyChangeKeyValue");
    if (!call.load || !call.unload || !call.root || !call.create || !call.set || !call.close ||
        !call.queryDw || !call.notify)
        return NULL;
    return lib;
}

int main(int argc, char** argv) {
    char path[1024];
    FILE* fp;
    void* lib;
    void* key = NULL;
    int32_t i, value;
    uint32_t got = 0;
#ifdef _WIN32
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    void* hostEvent = event;
#else
    int fds[2];
    void* hostEvent = &fds[1];
    if (pipe(fds) != 0) return 1;
#endif

    if (argc < 3) return 2;
    snprintf(path, sizeof path, "%s/unload.txt", argv[2]);
    fp = fopen(path, "w");
    if (!fp) return 1;
    fputs("KEY \"My Computer\"\n(\n  KEY \"Watched\"\n  (\n  )\n)\n", fp);
    fclose(fp);
    /* A log left by an earlier run that died would be recovered; none should be there. */
    snprintf(path, sizeof path, "%s/UNLOAD.LOG", argv[2]);
    remove(path);
    snprintf(path, sizeof path, "%s/unload.txt", argv[2]);

    /* Loaded, changed (the syncer's thread starts its delay) and watched (the notifier's
     * thread runs), then the library goes without an unload. */
    if (!(lib = Open(argv[1]))) return printf("cannot load %s\n", argv[1]), 1;
    if (call.load(path) != 0) return printf("the first load failed\n"), 1;
    if (call.create(call.root(), W("Watched"), &key) != 0) return printf("no key\n"), 1;
    if (call.notify(key, 1, ZRREG_NOTIFY_CHANGE_NAME, hostEvent, 1) != 0) return printf("no watch\n"), 1;
    if (call.create(call.root(), W("Changed"), &key) != 0) return printf("no key\n"), 1;
    for (i = 0; i < 20; ++i) {
        char name[16];
        snprintf(name, sizeof name, "v%d", (int)i);
        value = i * 7;
        if (call.set(key, W(name), ZRREG_TYPE_DWORD, (const unsigned char*)&value, 4) != 0)
            return printf("set %d failed\n", (int)i), 1;
    }
    CLOSE_LIBRARY(lib);
    if (STILL_LOADED(argv[1])) return printf("the library stayed loaded: nothing was tested\n"), 1;
    PAUSE_MS(500); /* past the syncer's delay, where a thread left behind runs into unmapped code */

    /* A second load of the library reads the changes back from the log. */
    if (!(lib = Open(argv[1]))) return printf("cannot load %s again\n", argv[1]), 1;
    if (call.load(path) != 0) return printf("the second load failed\n"), 1;
    for (i = 0; i < 20; ++i) {
        char name[16];
        snprintf(name, sizeof name, "v%d", (int)i);
        if (call.queryDw(call.root(), W("Changed"), W(name), 12345, &got) != 0 || got != (uint32_t)(i * 7))
            return printf("%s is lost after the library went\n", name), 1;
    }
    call.unload();
    CLOSE_LIBRARY(lib);
    PAUSE_MS(100);
#ifdef _WIN32
    CloseHandle(event);
#else
    close(fds[0]);
    close(fds[1]);
#endif
    printf("every change came back after the library went with its threads\n");
    return 0;
}
