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
// (the whole item in the block in hand, or nothing). The block's have routines of their own
// for hex, texts and numbers, which the loader meets a million times in a large file: the
// room for all the block could hold is made once, and each reads its bytes in one pass.
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
    static constexpr bool kWhole = false;
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
    static constexpr bool kWhole = true;  // Data gives the item's bytes room for all of the block
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

// Each byte's value as a hexadecimal digit, -1 for any other byte.
constexpr struct HexTable {
    signed char d[256] = {};
    constexpr HexTable() {
        for (int c = 0; c < 256; ++c)
            d[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                   : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                   : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                          : -1;
    }
} kHex;

int HexDigit(int c) { return c < 0 ? -1 : kHex.d[c & 0xFF]; }

#if defined(__SSE2__)
// The bytes of v that end a text's plain run: '"', '\\', LF and NUL.
inline __m128i StopsOf(__m128i v) {
    return _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_setzero_si128())));
}
#endif

// How many of the n bytes at p a text takes as they are: up to a '"', '\', LF or NUL.
size_t PlainRun(const unsigned char* p, size_t n) {
    size_t k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= n; k += 16) {
        int mask = _mm_movemask_epi8(StopsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k))));
        if (mask) return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (k < n && p[k] != '"' && p[k] != '\\' && p[k] != '\n' && p[k] != 0) ++k;
    return k;
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
    for (;;) {
        unsigned v;
        if (!out->Room(1)) return -2;
        if (!Digits(in, 2, &v)) return -1;
        out->x->Bytes()[out->x->n++] = static_cast<unsigned char>(v);
        if (!Take(in, ',')) return XDATA;
        Gaps(in);
    }
}

// The unit of each escape "\\c" by its byte c: kEscU for "\\u" and its digits, kEscBad for a
// byte no escape has. A table, as a switch's jump mispredicts where escapes vary.
const int kEscU = -1, kEscBad = -2;
constexpr struct EscTable {
    signed char u[256] = {};
    constexpr EscTable() {
        const char simple[][2] = {{'\\', '\\'}, {'"', '"'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'0', 0}};
        for (signed char& c : u) c = kEscBad;
        for (const auto& e : simple) u[static_cast<unsigned char>(e[0])] = static_cast<signed char>(e[1]);
        u[static_cast<unsigned char>('u')] = kEscU;
    }
} kEsc;

// escape, after its '\\': the unit it stands for.
template <class In>
bool Escape(In& in, unsigned* u) {
    int e = in.Peek();
    in.Take();
    int k = e < 0 ? kEscBad : kEsc.u[e];
    if (k == kEscU) return Digits(in, 4, u);
    *u = static_cast<unsigned>(k);
    return k >= 0;
}

// hex, after "hex", whole in the block with room for it: in one pass.
int Hex(BlockIn& in, Bytes* out) {
    if (!Take(in, ':')) return -1;
    if (HexDigit(in.Peek()) < 0) return XDATA;
    const unsigned char* p = in.p;
    unsigned char* b = out->x->Bytes() + out->x->n;
    for (;;) {
        if (in.end - p < 3) return -1;  // the item's ";" is still to come
        int hi = kHex.d[p[0]], lo = kHex.d[p[1]];
        if ((hi | lo) < 0) return -1;
        *b++ = static_cast<unsigned char>(hi << 4 | lo);
        if (p[2] != ',') {
            p += 2;
            break;
        }
        // Gaps come only where the writer wraps a line: every gap byte is below '!'.
        for (p += 3; p < in.end && *p <= ' ' && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'); ++p)
            if (*p == '\n') in.Line();
    }
    out->x->n = static_cast<size_t>(b - out->x->Bytes());
    in.p = p;
    return XDATA;
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
            for (size_t i = 0; i < k; ++i) out->Unit(p[i]);
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
        if (c == '\\' && !Escape(in, &u)) return -1;
        out->Unit(u);
    }
}

// A text whole in the block, with room for two bytes a byte of the block: 16 bytes at a time
// go out widened before they are looked at, the first stop among them is found from a mask,
// and escapes are decoded in line. The texts of a file of extended values are most of it.
int Text(BlockIn& in, Bytes* out) {
    const unsigned char* p = in.p;
    unsigned char* b = out->x->Bytes() + out->x->n;
    for (;;) {
        size_t k = 0, n = static_cast<size_t>(in.end - p);
#if defined(__SSE2__)
        // Each store of 32 bytes stays within the room: b - Bytes() grows by at most two a byte.
        const __m128i zero = _mm_setzero_si128();
        for (; k + 16 <= n; k += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * k), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * k + 16), _mm_unpackhi_epi8(v, zero));
            int mask = _mm_movemask_epi8(StopsOf(v));
            if (mask) {
                k += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
                break;
            }
        }
        if (k + 16 > n)
#endif
            for (; k < n && p[k] != '"' && p[k] != '\\' && p[k] != '\n' && p[k] != 0; ++k) {
                b[2 * k] = p[k];
                b[2 * k + 1] = 0;
            }
        p += k;
        b += 2 * k;
        if (p == in.end || (*p != '"' && *p != '\\')) return -1;
        unsigned u = 0;
        bool closed = *p++ == '"';
        if (!closed) {
            in.p = p;
            if (!Escape(in, &u)) return -1;
            p = in.p;
        }
        b[0] = static_cast<unsigned char>(u);
        b[1] = static_cast<unsigned char>(u >> 8);
        b += 2;
        if (closed) break;
    }
    out->x->n = static_cast<size_t>(b - out->x->Bytes());
    in.p = p;
    return XDATA;
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

// number, whole in the block.
int Number(BlockIn& in, Bytes* out) {
    const unsigned char* p = in.p;
    uint64_t v = 0;
    int n = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight digits at a time, twice at most (sixteen always fit), by multiplies in a word.
    for (uint64_t c; n < 16 && in.end - p >= 8; p += 8, n += 8) {
        memcpy(&c, p, 8);
        const uint64_t high = 0xF0F0F0F0F0F0F0F0u, zeros = 0x3030303030303030u;
        if ((c & high) != zeros || ((c + 0x0606060606060606u) & high) != zeros) break;
        uint64_t d = c - zeros;  // the first digit in the lowest byte
        d = d * 10 + (d >> 8);
        d = ((d & 0x000000FF000000FFu) * (100 + (1000000ull << 32)) +
             ((d >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32))) >>
            32;
        v = v * 100000000 + d;
    }
#endif
    for (; p < in.end && *p >= '0' && *p <= '9'; ++p, ++n) {
        uint64_t d = static_cast<uint64_t>(*p - '0');
        if (n >= 19 && (n == 20 || v > (UINT64_MAX - d) / 10)) return -1;
        v = v * 10 + d;
    }
    in.p = p;
    out->x->kind = REG_X_NUMBER;
    out->x->number = v;
    return XDATA;
}

// data: XDATA with out->x filled, -1 no data, -2 no memory.
template <class In>
int Data(In& in, Bytes* out) {
    size_t avail = 0;
    if (In::kWhole) in.Span(&avail);
    if (!out->Room(2 * avail)) return -2;
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

// The offset of the first "]" among the 32 bytes at w (all in the block), else kNoClose.
const size_t kNoClose = 32;
size_t CloseAt(const unsigned char* w) {
#if defined(__SSE2__)
    const __m128i close = _mm_set1_epi8(']');
    unsigned m = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)), close)) |
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16)), close))
            << 16);
    return m ? static_cast<size_t>(__builtin_ctz(m)) : kNoClose;
#else
    const void* c = memchr(w, ']', kNoClose);
    return c ? static_cast<size_t>(static_cast<const unsigned char*>(c) - w) : kNoClose;
#endif
}

// item: '[' word ']' ' ' '"' name '"' " = " data ';', whole in the block.
bool yyscanxitem(RegScanner* s, YYXItem* item) {
    if (!yyshortcuts || !s->file || s->pendPos != s->pendLen) return false;
    // An item of the first 16 KB of the block, as large as a block read ahead: the scratch
    // block then stays small enough for the C allocator to keep it between loads, where a
    // larger one is mapped and its pages faulted in anew for each.
    const unsigned char* start = s->in + s->inPos;
    BlockIn in{start, s->in + (s->inLen - s->inPos > ZR_AHEAD_BLOCK ? s->inPos + ZR_AHEAD_BLOCK : s->inLen)};
    // "[" word "] \"", the word a word of the table or none (its words hold word characters
    // only, so that the first "]" ends it).
    if (in.end - in.p < 48 || *in.p != '[') return false;
    const unsigned char* word = in.p + 1;
    size_t n = CloseAt(word);
    if (n == kNoClose || !RegTypeOfWord(reinterpret_cast<const char*>(word), n, &item->type) ||
        memcmp(word + n, "] \"", 3) != 0)
        return false;
    in.p = word + n + 3;
    const unsigned char* name = in.p;
    for (;;) {
        in.p += PlainRun(in.p, static_cast<size_t>(in.end - in.p));
        if (in.p == in.end || *in.p != '\\') break;
        in.Take();  // a backslash is a byte of a name like any other
    }
    if (in.p - name > REGFILE_TEXT_MAX || in.end - in.p < 4 || memcmp(in.p, "\" = ", 4) != 0) return false;
    item->name = reinterpret_cast<const char*>(name);
    item->nameLen = static_cast<int>(in.p - name);
    in.p += 4;
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
