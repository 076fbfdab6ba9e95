// zrreg's import verb: a Windows registry export file merged into the registry.
#include <stdint.h>
#include <stdio.h>

#include "regexport.h"
#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

const char kImportHelp[] =
    "Usage: zrreg import FILE IN\n"
    "\n"
    "Merges the string and dword values of the Windows registry export file IN into\n"
    "FILE, creating keys as needed, and writes FILE back. IN may be UTF-16LE with a\n"
    "byte order mark or UTF-8, with CRLF or LF line ends. Other value types, deletions,\n"
    "and characters the registry cannot hold are reported and skipped. When IN cannot\n"
    "be read, FILE is left as it was.\n"
    "\n"
    "Example: zrreg import app.txt settings.reg\n";

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
    if (!reg.Open(true)) return kFailed;
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

}  // namespace

const Verb kImportVerb = {"import", 2, 2, "", kImportHelp, RunImport, nullptr};

}  // namespace zrreg
