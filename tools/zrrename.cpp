// zrreg's rename verb: a key or a value under a new name, in its place, as one change.
#include <string>
#include <vector>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

const char kRenameHelp[] =
    "Usage: zrreg rename FILE KEY NEWNAME [--force]\n"
    "       zrreg rename FILE KEY -v NAME NEWNAME [--force]\n"
    "\n"
    "Renames KEY (its last level) to NEWNAME, or with -v its value NAME, as one change:\n"
    "the key keeps its subkeys and values, the value its type and data, and each its\n"
    "place in the order. Names match without regard to letter case, so a new case of\n"
    "the same name renames too. FILE is written back. A name already there, among the\n"
    "key's siblings or the key's values, is refused.\n"
    "  -v NAME  rename the value NAME of KEY (\"\" for the default value)\n"
    "  --force  allow renaming a whole top-level key (not HKEY_LOCAL_MACHINE or\n"
    "           HKEY_CURRENT_USER, which the library holds); write FILE even when it\n"
    "           holds integers wider than 32 bits\n"
    "\n"
    "Examples: zrreg rename app.txt 'HKCU\\Software\\MORVANE\\Ardo\\1.0\\Window' Frame\n"
    "          zrreg rename app.txt 'HKLM\\Software\\MORVANE\\Ardo\\1.0' -v BUILD Build\n";

int RunRename(const Args& a) {
    std::vector<std::string> parts;
    std::string name, to;
    if (!KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(a.Get("-v"), "the value name", &name)) return kFailed;
    if (!ToRegistryText(a.pos[2], "the new name", &to)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(true, a.Has("--force"))) return kFailed;
    if (!RenameAt(reg, parts, a.Has("-v") ? &name : nullptr, to, a.Has("--force"))) return kFailed;
    return reg.Close(true) ? kOk : kFailed;
}

// The counts' own message would name KEY.
const char* RenameConflict(const Args& a) { return a.pos.size() == 2 ? "missing NEWNAME" : nullptr; }

}  // namespace

bool RenameAt(const Registry& reg, std::vector<std::string> parts, const std::string* value,
              const std::string& newName, bool force, long* result) {
    Key key;
    long rc;
    std::string what;
    if (value) {
        if (!OpenKey(reg, parts, false, &key) || !ReachKey(reg, &key)) return false;
        what = "key " + Quoted(key.shown) + ": value " + Quoted(*value);
        rc = ZrRegRenameValue(key.handle, nullptr, Wide(ValueName(*value)).data(),
                              Wide(ValueName(newName)).data());
    } else {
        if (parts.empty()) {
            Error(reg.file(), "the root key cannot be renamed");
            return false;
        }
        std::string last;
        if (!OpenKeyParent(reg, &parts, force, "renamed", &key, &last, &what)) return false;
        if (newName.empty() || newName.find_first_of("\\/") != std::string::npos) {
            Error(reg.file(), what + ": a key's new name must not be empty or hold \"\\\" or \"/\"");
            return false;
        }
        if (!SubkeyCall(reg, &key, last, &rc))
            return false;
        else if (rc == ZRREG_SUCCESS)
            rc = ZrRegRenameKey(key.handle, Wide(last).data(), Wide(newName).data());
    }
    if (rc == ZRREG_SUCCESS) return true;
    if (result) *result = rc;
    std::string why = rc == ZRREG_NOT_FOUND ? (value ? "the value does not exist" : "the key does not exist")
                      : rc == ZRREG_ALREADY_EXISTS ? "the name " + Quoted(newName) + " is taken"
                      : rc == ZRREG_KEY_BUSY       ? std::string("the library holds it and keeps its name")
                                                   : RefusedName(rc, newName);
    Error(reg.file(), what + ": " + why);
    return false;
}

const Verb kRenameVerb = {"rename", 3, 3, "-v= --force", kRenameHelp, RunRename, RenameConflict, "v=-v f="};

}  // namespace zrreg
