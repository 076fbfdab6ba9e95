// The scanner's own declarations, shared by its files only: parsel.cpp (the block it reads
// and the token-by-token path), parselinput.cpp (its input: resetting, reading ahead,
// seeking), parseline.cpp (a whole value line or key head in one step) and parsevec.cpp
// (the same with the processor's vector instructions).
#ifndef PARSEL_H
#define PARSEL_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "regscan.h"

enum CharClass : unsigned char { C_SKIP, C_WORD, C_DIGIT, C_NL, C_NUL, C_QUOTE, C_LBRACK, C_SINGLE, C_MINUS };

// Built at compile time: each file has its own constant copy, with no initialiser to run.
struct ClassTable {
    unsigned char c[256] = {};  // C_SKIP
    constexpr void Set(const char* chars, CharClass k) {
        for (const char* p = chars; *p; ++p) c[static_cast<unsigned char>(*p)] = k;
    }
    constexpr ClassTable() {
        Set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_./", C_WORD);
        Set("0123456789", C_DIGIT);
        Set("\n", C_NL);
        c[0] = C_NUL;
        Set("\"", C_QUOTE);
        Set("[", C_LBRACK);
        Set("]()=;", C_SINGLE);
        Set("-", C_MINUS);
    }
};
static constexpr ClassTable s_class;

static const uint64_t kOnes = 0x0101010101010101ULL;

static inline uint64_t Load8(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// The bits of the bytes of v that are zero: exact up to the first such byte (the lowest
// set bit), which is all the callers use.
static inline uint64_t ZeroBytes(uint64_t v) { return (v - kOnes) & ~v & (kOnes * 0x80); }

// The offset of the first byte that `mask` (of ZeroBytes) marks.
static inline int FirstMarked(uint64_t mask) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_ctzll(mask) >> 3;
#else
    (void)mask;
    return 0;  // the callers go on byte by byte from here
#endif
}

// Reads the next block of the file (the scanner's own, or the read-ahead's); false at the
// end of the input.
bool yyrefill(RegScanner* s);

// The next byte without the attempt's machinery (no limit, no text kept), EOF at the end;
// for the extension's data (parsexdata.cpp), which begins where no byte is given back.
static inline int PeekByte(RegScanner* s) {
    if (s->pendPos < s->pendLen) return s->pend[s->pendPos];
    if (s->inPos == s->inLen && !yyrefill(s)) return EOF;
    return s->in[s->inPos];
}
static inline void TakeByte(RegScanner* s) {
    if (s->pendPos < s->pendLen) {
        ++s->pendPos;
    } else {
        ++s->inPos;
    }
}

// item or key head (see parseline.cpp) in block[pos, len): true with *item when the bytes
// at pos hold one in the writer's form, its end an offset into block.
bool ScanItem(const unsigned char* block, int pos, int len, YYItem* item);

// NUMBER: an optional minus sign and at most ten digits at *at, ended by a byte that ends a
// word, whose value fits 32 bits: what the integer conversion gives alike everywhere. True
// with *value and *at past the digits.
static inline bool ScanNumber(const unsigned char** at, const unsigned char* end, int* value) {
    const unsigned char* p = *at;
    bool minus = p < end && *p == '-';
    if (minus) ++p;
    int64_t v = 0;
    int n = 0;
    for (; n < 11 && p < end && *p >= '0' && *p <= '9'; ++n, ++p) v = v * 10 + (*p - '0');
    *at = p;
    if (n == 0 || n > 10 || p == end) return false;
    unsigned char k = s_class.c[*p];
    if (k == C_WORD || k == C_DIGIT) return false;
    if (minus) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// NUMBER ';' at s, for the vector paths (parsevec.cpp): the bytes up to and including the
// ";", or 0.
static inline int CursorNumber(const unsigned char* s, const unsigned char* end, int* value) {
    const unsigned char* p = s;
    return ScanNumber(&p, end, value) && *p == ';' ? static_cast<int>(p + 1 - s) : 0;
}

// The gaps at *pos and the item after them, on the path yyscanpath chose: 1 with *item as
// ScanItem gives it, the gaps' line feeds in *lines and *pos moved past them; 0 with only
// the gaps passed, for ScanItem to try; -1 with nothing done, for SkipGaps and ScanItem.
extern int (*PeekItem)(const unsigned char* block, int* pos, int len, int* lines, YYItem* item);

#endif
