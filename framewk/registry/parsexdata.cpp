// The registry file's extension: the data of an extended value, which the parser asks for
// after the "=" of a value whose type word is neither REG_SZ nor REG_INT, and the whole item
// in the writer's form in one step. The type's row (regtypes.h) then turns what was read
// into the value's bytes.
//
//   data   : hex | texts | number
//   hex    : "hex:" [ byte { "," gaps byte } ]       byte: two hexadecimal digits
//   texts  : text { "," gaps text }
//   text   : '"' { char | escape } '"'                char: any byte but '"', '\', LF, NUL
//   escape : '\' ( '\' | '"' | "n" | "r" | "t" | "0" | "u" four hexadecimal digits )
//   number : one to twenty decimal digits, at most 2^64 - 1
//   gaps   : { blank | tab | CR | LF }
//
// Each routine reads through a cursor: the scanner's (any position, any block) or a block's
// (the whole item in the block in hand, or nothing).
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parsel.h"
#include "zrplat.h"

namespace {
// The scanner's bytes, given back ones first, across blocks.
struct ScanIn {
    RegScanner* s;
    int Peek() { return PeekByte(s); }
    void Take() { TakeByte(s); }
    void Line() { ++s->line; }
    // The bytes that lie together from here (none at the end), and a step over k of them.
    const unsigned char* Span(size_t* n) {
        if (PeekByte(s) == EOF) {
            *n = 0;
            return nullptr;
        }
        bool pend = s->pendPos < s->pendLen;
        *n = static_cast<size_t>(pend ? s->pendLen - s->pendPos : s->inLen - s->inPos);
        return pend ? s->pend + s->pendPos : s->in + s->inPos;
    }
    void Skip(size_t k) {
        if (s->pendPos < s->pendLen) {
            s->pendPos += static_cast<int>(k);
        } else {
            s->inPos += static_cast<int>(k);
        }
    }
};
// The bytes of the block in hand from p; the end of the block is the end of the item's chance.
struct BlockIn {
    const unsigned char *p, *end;
    int lines = 0;
    int Peek() { return p < end ? *p : EOF; }
    void Take() { ++p; }
    void Line() { ++lines; }
    const unsigned char* Span(size_t* n) {
        *n = static_cast<size_t>(end - p);
        return p;
    }
    void Skip(size_t k) { p += k; }
};

// The bytes read so far, in a block that grows: a new one each time (the parser keeps it),
// or the scanner's scratch block.
struct Bytes {
    RegXData* x = nullptr;
    size_t cap = 0;
    bool scratch = false;
    bool Room(size_t more) {
        size_t n = x ? x->n : 0;
        if (n + more + 2 <= cap) return true;
        size_t want = cap < 256 ? 256 : cap * 2;
        while (want < n + more + 2) want *= 2;
        void* grown =
            scratch ? zrHostRealloc(x, sizeof(RegXData) + want) : zrRealloc(x, sizeof(RegXData) + want);
        if (!grown) return false;
        x = static_cast<RegXData*>(grown);
        cap = want;
        return true;
    }
    void Unit(unsigned u) {
        unsigned char* b = x->Bytes() + x->n;
        b[0] = static_cast<unsigned char>(u);
        b[1] = static_cast<unsigned char>(u >> 8);
        x->n += 2;
    }
};

const signed char* HexDigits() {
    static signed char digits[256];
    static const bool made = [] {
        memset(digits, -1, sizeof digits);
        for (int i = 0; i < 10; ++i) digits['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) digits['a' + i] = digits['A' + i] = static_cast<signed char>(10 + i);
        return true;
    }();
    (void)made;
    return digits;
}

int HexDigit(int c) { return c < 0 ? -1 : HexDigits()[c & 0xFF]; }

// How many of the n bytes at p a text takes as they are: up to a '"', '\', LF or NUL. 16 at a
// time where the processor has SSE2: the texts of a file of extended values are most of it.
size_t PlainRun(const unsigned char* p, size_t n) {
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), lf = _mm_set1_epi8('\n'),
                  nul = _mm_setzero_si128();
    for (; k + 16 <= n; k += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, nul)));
        int mask = _mm_movemask_epi8(stop);
        if (mask) return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (k < n && p[k] != '"' && p[k] != '\\' && p[k] != '\n' && p[k] != 0) ++k;
    return k;
}

// The n bytes at p as UTF-16LE units at b.
void Widen(unsigned char* b, const unsigned char* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * i + 16), _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < n; ++i) {
        b[2 * i] = p[i];
        b[2 * i + 1] = 0;
    }
}

// gaps
template <class In>
void Gaps(In& in) {
    for (int c; (c = in.Peek()) == ' ' || c == '\t' || c == '\r' || c == '\n'; in.Take())
        if (c == '\n') in.Line();
}

// The byte c next, taken; else nothing is taken.
template <class In>
bool Take(In& in, int c) {
    if (in.Peek() != c) return false;
    in.Take();
    return true;
}

// n hexadecimal digits into *v.
template <class In>
bool Digits(In& in, int n, unsigned* v) {
    *v = 0;
    for (int i = 0; i < n; ++i) {
        int d = HexDigit(in.Peek());
        if (d < 0) return false;
        in.Take();
        *v = *v << 4 | static_cast<unsigned>(d);
    }
    return true;
}

// hex, after "hex".
template <class In>
int Hex(In& in, Bytes* out) {
    if (!Take(in, ':')) return -1;
    if (HexDigit(in.Peek()) < 0) return XDATA;
    const signed char* digit = HexDigits();
    for (;;) {
        // The run of "xx," in hand at once; the byte by byte steps below for the rest.
        size_t avail;
        const unsigned char* p = in.Span(&avail);
        size_t k = 0;
        while (k + 3 <= avail && digit[p[k]] >= 0 && digit[p[k + 1]] >= 0 && p[k + 2] == ',') k += 3;
        if (k) {
            if (!out->Room(k / 3)) return -2;
            unsigned char* b = out->x->Bytes() + out->x->n;
            for (size_t i = 0; i < k; i += 3)
                *b++ = static_cast<unsigned char>(digit[p[i]] << 4 | digit[p[i + 1]]);
            out->x->n += k / 3;
            in.Skip(k);
            Gaps(in);
        }
        unsigned v;
        if (!out->Room(1)) return -2;
        if (!Digits(in, 2, &v)) return -1;
        out->x->Bytes()[out->x->n++] = static_cast<unsigned char>(v);
        if (!Take(in, ',')) return XDATA;
        Gaps(in);
    }
}

// text, after its '"': its UTF-16 units and a NUL unit.
template <class In>
int Text(In& in, Bytes* out) {
    for (;;) {
        // The run of plain bytes in hand at once.
        size_t avail;
        const unsigned char* p = in.Span(&avail);
        size_t k = PlainRun(p, avail);
        if (k) {
            if (!out->Room(2 * k)) return -2;
            Widen(out->x->Bytes() + out->x->n, p, k);
            out->x->n += 2 * k;
            in.Skip(k);
        }
        int c = in.Peek();
        if (c == EOF || c == '\n' || c == 0) return -1;
        in.Take();
        if (!out->Room(2)) return -2;
        if (c == '"') {
            out->Unit(0);
            return XDATA;
        }
        unsigned u = static_cast<unsigned char>(c);
        if (c == '\\') {
            int e = in.Peek();
            in.Take();
            switch (e) {
                case '\\':
                case '"':
                    u = static_cast<unsigned>(e);
                    break;
                case 'n':
                    u = '\n';
                    break;
                case 'r':
                    u = '\r';
                    break;
                case 't':
                    u = '\t';
                    break;
                case '0':
                    u = 0;
                    break;
                case 'u':
                    if (!Digits(in, 4, &u)) return -1;
                    break;
                default:
                    return -1;
            }
        }
        out->Unit(u);
    }
}

// texts, after the first '"'.
template <class In>
int Texts(In& in, Bytes* out) {
    for (int texts = 1;; ++texts) {
        int rc = Text(in, out);
        if (rc != XDATA) return rc;
        out->x->kind = REG_X_TEXTS;
        out->x->texts = texts;
        if (!Take(in, ',')) return XDATA;
        Gaps(in);
        if (!Take(in, '"')) return -1;
    }
}

// number
template <class In>
int Number(In& in, Bytes* out) {
    uint64_t v = 0;
    int n = 0;
    for (int c; (c = in.Peek()) >= '0' && c <= '9'; in.Take(), ++n) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        // Nineteen digits always fit; the twentieth may not.
        if (n >= 19 && (n == 20 || v > (UINT64_MAX - d) / 10)) return -1;
        v = v * 10 + d;
    }
    out->x->kind = REG_X_NUMBER;
    out->x->number = v;
    return XDATA;
}

// data: XDATA with out->x filled, -1 no data, -2 no memory.
template <class In>
int Data(In& in, Bytes* out) {
    if (!out->Room(0)) return -2;
    *out->x = RegXData{REG_X_HEX, 0, 0, 0};
    int c = in.Peek();
    if (c == '"') {
        in.Take();
        return Texts(in, out);
    }
    if (c >= '0' && c <= '9') return Number(in, out);
    if (Take(in, 'h') && Take(in, 'e') && Take(in, 'x')) return Hex(in, out);
    return -1;
}
}  // namespace

int yyxdata(RegScanner* s, RegXData** data) {
    ScanIn in{s};
    Bytes out;
    Gaps(in);
    int rc = Data(in, &out);
    if (rc != XDATA) {
        zrFree(out.x);
        out.x = nullptr;
    }
    *data = out.x;
    return rc;
}

// item: '[' word ']' ' ' '"' name '"' " = " data ';', whole in the block.
bool yyscanxitem(RegScanner* s, YYXItem* item) {
    if (!yyshortcuts || !s->file || s->pendPos != s->pendLen) return false;
    const unsigned char* start = s->in + s->inPos;
    BlockIn in{start, s->in + s->inLen};
    if (!Take(in, '[')) return false;
    // The word up to "]": a word of the table or none (its words hold word characters only).
    const unsigned char* word = in.p;
    size_t most = static_cast<size_t>(in.end - in.p) < 40 ? static_cast<size_t>(in.end - in.p) : 40;
    const void* close = memchr(word, ']', most);
    if (!close) return false;
    in.p = static_cast<const unsigned char*>(close);
    if (!RegTypeOfWord(reinterpret_cast<const char*>(word), static_cast<size_t>(in.p - word), &item->type) ||
        !Take(in, ']') || !Take(in, ' ') || !Take(in, '"'))
        return false;
    const unsigned char* name = in.p;
    for (;;) {
        in.p += PlainRun(in.p, static_cast<size_t>(in.end - in.p));
        if (in.p == in.end || *in.p != '\\') break;
        in.Take();  // a backslash is a byte of a name like any other
    }
    if (in.p - name > REGFILE_TEXT_MAX || !Take(in, '"')) return false;
    item->name = reinterpret_cast<const char*>(name);
    item->nameLen = static_cast<int>(in.p - 1 - name);
    if (!Take(in, ' ') || !Take(in, '=') || !Take(in, ' ')) return false;
    Bytes out{reinterpret_cast<RegXData*>(s->xbuf), s->xcap, true};
    int rc = Data(in, &out);
    s->xbuf = reinterpret_cast<unsigned char*>(out.x);
    s->xcap = out.cap;
    if (rc != XDATA || !Take(in, ';') || !RegTypeTakeData(item->type, out.x)) return false;
    item->data = out.x;
    item->lines = in.lines;
    item->end = static_cast<int>(in.p - s->in);
    return true;
}
