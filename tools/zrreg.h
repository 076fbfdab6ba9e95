// zrreg's rooms and what they share: the verbs, their arguments, the loaded registry and
// the keys opened in it, the messages every verb writes, files, and JSON output.
#ifndef ZRREG_H
#define ZRREG_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "regexport.h"
#include "regtypes.h"
#include "regview.h"
#include "zrregdll.h"

namespace zrreg {

enum { kOk = 0, kFailed = 1, kUsage = 2 };
const long kBadArgument = -1;  // 0xFFFFFFFF as the exported functions return it

// ---- verbs and their arguments (zrargs.cpp) ------------------------------------------------

struct Args;

struct Verb {
    const char* name;
    int minArgs, maxArgs;  // positional arguments after the verb
    // The options it takes, separated by spaces; "=" after one means it takes an argument
    // ("-v= -s --utf16").
    const char* options;
    const char* help;
    int (*run)(const Args&);
    // A usage error in a combination of options, or null; checked before the counts.
    const char* (*conflict)(const Args&);
    // reg.exe's switches it takes and the options they stand for, separated by spaces:
    // "v=-v ve=-ve f=" (nothing after "=": accepted, and without effect, as zrreg never
    // asks before it overwrites).
    const char* regSwitches;
};

struct Args {
    const Verb* verb = nullptr;
    std::vector<std::string> pos;
    std::map<std::string, std::string> opts;  // each option given, as the verb spells it, and its argument

    bool Has(const char* opt) const { return opts.count(opt) != 0; }
    // The option's argument; empty when it was not given.
    const std::string& Get(const char* opt) const;
};

// Parses the words after the verb; returns -1 when the verb is to run, else an exit status.
// A whole argument that is "/" and one of the words of Windows' reg command's switches
// (zrargs.cpp, letters in either case) is a switch, never a key path or a file; "-ve"
// stands for -v "".
int ParseArgs(int argc, char** argv, Args* a);
// Reports a usage error and returns kUsage.
int Usage(const Args& a, const std::string& what);

// The verbs, each in the file of its job.
extern const Verb kCheckVerb;                        // zrcheck.cpp
extern const Verb kQueryVerb;                        // zrquery.cpp
extern const Verb kInitVerb, kAddVerb, kDeleteVerb;  // zrchange.cpp
extern const Verb kCopyVerb, kCompareVerb;           // zrcompare.cpp
extern const Verb kExportVerb;                       // zrexport.cpp
extern const Verb kImportVerb;                       // zrimport.cpp
extern const Verb kServeVerb;                        // zrserve.cpp
extern const Verb kRenameVerb;                       // zrrename.cpp

// ---- messages (zrhost.cpp) ---------------------------------------------------------------

// What a result of the exported key functions means, in words.
const char* ResultText(long rc);
void Error(const std::string& where, const std::string& what);
// While one lives, the messages that Error (and the other reports of the verbs' functions)
// would write to standard error are kept in `text` instead, one a line, without
// "zrreg: ": the server answers with them. Per thread.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;
    std::string text;

private:
    std::string* prev_;
};
// Registry bytes between double quotes, as UTF-8.
std::string Quoted(const std::string& bytes);

// What the grammar expected at the token of a syntax error on `line` of a registry file's
// text, and what it found there, for a message; empty when it does not stop on that line
// (zrcheck.cpp).
std::string SyntaxHint(const std::string& text, int line);

// ---- the loaded registry (zrhost.cpp) ----------------------------------------------------

class Registry {
public:
    explicit Registry(const std::string& file) : file_(file) {}
    ~Registry() { Close(false); }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Loads the file; reports why not and returns false when it cannot. A registry that
    // is to be changed must have a name the library can save it under.
    // Integers wider than 32 bits would be written back cut: such a change is refused
    // unless `force`, then done with a warning.
    bool Open(bool forChange, bool force = false);
    // Loads the file privately, as an app key, to be read only: beside the others so
    // loaded (the same file again is the same registry).
    bool OpenApp();
    // The root of its tree.
    const RegViewKey* root() const { return app_ ? RegViewKeyOf(app_) : RegViewRoot(); }
    // Unloads; with `save`, the library writes a changed tree back through its temporary
    // file. Without it, changes made so far are dropped and the file stays as it was.
    // False when changes were to be saved and the file was not replaced.
    bool Close(bool save);

    const std::string& file() const { return file_; }

private:
    bool Fail(const std::string& what);
    bool Load(bool app);
    std::string file_;
    bool loaded_ = false;
    void* app_ = nullptr;  // the handle of an app key's root
};

// A key found along a user's path in the tree itself, one name a level, so that a name
// holding "/" is one level. The library's path search, which takes "\" and "/" in names for
// separators, may take the same path to another key: a key holds a handle only for a
// change, and only once the handle is seen to reach it.
struct Key {
    void* handle = nullptr;
    const RegViewKey* node = nullptr;
    std::string shown;               // its path below the root as paths show it, or the root's name
    std::vector<std::string> names;  // the names of the keys from the root down to it
    // Handles must be closed before the registry is unloaded.
    void Close();
    ~Key() { Close(); }
};

// zrreg's own results beside the library's, for ResultText: the library's path search
// takes the path of a key to another key or to none; the library cannot create a key of
// that name (empty, or holding "\" or "/").
const long kNotReached = -2;
const long kCannotMake = -3;

// The path of the key `name` below the key shown as `parent` ("" for the root).
std::string Join(const std::string& parent, const char* name);
std::string ShownPath(const RegViewKey* node, const std::string& belowRoot);
// The path of a key of the tree, found by walking it; empty when it is not there.
std::string PathOf(const RegViewKey* node);
// The first subkey of that name, letters in either case, as every lookup of the library
// takes it; null when there is none.
const RegViewKey* FindSubkey(const RegViewKey* node, const std::string& name);
// Drops what FindSubkey keeps of the tree, which is unloaded.
void ForgetSubkeyNames();

// Whether `name` is a root of the loaded registry: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER
// (the library makes them on first use) or another top-level key it has.
bool IsTopLevel(const std::string& name, const RegViewKey* root = RegViewRoot());
// Whether a path whose first level is `first` may be created: yes for a root; for another
// level only with --force (`force`), with a warning; otherwise false, reported for `verb`.
bool MayCreateRoot(const Registry& reg, const std::string& first, bool force, const char* verb);
// Why `name` is no top-level key, naming those the registry has.
std::string NotTopLevel(const std::string& name, const RegViewKey* root = RegViewRoot());
// Finds the key at `parts` below the root in the tree; reported when it is missing.
// With `create`, the missing levels are created through the library and the key holds a
// handle that reaches it.
bool OpenKey(const Registry& reg, const std::vector<std::string>& parts, bool create, Key* key);
// Gives a found key a handle for a change; false (reported) when the library's path search
// takes its path to another key or to none.
bool ReachKey(const Registry& reg, Key* key);
// For a verb on the key that `parts` names (`done`: "deleted", "renamed"), finds its parent:
// refuses a root that is no top-level key, and a whole top-level key without --force
// (reported). `parts` loses its last name, which goes to `last`; `what` names the key.
bool OpenKeyParent(const Registry& reg, std::vector<std::string>* parts, bool force, const char* done,
                   Key* key, std::string* last, std::string* what);
// Before a call on the subkey `name` of `parent`: ZRREG_NOT_FOUND or kNotReached in `rc` when
// the library would take another key or none, else ZRREG_SUCCESS and `parent` reached; false
// (reported) when it cannot be.
bool SubkeyCall(const Registry& reg, Key* parent, const std::string& name, long* rc);
// Opens the key at `names` below the handle `from` (`from` itself for no names) in as few
// calls as the library's name buffer allows; the library's result. The handle is not
// checked: what it reaches is the caller's to compare.
long OpenLevels(void* from, const std::vector<std::string>& names, void** out);
// Opens, with `create` creating it when missing, the subkey `name` of the key that the
// handle `parent` reaches, and checks that the new handle reaches that subkey too: 0, the
// library's result, kNotReached or kCannotMake. A key made for a handle that would reach
// another is deleted again.
long OpenSubkey(void* parent, const std::string& name, bool create, void** out);

// Sets a value of an open key, of any type; the library's result.
long SetTypedValue(void* handle, const std::string& name, const TypedData& d);
// Why the library refused such a value (ZRREG_BAD_NAME for a name it takes), in words.
std::string UnheldData(const TypedData& d);

// Why the key and value operations would refuse these bytes as a name, in words ("holds
// a double quote"); null when they take them.
const char* UnstorableName(const std::string& bytes);
// The words for a refusal of a name by the registry file's rules: why, or the result's text.
std::string RefusedName(long rc, const std::string& name);

// Why a registry file of this name cannot be changed.
extern const char kUnsavableName[];

// Turns a user's text into registry bytes; false (reported) when it cannot be held.
bool ToRegistryText(const std::string& arg, const char* what, std::string* bytes);
// The same, reported after `about`, which names the file and the key or value (Typed), as
// `what` ("the name").
bool ToRegistryText(const std::string& about, const std::string& what, const std::string& arg,
                    std::string* bytes);
// What a message about a user's argument starts with: the file, the key as typed (the root
// for none) and, when given, the value as typed: reg.txt: key "HKLM": value "x".
std::string Typed(const std::string& file, const std::string& key, const std::string* value = nullptr);
// A user's key path as the names of its levels (see SplitKeyPath); false (reported).
bool KeyParts(const std::string& path, std::vector<std::string>* parts);
// The same, reported with the file's name.
bool KeyParts(const std::string& file, const std::string& path, std::vector<std::string>* parts);
// The file the registry was last loaded from, for messages.
const std::string& LoadedFile();
// The library stores "\" in a value name as "/"; lookups here follow the same rule.
std::string ValueName(std::string name);
bool FindValue(const RegViewKey* node, const std::string& name, RegViewValue* out);

// An integer of a registry file's text that does not fit a signed 32-bit integer: the
// library keeps its low 32 bits.
struct WideInteger {
    long line;
    std::string text;
    int32_t loaded;
};
std::vector<WideInteger> WideIntegers(const std::string& text);

// ---- walking a subtree (zrhost.cpp) ------------------------------------------------------

// A key's subtree in the order the output shows it: the key, then the subtree of each of
// its subkeys in turn. It keeps its own stack instead of recursing, so that no depth of
// tree can exhaust the program's.
class Walk {
public:
    // `top` is shown as `topShown`; `levels` limits how far below it the walk goes (-1: all).
    Walk(const RegViewKey* top, const std::string& topShown, int levels = -1)
        : top_(top), topShown_(topShown), levels_(levels) {}
    // Moves to the next key; false after the last.
    bool Next();
    const RegViewKey* key() const { return stack_.back().key; }
    int depth() const { return static_cast<int>(stack_.size()) - 1; }  // 0 for the top
    // What the key adds to its parent's path: "\" and its name as paths show it; the top's
    // shown path for the top, and nothing for the root, whose subkeys' paths start with
    // their names.
    std::string Step() const;

private:
    struct Level {
        const RegViewKey* key;
        int next;  // the subkey to visit next
    };
    const RegViewKey* top_;
    std::string topShown_;
    int levels_;
    bool started_ = false;
    std::vector<Level> stack_;
};

// A path kept level by level along a walk, so that each key costs only its own step.
class PathText {
public:
    // The text of level `depth` (0 the top) after those above it; deeper ones are dropped.
    void Set(int depth, const std::string& step);
    const std::string& text() const { return text_; }
    // The path as the output shows it: the root's name for the root.
    std::string Shown() const;

private:
    std::string text_;
    std::vector<size_t> ends_;
};

// ---- files (zrhost.cpp) ------------------------------------------------------------------

// Null for a regular file; otherwise what it is, for messages ("a FIFO").
// Opens `path` for reading; null (reported) unless it is a regular file or, with
// `streams`, a FIFO or a character device, read then as a stream.
FILE* OpenForReading(const std::string& path, bool streams);
// Why a save could not write its temporary file `tmp` when its directory cannot be
// written to, in words; empty otherwise.
std::string SaveFailure(const std::string& tmp);
const char* NotRegular(const struct stat& st);
// Whether it is a FIFO or a character device, read and written as a stream.
bool IsStream(const struct stat& st);

// Writes `bytes` to `path` through a temporary file beside it, so that a failure leaves
// any earlier file of that name as it was; false (reported) on failure.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);
// Whether two paths name one file (links and other spellings included).
bool SameFile(const std::string& a, const std::string& b);
// Whether anything (a link to nothing too) has this name.
bool PathExists(const std::string& path);
// Reads a whole file; false (reported) when it cannot. A FIFO or a character device is
// read as a stream only with `streams`; any other file that is not a regular file is refused.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool streams);

// ---- the verbs' work as functions, shared with `serve` -------------------------------------

// query's search (zrquery.cpp): -f PATTERN with -k, -d, -e and -c. A pattern with "*" (any
// characters) or "?" (one character) matches whole texts by those wildcards.
struct Search {
    std::string pattern;
    bool keys, valueNames, data, exact, matchCase;
    bool wild;

    bool Match(const std::string& text) const;
    bool MatchValue(const RegViewValue& v) const;
};
Search MakeSearch(const std::string& pattern, bool keysOnly, bool dataOnly, bool exact, bool matchCase);
// query --json -f: the keys with a match (at most `maxKeys` of them; then "more": true)
// and the count of all matches, appended to `out`.
void FindJson(const Search& s, const Key& key, bool deep, size_t maxKeys, std::string* out);
// query --json of one key, with only the subkeys [from, from + count) listed, their total
// ("subkeyCount"), where the page starts ("from") and how many subkeys each listed one has
// ("counts").
std::string KeyPageJson(const Key& key, long from, long count);

// add's value (zrchange.cpp): sets a value of an open key; false (reported) when the
// library refuses. The key gets its handle for the change here when it has none yet.
bool SetKeyValue(const Registry& reg, Key& key, const std::string& name, const TypedData& d);
// delete's work: the key at `parts` with its subtree, or (`value`) one value of it, or
// (`allValues`) all of them; a whole top-level key only with `force`. False (reported).
bool DeleteAt(const Registry& reg, std::vector<std::string> parts, const std::string* value, bool allValues,
              bool force);
// rename's work (zrrename.cpp): the key at `parts` (a whole top-level key only with `force`)
// or (`value`) one value of it under `newName`. False (reported), with the library's result
// in *result (when given) if the library refused.
bool RenameAt(const Registry& reg, std::vector<std::string> parts, const std::string* value,
              const std::string& newName, bool force, long* result = nullptr);

// export's writer (zrexport.cpp): the key and its subtree as an export file, piece by piece.
void WriteKeyExport(const Key& key, ExportForm form, const std::function<void(const std::string&)>& put);

// import's work (zrimport.cpp). What an import changes: the library's tree (or its scratch
// copy, for serve's preview); handles as the library's.
class ImportTarget {
public:
    virtual ~ImportTarget() = default;
    virtual long OpenKey(void* parent, const std::string& name, void** out) = 0;
    virtual long CreateKey(void* parent, const std::string& name, void** out) = 0;
    virtual void CloseKey(void* key) = 0;
    // Opens the deepest key of `names` below `parent` that there is, in one search of the
    // whole path where it can, and tells how many names that took: the library may reach
    // the key a\b\c by its path where it takes a\b to a key named a/b. By default it goes
    // one level, as OpenKey.
    virtual long OpenPath(void* parent, const std::vector<std::string>& names, size_t* levels, void** out) {
        *levels = 1;
        return OpenKey(parent, names[0], out);
    }
    virtual long DeleteKey(void* parent, const std::string& name) = 0;
    virtual long DeleteValue(void* key, const std::string& name) = 0;
    virtual long SetValue(void* key, const ExportValue& v) = 0;
    // The value as it is before a change, for the report; false when there is none (or the
    // target does not tell).
    virtual bool ValueBefore(void* /*key*/, const std::string& /*name*/, ExportValue* /*out*/) {
        return false;
    }
};
// The library's tree itself.
ImportTarget* LibraryTarget();

struct ImportChange {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    std::string path;  // the key's path as shown
    std::string name;  // the value's name; empty for the default value
    bool hadBefore;    // for a value: whether it was there, and what it was
    ExportValue before, after;
};
struct ImportOptions {
    bool dryRun, noDelete, strict;
};
struct ImportCounts {
    long created = 0, set = 0, keysDeleted = 0, valuesDeleted = 0, skipped = 0, invalid = 0;
};
// What an import did, as it goes: each change, and each message about a line it skipped
// ("IN: line N: ..."); by default the messages go to standard error.
class ImportReport {
public:
    virtual ~ImportReport() = default;
    virtual void Changed(const ImportChange& c) = 0;
    virtual void Skipped(const std::string& in, const std::string& what) { Error(in, what); }
};
// Reads the export file `bytes` (`in` in messages) into the loaded registry through
// `target`; false (reported) when it is refused or the library refused a change.
bool ImportText(const Registry& reg, const std::string& in, const std::string& bytes, ImportOptions opt,
                ImportTarget* target, ImportReport* report, ImportCounts* counts);
// import's summary line, without its line end.
std::string ImportSummary(const std::string& in, bool dryRun, const ImportCounts& c);
// The line of the dry run for one change, without its line end: the data as an export
// file writes it, unfolded.
std::string ImportChangeText(const ImportChange& c);

// ---- JSON output (zrjson.cpp) ------------------------------------------------------------

// Registry bytes (ISO-8859-1 characters) as a JSON string.
std::string JsonString(const std::string& bytes);
// {"name": ..., "type": "REG_SZ", "data": ...}, the data in its type's form (regtypes.h).
std::string JsonValue(const std::string& name, const TypedData& d);
std::string JsonValue(const RegViewValue& v);

}  // namespace zrreg

#endif
