// zrreg: looks into, scripts, repairs and converts registry files through the library.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "regexport.h"
#include "regtext.h"
#include "regview.h"
#include "zrregdll.h"

#ifndef ZR_VERSION
#define ZR_VERSION "unknown"
#endif

namespace {

enum { kOk = 0, kFailed = 1, kUsage = 2 };
const long kBadArgument = -1;  // 0xFFFFFFFF as the exported functions return it

// ---- help --------------------------------------------------------------------------------

const char kProgramHelp[] =
    "Usage: zrreg VERB FILE [ARGS...]\n"
    "       zrreg --help | --version\n"
    "\n"
    "Looks into, scripts, repairs and converts the registry file FILE.\n"
    "\n"
    "Verbs:\n"
    "  check  FILE                           load FILE and print what is wrong with it\n"
    "  query  FILE [KEY] [-v NAME | -s]      print a key's values and subkeys\n"
    "  add    FILE KEY [-v NAME [-t TYPE] [-d DATA]]\n"
    "                                        create a key with its parents, set a value\n"
    "  delete FILE KEY [-v NAME]             delete a key with its subtree, or a value\n"
    "  export FILE [KEY] [-o OUT] [--utf16]  write a Windows registry export file\n"
    "  import FILE IN                        merge a Windows registry export file\n"
    "\n"
    "KEY is a path such as HKLM\\Software\\MORVANE or My Computer/HKEY_CURRENT_USER:\n"
    "\"\\\" or \"/\" separate its keys, HKLM and HKCU abbreviate HKEY_LOCAL_MACHINE and\n"
    "HKEY_CURRENT_USER, and it may start at the root \"My Computer\" or below it. Names\n"
    "are matched without regard to letter case.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error. 'zrreg VERB --help' tells more.\n";

struct Args;

struct Verb {
    const char* name;
    int minArgs, maxArgs;  // positional arguments after the verb
    const char* options;   // the one-letter options it takes; 'u' stands for --utf16
    const char* help;
    int (*run)(const Args&);
};

struct Args {
    const Verb* verb = nullptr;
    std::vector<std::string> pos;
    bool hasValue = false, subtree = false, hasType = false, hasData = false, hasOut = false, utf16 = false;
    std::string value, type, data, out;
};

// ---- messages ----------------------------------------------------------------------------

// What a result of the exported key functions means, in words.
const char* ResultText(long rc) {
    switch (rc) {
        case 0:
            return "done";
        case 2:
            return "out of memory";
        case 3:
            return "the key handle is not valid";
        case 5:
            return "it does not exist";
        case 7:
            return "it does not fit the library's 256-byte buffer";
        case 8:
            return "the key no longer exists";
        case 9:
            return "no registry is loaded";
        case 10:
            return "the key is in use";
        case 11:
            return "the registry file cannot hold it (a double quote, a line feed or byte 26, a text "
                   "of more than 9998 bytes, or a name of 256 characters or more)";
        case 259:
            return "there are no more subkeys";
        case kBadArgument:
            return "an argument is missing or the path is empty";
        default:
            return "the library failed";
    }
}

// What ZrLoadRegistry's result means, in words.
const char* LoadText(uint32_t rc) {
    switch (rc) {
        case 1:
            return "it is not a valid registry file";
        case 2:
            return "out of memory";
        case 5:
            return "it cannot be opened for reading";
        default:
            return "the library cannot load it";
    }
}

void Error(const std::string& where, const std::string& what) {
    fprintf(stderr, "zrreg: %s: %s\n", where.c_str(), what.c_str());
}

int Usage(const Args& a, const std::string& what) {
    std::string verb = a.verb ? std::string(" ") + a.verb->name : "";
    fprintf(stderr, "zrreg%s: %s\nTry 'zrreg%s --help'.\n", verb.c_str(), what.c_str(), verb.c_str());
    return kUsage;
}

std::string Quoted(const std::string& bytes) { return "\"" + Latin1ToUtf8(bytes) + "\""; }

// ---- the loaded registry -----------------------------------------------------------------

// The library prints its messages about a bad file on standard output. `check` shows
// them there; the other verbs keep standard output for their results and send the
// messages to standard error.
class StdoutToStderr {
public:
    StdoutToStderr() {
        fflush(stdout);
        saved_ = dup(1);
        if (saved_ >= 0) dup2(2, 1);
    }
    ~StdoutToStderr() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
    }
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;

private:
    int saved_;
};

class Registry {
public:
    explicit Registry(const std::string& file) : file_(file) {}
    ~Registry() { Close(false); }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Loads the file; reports why not and returns false when it cannot. A registry that
    // is to be changed must have a name the library can save it under.
    bool Open(bool forChange, bool messagesToStdout) {
        FILE* fp = fopen(file_.c_str(), "rb");
        if (!fp) {
            Error(file_, std::string("cannot open: ") + strerror(errno));
            return false;
        }
        fclose(fp);
        char tmp[REGVIEW_PATH_MAX];
        if (forChange && !RegViewTempFile(file_.c_str(), tmp, sizeof tmp)) {
            Error(file_,
                  "cannot be saved: the library names its temporary file after the part of the file name "
                  "before its first \".\", and this name has none");
            return false;
        }
        uint32_t rc;
        if (messagesToStdout) {
            rc = ZrLoadRegistry(file_.c_str());
        } else {
            StdoutToStderr redirect;
            rc = ZrLoadRegistry(file_.c_str());
        }
        if (rc != 0) {
            Error(file_, LoadText(rc));
            return false;
        }
        loaded_ = true;
        return true;
    }

    // Unloads; with `save`, the library writes a changed tree back through its temporary
    // file. Without it, changes made so far are dropped and the file stays as it was.
    // False when changes were to be saved and the file was not replaced.
    bool Close(bool save) {
        if (!loaded_) return true;
        loaded_ = false;
        if (!save) RegViewSetChanged(false);
        bool pending = RegViewChanged();
        struct stat before;
        bool known = stat(file_.c_str(), &before) == 0;
        char tmp[REGVIEW_PATH_MAX];
        bool named = RegViewTempFile(file_.c_str(), tmp, sizeof tmp);
        ZrUnloadRegistry();
        if (!pending || !known) return true;
        // The library reports nothing; a saved file is a new file that replaced the old,
        // and one that could not replace it is left in the temporary file.
        struct stat after;
        bool replaced = stat(file_.c_str(), &after) == 0;
#ifndef _WIN32
        replaced = replaced && (after.st_ino != before.st_ino || after.st_dev != before.st_dev);
#endif
        if (replaced) return true;
        struct stat kept;
        if (named && stat(tmp, &kept) == 0)
            return Fail(
                ("the changes could not replace the file; they are kept in " + std::string(tmp)).c_str());
        return Fail("the changes could not be saved; the file is as it was");
    }

    const std::string& file() const { return file_; }

private:
    bool Fail(const char* what) {
        Error(file_, what);
        return false;
    }
    std::string file_;
    bool loaded_ = false;
};

// A key opened along a user's path, one level at a time, so that only each name, not the
// whole path, is bound by the library's 256-byte name buffers.
struct Key {
    void* handle = nullptr;
    const RegViewKey* node = nullptr;
    std::string shown;  // its path below the root as the tree spells it, or the root's name
    // Handles must be closed before the registry is unloaded.
    void Close() {
        if (handle && handle != HkeyRegRoot()) ZrRegCloseKey(handle);
        handle = nullptr;
    }
    ~Key() { Close(); }
};

std::string Join(const std::string& parent, const char* name) {
    return parent.empty() ? std::string(name) : parent + "\\" + name;
}

std::string ShownPath(const RegViewKey* node, const std::string& belowRoot) {
    return belowRoot.empty() ? std::string(RegViewName(node)) : belowRoot;
}

// Opens (or, with `create`, creates) the key at `parts`; on failure reports which level
// failed and why.
bool OpenKey(const Registry& reg, const std::vector<std::string>& parts, bool create, Key* key) {
    key->handle = HkeyRegRoot();
    std::string below;
    for (const std::string& part : parts) {
        void* next = nullptr;
        std::vector<unsigned short> name = Wide(part);
        long rc = create ? ZrRegCreateKey(key->handle, name.data(), &next)
                         : ZrRegOpenKeyEx(key->handle, name.data(), 0, &next);
        std::string at = Join(below, part.c_str());
        if (rc != 0) {
            std::string why = rc == 5 ? "the key does not exist" : ResultText(rc);
            Error(reg.file(), "key " + Quoted(at) + ": " + why);
            return false;
        }
        if (key->handle != HkeyRegRoot()) ZrRegCloseKey(key->handle);
        key->handle = next;
        const RegViewKey* node = RegViewKeyOf(next);
        below = Join(below, node ? RegViewName(node) : part.c_str());
    }
    key->node = RegViewKeyOf(key->handle);
    if (!key->node) {
        Error(reg.file(), "key " + Quoted(below) + ": " + ResultText(8));
        return false;
    }
    key->shown = ShownPath(key->node, below);
    return true;
}

// Turns a user's text into registry bytes; false (reported) when it cannot be held.
bool ToRegistryText(const std::string& arg, const char* what, std::string* bytes) {
    char32_t bad = 0;
    if (ArgToLatin1(arg, bytes, &bad)) return true;
    fprintf(stderr, "zrreg: %s \"%s\" holds %s; the registry holds only characters up to U+00FF\n", what,
            arg.c_str(), CodePointName(bad).c_str());
    return false;
}

bool KeyParts(const std::string& path, std::vector<std::string>* parts) {
    std::string bytes;
    if (!ToRegistryText(path, "the key path", &bytes)) return false;
    *parts = SplitKeyPath(bytes);
    return true;
}

// The library stores "\" in a value name as "/"; lookups here follow the same rule.
std::string ValueName(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return name;
}

bool FindValue(const RegViewKey* node, const std::string& name, RegViewValue* out) {
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        *out = RegViewValueAt(node, i);
        if (RegViewCompareNames(out->name, name.c_str()) == 0) return true;
    }
    return false;
}

// ---- check -------------------------------------------------------------------------------

void Count(const RegViewKey* node, long* keys, long* values) {
    ++*keys;
    *values += RegViewValueCount(node);
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) Count(RegViewSubkey(node, i), keys, values);
}

int RunCheck(const Args& a) {
    Registry reg(a.pos[0]);
    if (!reg.Open(false, true)) return kFailed;
    long keys = 0, values = 0;
    Count(RegViewRoot(), &keys, &values);
    printf("%s: loads: %ld keys, %ld values\n", a.pos[0].c_str(), keys, values);
    return kOk;
}

// ---- query -------------------------------------------------------------------------------

// One value line; names are padded to `width` so that a key's values line up.
void PrintValue(const RegViewValue& v, size_t width) {
    std::string name = *v.name ? v.name : "(Default)";
    name.resize(width > name.size() ? width : name.size(), ' ');
    name = Latin1ToUtf8(name);
    if (v.isInteger) {
        int32_t n = v.integer;
        printf("    %s    REG_DWORD    0x%08lx (%ld)\n", name.c_str(),
               static_cast<unsigned long>(static_cast<uint32_t>(n)), static_cast<long>(n));
    } else {
        printf("    %s    REG_SZ       %s\n", name.c_str(), Latin1ToUtf8(v.text).c_str());
    }
}

void PrintKey(const RegViewKey* node, const std::string& shown) {
    printf("%s\n", Latin1ToUtf8(shown).c_str());
    size_t width = 0;
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        const char* name = RegViewValueAt(node, i).name;
        size_t n = *name ? strlen(name) : strlen("(Default)");
        if (n > width) width = n;
    }
    for (int i = 0; i < RegViewValueCount(node); ++i) PrintValue(RegViewValueAt(node, i), width);
}

void PrintTree(const RegViewKey* node, const std::string& below) {
    PrintKey(node, ShownPath(node, below));
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        printf("\n");
        const RegViewKey* sub = RegViewSubkey(node, i);
        PrintTree(sub, Join(below, RegViewName(sub)));
    }
}

int RunQuery(const Args& a) {
    std::vector<std::string> parts;
    std::string name;
    if (a.pos.size() > 1 && !KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.hasValue && !ToRegistryText(a.value, "the value name", &name)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(false, false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    std::string below = key.node == RegViewRoot() ? "" : key.shown;
    if (a.hasValue) {
        RegViewValue v;
        if (!FindValue(key.node, ValueName(name), &v)) {
            Error(reg.file(),
                  "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": the value does not exist");
            return kFailed;
        }
        printf("%s\n", Latin1ToUtf8(key.shown).c_str());
        PrintValue(v, 0);
    } else if (a.subtree) {
        PrintTree(key.node, below);
    } else {
        PrintKey(key.node, key.shown);
        if (RegViewSubkeyCount(key.node) > 0) printf("\n");
        for (int i = 0; i < RegViewSubkeyCount(key.node); ++i)
            printf("%s\n", Latin1ToUtf8(Join(below, RegViewName(RegViewSubkey(key.node, i)))).c_str());
    }
    return kOk;
}

// ---- add and delete ----------------------------------------------------------------------

// REG_DWORD data: decimal, possibly negative, or hexadecimal after 0x; 32 bits.
bool ParseDword(const std::string& text, uint32_t* out) {
    const char* s = text.c_str();
    bool hex = (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'));
    bool neg = !hex && s[0] == '-';
    const char* digits = hex ? s + 2 : (neg ? s + 1 : s);
    if (!*digits) return false;
    uint64_t n = 0;
    for (const char* p = digits; *p; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            return false;
        n = n * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (n > 0xFFFFFFFFull) return false;
    }
    if (neg && n > 0x80000000ull) return false;
    *out = neg ? static_cast<uint32_t>(0u - static_cast<uint32_t>(n)) : static_cast<uint32_t>(n);
    return true;
}

int RunAdd(const Args& a) {
    if ((a.hasType || a.hasData) && !a.hasValue) return Usage(a, "-t and -d need -v NAME");
    bool dword = false;
    uint32_t number = 0;
    if (a.hasType) {
        if (SameName(a.type, "REG_DWORD"))
            dword = true;
        else if (!SameName(a.type, "REG_SZ"))
            return Usage(a, "-t: the type must be REG_SZ or REG_DWORD, not \"" + a.type + "\"");
    }
    if (dword && !a.hasData) return Usage(a, "REG_DWORD needs -d DATA");
    if (dword && !ParseDword(a.data, &number))
        return Usage(a, "-d: \"" + a.data + "\" is not a 32-bit number (decimal, or hexadecimal after 0x)");

    std::vector<std::string> parts;
    std::string name, text;
    if (!KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.hasValue && !ToRegistryText(a.value, "the value name", &name)) return kFailed;
    if (!dword && !ToRegistryText(a.data, "the data", &text)) return kFailed;

    Registry reg(a.pos[0]);
    if (!reg.Open(true, false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, true, &key)) return kFailed;
    if (a.hasValue) {
        std::vector<unsigned short> wname = Wide(name);
        long rc =
            dword ? ZrRegSetValueEx(key.handle, wname.data(), 4, reinterpret_cast<unsigned char*>(&number), 4)
                  : ZrRegSetValueEx(key.handle, wname.data(), 1,
                                    reinterpret_cast<const unsigned char*>(text.c_str()),
                                    static_cast<uint32_t>(text.size() + 1));
        if (rc != 0) {
            Error(reg.file(), "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": " + ResultText(rc));
            return kFailed;
        }
    }
    key.Close();
    return reg.Close(true) ? kOk : kFailed;
}

int RunDelete(const Args& a) {
    std::vector<std::string> parts;
    std::string name;
    if (!KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.hasValue && !ToRegistryText(a.value, "the value name", &name)) return kFailed;
    if (parts.empty() && !a.hasValue) {
        Error(a.pos[0], "the root key cannot be deleted");
        return kFailed;
    }
    Registry reg(a.pos[0]);
    if (!reg.Open(true, false)) return kFailed;
    Key key;
    long rc;
    std::string what;
    if (a.hasValue) {
        if (!OpenKey(reg, parts, false, &key)) return kFailed;
        rc = ZrRegDeleteValue(key.handle, Wide(name).data());
        what = "key " + Quoted(key.shown) + ": value " + Quoted(name);
    } else {
        std::string last = parts.back();
        parts.pop_back();
        if (!OpenKey(reg, parts, false, &key)) return kFailed;
        rc = ZrRegDeleteKey(key.handle, Wide(last).data());
        what = "key " + Quoted(parts.empty() ? last : key.shown + "\\" + last);
    }
    if (rc != 0) {
        const char* why = rc != 5      ? ResultText(rc)
                          : a.hasValue ? "the value does not exist"
                                       : "the key does not exist";
        Error(reg.file(), what + ": " + why);
        return kFailed;
    }
    key.Close();
    return reg.Close(true) ? kOk : kFailed;
}

// ---- export and import -------------------------------------------------------------------

void Collect(const RegViewKey* node, const std::string& path, std::vector<ExportKey>* keys) {
    if (node != RegViewRoot() || RegViewValueCount(node) > 0) {
        ExportKey k;
        k.path = ShownPath(node, path);
        k.line = 0;
        for (int i = 0; i < RegViewValueCount(node); ++i) {
            RegViewValue v = RegViewValueAt(node, i);
            ExportValue e;
            e.name = v.name;
            e.isDword = v.isInteger;
            e.dword = static_cast<uint32_t>(v.integer);
            if (!e.isDword) e.text = v.text;
            e.line = 0;
            k.values.push_back(e);
        }
        keys->push_back(k);
    }
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        const RegViewKey* sub = RegViewSubkey(node, i);
        const char* name = RegViewName(sub);
        if (strpbrk(name, "\\/") || !*name)
            fprintf(stderr,
                    "zrreg: warning: key %s: a name that is empty or holds \"\\\" or \"/\" does not import "
                    "as one key\n",
                    Quoted(Join(path, name)).c_str());
        Collect(sub, Join(path, name), keys);
    }
}

// Writes `bytes` to `path` through a temporary file beside it, so that a failure leaves
// any earlier file of that name as it was.
bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    errno = 0;
    if (RegViewWriteFile(path.c_str(), bytes.data(), bytes.size())) return true;
    Error(path, std::string("cannot write the file") + (errno ? std::string(": ") + strerror(errno) : ""));
    return false;
}

// Whether two paths name one file (links and other spellings included).
bool SameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
    char fa[_MAX_PATH], fb[_MAX_PATH];
    return _fullpath(fa, a.c_str(), sizeof fa) && _fullpath(fb, b.c_str(), sizeof fb) &&
           _stricmp(fa, fb) == 0;
#else
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
#endif
}

int RunExport(const Args& a) {
    if (a.hasOut && SameFile(a.out, a.pos[0])) {
        Error(a.out, "is the registry file itself; export it to another file");
        return kFailed;
    }
    std::vector<std::string> parts;
    if (a.pos.size() > 1 && !KeyParts(a.pos[1], &parts)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(false, false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    std::vector<ExportKey> keys;
    Collect(key.node, key.node == RegViewRoot() ? "" : key.shown, &keys);
    std::string bytes = WriteExport(keys, a.utf16 ? ExportForm::kUtf16 : ExportForm::kUtf8);
    if (a.hasOut) return WriteFileAtomically(a.out, bytes) ? kOk : kFailed;
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    return kOk;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) {
        Error(path, std::string("cannot open: ") + strerror(errno));
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) bytes->append(buf, n);
    bool ok = !ferror(fp);
    fclose(fp);
    if (!ok) Error(path, "cannot read the file");
    return ok;
}

// Why the key operations would refuse a name or text, or null when they take it.
const char* Unstorable(const std::string& bytes, bool isName) {
    if (isName && bytes.size() >= 256) return "is 256 characters or longer";
    if (!RegViewStorable(bytes.data(), bytes.size()))
        return bytes.size() > kRegTextMax ? "is longer than the registry file can hold"
                                          : "holds a double quote, a line feed or byte 26";
    return nullptr;
}

struct ImportKey {
    std::vector<std::string> parts;
    const ExportKey* key;
};

// Drops what the registry cannot hold, reporting it, so that the changes either all
// apply or (should the library fail) none is saved.
std::vector<ImportKey> Storable(const std::string& in, ImportResult* read) {
    std::vector<ImportKey> out;
    for (ExportKey& k : read->keys) {
        std::vector<std::string> parts = SplitKeyPath(k.path);
        const char* why = nullptr;
        for (const std::string& p : parts)
            if (!why) why = Unstorable(p, true);
        if (why) {
            Error(in, "line " + std::to_string(k.line) + ": key " + Quoted(k.path) + ": a name " + why +
                          "; skipped with its values");
            continue;
        }
        std::vector<ExportValue> kept;
        for (const ExportValue& v : k.values) {
            why = Unstorable(v.name, true);
            if (!why && !v.isDword && Unstorable(v.text, false))
                why = v.text.size() > kRegTextMax ? "has a text longer than the registry file can hold"
                                                  : "has a text that holds a double quote, a line feed or "
                                                    "byte 26";
            if (why) {
                Error(in, "line " + std::to_string(v.line) + ": value " + Quoted(v.name) + " " + why +
                              "; skipped");
                continue;
            }
            kept.push_back(v);
        }
        k.values.swap(kept);
        out.push_back(ImportKey{parts, &k});
    }
    return out;
}

int RunImport(const Args& a) {
    const std::string& in = a.pos[1];
    std::string bytes;
    if (!ReadWholeFile(in, &bytes)) return kFailed;
    ImportResult read;
    if (!ReadExport(bytes, &read)) {
        Error(in, read.error);
        return kFailed;
    }
    for (const std::string& s : read.skipped) Error(in, s);
    std::vector<ImportKey> keys = Storable(in, &read);

    Registry reg(a.pos[0]);
    if (!reg.Open(true, false)) return kFailed;
    for (const ImportKey& k : keys) {
        Key key;
        if (!OpenKey(reg, k.parts, true, &key)) return kFailed;
        for (const ExportValue& v : k.key->values) {
            std::vector<unsigned short> wname = Wide(v.name);
            long rc = v.isDword ? ZrRegSetValueEx(key.handle, wname.data(), 4,
                                                  reinterpret_cast<const unsigned char*>(&v.dword), 4)
                                : ZrRegSetValueEx(key.handle, wname.data(), 1,
                                                  reinterpret_cast<const unsigned char*>(v.text.c_str()),
                                                  static_cast<uint32_t>(v.text.size() + 1));
            if (rc != 0) {
                Error(reg.file(), "key " + Quoted(key.shown) + ": value " + Quoted(v.name) + ": " +
                                      ResultText(rc) + "; nothing imported");
                return kFailed;
            }
        }
    }
    return reg.Close(true) ? kOk : kFailed;
}

// ---- the verbs and their arguments ---------------------------------------------------------

const Verb kVerbs[] = {
    {"check", 1, 1, "",
     "Usage: zrreg check FILE\n"
     "\n"
     "Loads FILE and prints the library's messages about it on standard output: syntax\n"
     "errors with their line numbers, then a count of its keys and values when it loads.\n"
     "Nothing is written. Exit status 0 when the file loads, 1 when it does not.\n",
     RunCheck},
    {"query", 1, 2, "vs",
     "Usage: zrreg query FILE [KEY] [-v NAME | -s]\n"
     "\n"
     "Prints KEY (the root when it is left out): its path, then one line per value with\n"
     "its name, type and data, then the full paths of its subkeys.\n"
     "  -v NAME  print the one value NAME (\"\" for the default value)\n"
     "  -s       print the whole subtree, key by key\n"
     "\n"
     "Example: zrreg query app.reg HKLM\\Software\\MORVANE\\Ardo\\1.0 -v InstallDir\n",
     RunQuery},
    {"add", 2, 2, "vtd",
     "Usage: zrreg add FILE KEY [-v NAME [-t REG_SZ|REG_DWORD] [-d DATA]]\n"
     "\n"
     "Creates KEY with every missing key above it and, with -v, sets the value NAME;\n"
     "an existing value is replaced. FILE is written back.\n"
     "  -v NAME  the value to set (\"\" for the default value)\n"
     "  -t TYPE  REG_SZ (text, the default) or REG_DWORD (a 32-bit integer)\n"
     "  -d DATA  the text, or the integer: decimal, negative, or hexadecimal after 0x\n"
     "\n"
     "Example: zrreg add app.reg HKCU\\Software\\MORVANE\\Ardo -v Zoom -t REG_DWORD -d 125\n",
     RunAdd},
    {"delete", 2, 2, "v",
     "Usage: zrreg delete FILE KEY [-v NAME]\n"
     "\n"
     "Deletes KEY with all its subkeys and values or, with -v, the one value NAME.\n"
     "FILE is written back.\n"
     "\n"
     "Example: zrreg delete app.reg HKCU\\Software\\MORVANE\\Ardo\\Recent\n",
     RunDelete},
    {"export", 1, 2, "ou",
     "Usage: zrreg export FILE [KEY] [-o OUT] [--utf16]\n"
     "\n"
     "Writes KEY (the root when it is left out) and its subtree as a Windows registry\n"
     "export file (\"Windows Registry Editor Version 5.00\") to standard output or OUT.\n"
     "Strings become \"name\"=\"text\", integers \"name\"=dword:xxxxxxxx, the default value @.\n"
     "Values of the root itself are written under [My Computer].\n"
     "  -o OUT   write to OUT instead of standard output\n"
     "  --utf16  write UTF-16LE with a byte order mark and CRLF line ends, as Windows'\n"
     "           own editor does; the default is UTF-8 with LF line ends\n"
     "\n"
     "Example: zrreg export app.reg HKLM\\Software\\MORVANE -o morvane.reg\n",
     RunExport},
    {"import", 2, 2, "",
     "Usage: zrreg import FILE IN\n"
     "\n"
     "Merges the string and dword values of the Windows registry export file IN into\n"
     "FILE, creating keys as needed, and writes FILE back. IN may be UTF-16LE with a\n"
     "byte order mark or UTF-8, with CRLF or LF line ends. Other value types, deletions,\n"
     "and characters the registry cannot hold are reported and skipped. When IN cannot\n"
     "be read, FILE is left as it was.\n"
     "\n"
     "Example: zrreg import app.reg settings.reg\n",
     RunImport},
};

// Parses the words after the verb; returns -1 when the verb is to run, else an exit status.
int ParseArgs(int argc, char** argv, Args* a) {
    bool onlyPositional = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
            a->pos.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            fputs(a->verb->help, stdout);
            return kOk;
        }
        char opt = 0;
        if (arg == "--utf16")
            opt = 'u';
        else if (arg.size() == 2 && arg[1] != 'u')
            opt = arg[1];
        if (!opt || !strchr(a->verb->options, opt)) return Usage(*a, "unknown option " + arg);
        if (opt == 's') {
            a->subtree = true;
            continue;
        }
        if (opt == 'u') {
            a->utf16 = true;
            continue;
        }
        if (i + 1 >= argc) return Usage(*a, "option " + arg + " needs an argument");
        std::string val = argv[++i];
        bool* has = opt == 'v'   ? &a->hasValue
                    : opt == 't' ? &a->hasType
                    : opt == 'd' ? &a->hasData
                                 : &a->hasOut;
        std::string* dst = opt == 'v' ? &a->value : opt == 't' ? &a->type : opt == 'd' ? &a->data : &a->out;
        if (*has) return Usage(*a, "option " + arg + " given twice");
        *has = true;
        *dst = val;
    }
    if (a->hasValue && a->subtree) return Usage(*a, "-v and -s cannot be combined");
    if (a->pos.size() < static_cast<size_t>(a->verb->minArgs))
        return Usage(*a, a->pos.empty() ? "missing FILE" : "missing KEY");
    if (a->pos.size() > static_cast<size_t>(a->verb->maxArgs)) return Usage(*a, "too many arguments");
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (argc < 2) return Usage(a, "missing verb");
    std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        fputs(kProgramHelp, stdout);
        return kOk;
    }
    if (first == "--version") {
        printf("zrreg %s\n", ZR_VERSION);
        return kOk;
    }
    for (const Verb& v : kVerbs)
        if (first == v.name) a.verb = &v;
    if (!a.verb) return Usage(a, "unknown verb \"" + first + "\"");
    int rc = ParseArgs(argc, argv, &a);
    if (rc < 0) rc = a.verb->run(a);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zrreg: cannot write to standard output\n");
        return kFailed;
    }
    return rc;
}
