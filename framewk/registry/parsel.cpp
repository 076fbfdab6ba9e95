// The registry file scanner: cuts the bytes of yyin into the parser's tokens.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parsel.h"
#include "zrplat.h"

ZR_OWN_LINE YYSTYPE yylval;
ZR_OWN_LINE int lineno = 1;
ZR_OWN_LINE FILE* yyin = stdin;
FILE* yyout = stdout;

// The attempt after a minus sign may hold one byte more, so that the sign never makes a
// text fatal that would pass without it (the sign is skipped when no number follows).
ZR_OWN_LINE static char yytext[YYLMAX + 2];
ZR_OWN_LINE static int yyleng;

// Bytes read past the end of a token and given back; read again before yyin.
ZR_OWN_LINE static unsigned char s_pend[YYLMAX + 2];
ZR_OWN_LINE static int s_pendPos, s_pendLen;

// yyin is read a block at a time: one stream lock per block instead of one per token,
// and the scanning loops below run over plain memory. s_inFile is the stream the block
// came from. The block is s_buf, or the reader thread's current block while one reads
// yyin ahead (yyreadahead).
ZR_OWN_LINE static unsigned char s_buf[1 << 16];
ZR_OWN_LINE static const unsigned char* s_in = s_buf;
ZR_OWN_LINE static int s_inPos, s_inLen;
// The offset in the file of s_in[0].
ZR_OWN_LINE static long long s_base;
ZR_OWN_LINE const std::atomic<bool>* yystop;
ZR_OWN_LINE std::atomic<long long>* yyprogress;
ZR_OWN_LINE static FILE* s_inFile;
ZR_OWN_LINE static ZrReadAhead* s_ahead;
// A read found the end of the input (s_atEnd), or failed (s_readFailed too), or a token
// over the limit ended it (s_tooLong).
ZR_OWN_LINE static bool s_atEnd, s_readFailed, s_tooLong;

// The current recognition attempt: yytext[0..s_len) are its bytes, s_reads counts them
// and the end of input, s_fromStream how many came from yyin rather than s_pend.
ZR_OWN_LINE static int s_len, s_reads, s_fromStream, s_limit;

int yyerror(const char* str) {
    if (s_tooLong) return -1;  // the input ended there: what the parser then misses is no news
    RegMessage(REGVIEW_MSG_PARSE, lineno, "%s", str);
    return -1;
}

// After a runaway string.
static int yyerror() {
    RegMessage(REGVIEW_MSG_ERROR_IN_LINE, lineno, "error");
    return -1;
}

// The end of input ends the registry: there is never a next file.
static int yywrap() { return 1; }

ZR_OWN_LINE static bool yylimitexits = true;
void yylimitends(bool on) { yylimitexits = on; }

static void TooLong() {
    yyreadahead(false);
    static_assert(YYLMAX == REGFILE_TEXT_MAX + 2, "the limit holds a quoted text and its quotes");
    RegMessage(REGVIEW_MSG_TOO_LONG, lineno, "input string too long, limit %d", YYLMAX);
    if (yylimitexits && !RegHostSink()) exit(1);
    s_tooLong = s_atEnd = true;
    s_pendPos = s_pendLen = 0;
    s_inPos = s_inLen = 0;
}

// The end is reached, as getc would find it, only once a byte past the last has been
// asked for: the loader parses again after a NUL byte for as long as yyatend() is false.
// A failed read ends the input as well.
static bool Refill() {
    s_base += s_inLen;
    s_inPos = 0;
    if (s_tooLong || (yystop && yystop->load(std::memory_order_relaxed))) {
        s_inLen = 0;
        return false;
    }
    long n;
    if (s_ahead) {
        n = zrReadAheadNext(s_ahead, &s_in);
    } else {
        s_in = s_buf;
        n = zrReadFile(yyin, s_buf, sizeof s_buf);
    }
    if (n <= 0) {
        s_inLen = 0;
        s_atEnd = true;
        s_readFailed = s_readFailed || n < 0;
        return false;
    }
    s_inLen = static_cast<int>(n);
    if (yyprogress) yyprogress->store(s_base + n, std::memory_order_relaxed);
    return true;
}

static inline int ReadByte() {
    if (s_reads == s_limit) {
        TooLong();
        return EOF;
    }
    ++s_reads;
    int ch;
    if (s_pendPos < s_pendLen) {
        ch = s_pend[s_pendPos++];
    } else {
        if (s_inPos == s_inLen && !Refill()) return EOF;
        ch = s_in[s_inPos++];
        ++s_fromStream;
    }
    yytext[s_len++] = static_cast<char>(ch);
    return ch;
}

// Reads the bytes for which keep(byte) holds, exactly as that many ReadByte calls would,
// but straight from the block; stops before the first other byte, at the limit (which the
// next ReadByte then reports), at the end of input, or where given-back bytes come first.
template <class Keep>
static inline void ReadRun(Keep keep) {
    while (s_pendPos == s_pendLen) {
        int room = s_limit - s_reads;
        int avail = s_inLen - s_inPos;
        int n = room < avail ? room : avail;
        const unsigned char* p = s_in + s_inPos;
        int i = 0;
        while (i < n && keep(p[i])) ++i;
        memcpy(yytext + s_len, p, static_cast<size_t>(i));
        s_len += i;
        s_reads += i;
        s_fromStream += i;
        s_inPos += i;
        if (i < avail || i == room || !Refill()) return;
    }
}

// Ends the attempt after its first `keep` bytes; the rest is read again later, before
// anything still pending from an earlier give-back of the same attempt.
static void GiveBack(int keep) {
    int n = s_len - keep;
    if (s_tooLong) n = 0;  // the input has ended: nothing is read again
    if (n > 0) {
        int fromPend = n > s_fromStream ? n - s_fromStream : 0;
        if (s_inPos >= n - fromPend) {
            // Still in the block (and any pending ones still in s_pend): step back.
            s_inPos -= n - fromPend;
            s_pendPos -= fromPend;
        } else if (s_fromStream == 0) {
            s_pendPos -= n;  // all of them still lie in s_pend
        } else {
            int rest = s_pendLen - s_pendPos;
            memmove(s_pend + n, s_pend + s_pendPos, static_cast<size_t>(rest));
            memcpy(s_pend, yytext + keep, static_cast<size_t>(n));
            s_pendPos = 0;
            s_pendLen = n + rest;
        }
    }
    s_len = keep;
}

static inline void BeginAttempt() {
    s_len = s_reads = s_fromStream = 0;
    s_limit = YYLMAX;
}

// Hands out a copy of the n bytes at p; a null copy tells the parser of no memory.
static void SetTextFrom(const void* p, int n) {
    char* s = static_cast<char*>(zrMalloc(static_cast<size_t>(n) + 1));
    if (s) {
        memcpy(s, p, static_cast<size_t>(n));
        s[n] = 0;
    }
    yylval.string = s;
    yyleng = n;
}

static void SetText(int from, int n) {
    SetTextFrom(yytext + from, n);
    yytext[from + n] = 0;
}

// The common case without the byte-by-byte machinery: a word or quoted string that lies
// whole in the block, ends there and keeps to the length limit, with nothing given back
// before it. Its text is copied once, straight from the block. `first` is the byte that
// began the attempt, just read from the block. Returns the token, or -1 to scan it the
// ordinary way, which gives the same result for every input.
static int ScanInBlock(int first) {
    if (s_fromStream != 1 || s_pendPos != s_pendLen) return -1;
    const unsigned char* start = s_in + s_inPos - 1;  // the first byte
    const unsigned char* p = s_in + s_inPos;
    int avail = s_inLen - s_inPos;
    int i = 0;
    if (first == '"') {
        // The quotes count toward the limit; the closing one ends the attempt.
        int most = avail < YYLMAX - 1 ? avail : YYLMAX - 1;
        while (i < most && p[i] != '"' && p[i] != '\n' && p[i] != 0) ++i;
        if (i == most || p[i] != '"') return -1;
        SetTextFrom(p, i);
        s_inPos += i + 1;
        return STRING;
    }
    // A word's ending byte is read too and counts toward the limit.
    int most = avail < YYLMAX - 1 ? avail : YYLMAX - 1;
    bool digits = s_class.c[first] == C_DIGIT;
    for (; i < most; ++i) {
        unsigned char k = s_class.c[p[i]];
        if (k == C_DIGIT) continue;
        if (k != C_WORD) break;
        digits = false;
    }
    if (i == most) return -1;
    s_inPos += i;
    if (i == 2 && first == 'K' && p[0] == 'E' && p[1] == 'Y') return KEY;
    SetTextFrom(start, i + 1);
    return digits ? NUMBER : STRING;
}

// Reads word characters after the attempt's first bytes and gives back the byte that
// ends them; returns whether all of them were digits.
static bool ReadWordRun() {
    bool digits = true;
    for (;;) {
        ReadRun([&digits](unsigned char c) {
            unsigned char k = s_class.c[c];
            if (k == C_WORD) digits = false;
            return k == C_WORD || k == C_DIGIT;
        });
        int ch = ReadByte();
        if (ch == EOF) return digits;
        unsigned char k = s_class.c[ch];
        if (k == C_DIGIT) continue;
        if (k != C_WORD) break;
        digits = false;
    }
    GiveBack(s_len - 1);
    return digits;
}

// "[" blanks "REG_SZ" or "REG_INT" blanks "]" on one line; else the bracket alone.
static int TypeWord() {
    int ch;
    do ch = ReadByte();
    while (ch == ' ' || ch == '\t');
    const char* rest = "REG_";
    for (; *rest; ++rest, ch = ReadByte())
        if (ch != *rest) break;
    int token = 0;
    if (!*rest) {
        if (ch == 'S') {
            rest = "SZ";
            token = REG_SZ;
        } else {
            rest = "INT";
            token = REG_INT;
        }
        for (; *rest; ++rest, ch = ReadByte())
            if (ch != *rest) break;
        if (!*rest) {
            while (ch == ' ' || ch == '\t') ch = ReadByte();
            if (ch == ']') return token;
        }
    }
    GiveBack(1);
    return '[';
}

// The first byte in [p, end) that is not a blank.
static inline const unsigned char* SkipBlanks(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i blanks = _mm_set1_epi8(' ');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, blanks))) & 0xFFFF;
        if (other) return p + __builtin_ctz(other);
        p += 16;
    }
#endif
    while (end - p >= 8) {
        uint64_t x = Load8(p) ^ (kOnes * ' ');
        if (x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return p + (__builtin_ctzll(x) >> 3);
#else
            break;
#endif
        }
        p += 8;
    }
    while (p < end && *p == ' ') ++p;
    return p;
}

// Blanks, skipped bytes and newlines between tokens, straight from the block: each of
// them is an attempt of its own one byte, with no look-ahead and no token.
static void SkipGaps() {
    while (s_pendPos == s_pendLen) {
        const unsigned char* p = s_in + s_inPos;
        const unsigned char* end = s_in + s_inLen;
        int lines = 0;
        bool token = false;
        while (p < end) {
            if (*p == ' ') {
                p = SkipBlanks(p + 1, end);
                continue;
            }
            unsigned char k = s_class.c[*p];
            if (k == C_NL) {
                ++lines;
            } else if (k != C_SKIP) {
                token = true;
                break;
            }
            ++p;
        }
        lineno += lines;
        s_inPos = static_cast<int>(p - s_in);
        if (token || !Refill()) return;
    }
}

static int Scan() {
    for (;;) {
        SkipGaps();
        BeginAttempt();
        int ch = ReadByte();
        if (ch == EOF) return 0;
        switch (s_class.c[ch]) {
            case C_SKIP:
                continue;
            case C_NL:
                ++lineno;
                continue;
            case C_NUL:
                return 0;
            case C_SINGLE:
                return ch;
            case C_LBRACK:
                return TypeWord();
            case C_WORD:
            case C_DIGIT: {
                int token = ScanInBlock(ch);
                if (token >= 0) return token;
                bool first = s_class.c[ch] == C_DIGIT;
                bool digits = ReadWordRun() && first;
                if (s_len == 3 && memcmp(yytext, "KEY", 3) == 0) return KEY;
                SetText(0, s_len);
                return digits ? NUMBER : STRING;
            }
            case C_MINUS: {
                // A minus sign directly before a number belongs to it, so that the negative
                // integers the writer prints load back; otherwise it is skipped as before.
                ++s_limit;
                int next = ReadByte();
                if (next != EOF && s_class.c[next] == C_DIGIT && ReadWordRun()) {
                    SetText(0, s_len);
                    return NUMBER;
                }
                GiveBack(1);
                continue;
            }
            case C_QUOTE: {
                int token = ScanInBlock(ch);
                if (token >= 0) return token;
                int c;
                for (;;) {
                    ReadRun([](unsigned char b) { return b != '"' && b != '\n' && b != 0; });
                    c = ReadByte();
                    if (c == EOF || c == '"' || c == '\n' || c == 0) break;
                }
                if (c == '"') {
                    SetText(1, s_len - 2);
                    return STRING;
                }
                if (c == '\n') {
                    GiveBack(s_len - 1);
                    RegMessage(REGVIEW_MSG_RUNAWAY, lineno, "runaway string");
                    yyerror();
                    continue;
                }
                GiveBack(1);  // no line end before the input ends: the quote is skipped
                continue;
            }
        }
    }
}

// ---- whole value items ---------------------------------------------------------------

ZR_OWN_LINE bool yyshortcuts = true;

// The item itself, and on the vector paths the gaps before it, are recognised in
// parseline.cpp, over the block.
bool yypeekitem(YYItem* item) {
    if (!yyshortcuts || !yyin || yyin != s_inFile) return false;
    if (s_pendPos == s_pendLen) {
        int pos = s_inPos, lines = 0;
        int found = PeekItem(s_in, &pos, s_inLen, &lines, item);
        if (found >= 0) {
            lineno += lines;
            s_inPos = pos;
            return found || ScanItem(s_in, s_inPos, s_inLen, item);
        }
    }
    SkipGaps();
    if (s_pendPos != s_pendLen) return false;
    return ScanItem(s_in, s_inPos, s_inLen, item);
}

void yytakeitem(const YYItem& item) {
    lineno += item.lines;
    s_inPos = item.end;
}

int yylex() {
    if (!yyin) return 0;
    if (yyin != s_inFile) {
        s_inFile = yyin;
        s_inPos = s_inLen = 0;
    }
    int token = Scan();
    if (token == 0) {
        s_pendPos = s_pendLen = 0;
        yywrap();
    }
    return token;
}

void yylexreset() {
    lineno = 1;
    s_pendPos = s_pendLen = 0;
    s_inPos = s_inLen = 0;
    s_base = 0;
    s_inFile = yyin;
    s_atEnd = s_readFailed = s_tooLong = false;
}

void yyreadahead(bool on) {
    if (on && !s_ahead && yyin) {
        s_ahead = zrReadAheadStart(yyin);
    } else if (!on && s_ahead) {
        zrReadAheadStop(s_ahead);
        s_ahead = nullptr;
        s_in = s_buf;
        s_inPos = s_inLen = 0;
    }
}

long long yyoffset() { return s_base + s_inPos - (s_pendLen - s_pendPos); }

bool yyseek(long long at) {
    if (s_ahead || !yyin || !zrSeekFile(yyin, at)) return false;
    s_pendPos = s_pendLen = 0;
    s_in = s_buf;
    s_inPos = s_inLen = 0;
    s_base = at;
    s_inFile = yyin;
    s_atEnd = false;
    return true;
}

int yyatsplit(long long at) {
    if (s_base + s_inLen < at) return 0;
    SkipGaps();
    long long pos = yyoffset();
    if (pos < at) return 0;
    return pos == at && s_pendPos == s_pendLen ? 1 : -1;
}

bool yyatend() { return s_atEnd; }
bool yyreadfailed() { return s_readFailed; }
bool yytoolong() { return s_tooLong; }
