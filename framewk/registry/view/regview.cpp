// The project's own hosts' view of the library (see regview.h), over the private tree.
#include "regview.h"

#include <string.h>

#include "registry.h"
#include "regpart.h"
#include "regscan.h"
#include "zrplat.h"

static RegNode* Node(const RegViewKey* key) {
    return reinterpret_cast<RegNode*>(const_cast<RegViewKey*>(key));
}
static const RegViewKey* View(RegNode* node) { return reinterpret_cast<const RegViewKey*>(node); }

const RegViewKey* RegViewRoot() { return View(RegTreeNow->root); }

const RegViewKey* RegViewKeyOf(void* hkey) {
    HKEY h = RegHandleOf(hkey);
    if (!h) return nullptr;
    if (!__atomic_load_n(&RegApps.loaded, __ATOMIC_ACQUIRE) || !RegOwnerOf(hkey))
        return RegTreeNow->root ? View(Search(h->ptr)) : nullptr;
    // An app key's handle: its path is searched in its own registry, current meanwhile as
    // during a call on it.
    ZrHeld held = zrTreeLockExclusive();
    Registry* app = RegOwnerOf(hkey);  // closed meanwhile: it names no key
    const RegViewKey* key = nullptr;
    if (app) {
        RegAppEnter(app);
        key = RegTreeNow->root ? View(Search(h->ptr)) : nullptr;
        RegAppLeave();
    }
    zrTreeUnlock(held);
    RegAppsReap();
    return key;
}

const char* RegViewName(const RegViewKey* key) { return Node(key)->GetName(); }

int RegViewSubkeyCount(const RegViewKey* key) { return Node(key)->GetRegNodeList()->GetSize(); }

const RegViewKey* RegViewSubkey(const RegViewKey* key, int index) {
    return View(Node(key)->GetRegNodeList()->GetAt(index));
}

int RegViewValueCount(const RegViewKey* key) { return Node(key)->GetRegKeyValueList()->GetSize(); }

RegViewValue RegViewValueAt(const RegViewKey* key, int index) {
    RegKeyValue* v = Node(key)->GetRegKeyValueList()->GetAt(index);
    RegViewValue out;
    out.name = v->GetKey();
    RegType kind = v->GetType();
    out.type = v->WinType();
    out.integer = kind == REG_INT ? v->GetInt() : 0;
    out.text = kind == REG_SZ ? static_cast<const char*>(v->GetValue()) : nullptr;
    out.data = kind == REG_BYTES ? static_cast<const unsigned char*>(v->GetValue()) : nullptr;
    out.size = kind == REG_BYTES ? static_cast<size_t>(v->GetSize()) : 0;
    return out;
}

bool RegViewChanged() { return RegIsChanged(); }

uint64_t RegViewKeyRenames() {
    return __atomic_load_n(&__atomic_load_n(&RegTreeNow, __ATOMIC_ACQUIRE)->renames, __ATOMIC_RELAXED);
}

void RegViewSetChanged(bool changed) {
    RegSetChanged(changed);
    if (!changed) JournalClear();  // dropped changes are not merged into the file either
}

const size_t kRegTextMax = REGFILE_TEXT_MAX;

const char* RegViewTypeName(uint32_t type) {
    const RegTypeRow* t = RegTypeRowOf(type);
    return t ? t->winName : nullptr;
}

bool RegViewStorable(const char* text, size_t n) { return RegTextStorable(text, n); }

int RegViewCompareNames(const char* a, const char* b) { return zrCompareNames(a, b); }

bool RegViewTempFile(const char* regPath, char* out, size_t outSize) {
    RegFileNames names;
    if (!RegFileNamesFor(regPath, &names) || strlen(names.temp) >= outSize) return false;
    strcpy(out, names.temp);
    return true;
}

namespace {
struct Bytes {
    const void* p;
    size_t n;
};
bool WriteBytes(FILE* fp, void* context) {
    const Bytes* b = static_cast<const Bytes*>(context);
    return fwrite(b->p, 1, b->n, fp) == b->n;
}
}  // namespace

// Not the registry file's temporary name: a file written here (an export file) may lie
// beside a registry file whose own save uses that name.
bool RegViewWriteFile(const char* path, const void* bytes, size_t n) {
    char target[REGFILE_TEMP_MAX], tmp[REGFILE_TEMP_MAX];
    if (!zrSaveTarget(path, target, sizeof target) || strlen(target) + 12 >= sizeof tmp) return false;
    strcpy(tmp, target);
    strcat(tmp, ".zrreg-tmp");
    Bytes b = {bytes, n};
    ZrWriteResult r = zrWriteWhole(tmp, target, false, true, WriteBytes, &b);
    if (r == ZR_WRITE_NOT_REPLACED) _unlink(tmp);  // the caller still has the bytes
    return r == ZR_WRITTEN;
}

bool RegViewSaveToTemp(char* tmp, bool sync) {
    char target[REGFILE_TEMP_MAX];
    zrSyncFiles(sync);
    bool ok = cfRegSaveRegToTemp(tmp, target) == 1;
    zrSyncFiles(true);
    return ok;
}

size_t RegViewPoolBytes() { return zrPoolHeldBytes(); }

void RegViewSetWholeLines(bool on) { yyshortcuts = on; }

void RegViewReadAheadFrom(long long bytes) { zrReadAheadFrom(bytes); }

void RegViewPartFrom(long long bytes) { RegPartFrom(bytes); }

bool RegViewScratchBegin() {
    ZrHeld held = zrTreeLockExclusive();
    bool ok = RegScratchBegin();
    zrTreeUnlock(held);
    return ok;
}

void RegViewScratchEnd() {
    ZrHeld held = zrTreeLockExclusive();
    RegScratchEnd();
    zrTreeUnlock(held);
}
