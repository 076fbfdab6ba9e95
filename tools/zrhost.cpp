// zrreg's host of the library: the loaded registry, the user's text turned into registry
// bytes, values by name, and the messages about results (keys along a path: zrkeys.cpp).
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

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

// What ZrLoadRegistry's or ZrRegLoadAppKey's result means, in words.
const char* LoadText(uint32_t rc) {
    switch (rc) {
        case ZRREG_LOAD_REFUSED:
        case ZRREG_BAD_FILE:
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
        case ZRREG_WRITE_FAULT:
            return "the change could not be recorded in the change log: a disk fault, or a group of "
                   "changes larger than the log's room of 64 MB (an import of that size)";
        case ZRREG_SHARING_VIOLATION:
            return "the file is the loaded registry's";
        case ZRREG_BAD_FILE:
            return "it is not a valid registry file";
        case ZRREG_UNSUPPORTED_TYPE:
            return "the value's type is not among those asked for";
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

bool Registry::Load(bool app) {
    // With a sink of its own, a token over the scanner's limit is a refused load too.
    s_messageFile = file_;
    s_lastLine = s_syntaxLine = 0;
    RegViewSetSink(ShowLibraryMessage, nullptr);
    uint32_t rc = app ? static_cast<uint32_t>(ZrRegLoadAppKey(file_.c_str(), &app_, 0, 0, 0))
                      : ZrLoadRegistry(file_.c_str());
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
    return true;
}

bool Registry::OpenApp() {
    FILE* fp = OpenForReading(file_, false);
    if (!fp) return false;
    fclose(fp);
    return Load(true);
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
    if (!Load(false)) return false;
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
    if (app_) {
        // Read only: its last handle lets it go with nothing to write.
        ZrRegCloseKey(app_);
        app_ = nullptr;
        return true;
    }
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

}  // namespace zrreg
