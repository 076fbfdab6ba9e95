/* A C host through zrregdll.h doing what host.cpp and host.py do: records a window's place,
 * reads the product's facts, lists keys. Usage: host_c REGISTRY_FILE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zrregdll.h>

/* 16-bit text of ASCII, as the library takes names. */
static const unsigned short* W(const char* s, unsigned short* buf) {
    int i = 0;
    for (; s[i]; ++i) buf[i] = (unsigned char)s[i];
    buf[i] = 0;
    return buf;
}

/* ISO-8859-1 text out as UTF-8. */
static void PrintText(const unsigned short* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < 0x80)
            putchar(s[i]);
        else
            putchar(0xC0 | (s[i] >> 6)), putchar(0x80 | (s[i] & 0x3F));
    }
}

static int Fail(const char* what, long rc) {
    fprintf(stderr, "host_c: %s: result %ld\n", what, rc);
    return 1;
}

int main(int argc, char** argv) {
    unsigned short a[256], b[256], name[256];
    void *window, *product, *components;
    uint32_t rc, seats;
    unsigned short* title;
    int32_t left = -1920;
    if (argc != 2) return fprintf(stderr, "usage: host_c REGISTRY_FILE\n"), 2;
    if ((rc = ZrLoadRegistry(argv[1])) != ZRREG_LOAD_OK) return Fail("load", rc);
    if ((rc = ZrRegCreateKey(HkeyRegRoot(), W("HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0\\Window", a),
                             &window)) != ZRREG_SUCCESS)
        return ZrUnloadRegistry(), Fail("create the window key", rc);
    ZrRegSetValueEx(window, W("Left", a), ZRREG_TYPE_DWORD, (const unsigned char*)&left, 4);
    ZrRegSetValueEx(window, W("Title", a), ZRREG_TYPE_SZ, (const unsigned char*)"Ardo Studio", 12);
    if ((rc = ZrRegOpenKeyEx(HkeyRegRoot(), W("HKEY_LOCAL_MACHINE\\Software\\MORVANE\\Ardo\\1.0", a), 0,
                             &product)) != ZRREG_SUCCESS) {
        ZrRegCloseKey(window);
        ZrUnloadRegistry();
        return Fail("open the product key", rc);
    }
    ZrRegQueryValueSz(product, NULL, W("ProductName", a), W("?", b), &title);
    ZrRegQueryValueDw(product, NULL, W("Seats", a), 1, &seats);
    if (title) {
        size_t n = 0;
        while (title[n]) ++n;
        PrintText(title, n);
        free(title);
    }
    printf(", %d seats\n", (int32_t)seats);
    for (uint32_t i = 0;; ++i) {
        unsigned short data[10000]; /* the longest text, 9999 characters, and its NUL */
        uint32_t cch = 256, type, cb = sizeof data;
        if (ZrRegEnumValue(window, i, name, &cch, &type, (unsigned char*)data, &cb) != ZRREG_SUCCESS) break;
        printf("  "), PrintText(name, cch), printf(" = ");
        if (type == ZRREG_TYPE_DWORD)
            memcpy(&left, data, 4), printf("%d\n", left);
        else
            PrintText(data, cb - 1), printf("\n");
    }
    if (ZrRegOpenKeyEx(product, W("Components", a), 0, &components) == ZRREG_SUCCESS) {
        for (uint32_t i = 0, n; ZrRegEnumKeyEx(components, i, name, &n) == ZRREG_SUCCESS; ++i)
            printf("  "), PrintText(name, n), printf("\n");
        ZrRegCloseKey(components);
    }
    ZrRegCloseKey(product);
    ZrRegCloseKey(window);
    ZrUnloadRegistry();
    return 0;
}
