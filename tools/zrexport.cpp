// zrreg's export verb: a key and its subtree written as a Windows registry export file.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "regexport.h"
#include "regtext.h"
#include "zrreg.h"

namespace zrreg {
namespace {

const char kExportHelp[] =
    "Usage: zrreg export FILE [KEY] [-o OUT|-] [--utf16] [--force]\n"
    "       zrreg export FILE KEY OUT [--utf16] [--force]\n"
    "\n"
    "Writes KEY (the root when it is left out) and its subtree as a Windows registry\n"
    "export file (\"Windows Registry Editor Version 5.00\") to standard output or OUT.\n"
    "OUT after KEY, as Windows' reg export takes it, is -o OUT.\n"
    "Values are written as Windows' registry editor writes them: REG_SZ \"name\"=\"text\",\n"
    "REG_DWORD \"name\"=dword:xxxxxxxx, REG_BINARY hex:xx,xx,..., other types hex(N):xx,...\n"
    "(REG_EXPAND_SZ hex(2), REG_MULTI_SZ hex(7), REG_QWORD hex(b)), folded into lines of\n"
    "80 characters; a REG_SZ that \"text\" cannot carry exactly (a line break or NUL in\n"
    "it) as hex(1). The default value is @.\n"
    "Values of the root itself are written under [My Computer].\n"
    "  -o OUT   write to OUT instead of standard output (\"-\" is standard output);\n"
    "           a FIFO or a character device is written into as standard output\n"
    "           is; a regular file that exists is refused, and so is FILE itself;\n"
    "           any other kind of file (a directory, a socket) is refused always\n"
    "  --force  replace a regular file OUT that exists\n"
    "  --utf16  write UTF-16LE with a byte order mark and CRLF line ends, as Windows'\n"
    "           own editor does; the default is UTF-8 with LF line ends\n"
    "\n"
    "Windows' reg export switch /y is --force.\n"
    "\n"
    "Examples: zrreg export app.txt 'HKLM\\Software\\MORVANE' -o morvane.reg\n"
    "          zrreg export app.txt 'HKLM\\Software\\MORVANE' morvane.reg /y\n";

// The values of a key as the writer takes them.
std::vector<ExportValue> Values(const RegViewKey* node) {
    std::vector<ExportValue> values;
    for (int i = 0; i < RegViewValueCount(node); ++i) {
        RegViewValue v = RegViewValueAt(node, i);
        values.push_back(ExportValue{v.name, ViewData(v), 0});
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
            fprintf(
                stderr,
                "zrreg: %s: warning: key %s: the library cannot create a key whose name is empty or holds "
                "\"\\\" or \"/\"; an import reaches it only in a registry that has it\n",
                LoadedFile().c_str(), Quoted(path.text()).c_str());
        if (node == RegViewRoot() && RegViewValueCount(node) == 0) continue;
        put(ExportText("[", form));
        if (written.text().empty())
            put(ExportText(RegViewName(node), form));  // the root
        else
            put(written.text());  // not through ?:, which would copy it
        put(ExportSectionEnd(Values(node), form));
    }
}

// Opens the FIFO or character device `out` for writing as a shell's redirection does,
// creating and truncating nothing; null (reported) when it cannot.
FILE* OpenStream(const std::string& out) {
#ifdef _WIN32
    FILE* fp = fopen(out.c_str(), "wb");
#else
    int fd = open(out.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !IsStream(st))) {
        close(fd);  // replaced since it was looked at: written into, it would be half overwritten
        Error(out, "is no longer a FIFO or a character device");
        return nullptr;
    }
    FILE* fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && !fp) close(fd);
#endif
    if (!fp) Error(out, std::string("cannot open: ") + strerror(errno));
    return fp;
}

int RunExport(const Args& a) {
    // reg.exe's order: FILE KEY OUT.
    const std::string& out = a.pos.size() > 2 ? a.pos[2] : a.Get("-o");
    bool toFile = (a.pos.size() > 2 || a.Has("-o")) && out != "-";
    // A FIFO or a character device is written into as standard output is, --force or not;
    // a file of another kind is never replaced.
    bool stream = false;
    if (toFile) {
        if (SameFile(out, a.pos[0])) {
            Error(out, "is the registry file itself; export it to another file");
            return kFailed;
        }
        struct stat st;
        const char* kind = stat(out.c_str(), &st) == 0 ? NotRegular(st) : nullptr;
        stream = kind && IsStream(st);
        if (kind && !stream) {
            Error(out, std::string("is ") + kind +
                           "; export writes only to a regular file, a FIFO or a character device");
            return kFailed;
        }
        if (!stream && !a.Has("--force") && PathExists(out)) {
            Error(out, "exists; export --force replaces it");
            return kFailed;
        }
    }
    std::vector<std::string> parts;
    if (a.pos.size() > 1 && !KeyParts(a.pos[0], a.pos[1], &parts)) return kFailed;
    Registry reg(a.pos[0]);
    if (!reg.Open(false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, false, &key)) return kFailed;
    ExportForm form = a.Has("--utf16") ? ExportForm::kUtf16 : ExportForm::kUtf8;
    if (toFile && !stream) {
        std::string bytes;
        WriteTree(key, form, [&bytes](const std::string& piece) { bytes += piece; });
        return WriteFileAtomically(out, bytes) ? kOk : kFailed;
    }
    FILE* fp = stream ? OpenStream(out) : stdout;
    if (!fp) return kFailed;
#ifdef _WIN32
    _setmode(_fileno(fp), _O_BINARY);
#endif
    WriteTree(key, form, [fp](const std::string& piece) { fwrite(piece.data(), 1, piece.size(), fp); });
    if (fp == stdout) return kOk;  // checked with the program's other output
    bool written = !ferror(fp);
    if (fclose(fp) != 0 || !written) {
        Error(out, std::string("cannot write: ") + strerror(errno));
        return kFailed;
    }
    return kOk;
}

const char* ExportConflict(const Args& a) {
    return a.pos.size() > 2 && a.Has("-o") ? "OUT is given twice: -o and a third argument" : nullptr;
}

}  // namespace

void WriteKeyExport(const Key& key, ExportForm form, const std::function<void(const std::string&)>& put) {
    WriteTree(key, form, put);
}

const Verb kExportVerb = {"export",       1,          3, "-o= --utf16 --force", kExportHelp, RunExport,
                          ExportConflict, "y=--force"};

}  // namespace zrreg
