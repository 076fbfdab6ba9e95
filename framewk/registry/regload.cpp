// Loading a registry file into the tree, and releasing (and saving) it again.
#include <string.h>

#include "regscan.h"
#include "zrplat.h"

// Results: 0 loaded; 1 (REGLOAD_REFUSED) already loaded, a syntax error, parser stacks that cannot grow, or
// (while it ends no process) a token over the scanner's limit;
// 2 no memory (key stack, a token's text, the root handle, or no root at all); 5 the file
// cannot be opened as a regular file or read to its end, or its path does not fit
// bpRegFile (nothing is opened then). A filename that is bpRegFile itself was begun by
// the caller (RegFileBegin).
long lRegLoadCnt;

int NWREGIsRegLoaded() { return static_cast<int>(lRegLoadCnt); }

unsigned int LoadRegistry(const char* filename) {
    if (lRegLoadCnt) return REGLOAD_REFUSED;
    if (filename != bpRegFile && !RegFileBegin(filename)) return REGERR_NOT_FOUND;
    if (!NodeStackBegin()) return REGERR_NO_MEMORY;

    yyin = zrOpenFileForRead(filename);
    if (!yyin) {
        UnloadRegistry();
        return REGERR_NOT_FOUND;
    }
    yylexreset();

    // A NUL byte ends one parse; what follows it is parsed as another top-level key.
    yyreadahead(true);
    int rc;
    do rc = yyparse();
    while (rc == YYPARSE_OK && !yyatend());
    yyreadahead(false);
    if (yytoolong()) {
        UnloadRegistry();
        return REGLOAD_REFUSED;
    }
    // A file that could not be read to its end is not loaded: saving the part that was
    // read would lose the rest. It answers as a file that cannot be read at all.
    if (yyreadfailed()) {
        UnloadRegistry();
        return REGERR_NOT_FOUND;
    }
    if (rc != YYPARSE_OK) {
        UnloadRegistry();
        return rc == YYPARSE_NO_MEMORY ? REGERR_NO_MEMORY : REGLOAD_REFUSED;
    }
    EndMadeRoot();
    // Only a failed allocation of the top-level key leaves a parse without a root.
    if (!RootNode || cfRegOpenRoot() != 0) {
        UnloadRegistry();
        return REGERR_NO_MEMORY;
    }
    // Read whole: closed, so that another process may replace it (Windows replaces no
    // open file).
    fclose(yyin);
    yyin = nullptr;
    ++lRegLoadCnt;
    return REGERR_SUCCESS;
}

void UnloadRegistry() {
    char tmpFile[REGFILE_TEMP_MAX], target[REGFILE_TEMP_MAX];
    int renFile = cfRegSaveRegToTemp(tmpFile, target);
    NodeStackEnd();
    cfRegCloseRoot();
    cfRegClosePredefined();
    ReleaseTree();
    ReleaseSearch();
    if (renFile == 1) cfRegSwapRegFile(tmpFile, target);
    // Standard input is the scanner's stream before any load, never the registry file.
    if (yyin && yyin != stdin) {
        fclose(yyin);
        yyin = nullptr;
    }
    yycleanup();
    if (lRegLoadCnt) --lRegLoadCnt;
}

unsigned int ReloadRegistry() {
    RegQuiet(true);
    yylimitends(false);
    unsigned int rc = LoadRegistry(bpRegFile);
    yylimitends(true);
    RegQuiet(false);
    return rc;
}
