// The registry file's scanner and parser, as the loader drives them and the writer swaps
// the file they read. Private to those four and the message sink (which prints on yyout):
// the rest of the library sees regp.h only.
#ifndef REGSCAN_H
#define REGSCAN_H

#include <stdio.h>

#include <atomic>

#include "regp.h"

// The scanner's tokens besides the type words REG_SZ and REG_INT (regp.h).
enum { KEY = 257, STRING = 260, NUMBER = 261 };

// The value of a STRING or NUMBER token: its text in a fresh block, null when no memory.
typedef union {
    char* string;
} YYSTYPE;
extern YYSTYPE yylval;

// The scanner reads yyin; yyout takes the message of a token over its length limit.
extern FILE* yyin;
extern FILE* yyout;
int yylex();
// Starts reading yyin afresh at line 1.
void yylexreset();
// With on, yyin is read ahead by a thread of its own from here on (a large file only);
// off ends that, and the block in hand with it. The loader reads ahead for one load.
void yyreadahead(bool on);
// The offset in yyin of the scanner's next byte.
long long yyoffset();
// Reads on from offset `at` of yyin (read for itself, not ahead), with nothing pending;
// false when yyin cannot seek there.
bool yyseek(long long at);
// Where the two parts of a load meet (regload.cpp): 0 while the scanner's next token lies
// before offset `at`, 1 when it begins there, -1 once the scanner is past it. Passes the
// gaps before the token when it is near.
int yyatsplit(long long at);
// While *yystop holds true, the input ends at the scanner's next read: a part no longer
// wanted stops. Null for the loader's own parse.
extern const std::atomic<bool>* yystop;
// With yyprogress, the scanner notes there the offset up to which it has read: how far a
// part has come. Null for the loader's own parse.
extern std::atomic<long long>* yyprogress;
// The scanner has asked for a byte past the end of yyin, or a read of it failed
// (yyreadfailed too); both stay so until yylexreset.
bool yyatend();
bool yyreadfailed();
// Prints a parse error with the current line.
int yyerror(const char* str);

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
bool yypeekitem(YYItem* item);
void yytakeitem(const YYItem& item);

// How yypeekitem finds the gaps and quoted texts: byte by byte (every build), or 64 bytes
// at a time with the vector instructions of the build's processor. Each gives the same
// items. yyscanpath chooses one (a test seam; the fastest there is by default) and is
// false, changing nothing, for one this build or processor lacks.
enum { YYSCAN_BEST = -1, YYSCAN_SCALAR, YYSCAN_SSE2, YYSCAN_AVX2, YYSCAN_NEON };
bool yyscanpath(int path);

// The parser: 0 parsed, 1 syntax error or stacks that cannot grow, 2 no memory. Its
// stacks start at yymaxdepth entries in static tables and are enlarged on the heap
// (yytblallocated) until yycleanup.
extern int yymaxdepth;
extern int yytblallocated;
enum { YYPARSE_OK = 0, YYPARSE_ERROR = 1, YYPARSE_NO_MEMORY = 2, YYPARSE_PART_END = 3 };
int yyparse();
// With yypartmode, yyparse reads the items of a key's body, below the key open on the
// builder's stack, and ends with YYPARSE_PART_END before the ")" that closes the body (the
// second part of a load). With yysplitat 0 or more, the parse calls yysplice(at) once it
// reaches that offset where an item may begin (at: yyatsplit's 1) or passes it (-1), and
// goes on from wherever the scanner stands then.
extern bool yypartmode;
extern long long yysplitat;
extern void (*yysplice)(int at);
void yycleanup();

#endif
