// Loading a registry file into the tree, and releasing (and saving) it again.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "regpart.h"
#include "regscan.h"
#include "zrplat.h"
#include "zrpool.h"

// Results: 0 loaded; 1 (REGLOAD_REFUSED) already loaded, a syntax error, parser stacks that cannot grow, or
// (while it ends no process) a token over the scanner's limit;
// 2 no memory (key stack, a token's text, the root handle, or no root at all); 5 the file
// cannot be opened as a regular file or read to its end, or its path does not fit
// RegFileNow->path (nothing is opened then). A filename that is RegFileNow->path itself was begun by
// the caller (RegFileBegin).
bool yytoolong() { return RegFileNow->tooLong; }

// ---- a large file in two parts ------------------------------------------------------------
// The parse is the load's time, and one thread does it. For a large file a second thread
// parses the second half beside it (regpart.cpp): from the head of a key near the middle to
// the end of the body that holds that key, into a tree of its own. When the loader's parse
// reaches that head where an item may begin, the part's keys and values join the key the
// loader has open, in file order, and the loader reads on after the part. Where the head lay
// elsewhere (say in a text), or the part found anything the loader would report, the loader
// parses that stretch itself and the part is dropped: the tree is the same either way.
static const long long kPartFrom = 4 << 20;
// Process-wide: where a test sets the size, and how often a part joined.
static struct {
    long long from = kPartFrom;
    long joins = 0;
} s_parts;

// A load under way: its reader and, for a large file, its second part.
struct RegLoading {
    RegReader* reader = nullptr;
    RegPart part{};
    bool partRunning = false;
    long long size = 0;  // the file's
};

long RegPartJoins() { return s_parts.joins; }

void RegPartFrom(long long bytes) { s_parts.from = bytes < 0 ? kPartFrom : bytes; }

// The head of a key near the middle of fp's file: of the key heads that begin a line in a
// window of a megabyte from there, the first of the fewest blanks, whose body likely holds the
// most of the rest. -1 when there is none. The window is read in pieces into `buf` (the
// loader's own read block, which the parse fills afterwards): a megabyte of its own was
// mapped and faulted in anew by every fresh process.
static long long FindSplit(FILE* fp, long long size, char* buf, size_t cap) {
    static const long long kWindow = 1 << 20;
    long long mid = size / 2, best = -1, base = mid;  // base: the file offset of buf[0]
    int bestIndent = INT32_MAX;
    size_t kept = 0;
    if (!zrSeekFile(fp, mid)) return -1;
    for (long long read = 0; read < kWindow;) {
        size_t got = fread(buf + kept, 1, cap - kept, fp);
        if (got == 0) break;
        read += static_cast<long long>(got);
        const char* end = buf + kept + got;
        const char* last = nullptr;
        for (const char* p = buf; (p = static_cast<const char*>(memchr(p, '\n', end - p))) != nullptr;) {
            last = p;
            const char* k = ++p;
            while (k < end && (*k == ' ' || *k == '\t')) ++k;
            if (end - k >= 4 && memcmp(k, "KEY", 3) == 0 && (k[3] == ' ' || k[3] == '"') &&
                k - p < bestIndent) {
                bestIndent = static_cast<int>(k - p);
                best = base + (k - buf);
            }
        }
        // From the last line feed on, the piece's end may cut a head short: read it again
        // with the next piece.
        size_t from = last ? static_cast<size_t>(last - buf) : static_cast<size_t>(end - buf);
        kept = static_cast<size_t>(end - buf) - from;
        memmove(buf, buf + from, kept);
        base += static_cast<long long>(from);
    }
    return zrSeekFile(fp, 0) ? best : -1;
}

// The loader's parse has reached the part's offset where an item may begin (at 1), or gone
// past it (-1).
static void Splice(void* with, int at) {
    RegLoading* load = static_cast<RegLoading*>(with);
    RegPart& part = load->part;
    RegScanner* s = &load->reader->scan;
    // A part of more than a megabyte that has not read half of the rest of the file is
    // dropped and the loader reads on for itself: a part whose thread gets little of a CPU (on
    // a busy machine, say) would hold the load up for longer than the loader takes for all of
    // it.
    long long rest = load->size - part.from, read = part.read.load(std::memory_order_relaxed) - part.from;
    if (at > 0 && rest > (1 << 20) && 2 * read < rest) at = -1;
    part.stop = at < 0;
    RegPartJoin(&part);
    load->partRunning = false;
    RegNode* keys = part.keys;
    if (!keys) return;
    RegNode* top = NodeStackTop(&load->reader->build);
    RegKeyValueList* values = keys->GetRegKeyValueList();
    RegNodeList* subKeys = keys->GetRegNodeList();
    // Room first, so that the part joins whole or not at all.
    bool joined = at > 0 && top && top->GetRegKeyValueList()->Reserve(values->GetSize());
    if (joined && subKeys->GetSize() > 0) {
        top->PresizeKeys(subKeys->GetSize());
        joined = top->GetRegNodeList()->Reserve(subKeys->GetSize());
    }
    if (joined && yyseek(s, part.end)) {
        for (int i = 0; i < values->GetSize(); ++i) top->AddValue(values->GetAt(i));
        for (int i = 0; i < subKeys->GetSize(); ++i) top->AddKeyNode(subKeys->GetAt(i), true);
        values->RemoveAll();
        subKeys->RemoveAll();
        s->line += part.lines;
        ++s_parts.joins;
    }
    delete keys;
    part.keys = nullptr;
}

// Starts the second part when fp's file is large enough and a thread may work beside this one.
static bool PartBegin(RegLoading* load, const char* filename, FILE* fp) {
    ZrFileStamp stamp;
    if (!zrStampOfFile(fp, &stamp)) return false;
    long long size = static_cast<long long>(stamp.size);
    if (size < s_parts.from || !zrMayWorkBeside()) return false;
    RegScanner* s = &load->reader->scan;
    long long from = FindSplit(fp, size, reinterpret_cast<char*>(s->buf), sizeof s->buf);
    if (from < 0) return false;
    load->size = size;
    load->part.path = filename;
    load->part.file = fp;
    load->part.from = from;
    if (!RegPartStart(&load->part)) return false;
    load->partRunning = true;
    RegParser* p = &load->reader->parse;
    p->splitAt = from;
    p->splice = Splice;
    p->spliceWith = load;
    return true;
}

// After the loader's parse: a part it never reached is dropped.
static void PartEnd(RegLoading* load) {
    load->reader->parse.splitAt = -1;
    if (load->partRunning) Splice(load, -1);
}

unsigned int LoadRegistry(const char* filename) {
    if (RegTreeNow->loads) return REGLOAD_REFUSED;
    if (filename != RegFileNow->path && !RegFileBegin(filename)) return REGERR_NOT_FOUND;
    RegFileNow->tooLong = false;
    RegFileNow->line = 1;

    FILE* fp = zrOpenFileForRead(filename);
    if (!fp) {
        UnloadRegistry();
        return REGERR_NOT_FOUND;
    }
    ZrFileStamp stamp;
    if (zrStampOfFile(fp, &stamp)) zrPoolExpect(static_cast<size_t>(stamp.size));
    RegLoading load;
    load.reader = RegReaderNew(fp);
    if (!load.reader) {
        fclose(fp);
        UnloadRegistry();
        return REGERR_NO_MEMORY;
    }
    RegScanner* s = &load.reader->scan;

    // A NUL byte ends one parse; what follows it is parsed as another top-level key.
    if (!PartBegin(&load, filename, fp)) yyreadahead(s, true);
    int rc;
    do rc = yyparse(load.reader);
    while (rc == YYPARSE_OK && !yyatend(s));
    PartEnd(&load);
    RegFileNow->line = s->line;
    RegFileNow->tooLong = yytoolong(s);
    bool readFailed = yyreadfailed(s);
    // The tree read, which the registry takes when it is whole.
    RegNode* tree = nullptr;
    if (rc == YYPARSE_OK && !RegFileNow->tooLong && !readFailed) {
        EndMadeRoot(&load.reader->build);
        tree = load.reader->build.tree;
        load.reader->build.tree = nullptr;
    }
    RegReaderFree(load.reader);
    // Read whole: closed, so that another process may replace it (Windows replaces no
    // open file).
    fclose(fp);
    ++RegTreeNow->generation;
    if (RegFileNow->tooLong) {
        UnloadRegistry();
        return REGLOAD_REFUSED;
    }
    // A file that could not be read to its end is not loaded: saving the part that was
    // read would lose the rest. It answers as a file that cannot be read at all.
    if (readFailed) {
        UnloadRegistry();
        return REGERR_NOT_FOUND;
    }
    if (rc != YYPARSE_OK) {
        UnloadRegistry();
        return rc == YYPARSE_NO_MEMORY ? REGERR_NO_MEMORY : REGLOAD_REFUSED;
    }
    ReleaseTree();
    RegTreeNow->root = tree;
    // Only a failed allocation of the top-level key leaves a parse without a root.
    if (!RegTreeNow->root || cfRegOpenRoot() != 0) {
        UnloadRegistry();
        return REGERR_NO_MEMORY;
    }
    ++RegTreeNow->loads;
    return REGERR_SUCCESS;
}

bool UnloadRegistry() {
    char tmpFile[REGFILE_TEMP_MAX], target[REGFILE_TEMP_MAX];
    int renFile = cfRegSaveRegToTemp(tmpFile, target);
    cfRegCloseRoot();
    cfRegClosePredefined();
    ReleaseTree();
    ReleaseSearch();
    bool written = renFile == 1 && cfRegSwapRegFile(tmpFile, target);
    if (RegTreeNow->loads) --RegTreeNow->loads;
    return written;
}

unsigned int ReloadRegistry() {
    RegQuiet(true);
    yylimitends(false);
    unsigned int rc = LoadRegistry(RegFileNow->path);
    yylimitends(true);
    RegQuiet(false);
    return rc;
}

unsigned int RegReplaceTree() {
    RegNode* old = RegTreeNow->root;
    HKEY kept[4] = {RegTreeNow->rootHandle, RegTreeNow->hklm, RegTreeNow->hkcu, RegTreeNow->ardoRoot};
    bool changed = RegIsChanged();
    long loads = RegTreeNow->loads;
    RegTreeNow->root = nullptr;
    RegTreeNow->rootHandle = RegTreeNow->hklm = RegTreeNow->hkcu = RegTreeNow->ardoRoot = nullptr;
    RegTreeNow->loads = 0;
    RegSetChanged(false);
    unsigned int rc = ReloadRegistry();
    if (rc == REGERR_SUCCESS) {
        // The new root's own handle goes; the host's tokens of the old ones stay good.
        RegHandleFree(RegTreeNow->rootHandle);
        RegNode* fresh = RegTreeNow->root;
        fresh->DecOpenCnt();
        RegTreeNow->root = old;
        ReleaseTree();
        RegTreeNow->root = fresh;
    } else {
        RegTreeNow->root = old;
    }
    RegTreeNow->rootHandle = kept[0];
    RegTreeNow->hklm = kept[1];
    RegTreeNow->hkcu = kept[2];
    RegTreeNow->ardoRoot = kept[3];
    RegTreeNow->loads = loads;
    RegSetChanged(changed);
    ++RegTreeNow->generation;
    // A failed load released the search buffer: the handles' room is reserved again.
    if (rc == REGERR_SUCCESS) {
        RegHandleRecount();
    } else {
        RegHandleEach([](HKEY h) { ReserveSearchDepth(h->parts); });
    }
    return rc;
}
