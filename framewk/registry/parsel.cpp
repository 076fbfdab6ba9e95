// The registry file scanner: cuts the bytes of a file into the parser's tokens.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parsel.h"
#include "zrplat.h"

FILE* yyout = stdout;

int yyerror(RegScanner* s, const char* str) {
    if (s->tooLong) return -1;  // the input ended there: what the parser then misses is no news
    if (yyreports(s)) RegMessage(REGVIEW_MSG_PARSE, s->line, "%s", str);
    return -1;
}

// After a runaway string.
static int yyerror(RegScanner* s) {
    if (yyreports(s)) RegMessage(REGVIEW_MSG_ERROR_IN_LINE, s->line, "error");
    return -1;
}

// The end of input ends the registry: there is never a next file.
static int yywrap() { return 1; }

static bool yylimitexits = true;
void yylimitends(bool on) { yylimitexits = on; }

static void TooLong(RegScanner* s) {
    yyreadahead(s, false);
    static_assert(YYLMAX == REGFILE_TEXT_MAX + 2, "the limit holds a quoted text and its quotes");
    if (yyreports(s)) {
        RegMessage(REGVIEW_MSG_TOO_LONG, s->line, "input string too long, limit %d", YYLMAX);
        if (yylimitexits && !RegHostSink()) exit(1);
    }
    s->tooLong = s->atEnd = true;
    s->pendPos = s->pendLen = 0;
    s->inPos = s->inLen = 0;
}

// The end is reached, as getc would find it, only once a byte past the last has been
// asked for: the loader parses again after a NUL byte for as long as yyatend() is false.
// A failed read ends the input as well.
bool yyrefill(RegScanner* s) {
    s->base += s->inLen;
    s->inPos = 0;
    if (s->tooLong || (s->stop && s->stop->load(std::memory_order_relaxed))) {
        s->inLen = 0;
        return false;
    }
    long n;
    if (s->ahead) {
        n = zrReadAheadNext(s->ahead, &s->in);
    } else {
        s->in = s->buf;
        n = zrReadFile(s->file, s->buf, sizeof s->buf);
    }
    if (n <= 0) {
        s->inLen = 0;
        s->atEnd = true;
        s->readFailed = s->readFailed || n < 0;
        return false;
    }
    s->inLen = static_cast<int>(n);
    if (s->progress) s->progress->store(s->base + n, std::memory_order_relaxed);
    return true;
}

static inline int ReadByte(RegScanner* s) {
    if (s->reads == s->limit) {
        TooLong(s);
        return EOF;
    }
    ++s->reads;
    int ch;
    if (s->pendPos < s->pendLen) {
        ch = s->pend[s->pendPos++];
    } else {
        if (s->inPos == s->inLen && !yyrefill(s)) return EOF;
        ch = s->in[s->inPos++];
        ++s->fromStream;
    }
    s->text[s->len++] = static_cast<char>(ch);
    return ch;
}

// Reads the bytes for which keep(byte) holds, exactly as that many ReadByte calls would,
// but straight from the block; stops before the first other byte, at the limit (which the
// next ReadByte then reports), at the end of input, or where given-back bytes come first.
template <class Keep>
static inline void ReadRun(RegScanner* s, Keep keep) {
    while (s->pendPos == s->pendLen) {
        int room = s->limit - s->reads;
        int avail = s->inLen - s->inPos;
        int n = room < avail ? room : avail;
        const unsigned char* p = s->in + s->inPos;
        int i = 0;
        while (i < n && keep(p[i])) ++i;
        memcpy(s->text + s->len, p, static_cast<size_t>(i));
        s->len += i;
        s->reads += i;
        s->fromStream += i;
        s->inPos += i;
        if (i < avail || i == room || !yyrefill(s)) return;
    }
}

// Ends the attempt after its first `keep` bytes; the rest is read again later, before
// anything still pending from an earlier give-back of the same attempt.
static void GiveBack(RegScanner* s, int keep) {
    int n = s->len - keep;
    if (s->tooLong) n = 0;  // the input has ended: nothing is read again
    if (n > 0) {
        int fromPend = n > s->fromStream ? n - s->fromStream : 0;
        if (s->inPos >= n - fromPend) {
            // Still in the block (and any pending ones still in s->pend): step back.
            s->inPos -= n - fromPend;
            s->pendPos -= fromPend;
        } else if (s->fromStream == 0) {
            s->pendPos -= n;  // all of them still lie in s->pend
        } else {
            int rest = s->pendLen - s->pendPos;
            memmove(s->pend + n, s->pend + s->pendPos, static_cast<size_t>(rest));
            memcpy(s->pend, s->text + keep, static_cast<size_t>(n));
            s->pendPos = 0;
            s->pendLen = n + rest;
        }
    }
    s->len = keep;
}

static inline void BeginAttempt(RegScanner* s) {
    s->len = s->reads = s->fromStream = 0;
    s->limit = YYLMAX;
}

// Hands out a copy of the n bytes at p; a null copy tells the parser of no memory.
static void SetTextFrom(RegScanner* s, const void* p, int n) {
    char* copy = static_cast<char*>(zrMalloc(static_cast<size_t>(n) + 1));
    if (copy) {
        memcpy(copy, p, static_cast<size_t>(n));
        copy[n] = 0;
    }
    s->lval.string = copy;
}

static void SetText(RegScanner* s, int from, int n) {
    SetTextFrom(s, s->text + from, n);
    s->text[from + n] = 0;
}

// The common case without the byte-by-byte machinery: a word or quoted string that lies
// whole in the block, ends there and keeps to the length limit, with nothing given back
// before it. Its text is copied once, straight from the block. `first` is the byte that
// began the attempt, just read from the block. Returns the token, or -1 to scan it the
// ordinary way, which gives the same result for every input.
static int ScanInBlock(RegScanner* s, int first) {
    if (s->fromStream != 1 || s->pendPos != s->pendLen) return -1;
    const unsigned char* start = s->in + s->inPos - 1;  // the first byte
    const unsigned char* p = s->in + s->inPos;
    int avail = s->inLen - s->inPos;
    int i = 0;
    if (first == '"') {
        // The quotes count toward the limit; the closing one ends the attempt.
        int most = avail < YYLMAX - 1 ? avail : YYLMAX - 1;
        while (i < most && p[i] != '"' && p[i] != '\n' && p[i] != 0) ++i;
        if (i == most || p[i] != '"') return -1;
        SetTextFrom(s, p, i);
        s->inPos += i + 1;
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
    s->inPos += i;
    if (i == 2 && first == 'K' && p[0] == 'E' && p[1] == 'Y') return KEY;
    SetTextFrom(s, start, i + 1);
    return digits ? NUMBER : STRING;
}

// Reads word characters after the attempt's first bytes and gives back the byte that
// ends them; returns whether all of them were digits.
static bool ReadWordRun(RegScanner* s) {
    bool digits = true;
    for (;;) {
        ReadRun(s, [&digits](unsigned char c) {
            unsigned char k = s_class.c[c];
            if (k == C_WORD) digits = false;
            return k == C_WORD || k == C_DIGIT;
        });
        int ch = ReadByte(s);
        if (ch == EOF) return digits;
        unsigned char k = s_class.c[ch];
        if (k == C_DIGIT) continue;
        if (k != C_WORD) break;
        digits = false;
    }
    GiveBack(s, s->len - 1);
    return digits;
}

// type word: "[" blanks word blanks "]" on one line: REG_SZ, REG_INT, or TYPEWORD with the
// word of an extended value's type (regtypes.h); else the bracket alone, as for any type
// word before the extension. No type word is longer than kWordMax.
static int TypeWord(RegScanner* s) {
    int ch;
    do ch = ReadByte(s);
    while (ch == ' ' || ch == '\t');
    // Read on only while the word can still become a type word: the bytes before the
    // extension's words were read, and no more, so that the length limit stays where it was.
    int from = s->len - 1, n = 0;
    while (ch != EOF && (s_class.c[ch] == C_WORD || s_class.c[ch] == C_DIGIT)) {
        if (!RegTypeWordPrefix(s->text + from, static_cast<size_t>(++n))) break;
        ch = ReadByte(s);
    }
    while (ch == ' ' || ch == '\t') ch = ReadByte(s);
    if (ch == ']' && n > 0) {
        const char* w = s->text + from;
        if (n == 6 && memcmp(w, "REG_SZ", 6) == 0) return REG_SZ;
        if (n == 7 && memcmp(w, "REG_INT", 7) == 0) return REG_INT;
        char word[64];
        uint32_t type;
        if (n < 64) {
            memcpy(word, w, static_cast<size_t>(n));
            word[n] = 0;
            if (RegTypeOfWord(word, &type)) {
                SetTextFrom(s, w, n);
                return TYPEWORD;
            }
        }
    }
    GiveBack(s, 1);
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
static void SkipGaps(RegScanner* s) {
    while (s->pendPos == s->pendLen) {
        const unsigned char* p = s->in + s->inPos;
        const unsigned char* end = s->in + s->inLen;
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
        s->line += lines;
        s->inPos = static_cast<int>(p - s->in);
        if (token || !yyrefill(s)) return;
    }
}

static int Scan(RegScanner* s) {
    for (;;) {
        SkipGaps(s);
        BeginAttempt(s);
        int ch = ReadByte(s);
        if (ch == EOF) return 0;
        switch (s_class.c[ch]) {
            case C_SKIP:
                continue;
            case C_NL:
                ++s->line;
                continue;
            case C_NUL:
                return 0;
            case C_SINGLE:
                return ch;
            case C_LBRACK:
                return TypeWord(s);
            case C_WORD:
            case C_DIGIT: {
                int token = ScanInBlock(s, ch);
                if (token >= 0) return token;
                bool first = s_class.c[ch] == C_DIGIT;
                bool digits = ReadWordRun(s) && first;
                if (s->len == 3 && memcmp(s->text, "KEY", 3) == 0) return KEY;
                SetText(s, 0, s->len);
                return digits ? NUMBER : STRING;
            }
            case C_MINUS: {
                // A minus sign directly before a number belongs to it, so that the negative
                // integers the writer prints load back; otherwise it is skipped as before.
                ++s->limit;
                int next = ReadByte(s);
                if (next != EOF && s_class.c[next] == C_DIGIT && ReadWordRun(s)) {
                    SetText(s, 0, s->len);
                    return NUMBER;
                }
                GiveBack(s, 1);
                continue;
            }
            case C_QUOTE: {
                int token = ScanInBlock(s, ch);
                if (token >= 0) return token;
                int c;
                for (;;) {
                    ReadRun(s, [](unsigned char b) { return b != '"' && b != '\n' && b != 0; });
                    c = ReadByte(s);
                    if (c == EOF || c == '"' || c == '\n' || c == 0) break;
                }
                if (c == '"') {
                    SetText(s, 1, s->len - 2);
                    return STRING;
                }
                if (c == '\n') {
                    GiveBack(s, s->len - 1);
                    if (yyreports(s)) RegMessage(REGVIEW_MSG_RUNAWAY, s->line, "runaway string");
                    yyerror(s);
                    continue;
                }
                GiveBack(s, 1);  // no line end before the input ends: the quote is skipped
                continue;
            }
        }
    }
}

// ---- whole value items ---------------------------------------------------------------

bool yyshortcuts = true;

// The item itself, and on the vector paths the gaps before it, are recognised in
// parseline.cpp and parsevec.cpp, over the block.
// Whether the bytes at p begin a type word of the extension as the writer prints it, such as
// "[REG_BINARY]": no plain item, which ScanItem need not try (the parser tries yyscanxitem).
static bool ExtendedWordAt(const unsigned char* p, const unsigned char* end) {
    if (end - p < 10 || p[0] != '[' || memcmp(p + 1, "REG_", 4) != 0) return false;
    bool sz = p[5] == 'S' && p[6] == 'Z', in = p[5] == 'I' && p[6] == 'N' && p[7] == 'T';
    unsigned char after = p[sz ? 7 : 8];
    return !((sz || in) && (after == ']' || after == ' ' || after == '\t'));
}

bool yypeekitem(RegScanner* s, YYItem* item) {
    if (!yyshortcuts || !s->file) return false;
    if (s->pendPos == s->pendLen) {
        int pos = s->inPos, lines = 0;
        int found = PeekItem(s->in, &pos, s->inLen, &lines, item);
        if (found >= 0) {
            s->line += lines;
            s->inPos = pos;
            return found || (!ExtendedWordAt(s->in + pos, s->in + s->inLen) &&
                             ScanItem(s->in, s->inPos, s->inLen, item));
        }
    }
    SkipGaps(s);
    if (s->pendPos != s->pendLen) return false;
    return ScanItem(s->in, s->inPos, s->inLen, item);
}

void yytakeitem(RegScanner* s, const YYItem& item) {
    s->line += item.lines;
    s->inPos = item.end;
}

int yylex(RegScanner* s) {
    if (!s->file) return 0;
    int token = Scan(s);
    if (token == 0) {
        s->pendPos = s->pendLen = 0;
        yywrap();
    }
    return token;
}

int yyatsplit(RegScanner* s, long long at) {
    if (s->base + s->inLen < at) return 0;
    SkipGaps(s);
    long long pos = yyoffset(s);
    if (pos < at) return 0;
    return pos == at && s->pendPos == s->pendLen ? 1 : -1;
}
