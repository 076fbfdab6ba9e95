// The predefined key handles: the root's, and those made on first request and cached.
#include "regcalls.h"
#include "zrplat.h"

static const zrwchar c_szHKLM[] = {'H', 'K', 'E', 'Y', '_', 'L', 'O', 'C', 'A', 'L',
                                   '_', 'M', 'A', 'C', 'H', 'I', 'N', 'E', 0};
static const zrwchar c_szHKCU[] = {'H', 'K', 'E', 'Y', '_', 'C', 'U', 'R', 'R',
                                   'E', 'N', 'T', '_', 'U', 'S', 'E', 'R', 0};
static const zrwchar c_szArdoRoot[] = {'S', 'o', 'f', 't',  'w', 'a', 'r', 'e', '\\', 'M', 'O', 'R', 'V',
                                       'A', 'N', 'E', '\\', 'A', 'r', 'd', 'o', '\\', '1', '.', '0', 0};

// The host gets the cached handles' tokens.
static void* Token(HKEY h) { return h ? RegTokenOf(h) : nullptr; }

void* HkeyRegRoot(void) {
    ZrHeld held = zrTreeLockShared();
    void* h = Token(RegTreeNow->rootHandle);
    zrTreeUnlock(held);
    return h;
}

// The ...Held functions run under the tree lock alone. Creation writes its result only on
// success, so a failed request leaves the cache empty and the next request starts afresh.
static HKEY CachedHeld(HKEY* cache, HKEY parent, const zrwchar* path) {
    if (!*cache) {
        HKEY h = nullptr;
        if (CreateKeyHeld(parent, path, &h) == ZRREG_SUCCESS) *cache = h;
    }
    return *cache;
}

static HKEY HklmHeld() { return CachedHeld(&RegTreeNow->hklm, RegTreeNow->rootHandle, c_szHKLM); }

static HKEY HkcuHeld() { return CachedHeld(&RegTreeNow->hkcu, RegTreeNow->rootHandle, c_szHKCU); }

static HKEY ArdoRootHeld() {
    if (RegTreeNow->ardoRoot) return RegTreeNow->ardoRoot;
    return CachedHeld(&RegTreeNow->ardoRoot, HklmHeld(), c_szArdoRoot);
}

// A cached handle is read under the shared lock; only a request that has to make the key
// takes the lock alone, and looks again, as another thread may have made it meanwhile.
static void* Cached(HKEY* cache, HKEY (*held)()) {
    ZrHeld lock = zrTreeLockShared();
    void* h = Token(*cache);
    zrTreeUnlock(lock);
    if (h) return h;
    lock = zrTreeLockExclusive();
    h = Token(held());
    zrTreeUnlock(lock);
    return h;
}

void* HkeyHKLM(void) { return Cached(&RegTreeNow->hklm, HklmHeld); }

void* HkeyHKCU(void) { return Cached(&RegTreeNow->hkcu, HkcuHeld); }

void* HkeyArdoRoot(void) { return Cached(&RegTreeNow->ardoRoot, ArdoRootHeld); }
