// zrreg's init, add and delete verbs: starting a registry file, creating keys and setting
// values, deleting keys and values.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

const char kInitHelp[] =
    "Usage: zrreg init FILE\n"
    "\n"
    "Writes FILE as an empty registry file: the root key \"My Computer\" and nothing\n"
    "else, as the library writes it. A FILE that exists is left alone: init never\n"
    "overwrites one.\n"
    "\n"
    "Example: zrreg init new.txt\n";

const char kAddHelp[] =
    "Usage: zrreg add FILE KEY [-v NAME | -ve] [-t TYPE] [-d DATA] [-s SEP] [--force]\n"
    "\n"
    "Creates KEY with every missing key above it and, with -v, sets the value NAME;\n"
    "an existing value is replaced, without a question. FILE is written back; 'zrreg\n"
    "init FILE' starts one.\n"
    "  -v NAME  the value to set (\"\" for the default value)\n"
    "  -ve      the default value, as -v \"\"\n"
    "  -t TYPE  the value's type: REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ,\n"
    "           REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE, REG_DWORD_BIG_ENDIAN,\n"
    "           REG_LINK, REG_RESOURCE_LIST, REG_FULL_RESOURCE_DESCRIPTOR,\n"
    "           REG_RESOURCE_REQUIREMENTS_LIST, or REG_0xN for the type number N\n"
    "  -d DATA  the data, by type: text (any character) for the strings; strings\n"
    "           separated by SEP for REG_MULTI_SZ; a number, decimal, negative or\n"
    "           hexadecimal after 0x, for REG_DWORD (32 bits) and REG_QWORD (64);\n"
    "           hexadecimal bytes (0a0b, or with blanks or commas between bytes) for\n"
    "           the others. Left out: empty data (the numbers need it)\n"
    "  -s SEP   the one character between REG_MULTI_SZ's strings in DATA; the two\n"
    "           characters \\0 by default\n"
    "  --force  create KEY even when its first level is not a root of FILE (a\n"
    "           Windows hive or a top-level key it has); write FILE even when it\n"
    "           holds integers wider than 32 bits, which are written back cut\n"
    "\n"
    "Windows' reg add switches /v, /ve, /t, /d and /s are these options; /f is taken\n"
    "and changes nothing, as add never asks before it replaces a value (it is not\n"
    "--force).\n"
    "\n"
    "Examples: zrreg add app.txt 'HKCU\\Software\\MORVANE\\Ardo' -v Zoom -t REG_DWORD -d 125\n"
    "          zrreg add app.txt 'HKCU\\Software\\MORVANE\\Ardo' -v Paths -t REG_MULTI_SZ -d 'a\\0b'\n"
    "          zrreg add app.txt 'HKCU\\Software\\MORVANE\\Ardo' -v Icon -t REG_BINARY -d 89504e47\n"
    "          zrreg add app.txt 'HKCU\\Software\\MORVANE' /v Zoom /t REG_DWORD /d 125 /f\n";

const char kDeleteHelp[] =
    "Usage: zrreg delete FILE KEY [-v NAME | -ve | -va] [--force]\n"
    "\n"
    "Deletes KEY with all its subkeys and values, or only values of it, without a\n"
    "question. FILE is written back. The root \"My Computer\" itself cannot be deleted.\n"
    "  -v NAME  delete the one value NAME (\"\" for the default value)\n"
    "  -ve      delete the default value, as -v \"\"\n"
    "  -va      delete all values of KEY; its subkeys stay\n"
    "  --force  allow deleting a whole top-level key (such as HKEY_CURRENT_USER);\n"
    "           write FILE even when it holds integers wider than 32 bits\n"
    "\n"
    "Windows' reg delete switches /v, /ve and /va are these options; /f is taken and\n"
    "changes nothing, as delete never asks (it is not --force).\n"
    "\n"
    "Example: zrreg delete app.txt 'HKCU\\Software\\MORVANE\\Ardo\\1.0\\RecentFiles'\n";

int RunInit(const Args& a) {
    const std::string& file = a.pos[0];
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && NotRegular(st)) {
        Error(file, std::string("is ") + NotRegular(st) + "; init writes a new registry file");
        return kFailed;
    }
    if (PathExists(file)) {
        Error(file, "exists; init does not overwrite a file");
        return kFailed;
    }
    char tmp[REGVIEW_PATH_MAX];
    if (!RegViewTempFile(file.c_str(), tmp, sizeof tmp)) {
        Error(file, kUnsavableName);
        return kFailed;
    }
    return WriteFileAtomically(file, std::string("KEY \"") + kRegRootName + "\"\n(\n)\n") ? kOk : kFailed;
}

int RunAdd(const Args& a) {
    if ((a.Has("-t") || a.Has("-d")) && !a.Has("-v")) return Usage(a, "-t and -d need -v NAME");
    uint32_t type = ZRREG_TYPE_SZ;
    if (a.Has("-t") && !TypeFromName(a.Get("-t"), &type)) {
        std::string names;
        for (const char* n : TypeNames()) names += std::string(names.empty() ? "" : ", ") + n;
        return Usage(a, "-t: \"" + a.Get("-t") + "\" is no type; the types are " + names + " and REG_0xN");
    }
    std::u32string separator;
    if (a.Has("-s") && (!DecodeUtf8(a.Get("-s"), &separator) || separator.size() != 1))
        return Usage(a, "-s: the separator must be one character, not \"" + a.Get("-s") + "\"");
    if (TypeNeedsData(type) && !a.Has("-d")) return Usage(a, TypeName(type) + " needs -d DATA");
    TypedData data;
    std::string why;
    if (!ParseData(type, a.Get("-d"), a.Has("-s") ? a.Get("-s") : "\\0", &data, &why))
        return Usage(a, "-d: " + why);

    std::vector<std::string> parts;
    std::string name;
    const std::string& file = a.pos[0];
    if (!KeyParts(file, a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(Typed(file, a.pos[1], &a.Get("-v")), "the name", a.Get("-v"), &name))
        return kFailed;

    struct stat st;
    if (stat(a.pos[0].c_str(), &st) != 0 && errno == ENOENT) {
        Error(a.pos[0], "does not exist; 'zrreg init " + a.pos[0] + "' writes an empty registry file");
        return kFailed;
    }
    Registry reg(a.pos[0]);
    if (!reg.Open(true, a.Has("--force"))) return kFailed;
    if (!parts.empty() && !MayCreateRoot(reg, parts[0], a.Has("--force"), "add")) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, true, &key)) return kFailed;
    if (a.Has("-v") && !SetKeyValue(reg, key, name, data)) return kFailed;
    key.Close();
    return reg.Close(true) ? kOk : kFailed;
}

// Deletes every value of the open key; 0 or the first failure.
long DeleteAllValues(const Key& key, std::string* failed) {
    // Always the first value: each deletion moves the next one up.
    for (;;) {
        unsigned short name[256];
        uint32_t chars = 256;
        long rc = ZrRegEnumValue(key.handle, 0, name, &chars, nullptr, nullptr, nullptr);
        if (rc == ZRREG_NO_MORE_ITEMS) return 0;
        if (rc == ZRREG_SUCCESS) rc = ZrRegDeleteValue(key.handle, name);
        if (rc != ZRREG_SUCCESS) {
            *failed = rc == ZRREG_BUFFER_TOO_SMALL ? RegViewValueAt(key.node, 0).name
                                                   : std::string(name, name + chars);
            return rc;
        }
    }
}

int RunDelete(const Args& a) {
    std::vector<std::string> parts;
    std::string name;
    bool values = a.Has("-v") || a.Has("-va");
    if (!KeyParts(a.pos[0], a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") &&
        !ToRegistryText(Typed(a.pos[0], a.pos[1], &a.Get("-v")), "the name", a.Get("-v"), &name))
        return kFailed;
    if (parts.empty() && !values) {
        Error(a.pos[0], "key " + Quoted(kRegRootName) + ": the root key cannot be deleted");
        return kFailed;
    }
    Registry reg(a.pos[0]);
    if (!reg.Open(true, a.Has("--force"))) return kFailed;
    if (!DeleteAt(reg, parts, a.Has("-v") ? &name : nullptr, a.Has("-va"), a.Has("--force"))) return kFailed;
    return reg.Close(true) ? kOk : kFailed;
}

const char* DeleteConflict(const Args& a) {
    return a.Has("-v") && a.Has("-va") ? "-v and -va cannot be combined" : nullptr;
}

}  // namespace

bool SetKeyValue(const Registry& reg, Key& key, const std::string& name, const TypedData& d) {
    if (!ReachKey(reg, &key)) return false;
    long rc = SetTypedValue(key.handle, name, d);
    if (rc == ZRREG_SUCCESS) return true;
    std::string why = RefusedName(rc, name);
    if (rc == ZRREG_BAD_NAME && why == ResultText(rc)) why = UnheldData(d);
    Error(reg.file(), "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": " + why);
    return false;
}

bool OpenKeyParent(const Registry& reg, std::vector<std::string>* parts, bool force, const char* done,
                   Key* key, std::string* last, std::string* what) {
    *last = parts->back();
    parts->pop_back();
    if (parts->empty() && !IsTopLevel(*last)) {
        Error(reg.file(), "key " + Quoted(*last) + ": " + NotTopLevel(*last));
        return false;
    }
    if (parts->empty() && !force) {
        Error(reg.file(),
              "key " + Quoted(*last) + ": a whole top-level key is " + done + " only with --force");
        return false;
    }
    if (!OpenKey(reg, *parts, false, key)) return false;
    *what = "key " + Quoted(Join(parts->empty() ? "" : key->shown, last->c_str()));
    return true;
}

bool SubkeyCall(const Registry& reg, Key* parent, const std::string& name, long* rc) {
    // The library takes the first subkey of the name, and "\" in it for "/".
    *rc = !FindSubkey(parent->node, name)        ? ZRREG_NOT_FOUND
          : name.find('\\') != std::string::npos ? kNotReached
                                                 : ZRREG_SUCCESS;
    return *rc != ZRREG_SUCCESS || ReachKey(reg, parent);
}

bool DeleteAt(const Registry& reg, std::vector<std::string> parts, const std::string* value, bool allValues,
              bool force) {
    bool values = value || allValues;
    if (parts.empty() && !values) {
        Error(reg.file(), "key " + Quoted(kRegRootName) + ": the root key cannot be deleted");
        return false;
    }
    Key key;
    long rc;
    std::string what, name = value ? *value : "";
    if (values) {
        if (!OpenKey(reg, parts, false, &key) || !ReachKey(reg, &key)) return false;
        what = "key " + Quoted(key.shown);
        if (allValues) {
            rc = DeleteAllValues(key, &name);
        } else {
            rc = ZrRegDeleteValue(key.handle, Wide(name).data());
        }
        what += ": value " + Quoted(name);
    } else {
        std::string last;
        if (!OpenKeyParent(reg, &parts, force, "deleted", &key, &last, &what)) return false;
        if (!SubkeyCall(reg, &key, last, &rc))
            return false;
        else if (rc == ZRREG_SUCCESS)
            rc = ZrRegDeleteKey(key.handle, Wide(last).data());
    }
    if (rc != ZRREG_SUCCESS) {
        const char* why = rc != ZRREG_NOT_FOUND ? ResultText(rc)
                          : values              ? "the value does not exist"
                                                : "the key does not exist";
        Error(reg.file(), what + ": " + why);
        return false;
    }
    return true;
}

const Verb kInitVerb = {"init", 1, 1, "", kInitHelp, RunInit, nullptr, nullptr};
const Verb kAddVerb = {"add",    2,      2,       "-v= -ve -t= -d= -s= --force",
                       kAddHelp, RunAdd, nullptr, "v=-v ve=-ve t=-t d=-d s=-s f="};
const Verb kDeleteVerb = {
    "delete", 2, 2, "-v= -ve -va --force", kDeleteHelp, RunDelete, DeleteConflict, "v=-v ve=-ve va=-va f="};

}  // namespace zrreg
