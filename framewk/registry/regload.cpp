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

unsigned int RegReplaceTree() {
    RegNode* old = RootNode;
    HKEY kept[4] = {s_hkeyRoot, s_hkeyHKLM, s_hkeyHKCU, s_hkeyArdoRoot};
    bool changed = RegIsChanged();
    long loads = lRegLoadCnt;
    RootNode = nullptr;
    s_hkeyRoot = s_hkeyHKLM = s_hkeyHKCU = s_hkeyArdoRoot = nullptr;
    lRegLoadCnt = 0;
    RegSetChanged(false);
    unsigned int rc = ReloadRegistry();
    if (rc == REGERR_SUCCESS) {
        // The new root's own handle goes; the host's tokens of the old ones stay good.
        RegHandleFree(s_hkeyRoot);
        RegNode* fresh = RootNode;
        fresh->DecOpenCnt();
        RootNode = old;
        ReleaseTree();
        RootNode = fresh;
    } else {
        RootNode = old;
    }
    s_hkeyRoot = kept[0];
    s_hkeyHKLM = kept[1];
    s_hkeyHKCU = kept[2];
    s_hkeyArdoRoot = kept[3];
    lRegLoadCnt = loads;
    RegSetChanged(changed);
    ++RegKeyGeneration;
    // A failed load released the search buffer: the handles' room is reserved again.
    if (rc == REGERR_SUCCESS) {
        RegHandleRecount();
    } else {
        RegHandleEach([](HKEY h) { ReserveSearchDepth(h->parts); });
    }
    return rc;
}
