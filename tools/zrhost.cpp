// zrreg's host of the library: the loaded registry, keys opened along a user's path,
// the user's text turned into registry bytes, and the messages about results.
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <unordered_map>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
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
        case ZRREG_LOAD_REFUSED:
            return "it is not a valid registry file";
        case ZRREG_LOAD_NO_MEMORY:
            return "out of memory";
        case ZRREG_LOAD_NO_FILE:
            return "it cannot be opened for reading";
        default:
            return "the library cannot load it";
    }
}

// The library's messages about the file it loads, shown on standard error after the
// file's name (what an unload did, the tool learns from RegViewLastUnload). The error the
// scanner adds after a runaway string names the line of the message before it.
std::string s_messageFile;
int s_lastLine, s_syntaxLine;

void ShowLibraryMessage(const RegViewMessage* m, void*) {
    // A run makes its changes and unloads: without a log it is still all it was.
    if (m->kind == REGVIEW_MSG_SAVE || m->kind == REGVIEW_MSG_NO_LOG) return;
    if (m->kind == REGVIEW_MSG_ERROR_IN_LINE && m->line == s_lastLine) return;
    if (m->kind == REGVIEW_MSG_PARSE && strcmp(m->text, "syntax error") == 0) s_syntaxLine = m->line;
    if (m->line) {
        s_lastLine = m->line;
        fprintf(stderr, "%s: line %d: %s\n", s_messageFile.c_str(), m->line, m->text);
    } else {
        fprintf(stderr, "%s: %s\n", s_messageFile.c_str(), m->text);
    }
}

}  // namespace

const char* ResultText(long rc) {
    switch (rc) {
        case ZRREG_SUCCESS:
            return "done";
        case ZRREG_NO_MEMORY:
            return "out of memory";
        case ZRREG_INVALID_HANDLE:
            return "the key handle is not valid";
        case ZRREG_NOT_FOUND:
            return "it does not exist";
        case ZRREG_BUFFER_TOO_SMALL:
            return "it does not fit the library's 256-byte buffer";
        case ZRREG_KEY_NOT_FOUND:
            return "the key no longer exists";
        case ZRREG_NOT_LOADED:
            return "no registry is loaded";
        case ZRREG_KEY_BUSY:
            return "the key is in use";
        case ZRREG_ALREADY_EXISTS:
            return "the new name is taken";
        case ZRREG_BAD_NAME:
            return "the registry file cannot hold it (a double quote, a line feed or byte 26, a text "
                   "of more than 9998 bytes, or a name of 256 characters or more)";
        case ZRREG_NO_MORE_ITEMS:
            return "there are no more subkeys";
        case kBadArgument:
            return "an argument is missing or the path is empty";
        case kNotReached:
            return "the library cannot change this key: its path search takes \"\\\" and \"/\" in names "
                   "for separators and reaches another key or none by this key's path";
        case kCannotMake:
            return "the library cannot create a key whose name is empty or holds \"\\\" or \"/\"";
        default:
            return "the library failed";
    }
}

const char* UnstorableName(const std::string& bytes) {
    if (bytes.size() >= 256) return "is 256 characters or longer";
    if (RegViewStorable(bytes.data(), bytes.size())) return nullptr;
    if (bytes.find('"') != std::string::npos) return "holds a double quote (\")";
    if (bytes.find('\n') != std::string::npos) return "holds a line feed";
    if (bytes.find('\x1a') != std::string::npos) return "holds byte 26 (Ctrl-Z)";
    return "is a name the registry file cannot hold";
}

std::string RefusedName(long rc, const std::string& name) {
    const char* why = rc == ZRREG_BAD_NAME ? UnstorableName(name) : nullptr;
    if (!why) return ResultText(rc);
    return std::string("the name ") + why + ", which the registry cannot hold";
}

namespace {

thread_local std::string* t_capture = nullptr;

// One message line after "zrreg: ", to standard error or to the capture.
void Say(std::string line) {
    // A NUL byte from a file would end the line early; it shows as \0.
    for (size_t i = 0; (i = line.find('\0', i)) != std::string::npos; i += 2) line.replace(i, 1, "\\0");
    if (t_capture) {
        *t_capture += (t_capture->empty() ? "" : "\n") + line;
        return;
    }
    line = "zrreg: " + line + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

ErrorCapture::ErrorCapture() : prev_(t_capture) { t_capture = &text; }
ErrorCapture::~ErrorCapture() { t_capture = prev_; }

void Error(const std::string& where, const std::string& what) { Say(where + ": " + what); }

std::string Quoted(const std::string& bytes) { return "\"" + Latin1ToUtf8(bytes) + "\""; }

const char kUnsavableName[] = "cannot be saved: its path is too long for the names of its temporary files";

namespace {

bool IsWordByte(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '/'; }

}  // namespace

// The text is cut as the scanner cuts it: texts in double quotes (ended by the line's end
// too), words of letters, digits, "_", "." and "/", and a "-" directly before a word of digits.
// Only a plain value's number is cut to 32 bits: the numbers of a value whose type word is
// another (the file's extension: a REG_QWORD's, a byte's) load as they stand.
std::vector<WideInteger> WideIntegers(const std::string& text) {
    std::vector<WideInteger> out;
    long line = 1;
    size_t n = text.find('\0');
    if (n == std::string::npos) n = text.size();
    bool extended = false;
    for (size_t i = 0; i < n;) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '[') {
            size_t end = text.find_first_of("]\n", i);
            if (end == std::string::npos || end > n) end = n;
            std::string word = text.substr(i + 1, end - i - 1);
            extended = strcasecmp(word.c_str(), "REG_INT") != 0 && strcasecmp(word.c_str(), "REG_SZ") != 0;
            i = end;
        } else if (c == ';') {
            extended = false;
            ++i;
        } else if (c == '"') {
            ++i;
            while (i < n && text[i] != '"' && text[i] != '\n') ++i;
            if (i < n && text[i] == '"') ++i;
        } else if (IsWordByte(c)) {
            size_t start = i;
            while (i < n && IsWordByte(text[i])) ++i;
            std::string word = text.substr(start, i - start);
            if (extended || word.find_first_not_of("0123456789") != std::string::npos) continue;
            bool negative = start > 0 && text[start - 1] == '-';
            uint64_t v = 0;
            for (char d : word)
                if (v <= 0x80000000ull) v = v * 10 + static_cast<uint64_t>(d - '0');
            if (negative) word.insert(0, "-");
            if (v > (negative ? 0x80000000ull : 0x7FFFFFFFull))
                out.push_back(WideInteger{
                    line, word,
                    static_cast<int32_t>(static_cast<uint32_t>(strtoll(word.c_str(), nullptr, 10)))});
        } else {
            ++i;
        }
    }
    return out;
}

bool Registry::Open(bool forChange, bool force) {
    FILE* fp = OpenForReading(file_, false);
    if (!fp) return false;
    fclose(fp);
    char tmp[REGVIEW_PATH_MAX];
    if (forChange && !RegViewTempFile(file_.c_str(), tmp, sizeof tmp)) {
        Error(file_, kUnsavableName);
        return false;
    }
    // With a sink of its own, a token over the scanner's limit is a refused load too.
    s_messageFile = file_;
    s_lastLine = s_syntaxLine = 0;
    RegViewSetSink(ShowLibraryMessage, nullptr);
    uint32_t rc = ZrLoadRegistry(file_.c_str());
    if (rc != ZRREG_SUCCESS) {
        std::string text;
        if (s_syntaxLine > 0 && ReadWholeFile(file_, &text, false)) {
            std::string hint = SyntaxHint(text, s_syntaxLine);
            if (!hint.empty()) Error(file_, hint);
        }
        Error(file_, LoadText(rc));
        return false;
    }
    loaded_ = true;
    if (!forChange) return true;
    std::string text;
    if (!ReadWholeFile(file_, &text, false)) return false;
    std::vector<WideInteger> wide = WideIntegers(text);
    for (const WideInteger& w : wide)
        Error(file_, "line " + std::to_string(w.line) + ": " + (force ? "warning: " : "") + "the integer " +
                         w.text + " does not fit 32 bits; it " + (force ? "is" : "would be") +
                         " written back as " + std::to_string(w.loaded));
    if (wide.empty() || force) return true;
    return Fail(
        "nothing changed: the file would be written back with these integers cut to 32 bits; "
        "--force writes it so");
}

bool Registry::Close(bool save) {
    if (!loaded_) return true;
    loaded_ = false;
    ForgetSubkeyNames();
    if (!save) RegViewSetChanged(false);
    char tmp[REGVIEW_PATH_MAX];
    bool named = RegViewTempFile(file_.c_str(), tmp, sizeof tmp);
    ZrUnloadRegistry();
    RegViewUnload u = RegViewLastUnload();
    std::string why = file_ + " " + u.why;
    switch (u.result) {
        case REGVIEW_SAVE_NONE:
        case REGVIEW_SAVE_WRITTEN:
            return true;
        case REGVIEW_SAVE_ASIDE:
            return Fail("the changes could not be saved: " + why + "; this process's changes are kept in " +
                        u.keptIn);
        case REGVIEW_SAVE_FAILED:
            break;
    }
    if (*u.keptIn)
        return Fail("the changes could not replace the file (" + std::string(u.why) + "); they are kept in " +
                    u.keptIn);
    std::string dir = named ? SaveFailure(tmp) : "";
    return Fail("the changes could not be saved: " + (dir.empty() ? why : dir) + "; the file is as it was");
}

bool Registry::Fail(const std::string& what) {
    Error(file_, what);
    return false;
}

void Key::Close() {
    if (handle && handle != HkeyRegRoot()) ZrRegCloseKey(handle);
    handle = nullptr;
}

std::string Join(const std::string& parent, const char* name) { return JoinKeyPath(parent, name); }

std::string ShownPath(const RegViewKey* node, const std::string& belowRoot) {
    return belowRoot.empty() ? std::string(RegViewName(node)) : belowRoot;
}

std::string PathOf(const RegViewKey* node) {
    PathText path;
    for (Walk walk(RegViewRoot(), ""); walk.Next();) {
        path.Set(walk.depth(), walk.Step());
        if (walk.key() == node) return path.Shown();
    }
    return "";
}

namespace {

// The first subkey of each name (letters folded) of the keys looked into, so that a run of
// lookups and new subkeys below one key does not scan its list each time. An entry holds
// while the key's subkey at its last count is the one it saw there: subkeys are added at
// the end, and a deletion moves that subkey, or the count below it.
struct SubkeyNames {
    int count = 0;
    const RegViewKey* last = nullptr;
    std::unordered_map<std::string, int> first;
};
thread_local std::unordered_map<const RegViewKey*, SubkeyNames> t_subkeyNames;
thread_local size_t t_namesKept = 0;
const int kScanned = 16;             // a list this short is scanned
const size_t kNamesKept = 1u << 20;  // then the index starts anew

const RegViewKey* ScanSubkeys(const RegViewKey* node, const std::string& name) {
    for (int i = 0; i < RegViewSubkeyCount(node); ++i) {
        const RegViewKey* sub = RegViewSubkey(node, i);
        if (RegViewCompareNames(RegViewName(sub), name.c_str()) == 0) return sub;
    }
    return nullptr;
}

}  // namespace

void ForgetSubkeyNames() {
    t_subkeyNames.clear();
    t_namesKept = 0;
}

const RegViewKey* FindSubkey(const RegViewKey* node, const std::string& name) {
    int n = RegViewSubkeyCount(node);
    if (n < kScanned) return ScanSubkeys(node, name);
    // A rename changes a name in its place, which the checks below cannot see.
    thread_local uint64_t renames = 0;
    if (t_namesKept > kNamesKept || renames != RegViewKeyRenames()) ForgetSubkeyNames();
    renames = RegViewKeyRenames();
    SubkeyNames& e = t_subkeyNames[node];
    if (e.count > n || (e.count > 0 && RegViewSubkey(node, e.count - 1) != e.last)) {
        t_namesKept -= e.first.size();
        e = SubkeyNames();
    }
    for (int i = e.count; i < n; ++i) e.first.emplace(FoldName(RegViewName(RegViewSubkey(node, i))), i);
    t_namesKept += static_cast<size_t>(n - e.count);
    e.count = n;
    e.last = RegViewSubkey(node, n - 1);
    auto it = e.first.find(FoldName(name));
    const RegViewKey* sub = it == e.first.end() ? nullptr : RegViewSubkey(node, it->second);
    if (!sub || RegViewCompareNames(RegViewName(sub), name.c_str()) == 0) return sub;
    t_namesKept -= e.first.size();
    t_subkeyNames.erase(node);
    return ScanSubkeys(node, name);
}

// The Windows hives are roots of every registry (the library makes HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER on first use, the others as any key); any other first level must be a
// top-level key the file has.
bool IsTopLevel(const std::string& name) {
    for (const WindowsHive& h : kWindowsHives)
        if (SameName(name, h.name)) return true;
    const RegViewKey* root = RegViewRoot();
    for (int i = 0; root && i < RegViewSubkeyCount(root); ++i)
        if (RegViewCompareNames(RegViewName(RegViewSubkey(root, i)), name.c_str()) == 0) return true;
    return false;
}

std::string NotTopLevel(const std::string& name) {
    std::string why = "not a root of this registry, whose roots are the Windows hives (";
    for (const WindowsHive& h : kWindowsHives) why += std::string(&h == kWindowsHives ? "" : ", ") + h.name;
    why += ")";
    std::vector<std::string> others;
    const RegViewKey* root = RegViewRoot();
    for (int i = 0; root && i < RegViewSubkeyCount(root); ++i) {
        std::string top = RegViewName(RegViewSubkey(root, i));
        if (!HiveName(top)) others.push_back(top);
    }
    for (size_t i = 0; i < others.size(); ++i)
        why += std::string(i == 0 ? " and " : i + 1 == others.size() ? " and " : ", ") + Quoted(others[i]);
    // What a shell leaves of HKCU\Software\... written without quotes.
    for (const WindowsHive& h : kWindowsHives)
        for (const char* top : {h.name, h.abbreviation})
            if (name.size() > strlen(top) && SameName(name.substr(0, strlen(top)), top))
                return why + " (in a shell, put a path with \"\\\" in quotes)";
    return why;
}

bool MayCreateRoot(const Registry& reg, const std::string& first, bool force, const char* verb) {
    if (IsTopLevel(first)) return true;
    if (!force) {
        Error(reg.file(),
              "key " + Quoted(first) + ": " + NotTopLevel(first) + "; " + verb + " --force creates it");
        return false;
    }
    Error(reg.file(), "warning: key " + Quoted(first) + ": a new top-level key");
    return true;
}

bool OpenKey(const Registry& reg, const std::vector<std::string>& parts, bool create, Key* key) {
    key->Close();
    key->names.clear();
    key->node = RegViewRoot();
    std::string below;
    size_t found = 0;
    for (; found < parts.size(); ++found) {
        const RegViewKey* sub = FindSubkey(key->node, parts[found]);
        if (!sub) break;
        key->node = sub;
        key->names.push_back(RegViewName(sub));
        below = Join(below, RegViewName(sub));
    }
    key->shown = ShownPath(key->node, below);
    if (found < parts.size() && !create) {
        const std::string& part = parts[found];
        Error(reg.file(),
              "key " + Quoted(Join(below, part.c_str())) + ": " +
                  (below.empty() && !IsTopLevel(part) ? NotTopLevel(part) : "the key does not exist"));
        return false;
    }
    if (!create) return true;
    if (!ReachKey(reg, key)) return false;
    for (size_t i = found; i < parts.size(); ++i) {
        void* next = nullptr;
        long rc = OpenSubkey(key->handle, parts[i], true, &next);
        std::string at = Join(below, parts[i].c_str());
        if (rc != ZRREG_SUCCESS) {
            Error(reg.file(), "key " + Quoted(at) + ": " + RefusedName(rc, parts[i]));
            return false;
        }
        key->Close();
        key->handle = next;
        key->names.push_back(parts[i]);
        below = at;
    }
    // The tree has changed: what the handle reaches is looked up again.
    key->node = RegViewKeyOf(key->handle);
    if (!key->node) {
        Error(reg.file(), "key " + Quoted(below) + ": " + ResultText(ZRREG_KEY_NOT_FOUND));
        return false;
    }
    key->shown = ShownPath(key->node, below);
    return true;
}

long OpenLevels(void* from, const std::vector<std::string>& names, void** out) {
    void* h = from;
    long rc = ZRREG_SUCCESS;
    // As many levels a call as the library's 256-byte name buffer takes: a call from the
    // root is one search of the whole path, the search every change through the handle
    // makes again, while one that starts at a handle reaching another key would fail.
    for (size_t i = 0; i < names.size() && rc == ZRREG_SUCCESS;) {
        std::string levels = names[i++];
        while (i < names.size() && levels.size() + 1 + names[i].size() < 256) levels += "\\" + names[i++];
        void* next = nullptr;
        rc = ZrRegOpenKeyEx(h, Wide(levels).data(), 0, &next);
        if (h != from) ZrRegCloseKey(h);
        h = rc == ZRREG_SUCCESS ? next : from;
    }
    if (rc == ZRREG_SUCCESS) *out = h;
    return rc;
}

bool ReachKey(const Registry& reg, Key* key) {
    if (key->handle) return true;
    void* root = HkeyRegRoot();
    void* h = root;
    long rc = OpenLevels(root, key->names, &h);
    const RegViewKey* reached = rc == ZRREG_SUCCESS ? RegViewKeyOf(h) : nullptr;
    if (reached && reached == key->node) {
        key->handle = h;
        return true;
    }
    if (h != root) ZrRegCloseKey(h);
    std::string other = reached ? PathOf(reached) : "";
    std::string why =
        rc != ZRREG_SUCCESS && rc != ZRREG_NOT_FOUND
            ? ResultText(rc)
            : "the library cannot change this key: its path search takes \"\\\" and \"/\" in names "
              "for separators and reaches " +
                  (other.empty() ? std::string("no key") : "the key " + Quoted(other)) +
                  " by this key's path";
    Error(reg.file(), "key " + Quoted(key->shown) + ": " + why);
    return false;
}

long OpenSubkey(void* parent, const std::string& name, bool create, void** out) {
    const RegViewKey* node = RegViewKeyOf(parent);
    if (!node) return ZRREG_KEY_NOT_FOUND;
    bool had = FindSubkey(node, name) != nullptr;
    if (!had && !create) return ZRREG_NOT_FOUND;
    if (!had && (name.empty() || name.find_first_of("\\/") != std::string::npos)) return kCannotMake;
    std::vector<unsigned short> wide = Wide(name);
    long rc = had ? ZrRegOpenKeyEx(parent, wide.data(), 0, out) : ZrRegCreateKey(parent, wide.data(), out);
    if (rc != ZRREG_SUCCESS) return had && rc == ZRREG_NOT_FOUND ? kNotReached : rc;
    // Made or not, the tree may have changed: the subkey is looked up again.
    node = RegViewKeyOf(parent);
    const RegViewKey* want = node ? FindSubkey(node, name) : nullptr;
    if (want && RegViewKeyOf(*out) == want) return ZRREG_SUCCESS;
    ZrRegCloseKey(*out);
    *out = nullptr;
    if (!had) ZrRegDeleteKey(parent, wide.data());
    return kNotReached;
}

long SetTypedValue(void* handle, const std::string& name, const TypedData& d) {
    std::vector<unsigned short> wname = Wide(name);
    return ZrRegSetKeyValue(handle, nullptr, wname.data(), d.type, d.bytes.data(),
                            static_cast<uint32_t>(d.bytes.size()));
}

std::string UnheldData(const TypedData& d) {
    std::string shown = ShownData(d);
    if (shown.size() > 40) {
        size_t cut = 37;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
        shown = shown.substr(0, cut) + "...";
    }
    return "the registry cannot hold this " + TypeName(d.type) + " value (" + shown + ")";
}

bool ToRegistryText(const std::string& arg, const char* what, std::string* bytes) {
    char32_t bad = 0;
    if (ArgToLatin1(arg, bytes, &bad)) return true;
    Say(std::string(what) + " \"" + arg + "\" holds " + CodePointName(bad) +
        "; the registry holds only characters up to U+00FF");
    return false;
}

bool KeyParts(const std::string& path, std::vector<std::string>* parts) {
    std::string bytes, why;
    if (!ToRegistryText(path, "the key path", &bytes)) return false;
    if (SplitKeyPath(bytes, parts, &why)) return true;
    Say("the key path \"" + path + "\": " + Latin1ToUtf8(why));
    return false;
}

std::string Typed(const std::string& file, const std::string& key, const std::string* value) {
    std::string about = file + ": key \"" + (key.empty() ? std::string(kRegRootName) : key) + "\"";
    return value ? about + ": value \"" + *value + "\"" : about;
}

bool ToRegistryText(const std::string& about, const std::string& what, const std::string& arg,
                    std::string* bytes) {
    char32_t bad = 0;
    if (ArgToLatin1(arg, bytes, &bad)) return true;
    Say(about + ": " + what + " holds " + CodePointName(bad) +
        "; the registry holds only characters up to U+00FF");
    return false;
}

bool KeyParts(const std::string& file, const std::string& path, std::vector<std::string>* parts) {
    std::string bytes, why;
    if (!ToRegistryText(Typed(file, path), "the path", path, &bytes)) return false;
    if (SplitKeyPath(bytes, parts, &why)) return true;
    Say(Typed(file, path) + ": " + Latin1ToUtf8(why));
    return false;
}

const std::string& LoadedFile() { return s_messageFile; }

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

bool Walk::Next() {
    if (!started_) {
        started_ = true;
        if (top_) stack_.push_back(Level{top_, 0});
        return top_ != nullptr;
    }
    while (!stack_.empty()) {
        Level& at = stack_.back();
        if ((levels_ < 0 || depth() < levels_) && at.next < RegViewSubkeyCount(at.key)) {
            const RegViewKey* sub = RegViewSubkey(at.key, at.next++);
            stack_.push_back(Level{sub, 0});
            return true;
        }
        stack_.pop_back();
    }
    return false;
}

std::string Walk::Step() const {
    bool rootTop = top_ == RegViewRoot();
    if (depth() == 0) return rootTop ? "" : topShown_;
    return (depth() == 1 && rootTop ? "" : "\\") + ShowKeyName(RegViewName(key()));
}

void PathText::Set(int depth, const std::string& step) {
    ends_.resize(static_cast<size_t>(depth));
    text_.resize(depth > 0 ? ends_.back() : 0);
    text_ += step;
    ends_.push_back(text_.size());
}

std::string PathText::Shown() const {
    return text_.empty() ? std::string(RegViewName(RegViewRoot())) : text_;
}

}  // namespace zrreg
