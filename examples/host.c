/* A C host through zrregdll.h doing what host.cpp and host.py do: records a window's place,
 * reads the product's facts, lists keys. C11, for ZRREG_TEXT's u"...". Usage: host_c REGISTRY_FILE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zrregdll.h>

/* A name or text as the library hands it out, printed as UTF-8. */
static void PrintText(const unsigned short* s) {
    char utf8[2 * 10000];
    fputs(ZrTextToUtf8(s, utf8, sizeof utf8) ? utf8 : "?", stdout);
}

static int Fail(const char* what, long rc) {
    fprintf(stderr, "host_c: %s: result %ld\n", what, rc);
    return 1;
}

int main(int argc, char** argv) {
    unsigned short name[256];
    void *window, *product, *components;
    uint32_t rc, seats;
    unsigned short* title;
    int32_t left = -1920;
    if (argc != 2) return fprintf(stderr, "usage: host_c REGISTRY_FILE\n"), 2;
    if ((rc = ZrLoadRegistry(argv[1])) != ZRREG_LOAD_OK) return Fail("load", rc);
    rc = ZrRegCreateKey(HkeyRegRoot(), ZRREG_TEXT("HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0\\Window"),
                        &window);
    if (rc != ZRREG_SUCCESS) return ZrUnloadRegistry(), Fail("create the window key", rc);
    ZrRegSetValueEx(window, ZRREG_TEXT("Left"), ZRREG_TYPE_DWORD, (const unsigned char*)&left, 4);
    ZrRegSetValueEx(window, ZRREG_TEXT("Title"), ZRREG_TYPE_SZ, (const unsigned char*)"Ardo Studio", 12);
    rc = ZrRegOpenKeyEx(HkeyRegRoot(), ZRREG_TEXT("HKEY_LOCAL_MACHINE\\Software\\MORVANE\\Ardo\\1.0"), 0,
                        &product);
    if (rc != ZRREG_SUCCESS) {
        ZrRegCloseKey(window);
        ZrUnloadRegistry();
        return Fail("open the product key", rc);
    }
    ZrRegQueryValueSz(product, NULL, ZRREG_TEXT("ProductName"), ZRREG_TEXT("?"), &title);
    ZrRegQueryValueDw(product, NULL, ZRREG_TEXT("Seats"), 1, &seats);
    if (title) PrintText(title), free(title);
    printf(", %d seats\n", (int32_t)seats);
    for (uint32_t i = 0;; ++i) {
        unsigned short data[10000]; /* the longest text, 9999 characters, and its NUL */
        uint32_t cch = 256, type, cb = sizeof data;
        if (ZrRegEnumValue(window, i, name, &cch, &type, (unsigned char*)data, &cb) != ZRREG_SUCCESS) break;
        printf("  "), PrintText(name), printf(" = ");
        if (type == ZRREG_TYPE_DWORD)
            memcpy(&left, data, 4), printf("%d\n", left);
        else
            PrintText(data), printf("\n");
    }
    if (ZrRegOpenKeyEx(product, ZRREG_TEXT("Components"), 0, &components) == ZRREG_SUCCESS) {
        for (uint32_t i = 0, n; ZrRegEnumKeyEx(components, i, name, &n) == ZRREG_SUCCESS; ++i)
            printf("  "), PrintText(name), printf("\n");
        ZrRegCloseKey(components);
    }
    ZrRegCloseKey(product);
    ZrRegCloseKey(window);
    ZrUnloadRegistry();
    return 0;
}
