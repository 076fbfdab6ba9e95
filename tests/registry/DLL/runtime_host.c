/* A host written in C that loads the library at run time (dlopen, or LoadLibrary on Windows),
 * finds every export of zrregdll.def by name (on Windows by ordinal too) and works through
 * a registry file with them. Usage: runtime_host LIBRARY WORKDIR [POINTER_BYTES] */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zrexports.h"
#include "zrhostw.h"
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

#define INDEX(name, ordinal) kIndex_##name,
enum { ZR_EXPORTS(INDEX) kExports };
#define NAME_AND_ORDINAL(name, ordinal) {#name, ordinal},
static const struct {
    const char* name;
    unsigned ordinal;
} kExported[] = {ZR_EXPORTS(NAME_AND_ORDINAL)};
static void* found[kExports];

/* A call through the address found, with the type of the header's declaration. */
#define CALL(name) ((__typeof__(&name))found[kIndex_##name])

static int failures;
#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static int WideEquals(const unsigned short* w, const char* s) {
    size_t i = 0;
    for (; s[i]; ++i)
        if (w[i] != (unsigned char)s[i]) return 0;
    return w[i] == 0;
}

static int FindAll(void* lib) {
    int i;
    for (i = 0; i < kExports; ++i) {
        found[i] = FIND(lib, kExported[i].name);
        if (!found[i]) printf("%s is not exported\n", kExported[i].name), ++failures;
#ifdef _WIN32
        if (FIND(lib, MAKEINTRESOURCEA(kExported[i].ordinal)) != found[i])
            printf("ordinal %u is not %s\n", kExported[i].ordinal, kExported[i].name), ++failures;
#endif
    }
    return failures == 0;
}

/* Every function once, with the data crossing the boundary both ways: 8-bit text in,
 * 16-bit text out, a string from the library's malloc freed by the host's free. */
static void Session(const char* path) {
    void* key = NULL;
    void* sub = NULL;
    uint32_t type = 0, size = 0, dw = 0;
    int32_t seven = 7;
    unsigned char data[64];
    unsigned short name[256];
    unsigned short* sz = NULL;

    CHECK(CALL(ZrLoadRegistry)(path) == 0);
    CHECK(CALL(HkeyRegRoot)() != NULL && CALL(HkeyHKCU)() != NULL);
    CHECK(CALL(ZrRegCreateKey)(CALL(HkeyHKLM)(), W("Software\\App"), &key) == 0);
    CHECK(CALL(ZrRegSetValueEx)(key, W("Mode"), 1, (const unsigned char*)"fast", 5) == 0);
    CHECK(CALL(ZrRegSetValueEx)(key, W("Count"), 4, (const unsigned char*)&seven, 4) == 0);
    CHECK(CALL(ZrRegSetValueEx)(key, W("Gone"), 4, (const unsigned char*)&seven, 4) == 0);
    CHECK(CALL(ZrRegDeleteValue)(key, W("Gone")) == 0);
    CHECK(CALL(ZrRegRenameValue)(key, NULL, W("Count"), W("mode")) == ZRREG_ALREADY_EXISTS);
    CHECK(CALL(ZrRegRenameValue)(key, W(""), W("Mode"), W("Speed")) == 0);
    CHECK(CALL(ZrRegRenameValue)(key, NULL, W("speed"), W("Mode")) == 0);
    CHECK(CALL(ZrRegCloseKey)(key) == 0);

    CHECK(CALL(ZrRegOpenKeyEx)(CALL(HkeyHKLM)(), W("Software"), 0, &key) == 0);
    CHECK(CALL(ZrRegCountSubKeys)(key) == 2);
    CHECK(CALL(ZrRegDeleteKey)(key, W("Old")) == 0);
    CHECK(CALL(ZrRegEnumKeyEx)(key, 0, name, &size) == 0 && size == 3 && WideEquals(name, "App"));
    size = sizeof data;
    CHECK(CALL(ZrRegQueryValueEx)(key, W("Vendor"), &type, data, &size) == 0);
    CHECK(type == 1 && size == 8 && WideEquals((const unsigned short*)data, "Example"));
    size = 256;
    CHECK(CALL(ZrRegEnumValue)(key, 0, name, &size, &type, NULL, NULL) == 0 && size == 6);
    CHECK(WideEquals(name, "Vendor") && type == 1);
    CHECK(CALL(ZrRegQueryInfoKey)(key, &dw, NULL, NULL, NULL, &size) == 0 && dw == 1 && size == 16);
    CHECK(CALL(ZrRegCreateKey)(key, W("Tree\\Leaf"), &sub) == 0 && CALL(ZrRegCloseKey)(sub) == 0);
    CHECK(CALL(ZrRegRenameKey)(key, W("Tree"), W("Grove")) == 0);
    CHECK(CALL(ZrRegDeleteTree)(key, W("Grove")) == 0);
    CHECK(CALL(ZrRegCloseKey)(key) == 0);
    size = sizeof data;
    CHECK(CALL(ZrRegGetValue)(CALL(HkeyHKLM)(), W("Software\\App"), W("Count"), ZRREG_RT_DWORD, &type, data,
                              &size) == 0);
    CHECK(type == 4 && size == 4 && memcmp(data, &seven, 4) == 0);

    CHECK(CALL(ZrRegQueryValueSz)(CALL(HkeyHKLM)(), W("Software\\App"), W("Mode"), NULL, &sz) == 0);
    CHECK(sz && WideEquals(sz, "fast"));
    free(sz);
    CALL(ZrUnloadRegistry)();
    CHECK(CALL(HkeyRegRoot)() == NULL);

    CHECK(CALL(ZrLoadRegistry)(path) == 0); /* what was written loads again */
    CHECK(CALL(ZrRegQueryValueDw)(CALL(HkeyHKLM)(), W("Software\\App"), W("Count"), 0, &dw) == 0 && dw == 7);
    CHECK(CALL(HkeyArdoRoot)() != NULL);
    CALL(ZrUnloadRegistry)();
}

/* A host's message handler: the last message heard, and how many. */
static struct {
    uint32_t kind, line, count;
    char text[128];
} heard;

static void ZRREG_CALL Hear(void* context, uint32_t kind, uint32_t line, const char* text) {
    (void)context;
    heard.kind = kind, heard.line = line, ++heard.count;
    snprintf(heard.text, sizeof heard.text, "%s", text);
}

/* With a handler, a text over the scanner's limit is a refused load that the handler hears
 * of, and the process goes on to load the good file again. */
static void Refusal(const char* path, const char* workdir) {
    char bad[1024];
    FILE* fp;
    int i;
    snprintf(bad, sizeof bad, "%s/bad.txt", workdir);
    fp = fopen(bad, "w");
    if (!fp) {
        CHECK(fp != NULL);
        return;
    }
    fputs("KEY \"My Computer\"\n(\n  [REG_SZ] \"a\" = \"", fp);
    for (i = 0; i < 12000; ++i) fputc('x', fp);
    fputs("\";\n)\n", fp);
    fclose(fp);
    CALL(ZrSetMessageHandler)(Hear, NULL);
    CHECK(CALL(ZrLoadRegistry)(bad) == ZRREG_LOAD_REFUSED);
    CHECK(heard.count == 1 && heard.kind == ZRREG_MSG_TOO_LONG && heard.line == 3);
    CHECK(strcmp(heard.text, "Input string too long, limit 10000") == 0);
    CHECK(CALL(HkeyRegRoot)() == NULL);
    CALL(ZrSetMessageHandler)(NULL, NULL);
    CHECK(CALL(ZrLoadRegistry)(path) == 0);
    CALL(ZrUnloadRegistry)();
    CHECK(heard.count == 1);
}

int main(int argc, char** argv) {
    char path[1024];
    FILE* fp;
    void* lib;

    if (argc < 3) return 2;
    if (argc > 3 && (size_t)atoi(argv[3]) != sizeof(void*)) {
        printf("a host of %u-byte pointers, built for %s\n", (unsigned)sizeof(void*), argv[3]);
        return 1;
    }
    lib = OPEN_LIBRARY(argv[1]);
    if (!lib) {
        printf("cannot load %s\n", argv[1]);
        return 1;
    }
    if (!FindAll(lib)) return 1;

    snprintf(path, sizeof path, "%s/reg.txt", argv[2]);
    fp = fopen(path, "w");
    if (!fp) return 1;
    fputs(
        "KEY \"My Computer\"\n(\n  KEY \"HKEY_LOCAL_MACHINE\"\n  (\n    KEY \"Software\"\n    (\n"
        "      KEY \"Old\"\n      (\n      )\n      [REG_SZ] \"Vendor\" = \"Example\";\n    )\n  )\n)\n",
        fp);
    fclose(fp);
    Session(path);
    Refusal(path, argv[2]);

    CLOSE_LIBRARY(lib);
    if (failures) printf("%d checks failed\n", failures);
    return failures != 0;
}
