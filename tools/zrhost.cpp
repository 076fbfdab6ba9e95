// zrreg's host of the library: the loaded registry, keys opened along a user's path,
// the user's text turned into registry bytes, files read and written whole, and the
// messages about results.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

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

}  // namespace

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

void Error(const std::string& where, const std::string& what) {
    fprintf(stderr, "zrreg: %s: %s\n", where.c_str(), what.c_str());
}

std::string Quoted(const std::string& bytes) { return "\"" + Latin1ToUtf8(bytes) + "\""; }

bool Registry::Open(bool forChange, bool messagesToStdout) {
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

bool Registry::Close(bool save) {
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
        return Fail(("the changes could not replace the file; they are kept in " + std::string(tmp)).c_str());
    return Fail("the changes could not be saved; the file is as it was");
}

bool Registry::Fail(const char* what) {
    Error(file_, what);
    return false;
}

void Key::Close() {
    if (handle && handle != HkeyRegRoot()) ZrRegCloseKey(handle);
    handle = nullptr;
}

std::string Join(const std::string& parent, const char* name) {
    return parent.empty() ? std::string(name) : parent + "\\" + name;
}

std::string ShownPath(const RegViewKey* node, const std::string& belowRoot) {
    return belowRoot.empty() ? std::string(RegViewName(node)) : belowRoot;
}

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

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    errno = 0;
    if (RegViewWriteFile(path.c_str(), bytes.data(), bytes.size())) return true;
    Error(path, std::string("cannot write the file") + (errno ? std::string(": ") + strerror(errno) : ""));
    return false;
}

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

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) {
        Error(path, std::string("cannot open: ") + strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && st.st_size > 0) bytes->reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) bytes->append(buf, n);
    bool ok = !ferror(fp);
    fclose(fp);
    if (!ok) Error(path, "cannot read the file");
    return ok;
}

}  // namespace zrreg
