/* A host written in C: loads the shared library at run time, finds the 18 exported names
 * and works with a registry file through them. Usage: dlopen_test LIBRARY WORKDIR */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zrregdll.h"

#ifdef _WIN32
#include <windows.h>
#define OPEN_LIBRARY(path) ((void*)LoadLibraryA(path))
#define FIND(lib, name) ((void*)GetProcAddress((HMODULE)(lib), name))
#define CLOSE_LIBRARY(lib) FreeLibrary((HMODULE)(lib))
#else
#include <dlfcn.h>
#define OPEN_LIBRARY(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define FIND(lib, name) dlsym(lib, name)
#define CLOSE_LIBRARY(lib) dlclose(lib)
#endif

#define FUNCTIONS(X)     \
    X(HkeyArdoRoot)      \
    X(ZrLoadRegistry)    \
    X(ZrUnloadRegistry)  \
    X(ZrRegCountSubKeys) \
    X(ZrRegOpenKeyEx)    \
    X(ZrRegCloseKey)     \
    X(ZrRegEnumKeyEx)    \
    X(ZrRegQueryValueEx) \
    X(ZrRegCreateKey)    \
    X(ZrRegSetValueEx)   \
    X(ZrRegDeleteKey)    \
    X(ZrRegDeleteValue)  \
    X(ZrRegQueryValueSz) \
    X(ZrRegQueryValueDw) \
    X(HkeyHKCU)          \
    X(HkeyHKLM)          \
    X(HkeyRegRoot)

/* The pointers have the types of the header's declarations, so every call is checked. */
#define DECLARE(name) static __typeof__(&name) p##name;
FUNCTIONS(DECLARE)
typedef int(ZRREG_ENTRY_CALL* EntryFn)(void*, ZRREG_REASON, void*);
static EntryFn pDllMain;

static int failures;
#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

/* 16-bit text from ASCII, in one of a few rotating buffers. */
static const unsigned short* W(const char* s) {
    static unsigned short bufs[4][64];
    static int next;
    unsigned short* w = bufs[next++ % 4];
    size_t i = 0;
    for (; s[i] && i < 63; ++i) w[i] = (unsigned char)s[i];
    w[i] = 0;
    return w;
}

static int WideEquals(const unsigned short* w, const char* s) {
    size_t i = 0;
    for (; s[i]; ++i)
        if (w[i] != (unsigned char)s[i]) return 0;
    return w[i] == 0;
}

static const char* kRegistry =
    "KEY \"My Computer\"\n"
    "(\n"
    "    KEY \"HKEY_LOCAL_MACHINE\"\n"
    "    (\n"
    "        KEY \"Software\"\n"
    "        (\n"
    "            [REG_SZ] \"Vendor\" = \"Example\";\n"
    "            [REG_INT] \"Count\" = 12;\n"
    "        )\n"
    "    )\n"
    ")\n";

static void WorkWithTheRegistry(void) {
    void* hklm = pHkeyHKLM();
    void* soft = NULL;
    void* made = NULL;
    uint32_t type = 0, size = 0, dw = 0;
    unsigned char data[512];
    unsigned short name[256];
    unsigned short* sz = NULL;
    int32_t seven = 7;

    CHECK(hklm != NULL);
    CHECK(pZrRegOpenKeyEx(hklm, W("Software"), 0, &soft) == 0);

    size = sizeof data;
    CHECK(pZrRegQueryValueEx(soft, W("Count"), &type, data, &size) == 0);
    CHECK(type == 4 && size == 4);
    CHECK(memcmp(data, &(int32_t){12}, 4) == 0);
    size = sizeof data;
    CHECK(pZrRegQueryValueEx(soft, W("Vendor"), &type, data, &size) == 0);
    CHECK(type == 1 && size == 8 && WideEquals((const unsigned short*)data, "Example"));

    CHECK(pZrRegQueryValueSz(hklm, W("Software"), W("Vendor"), NULL, &sz) == 0);
    CHECK(sz && WideEquals(sz, "Example"));
    free(sz); /* the host releases the copy with the C runtime's free */
    CHECK(pZrRegQueryValueDw(hklm, W("Software"), W("Missing"), 99, &dw) == 0 && dw == 99);

    CHECK(pZrRegSetValueEx(soft, W("Added"), 4, (const unsigned char*)&seven, 4) == 0);
    CHECK(pZrRegCreateKey(soft, W("App\\Settings"), &made) == 0);
    CHECK(pZrRegSetValueEx(made, W("Mode"), 1, (const unsigned char*)"fast", 5) == 0);
    CHECK(pZrRegCloseKey(made) == 0);

    CHECK(pZrRegCountSubKeys(soft) == 1);
    CHECK(pZrRegEnumKeyEx(soft, 0, name, &size) == 0 && size == 3 && WideEquals(name, "App"));
    CHECK(pZrRegEnumKeyEx(soft, 1, name, &size) == 259);
    CHECK(pZrRegDeleteValue(soft, W("Vendor")) == 0);
    CHECK(pZrRegDeleteKey(soft, W("Nothing")) == 5);
    CHECK(pZrRegCloseKey(soft) == 0);
    CHECK(pHkeyHKCU() != NULL && pHkeyArdoRoot() != NULL);
}

static char* ReadWholeFile(const char* path) {
    FILE* fp = fopen(path, "rb");
    static char text[4096];
    size_t n = 0;
    if (!fp) return NULL;
    n = fread(text, 1, sizeof text - 1, fp);
    text[n] = 0;
    fclose(fp);
    return text;
}

int main(int argc, char** argv) {
    char path[1024];
    const char* saved;
    FILE* fp;
    void* lib;
    unsigned reason;

    if (argc != 3) return 2;
    lib = OPEN_LIBRARY(argv[1]);
    if (!lib) {
        printf("cannot load %s\n", argv[1]);
        return 1;
    }
#define RESOLVE(name)                                \
    p##name = (__typeof__(p##name))FIND(lib, #name); \
    if (!p##name) printf("%s is not exported\n", #name), ++failures;
    FUNCTIONS(RESOLVE)
    pDllMain = (EntryFn)FIND(lib, "DllMain");
    if (!pDllMain) printf("DllMain is not exported\n"), ++failures;
    if (failures) return 1;

    for (reason = 0; reason < 4; ++reason) CHECK(pDllMain(NULL, reason, NULL) == 1);

    snprintf(path, sizeof path, "%s/reg.txt", argv[2]);
    fp = fopen(path, "w");
    if (!fp) return 1;
    fputs(kRegistry, fp);
    fclose(fp);

    CHECK(pHkeyRegRoot() == NULL);
    CHECK(pZrLoadRegistry(path) == 0);
    CHECK(pZrLoadRegistry(path) == 1);
    WorkWithTheRegistry();
    pZrUnloadRegistry();
    CHECK(pHkeyRegRoot() == NULL);

    saved = ReadWholeFile(path);
    CHECK(saved != NULL);
    if (saved) {
        CHECK(strstr(saved, "[REG_INT] \"Added\" = 7;") != NULL);
        CHECK(strstr(saved, "KEY \"Settings\"") != NULL);
        CHECK(strstr(saved, "[REG_SZ] \"Mode\" = \"fast\";") != NULL);
        CHECK(strstr(saved, "Vendor") == NULL);
    }
    CHECK(pZrLoadRegistry(path) == 0); /* the written file loads again */
    pZrUnloadRegistry();

    CLOSE_LIBRARY(lib);
    if (failures) printf("%d checks failed\n", failures);
    return failures != 0;
}
