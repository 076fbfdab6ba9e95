// Whole value lines and key heads in one step, byte by byte: the scanner's shortcut past its
// tokens for the forms the writer prints, over the block that parsel.cpp reads (parsevec.cpp
// does the same 64 bytes at a time).
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parsel.h"

// The first double quote, line feed or NUL byte in [p, end), or end.
static const unsigned char* QuoteEnd(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), nl = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, nl)),
                                   _mm_cmpeq_epi8(v, nul));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (m) return p + __builtin_ctz(m);
        p += 16;
    }
#endif
    while (end - p >= 8) {
        uint64_t v = Load8(p);
        uint64_t m = ZeroBytes(v ^ (kOnes * '"')) | ZeroBytes(v ^ (kOnes * '\n')) | ZeroBytes(v);
        if (m) {
            p += FirstMarked(m);
            break;
        }
        p += 8;
    }
    while (p < end && *p != '"' && *p != '\n' && *p != 0) ++p;
    return p;
}

namespace {
// A cursor over the block that counts the line feeds it passes; every step checks the
// end, and a failed match only drops the cursor.
struct Cursor {
    const unsigned char* p;
    const unsigned char* end;
    int lines;
    // Gap bytes, as SkipGaps passes them; false at the end of the block. The writer puts
    // one blank, or none, between the tokens of an item.
    bool Gaps() {
        if (end - p >= 2 && s_class.c[p[0]] == C_SKIP && s_class.c[p[1]] != C_SKIP &&
            s_class.c[p[1]] != C_NL) {
            ++p;
            return true;
        }
        for (; p < end; ++p) {
            unsigned char k = s_class.c[*p];
            if (k == C_NL) {
                ++lines;
            } else if (k != C_SKIP) {
                return true;
            }
        }
        return false;
    }
    bool Byte(unsigned char c) {
        if (p == end || *p != c) return false;
        ++p;
        return true;
    }
    bool Blanks() {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        return p < end;
    }
    // "[" blanks "REG_SZ" or "REG_INT" blanks "]"; 0 when the bytes are anything else.
    int TypeWord() {
        static const char sz[] = "[REG_SZ]", in[] = "[REG_INT]";
        if (end - p >= 9 && memcmp(p, sz, 8) == 0) {
            p += 8;
            return REG_SZ;
        }
        if (end - p >= 10 && memcmp(p, in, 9) == 0) {
            p += 9;
            return REG_INT;
        }
        const unsigned char* start = p;
        if (!Byte('[') || !Blanks() || !Word("REG_")) return 0;
        int type = Byte('S') ? (Byte('Z') ? REG_SZ : 0) : (Word("INT") ? REG_INT : 0);
        if (!type || !Blanks() || !Byte(']') || p - start > 64) return 0;
        return type;
    }
    bool Word(const char* w) {
        for (; *w; ++w)
            if (!Byte(static_cast<unsigned char>(*w))) return false;
        return true;
    }
    // A quoted text whose closing quote lies in the block and within the length limit.
    bool Quoted(const char** text, int* len) {
        if (!Byte('"')) return false;
        const unsigned char* most = end - p > YYLMAX - 1 ? p + YYLMAX - 1 : end;
        const unsigned char* q = QuoteEnd(p, most);
        if (q == most || *q != '"') return false;
        *text = reinterpret_cast<const char*>(p);
        *len = static_cast<int>(q - p);
        p = q + 1;
        return true;
    }
    bool Number(int* value) { return ScanNumber(&p, end, value); }
};
}  // namespace

// item: REG_SZ STRING '=' STRING ';' | REG_INT STRING '=' NUMBER ';'
// with quoted names and texts, a number that fits 32 bits, and type words of a few
// blanks: the forms the writer prints. Whatever else the line holds (bare words, a minus
// sign that is skipped, a token near the length limit, a line that runs past the block)
// is left to yylex.
// key head: KEY STRING '(' with a quoted name, which begins every key the writer prints.
bool ScanItem(const unsigned char* block, int pos, int len, YYItem* item) {
    Cursor c{block + pos, block + len, 0};
    if (c.p < c.end && *c.p == 'K') {
        // The word KEY, ended (in the block) by a byte that is not part of a word.
        if (c.end - c.p < 4 || memcmp(c.p, "KEY", 3) != 0) return false;
        unsigned char k = s_class.c[c.p[3]];
        if (k == C_WORD || k == C_DIGIT) return false;
        c.p += 3;
        if (!c.Gaps() || !c.Quoted(&item->name, &item->nameLen) || !c.Gaps() || !c.Byte('(')) return false;
        item->type = KEY;
        item->lines = c.lines;
        item->end = static_cast<int>(c.p - block);
        return true;
    }
    item->type = c.TypeWord();
    if (!item->type || !c.Gaps() || !c.Quoted(&item->name, &item->nameLen)) return false;
    if (!c.Gaps() || !c.Byte('=') || !c.Gaps()) return false;
    item->text = nullptr;
    item->textLen = 0;
    item->number = 0;
    if (item->type == REG_SZ ? !c.Quoted(&item->text, &item->textLen) : !c.Number(&item->number))
        return false;
    if (!c.Byte(';') && !(c.Gaps() && c.Byte(';'))) return false;
    item->lines = c.lines;
    item->end = static_cast<int>(c.p - block);
    return true;
}
