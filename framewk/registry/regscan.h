// The registry file's reader: a scanner, a parser and a tree builder, each a struct of its
// own state, as the loader and the second part of a load run them. Private to those (and the
// tree builder, which asks its reader for the line): the rest of the library sees regfile.h.
#ifndef REGSCAN_H
#define REGSCAN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "regfile.h"

// The scanner's tokens besides the type words REG_SZ and REG_INT (regtree.h): TYPEWORD is
// any other type word (its word in lval), XDATA an extended value's data (yyxdata).
enum { KEY = 257, STRING = 260, NUMBER = 261, TYPEWORD = 262, XDATA = 263 };

// The value of a STRING or NUMBER token: its text in a fresh block, null when no memory.
typedef union {
    char* string;
} YYSTYPE;

// One recognition attempt holds at most this many bytes, its look-ahead included.
static const int YYLMAX = 10000;

struct ZrReadAhead;

// A scanner's state: each reader has its own, so that the two parts of a load scan side by
// side. The fields every token touches come first.
struct RegScanner {
    // The block in hand: `in` is buf, or the reader thread's current block while one reads
    // the file ahead (yyreadahead); its offset in the file is base.
    const unsigned char* in;
    int inPos, inLen;
    // Bytes read past the end of a token and given back; read again before the block.
    int pendPos, pendLen;
    // The current recognition attempt: text[0..len) are its bytes, reads counts them and the
    // end of input, fromStream how many came from the block rather than pend.
    int len, reads, fromStream, limit;
    int line;  // the line being read: 1 when the scanner begins
    YYSTYPE lval;
    long long base;
    FILE* file;  // the stream it reads, null: none
    ZrReadAhead* ahead = nullptr;
    // While *stop holds true, the input ends at the next read: a part no longer wanted
    // stops. With progress, the scanner notes there the offset up to which it has read.
    // Both null for the loader's own parse.
    const std::atomic<bool>* stop;
    std::atomic<long long>* progress;
    // A read found the end of the input (atEnd), or failed (readFailed too), or a token over
    // the limit ended it (tooLong).
    bool atEnd, readFailed, tooLong;
    // The second part of a load reports nothing: what it would report fails it (failed),
    // and the loader then parses that part itself. Nothing it finds ends the process.
    bool partial, failed;
    // The attempt after a minus sign may hold one byte more, so that the sign never makes a
    // text fatal that would pass without it (the sign is skipped when no number follows).
    // Each buffer begins a cache line, as the scanning loops read and write them in runs
    // (unaligned, loads of the 100 MB file took about 2% longer).
    alignas(64) char text[YYLMAX + 2];
    alignas(64) unsigned char pend[YYLMAX + 2];
    // The scratch block of an extended value's data read whole (yyscanxitem), kept for the
    // next; from the C allocator, as a part of a load frees its reader on another thread.
    unsigned char* xbuf = nullptr;
    size_t xcap = 0;
    // The file is read a block at a time: one stream lock per block instead of one per
    // token, and the scanning loops run over plain memory.
    alignas(64) unsigned char buf[1 << 16];
};

// Starts reading `file` (null: nothing) afresh at line 1, without read-ahead, as the
// loader's own parse (no stop, no progress, reporting).
void yylexreset(RegScanner* s, FILE* file);
int yylex(RegScanner* s);
// With on, the file is read ahead by a thread of its own from here on (a large file only);
// off ends that, and the block in hand with it. The loader reads ahead for one load.
void yyreadahead(RegScanner* s, bool on);
// The offset in the file of the scanner's next byte.
long long yyoffset(const RegScanner* s);
// Reads on from offset `at` of the file (read for itself, not ahead), with nothing pending;
// false when the file cannot seek there.
bool yyseek(RegScanner* s, long long at);
// Where the two parts of a load meet (regload.cpp): 0 while the scanner's next token lies
// before offset `at`, 1 when it begins there, -1 once the scanner is past it. Passes the
// gaps before the token when it is near.
int yyatsplit(RegScanner* s, long long at);
// The scanner has asked for a byte past the end of the file, or a read of it failed
// (yyreadfailed too), or a token over the limit ended the input (yytoolong); all stay so
// until yylexreset.
inline bool yyatend(const RegScanner* s) { return s->atEnd; }
inline bool yyreadfailed(const RegScanner* s) { return s->readFailed; }
inline bool yytoolong(const RegScanner* s) { return s->tooLong; }
// Prints a parse error with the current line.
int yyerror(RegScanner* s, const char* str);
// Whether to say what the scanner or parser found: false for a part, which fails instead.
inline bool yyreports(RegScanner* s) {
    if (s->partial) s->failed = true;
    return !s->partial;
}

// An extended value's data at the scanner's position, after the "=" (parsexdata.cpp): XDATA
// with *out a new block (RegXData, with room for 2 more bytes), or -1 when the bytes there
// are no data (a syntax error), -2 when out of memory.
struct RegXData;
int yyxdata(RegScanner* s, RegXData** out);

// An extended value's item, whole in the block at the scanner's position in the form the
// writer prints ("[" word "]" blank quoted-name " = " data ";"), recognised in one step as
// yypeekitem recognises a plain one; its name points into the block and its data into the
// scanner's scratch block, both valid until the next call. False (nothing read) for anything
// else, which yylex and the parser then read token by token.
struct YYXItem {
    uint32_t type;
    const char* name;
    int nameLen;
    RegXData* data;
    int lines;
    int end;
};
bool yyscanxitem(RegScanner* s, YYXItem* item);

// A whole value item, or the head of a key (KEY, its name and "("), at the scanner's
// position, recognised without its tokens when it lies in the block in the form the
// writer prints; the name and text point into the block and stay valid until the next
// call. yypeekitem reads nothing but the gaps before the item, which yylex would skip
// too; yytakeitem then reads the item. With yyshortcuts false (a test seam) every item
// goes through yylex.
struct YYItem {
    int type;  // REG_SZ, REG_INT or KEY
    const char* name;
    int nameLen;
    const char* text;  // REG_SZ
    int textLen;
    int number;  // REG_INT
    int lines;   // line feeds within the item
    int end;
};
extern bool yyshortcuts;
bool yypeekitem(RegScanner* s, YYItem* item);
void yytakeitem(RegScanner* s, const YYItem& item);
// AddValue for a value item read whole: copies the name and the text. -1 when nothing was
// done and the item is to be parsed token by token (no key is open, or no memory for the
// value); REGERR_NO_MEMORY when the key's list could not take it (the value is dropped, as
// AddValue drops it).
int AddValueItem(RegBuilder* b, const YYItem& item);

// How yypeekitem finds the gaps and quoted texts: byte by byte (every build), or 64 bytes
// at a time with the vector instructions of the build's processor. Each gives the same
// items. yyscanpath chooses one (a test seam; the fastest there is by default) and is
// false, changing nothing, for one this build or processor lacks.
enum { YYSCAN_BEST = -1, YYSCAN_SCALAR, YYSCAN_SSE2, YYSCAN_AVX2, YYSCAN_NEON };
bool yyscanpath(int path);

// A parser's state: its stacks start at YYINITDEPTH entries in its owner's room
// (initStates, initValues) and are enlarged on the heap (allocated) until yycleanup.
static const int YYINITDEPTH = 150;
struct RegParser {
    int* states;
    YYSTYPE* values;
    int maxDepth;
    bool allocated;
    // With partMode, yyparse reads the items of a key's body, below the key open on the
    // builder's stack, and ends with YYPARSE_PART_END before the ")" that closes the body (the
    // second part of a load). With splitAt 0 or more, the parse calls splice(spliceWith, at)
    // once it reaches that offset where an item may begin (at: yyatsplit's 1) or passes it
    // (-1), and goes on from wherever the scanner stands then.
    bool partMode;
    long long splitAt;
    void (*splice)(void* with, int at);
    void* spliceWith;
    int* initStates;
    YYSTYPE* initValues;
};
// An empty parser, of a whole file, with no splice, its stacks at the YYINITDEPTH entries of
// `states` and `values`.
void yyparseinit(RegParser* p, int* states, YYSTYPE* values);
// 0 parsed, 1 syntax error or stacks that cannot grow, 2 no memory.
enum { YYPARSE_OK = 0, YYPARSE_ERROR = 1, YYPARSE_NO_MEMORY = 2, YYPARSE_PART_END = 3 };
struct RegReader;
int yyparse(RegReader* r);
void yycleanup(RegParser* p);

// A reader: a scanner, a parser and a tree builder, whose fields that every token touches lie
// together at its start. Aligned to a cache line: two readers (the two parts of a load, each
// on its own thread) never share one, which would make both wait on it at every token.
struct alignas(64) RegReader {
    RegParser parse;
    RegBuilder build;
    RegScanner scan;
    int initStates[YYINITDEPTH];
    YYSTYPE initValues[YYINITDEPTH];
};
// A new reader of `file` (null: nothing), as yylexreset and yyparseinit begin them, building
// a new tree; null when out of memory. The file stays the caller's.
RegReader* RegReaderNew(FILE* file);
// Ends read-ahead, and frees the parser's stacks, the builder's stack and tree (unless taken
// from it) and the reader.
void RegReaderFree(RegReader* r);

#endif
