// The predefined key handles, made on first request through ZrRegCreateKey and cached.
#include "regp.h"

HKEY s_hkeyHKLM;
HKEY s_hkeyHKCU;
HKEY s_hkeyArdoRoot;

static const zrwchar c_szHKLM[] = {'H', 'K', 'E', 'Y', '_', 'L', 'O', 'C', 'A', 'L',
                                   '_', 'M', 'A', 'C', 'H', 'I', 'N', 'E', 0};
static const zrwchar c_szHKCU[] = {'H', 'K', 'E', 'Y', '_', 'C', 'U', 'R', 'R',
                                   'E', 'N', 'T', '_', 'U', 'S', 'E', 'R', 0};
static const zrwchar c_szArdoRoot[] = {'S', 'o', 'f', 't',  'w', 'a', 'r', 'e', '\\', 'M', 'O', 'R', 'V',
                                       'A', 'N', 'E', '\\', 'A', 'r', 'd', 'o', '\\', '1', '.', '0', 0};

// ZrRegCreateKey writes its result only on success, so a failed request leaves the cache
// empty and the next request starts afresh.
static HKEY Cached(HKEY* cache, void* parent, const zrwchar* path) {
    if (!*cache) {
        void* h = nullptr;
        if (ZrRegCreateKey(parent, path, &h) == ZRREG_SUCCESS) *cache = static_cast<HKEY>(h);
    }
    return *cache;
}

static void CloseCached(HKEY* cache) {
    if (*cache) {
        CfRegCloseKey(*cache);
        *cache = nullptr;
    }
}

void* HkeyHKLM(void) { return Cached(&s_hkeyHKLM, HkeyRegRoot(), c_szHKLM); }

void* HkeyHKCU(void) { return Cached(&s_hkeyHKCU, HkeyRegRoot(), c_szHKCU); }

void* HkeyArdoRoot(void) {
    if (s_hkeyArdoRoot) return s_hkeyArdoRoot;
    return Cached(&s_hkeyArdoRoot, HkeyHKLM(), c_szArdoRoot);
}

void cfRegCloseHKLM() { CloseCached(&s_hkeyHKLM); }

void cfRegCloseHKCU() { CloseCached(&s_hkeyHKCU); }

void HkeyArdoRootClose() { CloseCached(&s_hkeyArdoRoot); }

void cfRegClosePredefined() {
    cfRegCloseHKLM();
    cfRegCloseHKCU();
    HkeyArdoRootClose();
}
