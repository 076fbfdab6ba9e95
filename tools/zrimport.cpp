// zrreg's import verb: a Windows registry export file merged into the registry.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "regexport.h"
#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

const char kImportHelp[] =
    "Usage: zrreg import FILE IN [--dry-run] [--no-delete] [--strict] [--force]\n"
    "\n"
    "Merges the Windows registry export file IN (\"-\" for standard input) into FILE,\n"
    "creating keys as needed, and writes FILE back once, at the end. IN may be UTF-8 or\n"
    "UTF-16LE, with or without a byte order mark, with CRLF or LF line ends. IN may be\n"
    "a FIFO or a character device too (as <(...) and /dev/stdin are), read to its end.\n"
    "\n"
    "String and dword values are set; hex(1) and hex(2) data that make a text the\n"
    "registry can hold are set as strings, hex(4) data as dwords. [-KEY] deletes KEY\n"
    "with its subtree and \"NAME\"=- deletes a value, as Windows' editor does; a whole\n"
    "hive is not deleted. Each section must start at a Windows hive (HKEY_...), at\n"
    "\"My Computer\" or at a top-level key that FILE already has.\n"
    "\n"
    "A line that Windows' editor skips is reported on standard error with the line\n"
    "number and the reason, and skipped; so are other value types and characters the\n"
    "registry cannot hold. A comment (a line that starts with \";\" or \"#\" after\n"
    "blanks) is skipped without a word. The import goes on and ends, once FILE is\n"
    "written, with a summary line on standard output: keys created, values set, keys\n"
    "and values deleted, skipped entries, invalid lines.\n"
    "  --dry-run    print each change (create, set, delete) instead; FILE is not written\n"
    "  --no-delete  report and skip [-KEY] and \"NAME\"=- instead of deleting\n"
    "  --strict     refuse the whole file at its first invalid line; nothing is changed\n"
    "  --force      write FILE even when it holds integers wider than 32 bits, which\n"
    "               the library keeps cut to 32 bits (each is named with its line)\n"
    "\n"
    "Exit status: 0 when IN was imported (what was skipped is on standard error), 1 when\n"
    "IN was refused (it is not an export file, or an invalid line with --strict) or FILE\n"
    "could not be written, 2 for a usage error. FILE changes only with exit status 0.\n"
    "\n"
    "Example: zrreg import app.txt from-windows.reg\n";

std::string Count(long n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

// The 16-bit, NUL-terminated form of `bytes` in a buffer kept from call to call.
const unsigned short* WideIn(std::vector<unsigned short>* buf, const std::string& bytes) {
    buf->clear();
    for (unsigned char b : bytes) buf->push_back(b);
    buf->push_back(0);
    return buf->data();
}

struct Options {
    bool dryRun, noDelete, strict;
};

// Applies what the reader hands on to the loaded registry as it comes. Export files list
// a key's subkeys right after it, so the handles along the last section's path are kept
// open and a section opens only the levels where its path departs from the last one.
class Importer : public ExportHandler {
public:
    Importer(const Registry& reg, const std::string& in, Options opt) : reg_(reg), in_(in), opt_(opt) {}
    ~Importer() override { Finish(); }
    Importer(const Importer&) = delete;
    Importer& operator=(const Importer&) = delete;

    // Closes the handles it keeps; they must be closed before the registry is unloaded.
    void Finish() { CloseFrom(0); }

    // Set when the library refused a change; the import is then abandoned.
    bool failed() const { return failed_; }
    long invalid() const { return invalid_; }

    void Summary() const {
        printf("%s: %s%s created, %s set, %s deleted, %s deleted, %ld skipped, %s\n", in_.c_str(),
               opt_.dryRun ? "dry run, nothing written: " : "", Count(created_, "key").c_str(),
               Count(set_, "value").c_str(), Count(keysDeleted_, "key").c_str(),
               Count(valuesDeleted_, "value").c_str(), skipped_, Count(invalid_, "invalid line").c_str());
    }

    // Import makes no top-level key but a hive and deletes none, so the tree answers.
    bool KnownRoot(const std::string& name) override { return IsTopLevel(name); }

    void OnKey(const ExportKey& key) override {
        state_ = kSkip;
        if (failed_) return;
        parts_ = SplitKeyPath(key.path);
        shown_.clear();
        for (const std::string& p : parts_) shown_ += (shown_.empty() ? "" : "\\") + p;
        if (parts_.empty()) shown_ = kRegRootName;
        for (const std::string& p : parts_) {
            if (const char* why = Unstorable(p, true))
                return Skip(key.line,
                            "key " + Quoted(key.path) + ": a name " + why + "; skipped with its values");
        }
        if (!key.isDelete) {
            if (Open(parts_.size(), true)) state_ = kSet;
            return;
        }
        if (opt_.noDelete)
            return Skip(key.line, "[-" + Latin1ToUtf8(key.path) + "]: not deleted (--no-delete)");
        if (parts_.size() < 2)
            return Skip(key.line, "[-" + Latin1ToUtf8(key.path) +
                                      "]: a whole hive or the root is not deleted; skipped");
        state_ = kDeleted;
        if (!Open(parts_.size() - 1, false)) return;  // nothing there to delete
        long rc = ZrRegDeleteKey(Handle(), WideIn(&wide_, parts_.back()));
        if (rc == 5) return;
        if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + ResultText(rc));
        ++keysDeleted_;
        if (opt_.dryRun) printf("delete key %s\n", Latin1ToUtf8(shown_).c_str());
    }

    void OnValue(const ExportValue& v) override {
        if (failed_) return;
        auto what = [&v] { return v.name.empty() ? "the default value (@)" : "value " + Quoted(v.name); };
        auto name = [&v] { return v.name.empty() ? "@" : Quoted(v.name); };  // as the export file writes it
        if (state_ != kSet) return Skip(v.line, "");                         // reported with its section
        if (const char* why = Unstorable(v.name, true))
            return Skip(v.line, what() + ": its name " + why + "; skipped");
        if (v.isDelete) {
            if (opt_.noDelete) return Skip(v.line, what() + ": not deleted (--no-delete)");
            long rc = ZrRegDeleteValue(Handle(), WideIn(&wide_, v.name));
            if (rc == 5) return;
            if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + what() + ": " + ResultText(rc));
            ++valuesDeleted_;
            if (opt_.dryRun) printf("delete value %s %s\n", Latin1ToUtf8(shown_).c_str(), name().c_str());
            return;
        }
        if (const char* why = v.isDword ? nullptr : Unstorable(v.text, false))
            return Skip(v.line, what() + " has a text that " + why + "; skipped");
        long rc = v.isDword ? ZrRegSetValueEx(Handle(), WideIn(&wide_, v.name), 4,
                                              reinterpret_cast<const unsigned char*>(&v.dword), 4)
                            : ZrRegSetValueEx(Handle(), WideIn(&wide_, v.name), 1,
                                              reinterpret_cast<const unsigned char*>(v.text.c_str()),
                                              static_cast<uint32_t>(v.text.size() + 1));
        if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + what() + ": " + ResultText(rc));
        ++set_;
        if (!opt_.dryRun) return;
        char dword[16];
        snprintf(dword, sizeof dword, "dword:%08lx", static_cast<unsigned long>(v.dword));
        printf("set %s %s = %s\n", Latin1ToUtf8(shown_).c_str(), name().c_str(),
               v.isDword ? dword : Quoted(v.text).c_str());
    }

    void OnSkipped(int line, const std::string& what) override { Skip(line, what); }

    bool OnInvalid(int line, const std::string& what, bool section) override {
        ++invalid_;
        if (opt_.strict) return false;
        Error(in_, "line " + std::to_string(line) + ": " + what +
                       (section ? "; skipped with the values under it" : "; skipped"));
        return true;
    }

private:
    void Skip(int line, const std::string& what) {
        ++skipped_;
        if (!what.empty()) Error(in_, "line " + std::to_string(line) + ": " + what);
    }

    void Fail(const std::string& what) {
        Error(reg_.file(), what + "; nothing imported");
        failed_ = true;
    }

    void* Handle() const { return open_.empty() ? HkeyRegRoot() : open_.back(); }

    void CloseFrom(size_t level) {
        while (open_.size() > level) {
            ZrRegCloseKey(open_.back());
            open_.pop_back();
            names_.pop_back();
        }
    }

    // Leaves the handles of parts_[0..n) open; with `create`, missing keys are created
    // (and counted). False when a key is missing and not to be created.
    bool Open(size_t n, bool create) {
        size_t common = 0;
        while (common < open_.size() && common < n && SameName(names_[common], parts_[common])) ++common;
        CloseFrom(common);
        for (size_t i = common; i < n; ++i) {
            void* next = nullptr;
            const unsigned short* name = WideIn(&wide_, parts_[i]);
            long rc = ZrRegOpenKeyEx(Handle(), name, 0, &next);
            if (rc == 5 && create) {
                rc = ZrRegCreateKey(Handle(), name, &next);
                if (rc == 0) {
                    ++created_;
                    if (opt_.dryRun) printf("create key %s\n", Latin1ToUtf8(Path(i + 1)).c_str());
                }
            }
            if (rc == 5 && !create) return false;
            if (rc != 0) {
                Fail("key " + Quoted(Path(i + 1)) + ": " + ResultText(rc));
                return false;
            }
            open_.push_back(next);
            names_.push_back(parts_[i]);
        }
        return true;
    }

    std::string Path(size_t n) const {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += (i ? "\\" : "") + parts_[i];
        return s;
    }

    const Registry& reg_;
    const std::string& in_;
    Options opt_;
    std::vector<void*> open_;         // handles along the last section's path
    std::vector<std::string> names_;  // their names
    std::vector<std::string> parts_;  // the current section's path
    std::string shown_;
    enum { kSkip, kSet, kDeleted } state_ = kSkip;
    std::vector<unsigned short> wide_;
    bool failed_ = false;
    long created_ = 0, set_ = 0, keysDeleted_ = 0, valuesDeleted_ = 0, skipped_ = 0, invalid_ = 0;
};

bool ReadStandardInput(std::string* bytes) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) bytes->append(buf, n);
    if (!ferror(stdin)) return true;
    Error("standard input", "cannot read it");
    return false;
}

int RunImport(const Args& a) {
    Options opt = {a.Has("--dry-run"), a.Has("--no-delete"), a.Has("--strict")};
    bool fromStdin = a.pos[1] == "-";
    const std::string in = fromStdin ? "standard input" : a.pos[1];
    std::string bytes;
    if (fromStdin ? !ReadStandardInput(&bytes) : !ReadWholeFile(in, &bytes, true)) return kFailed;

    // All or nothing, and nothing at all on a dry run: the changes stay this process's until
    // the unload, which merges them into the file, rather than each going to the file's
    // change log (and to the other processes) at once.
    RegViewUseLog(false);
    Registry reg(a.pos[0]);
    if (!reg.Open(!opt.dryRun, a.Has("--force"))) return kFailed;
    Importer importer(reg, in, opt);
    std::string error;
    bool read = ReadExport(bytes, &importer, &error);
    if (importer.failed()) return kFailed;
    if (!read) {
        Error(in, error + "; nothing imported");
        return kFailed;
    }
    importer.Finish();
    if (!reg.Close(!opt.dryRun)) return kFailed;
    importer.Summary();
    return kOk;
}

// The generic count check would call the missing input file a KEY.
const char* MissingInput(const Args& a) { return a.pos.size() == 1 ? "missing IN" : nullptr; }

}  // namespace

const Verb kImportVerb = {"import",    2,         2,           "--dry-run --no-delete --strict --force",
                          kImportHelp, RunImport, MissingInput};

}  // namespace zrreg
