// The registry file: its names, the reader that loads it into a tree and the writer that
// saves the tree, for the current registry.
#ifndef REGFILE_H
#define REGFILE_H

#include "regtree.h"

// Results of LoadRegistry besides REGERR_SUCCESS, REGERR_NO_MEMORY and REGERR_NOT_FOUND
// (the file cannot be opened): already loaded, a syntax error, or a token over the limit.
#define REGLOAD_REFUSED 1

// A token over the scanner's length limit ends the process (the default) or, while this
// is off or a host has set its own sink or handler, ends the input and the load fails with 1.
void yylimitends(bool on);
// Such a token ended the last load's input; true until the next load begins.
bool yytoolong();

// ---- loading, unloading, writing -----------------------------------------------------
unsigned int LoadRegistry(const char* filename);
// Releases the tree, writing a changed one back first; true when that replaced the file.
bool UnloadRegistry();
// The registry file read anew (an unload's merge with a file another process replaced):
// quietly, as the merge says what failed in one line of its own, and a token over the
// scanner's limit refuses the file instead of ending the process.
unsigned int ReloadRegistry();
// The registry file read anew into a tree that takes the loaded one's place, every handle
// (the predefined ones too) living on: handles name their keys by path. When the file
// cannot be read the loaded tree stays, and the result is ReloadRegistry's.
unsigned int RegReplaceTree();

// The registry file of the load: its path as given and every name its save uses, made
// once when a load begins (regnames.cpp); nothing else resolves the path.
struct RegFileNames {
    char target[REGFILE_TEMP_MAX];  // the file a save replaces: the path with links resolved
    char temp[REGFILE_TEMP_MAX];    // its temporary file (APP.TMP beside app.txt)
    char lock[REGFILE_TEMP_MAX];    // the file every process locks (APP.LCK)
    char own[REGFILE_TEMP_MAX];     // this process's file for a tree kept aside (APP.<pid>.TMP)
    char log[REGFILE_TEMP_MAX];     // the change log that the processes of the file share (app.txt-log)
    bool saveable;                  // false: no such names (a path too long), never written back
};
// One registry's file: its path as the host gave it, the names made of it, and where the
// last read of it ended. The loader acts on the current registry's, RegFileNow.
struct RegFileState {
    char path[REGFILE_PATH_MAX] = {};
    RegFileNames names = {};
    int line = 1;          // where the last load ended: a message about a file it refused names it
    bool tooLong = false;  // a token over the scanner's limit ended the last load's input
};
extern RegFileState* RegFileNow;
// Makes the names for `path`, which becomes RegFileNow->path; false when it does not fit.
bool RegFileBegin(const char* path);
inline const RegFileNames& RegFile() { return RegFileNow->names; }
// The names a save of `path` would use, without loading it; false when it has none.
bool RegFileNamesFor(const char* path, RegFileNames* out);

// Writes a changed tree to the temporary file (RegFile().temp), whose and whose target's
// names it copies to tmpFile and target (REGFILE_TEMP_MAX bytes each); 1 when the file is
// complete and on disk (and 0 otherwise, the outcome noted).
int cfRegSaveRegToTemp(char* tmpFile, char* target);
// True when the temporary file replaced the registry file (the outcome noted either way).
bool cfRegSwapRegFile(const char* tmpFile, const char* target);
// Writes the tree to `path` through zrWriteWhole, without replacing anything (a tree kept
// aside); false when it could not be written whole (*err as zrWriteWhole sets it).
bool cfRegSaveRegTo(const char* path, int* err);

#endif
