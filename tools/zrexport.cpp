// zrreg's export verb: a key and its subtree written as a Windows registry export file.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "regexport.h"
#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kExportHelp[] =
    "Usage: zrreg export FILE [KEY] [-o OUT|-] [--utf16] [--force]\n"
    "\n"
    "Writes KEY (the root when it is left out) and its subtree as a Windows registry\n"
    "export file (\"Windows Registry Editor Version 5.00\") to standard output or OUT.\n"
    "Strings become \"name\"=\"text\", integers \"name\"=dword:xxxxxxxx, the default value @.\n"
    "Values of the root itself are written under [My Computer].\n"
    "  -o OUT   write to OUT instead of standard output (\"-\" is standard output);\n"
    "           an OUT that exists is refused, and so is FILE itself\n"
    "  --force  replace an OUT that exists\n"
    "  --utf16  write UTF-16LE with a byte order mark and CRLF line ends, as Windows'\n"
    "           own editor does; the default is UTF-8 with LF line ends\n"
    "\n"
    "Example: zrreg export app.txt 'HKLM\\Software\\MORVANE' -o morvane.reg\n";

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

int RunExport(const Args& a) {
    bool toFile = a.Has("-o") && a.Get("-o") != "-";
    const std::string& out = a.Get("-o");
    if (toFile && SameFile(out, a.pos[0])) {
        Error(out, "is the registry file itself; export it to another file");
        return kFailed;
    }
    if (toFile && !a.Has("--force") && PathExists(out)) {
        Error(out, "exists; export --force replaces it");
        return kFailed;
    }
    std::vector<std::string> parts;
    if (a.pos.size() > 1 && !KeyParts(a.pos[1], &parts)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    std::vector<ExportKey> keys;
    Collect(key.node, key.node == RegViewRoot() ? "" : key.shown, &keys);
    std::string bytes = WriteExport(keys, a.Has("--utf16") ? ExportForm::kUtf16 : ExportForm::kUtf8);
    if (toFile) return WriteFileAtomically(out, bytes) ? kOk : kFailed;
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    return kOk;
}

}  // namespace

const Verb kExportVerb = {"export", 1, 2, "-o= --utf16 --force", kExportHelp, RunExport, nullptr};

}  // namespace zrreg
