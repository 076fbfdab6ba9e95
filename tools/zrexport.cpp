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

// The values of a key as the writer takes them.
std::vector<ExportValue> Values(const RegViewKey* node) {
    std::vector<ExportValue> values;
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        RegViewValue v = RegViewValueAt(node, i);
        values.push_back(
            ExportValue{v.name, v.isInteger, v.isInteger ? "" : v.text, static_cast<uint32_t>(v.integer), 0});
    }
    return values;
}

// Writes the key and its subtree to `put` section by section. Each level's path is made
// once in the file's form and kept while the walk is below it: a deep tree's paths cost
// only what the file holds.
template <typename Put>
void WriteTree(const Key& key, ExportForm form, Put put) {
    put(ExportHead(form));
    PathText path, written;
    for (Walk walk(key.node, key.shown); walk.Next();) {
        const RegViewKey* node = walk.key();
        std::string step = walk.Step();
        path.Set(walk.depth(), step);
        written.Set(walk.depth(), ExportText(step, form));
        const char* name = RegViewName(node);
        if (walk.depth() > 0 && (strpbrk(name, "\\/") || !*name))
            fprintf(stderr,
                    "zrreg: warning: key %s: a name that is empty or holds \"\\\" or \"/\" does not import "
                    "as one key\n",
                    Quoted(path.text()).c_str());
        if (node == RegViewRoot() && RegViewValueCount(node) == 0) continue;
        put(ExportText("[", form));
        put(written.text().empty() ? ExportText(RegViewName(node), form) : written.text());
        put(ExportSectionEnd(Values(node), form));
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
    ExportForm form = a.Has("--utf16") ? ExportForm::kUtf16 : ExportForm::kUtf8;
    if (toFile) {
        std::string bytes;
        WriteTree(key, form, [&bytes](const std::string& piece) { bytes += piece; });
        return WriteFileAtomically(out, bytes) ? kOk : kFailed;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    WriteTree(key, form, [](const std::string& piece) { fwrite(piece.data(), 1, piece.size(), stdout); });
    return kOk;
}

}  // namespace

const Verb kExportVerb = {"export", 1, 2, "-o= --utf16 --force", kExportHelp, RunExport, nullptr};

}  // namespace zrreg
