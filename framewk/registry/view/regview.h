// What the project's own hosts (zrreg, the fuzz targets, the benchmarks) may see and do
// beyond the exported functions: read the loaded tree, find the key behind a handle, keep
// or drop unsaved changes, and ask the library's rules. Nothing else of the library's
// insides is theirs; the tree is read only, and only between calls that change it.
#ifndef REGVIEW_H
#define REGVIEW_H

#include <stddef.h>
#include <stdint.h>

// A key of the loaded tree; valid until the tree changes or is unloaded.
struct RegViewKey;

// A value: a plain one (a REG_DWORD's signed integer, or a REG_SZ's 8-bit text) or an
// extended one (any type number, and its bytes as Windows stores them: UTF-16LE for the
// string types, little-endian numbers).
struct RegViewValue {
    const char* name;
    uint32_t type;              // the Windows type number (ZRREG_TYPE_*, or any other)
    int32_t integer;            // a plain REG_DWORD's number; 0 otherwise
    const char* text;           // a plain REG_SZ's 8-bit text; null otherwise
    const unsigned char* data;  // an extended value's bytes; null for a plain one
    size_t size;                // data's bytes (0 for a plain value)
};

// The root key, named kRegRootName in some letter case; null when no registry is loaded.
const RegViewKey* RegViewRoot();
// The key that an open handle names; null when it names none (any more). An app key's
// handle (ZrRegLoadAppKey) names a key of its own registry, whose tree the calls below
// read as the loaded one's, and as long.
const RegViewKey* RegViewKeyOf(void* hkey);
const char* RegViewName(const RegViewKey* key);
// A key's subkeys and values, in the order enumeration and the writer use.
int RegViewSubkeyCount(const RegViewKey* key);
const RegViewKey* RegViewSubkey(const RegViewKey* key, int index);
int RegViewValueCount(const RegViewKey* key);
RegViewValue RegViewValueAt(const RegViewKey* key, int index);

// Whether the unload will write the tree back. Clearing it drops the changes made since
// the load (the file stays as it was); setting it makes the unload write an unchanged tree.
bool RegViewChanged();
void RegViewSetChanged(bool changed);
// Moves whenever a key of the tree is renamed (by this process, or another's rename applied
// here): names kept of a key's subkeys by their places may be stale then.
uint64_t RegViewKeyRenames();

// ---- the library's rules -------------------------------------------------------------

// The root's name, and the longest text the file carries between double quotes.
extern const char kRegRootName[];
extern const size_t kRegTextMax;
// The name Windows gives a value type ("REG_SZ", "REG_QWORD"); null for a number that has
// none (the registry holds such a value as its number and bytes).
const char* RegViewTypeName(uint32_t type);
// Whether the library can store these bytes as a key name, value name or string:
// everything else it refuses with 11 (a wide name of 256 characters or more too).
bool RegViewStorable(const char* text, size_t n);
// Name comparison as every lookup does it: ASCII letters without regard to case, other
// bytes as themselves. 0 when equal.
int RegViewCompareNames(const char* a, const char* b);

// Paths of files a save writes: room enough for any of them.
#define REGVIEW_PATH_MAX 4096
// The temporary file that a save of the registry file `regPath` writes (beside the file
// it names, links resolved); false when the library cannot save it under that name.
bool RegViewTempFile(const char* regPath, char* out, size_t outSize);
// Writes n bytes to `path` as the library writes a registry file: through a synced
// temporary file beside it that then replaces it in one step; on failure any earlier
// file stays as it was and the temporary file is removed.
bool RegViewWriteFile(const char* path, const void* bytes, size_t n);

// Whether the next loads share the file through its change log, every change durable and
// seen by other processes at once (on by default); off, the changes stay this process's
// until the unload merges them into the file, all or nothing (zrreg import's dry run, the
// benchmarks).
void RegViewUseLog(bool on);
// A group of changes that other processes see all at once or not at all (zrreg import on a
// file whose change log is in use): Begin takes the log's writer lock (other processes'
// changes wait) and is false without a log; End commits the group (true when it is in the
// log and synced) or, with `commit` false, drops it, the tree following the log again.
bool RegViewGroupBegin();
bool RegViewGroupEnd(bool commit);
// A scratch copy of the loaded tree takes its place until End (serve's import preview): the
// calls change the copy alone, nothing is logged or saved, and End drops it. Every handle
// opened meanwhile must be closed before End. False when nothing is loaded or a copy is in
// place already, or out of memory.
bool RegViewScratchBegin();
void RegViewScratchEnd();

// ---- the library's messages and the outcome of an unload ------------------------------

// What a message is about; the default sink prints each in the library's own words.
enum RegViewMessageKind {
    REGVIEW_MSG_PARSE,             // "line: N - TEXT", the parser's error
    REGVIEW_MSG_ERROR_IN_LINE,     // "Error in line: N", after a runaway string on line N
    REGVIEW_MSG_RUNAWAY,           // "line N - FATAL: Runaway string"
    REGVIEW_MSG_END_OF_KEY,        // "syntax error, unexpected end of key NAME" (names no line)
    REGVIEW_MSG_UNEXPECTED_VALUE,  // "line N: syntax error, unexpected value"
    REGVIEW_MSG_TOO_LONG,          // "Input string too long, limit 10000"
    REGVIEW_MSG_SAVE,              // "zrregdll: TEXT", an unload that kept its tree aside or lost it
    REGVIEW_MSG_LOG,               // "zrregdll: TEXT", the change log: a damaged record (its number in
                                   // line), a file changed by another program
    REGVIEW_MSG_NO_LOG             // "zrregdll: TEXT", once a process: the file is shared without a log
};
struct RegViewMessage {
    RegViewMessageKind kind;
    int line;          // the line of the registry file it is about; 0 when it names none
    const char* text;  // what is wrong, in words ("syntax error", "runaway string", ...)
};
// Where the library's messages go: with a null sink (the default) to standard output, in
// the library's own words. A host that sets a sink of its own also gets a token over the
// scanner's length limit as a refused load (ZRREG_LOAD_REFUSED, after its message) instead
// of the end of its process. One sink for the process; set it while nothing is loaded.
typedef void (*RegViewSink)(const RegViewMessage* message, void* context);
void RegViewSetSink(RegViewSink sink, void* context);

enum RegViewSaveResult {
    REGVIEW_SAVE_NONE,     // nothing to write: the tree was not changed (or nothing was unloaded)
    REGVIEW_SAVE_WRITTEN,  // the tree replaced the registry file
    REGVIEW_SAVE_ASIDE,    // the file stays as it was; the tree is in keptIn
    REGVIEW_SAVE_FAILED    // the file stays as it was; the changes are in keptIn, or lost when it is empty
};
struct RegViewUnload {
    RegViewSaveResult result;
    const char* keptIn;  // a file beside the registry file, or ""
    const char* why;     // for ASIDE and FAILED: the reason in words ("" otherwise)
};
// What the last ZrUnloadRegistry did with the tree; valid until the next one.
RegViewUnload RegViewLastUnload();

// ---- for the benchmarks --------------------------------------------------------------

// Writes the loaded tree to its temporary file as an unload does, whose name it leaves in
// tmp (REGVIEW_PATH_MAX bytes); the registry file is not replaced. Without sync, the file
// is not synced to the disk (the writer's own cost).
bool RegViewSaveToTemp(char* tmp, bool sync = true);
// The bytes of the block pool's chunks in use.
size_t RegViewPoolBytes();

// ---- for the fuzz targets --------------------------------------------------------------

// Whether the scanner reads value lines and key heads whole where it can (the default) or
// every token on its own; a file loads alike either way.
void RegViewSetWholeLines(bool on);
// Files of at least this many bytes are read by the loader's reader thread (0: every file;
// below 0: the default); a file loads alike either way.
void RegViewReadAheadFrom(long long bytes);
// Files of at least this many bytes load in two parts, the second parsed by a thread of its
// own, where the system lets a load start threads and the process may run on two CPUs (0:
// every such file; below 0: the default); a file loads alike either way.
void RegViewPartFrom(long long bytes);

#endif
