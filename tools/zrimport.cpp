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
    "Values of every type are set with their type: \"text\" as REG_SZ, dword: as\n"
    "REG_DWORD, hex: as REG_BINARY, hex(N): as type N (hex(2) REG_EXPAND_SZ, hex(7)\n"
    "REG_MULTI_SZ, hex(b) REG_QWORD...) with its bytes. [-KEY] deletes KEY\n"
    "with its subtree and \"NAME\"=- deletes a value, as Windows' editor does; a whole\n"
    "hive is not deleted. Each section must start at a Windows hive (HKEY_...), at\n"
    "\"My Computer\" or at a top-level key that FILE already has.\n"
    "\n"
    "A line that Windows' editor skips is reported on standard error with the line\n"
    "number and the reason, and skipped; so are names with characters the registry\n"
    "cannot hold. A comment (a line that starts with \";\" or \"#\" after\n"
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

// The exported functions themselves, each handle checked to reach the key it was opened for.
class Library : public ImportTarget {
public:
    long OpenKey(void* parent, const std::string& name, void** out) override {
        return OpenSubkey(parent, name, false, out);
    }
    long CreateKey(void* parent, const std::string& name, void** out) override {
        return OpenSubkey(parent, name, true, out);
    }
    long OpenPath(void* parent, const std::vector<std::string>& names, size_t* levels, void** out) override {
        const RegViewKey* node = RegViewKeyOf(parent);
        size_t n = 0;
        for (const RegViewKey* sub; node && n < names.size() && (sub = FindSubkey(node, names[n])); ++n)
            node = sub;
        if (!node) return ZRREG_KEY_NOT_FOUND;
        if (n == 0) return ZRREG_NOT_FOUND;
        long rc = OpenLevels(parent, std::vector<std::string>(names.begin(), names.begin() + n), out);
        if (rc == ZRREG_SUCCESS && RegViewKeyOf(*out) != node) {
            ZrRegCloseKey(*out);
            rc = kNotReached;
        }
        if (rc == ZRREG_NOT_FOUND) rc = kNotReached;
        if (rc == ZRREG_SUCCESS) *levels = n;
        return rc;
    }
    void CloseKey(void* key) override { ZrRegCloseKey(key); }
    long DeleteKey(void* parent, const std::string& name) override {
        // The library would look for the name with "/" for each "\" in it.
        if (name.find('\\') != std::string::npos) {
            const RegViewKey* node = RegViewKeyOf(parent);
            return node && FindSubkey(node, name) ? kNotReached : ZRREG_NOT_FOUND;
        }
        return ZrRegDeleteKey(parent, WideIn(&wide_, name));
    }
    long DeleteValue(void* key, const std::string& name) override {
        return ZrRegDeleteValue(key, WideIn(&wide_, name));
    }
    long SetValue(void* key, const ExportValue& v) override { return SetTypedValue(key, v.name, v.data); }

private:
    std::vector<unsigned short> wide_;
};

// Applies what the reader hands on to the target as it comes. Export files list a key's
// subkeys right after it, so the handles along the last section's path are kept open and
// a section opens only the levels where its path departs from the last one.
class Importer : public ExportHandler {
public:
    Importer(const Registry& reg, const std::string& in, ImportOptions opt, ImportTarget* target,
             ImportReport* report, ImportCounts* counts)
        : reg_(reg), in_(in), opt_(opt), target_(target), report_(report), c_(*counts) {}
    ~Importer() override { Finish(); }
    Importer(const Importer&) = delete;
    Importer& operator=(const Importer&) = delete;

    // Closes the handles it keeps; they must be closed before the registry is unloaded.
    void Finish() { CloseFrom(0); }

    // Set when the library refused a change; the import is then abandoned.
    bool failed() const { return failed_; }

    // Import makes no top-level key but a hive and deletes none, so the tree answers.
    bool KnownRoot(const std::string& name) override { return IsTopLevel(name); }

    void OnKey(const ExportKey& key) override {
        state_ = kSkip;
        if (failed_) return;
        std::string why;
        SplitKeyPath(key.path, &parts_, &why);  // the reader has split it once already
        line_ = key.line;
        shown_ = parts_.empty() ? kRegRootName : Path(parts_.size());
        for (const std::string& p : parts_) {
            if (const char* why = UnstorableName(p))
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
        long rc = target_->DeleteKey(Handle(), parts_.back());
        if (rc == 5) return;
        if (rc == kNotReached)
            return Skip(key.line, "[-" + Latin1ToUtf8(key.path) + "]: " + ResultText(rc) + "; not deleted");
        if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + ResultText(rc));
        ++c_.keysDeleted;
        Report(ImportChange::kDeleteKey, "", nullptr, nullptr);
    }

    void OnValue(const ExportValue& v) override {
        if (failed_) return;
        auto what = [&v] { return v.name.empty() ? "the default value (@)" : "value " + Quoted(v.name); };
        if (state_ != kSet) return Skip(v.line, "");  // reported with its section
        if (const char* why = UnstorableName(v.name))
            return Skip(v.line, what() + ": its name " + why + "; skipped");
        ExportValue before;
        bool had = target_->ValueBefore(Handle(), v.name, &before);
        if (v.isDelete) {
            if (opt_.noDelete) return Skip(v.line, what() + ": not deleted (--no-delete)");
            long rc = target_->DeleteValue(Handle(), v.name);
            if (rc == 5) return;
            if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + what() + ": " + ResultText(rc));
            ++c_.valuesDeleted;
            Report(ImportChange::kDeleteValue, v.name, had ? &before : nullptr, nullptr);
            return;
        }
        long rc = target_->SetValue(Handle(), v);
        if (rc == ZRREG_BAD_NAME) return Skip(v.line, what() + ": " + UnheldData(v.data) + "; skipped");
        if (rc != 0) return Fail("key " + Quoted(shown_) + ": " + what() + ": " + ResultText(rc));
        ++c_.set;
        Report(ImportChange::kSetValue, v.name, had ? &before : nullptr, &v);
    }

    void OnSkipped(int line, const std::string& what) override { Skip(line, what); }

    bool OnInvalid(int line, const std::string& what, bool section) override {
        ++c_.invalid;
        if (opt_.strict) return false;
        report_->Skipped(in_, "line " + std::to_string(line) + ": " + what +
                                  (section ? "; skipped with the values under it" : "; skipped"));
        return true;
    }

private:
    void Skip(int line, const std::string& what) {
        ++c_.skipped;
        if (!what.empty()) report_->Skipped(in_, "line " + std::to_string(line) + ": " + what);
    }

    void Fail(const std::string& what) {
        Error(reg_.file(), what + "; nothing imported");
        failed_ = true;
    }

    void Report(ImportChange::Kind kind, const std::string& name, const ExportValue* before,
                const ExportValue* after, const std::string* path = nullptr) {
        change_.kind = kind;
        change_.path = path ? *path : shown_;
        change_.name = name;
        change_.hadBefore = before != nullptr;
        if (before) change_.before = *before;
        if (after) change_.after = *after;
        report_->Changed(change_);
    }

    void* Handle() const { return open_.empty() ? HkeyRegRoot() : open_.back(); }

    void CloseFrom(size_t level) {
        while (open_.size() > level) {
            if (open_.back()) target_->CloseKey(open_.back());
            open_.pop_back();
            names_.pop_back();
        }
    }

    // Leaves the handles of parts_[0..n) open; with `create`, missing keys are created
    // (and counted). False when a key is missing and not to be created.
    bool Open(size_t n, bool create) {
        size_t common = 0;
        while (common < open_.size() && common < n && SameName(names_[common], parts_[common])) ++common;
        while (common > 0 && !open_[common - 1]) --common;  // a level passed over has no handle
        CloseFrom(common);
        for (size_t i = common; i < n; ++i) {
            void* next = nullptr;
            size_t levels = 1;
            long rc = target_->OpenKey(Handle(), parts_[i], &next);
            if (rc == kNotReached && i + 1 < n) {
                std::vector<std::string> rest(parts_.begin() + static_cast<long>(i),
                                              parts_.begin() + static_cast<long>(n));
                rc = target_->OpenPath(Handle(), rest, &levels, &next);
            }
            if (rc == 5 && create) {
                rc = target_->CreateKey(Handle(), parts_[i], &next);
                if (rc == 0) {
                    ++c_.created;
                    std::string path = Path(i + 1);
                    Report(ImportChange::kCreateKey, "", nullptr, nullptr, &path);
                }
            }
            if (rc == 5 && !create) return false;
            if (rc == kNotReached || rc == kCannotMake) {
                Skip(line_,
                     "key " + Quoted(Path(i + 1)) + ": " + ResultText(rc) + "; skipped with its values");
                return false;
            }
            if (rc != 0) {
                Fail("key " + Quoted(Path(i + 1)) + ": " + ResultText(rc));
                return false;
            }
            for (; levels > 1; --levels) {
                open_.push_back(nullptr);
                names_.push_back(parts_[i++]);
            }
            open_.push_back(next);
            names_.push_back(parts_[i]);
        }
        return true;
    }

    std::string Path(size_t n) const {
        std::string s;
        for (size_t i = 0; i < n; ++i) s = JoinKeyPath(s, parts_[i]);
        return s;
    }

    const Registry& reg_;
    const std::string& in_;
    ImportOptions opt_;
    ImportTarget* target_;
    ImportReport* report_;
    ImportCounts& c_;
    std::vector<void*> open_;         // handles along the last section's path (null: none)
    std::vector<std::string> names_;  // their names
    std::vector<std::string> parts_;  // the current section's path
    std::string shown_;
    int line_ = 0;  // the current section's
    enum { kSkip, kSet, kDeleted } state_ = kSkip;
    ImportChange change_;
    bool failed_ = false;
};

// The verb's report: the dry run's lines on standard output.
class PrintChanges : public ImportReport {
public:
    explicit PrintChanges(bool print) : print_(print) {}
    void Changed(const ImportChange& c) override {
        if (print_) printf("%s\n", ImportChangeText(c).c_str());
    }

private:
    bool print_;
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
    ImportOptions opt = {a.Has("--dry-run"), a.Has("--no-delete"), a.Has("--strict")};
    bool fromStdin = a.pos[1] == "-";
    const std::string in = fromStdin ? "standard input" : a.pos[1];
    std::string bytes;
    if (fromStdin ? !ReadStandardInput(&bytes) : !ReadWholeFile(in, &bytes, true)) return kFailed;

    // All or nothing, and nothing at all on a dry run. Through the file's change log the
    // import is one group of records, which the processes that use the file see at their next
    // call, all at once; without a log (a dry run, or where none can be had) the changes stay
    // this process's until the unload merges them into the file.
    RegViewUseLog(!opt.dryRun);
    Registry reg(a.pos[0]);
    if (!reg.Open(!opt.dryRun, a.Has("--force"))) return kFailed;
    bool grouped = !opt.dryRun && RegViewGroupBegin();
    PrintChanges report(opt.dryRun);
    ImportCounts counts;
    if (!ImportText(reg, in, bytes, opt, LibraryTarget(), &report, &counts)) {
        if (grouped) RegViewGroupEnd(false);
        return kFailed;
    }
    if (grouped && !RegViewGroupEnd(true)) {
        Error(a.pos[0], "the import could not be written to the change log; nothing imported");
        reg.Close(false);
        return kFailed;
    }
    if (!reg.Close(!opt.dryRun)) return kFailed;
    printf("%s\n", ImportSummary(in, opt.dryRun, counts).c_str());
    return kOk;
}

// The generic count check would call the missing input file a KEY.
const char* MissingInput(const Args& a) { return a.pos.size() == 1 ? "missing IN" : nullptr; }

}  // namespace

ImportTarget* LibraryTarget() {
    static Library library;
    return &library;
}

bool ImportText(const Registry& reg, const std::string& in, const std::string& bytes, ImportOptions opt,
                ImportTarget* target, ImportReport* report, ImportCounts* counts) {
    Importer importer(reg, in, opt, target, report, counts);
    std::string error;
    bool read = ReadExport(bytes, &importer, &error);
    if (importer.failed()) return false;
    if (!read) {
        Error(in, error + "; nothing imported");
        return false;
    }
    return true;
}

std::string ImportSummary(const std::string& in, bool dryRun, const ImportCounts& c) {
    return in + ": " + (dryRun ? "dry run, nothing written: " : "") + Count(c.created, "key") + " created, " +
           Count(c.set, "value") + " set, " + Count(c.keysDeleted, "key") + " deleted, " +
           Count(c.valuesDeleted, "value") + " deleted, " + std::to_string(c.skipped) + " skipped, " +
           Count(c.invalid, "invalid line");
}

std::string ImportChangeText(const ImportChange& c) {
    std::string name = c.name.empty() ? "@" : Quoted(c.name);  // as the export file writes it
    switch (c.kind) {
        case ImportChange::kCreateKey:
            return "create key " + Latin1ToUtf8(c.path);
        case ImportChange::kDeleteKey:
            return "delete key " + Latin1ToUtf8(c.path);
        case ImportChange::kDeleteValue:
            return "delete value " + Latin1ToUtf8(c.path) + " " + name;
        case ImportChange::kSetValue:
            break;
    }
    return "set " + Latin1ToUtf8(c.path) + " " + name + " = " + RegData(c.after.data, 0, false);
}

const Verb kImportVerb = {
    "import", 2, 2, "--dry-run --no-delete --strict --force", kImportHelp, RunImport, MissingInput, nullptr};

}  // namespace zrreg
