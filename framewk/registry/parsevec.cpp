// Whole value lines and key heads in one step, 64 bytes at a time with the processor's vector
// instructions, and the choice of the path the scanner takes to them.
#if defined(__x86_64__) && defined(__GNUC__)
#define SCAN_X86 1
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define SCAN_NEON 1
#include <arm_neon.h>
#endif

#include "parsel.h"

// ---- the vector paths ------------------------------------------------------------------
// simdjson's first stage on a small scale: the 64 bytes from the scanner's position become
// bitmasks (bit i for byte i), and the ends of the gaps and of the quoted name and text are
// counts of trailing zeros rather than loops whose length the processor cannot predict;
// only the few bytes between the tokens are tested one by one. What is not the writer's
// form, or lies past the windows that fit in the block, goes to ScanItem as before.

namespace {

// Each path classifies 64 bytes at p into a bitmask, bit i for p[i]: Stops, the bytes that
// end a quoted text (double quote, line feed, NUL); Gaps, the blanks and line feeds that
// the writer leaves between items, with the line feeds in *feeds; Blanks, the blanks among
// the first 32 bytes only (the bits above are 0).
#if SCAN_X86
struct Sse2 {
    static uint64_t Bits(__m128i hit, int i) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit))) << (16 * i);
    }
    static uint64_t Gaps(const unsigned char* p, uint64_t* feeds) {
        const __m128i nl = _mm_set1_epi8('\n'), blank = _mm_set1_epi8(' ');
        uint64_t gaps = 0, f = 0;
        for (int i = 0; i < 4; ++i) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            __m128i feed = _mm_cmpeq_epi8(v, nl);
            f |= Bits(feed, i);
            gaps |= Bits(_mm_or_si128(feed, _mm_cmpeq_epi8(v, blank)), i);
        }
        *feeds = f;
        return gaps;
    }
    static uint64_t Blanks(const unsigned char* p) {
        const __m128i blank = _mm_set1_epi8(' ');
        return Bits(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), blank), 0) |
               Bits(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), blank), 1);
    }
    static uint64_t Stops(const unsigned char* p) {
        const __m128i quote = _mm_set1_epi8('"'), nl = _mm_set1_epi8('\n');
        uint64_t m = 0;
        for (int i = 0; i < 4; ++i) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            m |= Bits(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, nl)),
                                   _mm_cmpeq_epi8(v, _mm_setzero_si128())),
                      i);
        }
        return m;
    }
    // Without a popcount instruction in the baseline: the gaps hold a line feed or two.
    static int Count(uint64_t m) {
        int n = 0;
        for (; m; m &= m - 1) ++n;
        return n;
    }
    static int Number(const unsigned char* s, const unsigned char* end, int* value) {
        return CursorNumber(s, end, value);
    }
};

#define SCAN_AVX2_TARGET __attribute__((target("avx2,popcnt")))
struct Avx2 {
    SCAN_AVX2_TARGET static uint64_t Bits(__m256i lo, __m256i hi) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
               static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32;
    }
    // The stops by their low half-byte: each entry is the stop with that low half, or a
    // byte whose low half differs (so nothing matches it); bytes from 0x80 look up 0.
    SCAN_AVX2_TARGET static __m256i StopsOf(__m256i v) {
        const __m256i stopByLow = _mm256_setr_epi8(0, 2, '"', 4, 5, 6, 7, 8, 9, 10, '\n', 12, 13, 14, 15, 0,
                                                   0, 2, '"', 4, 5, 6, 7, 8, 9, 10, '\n', 12, 13, 14, 15, 0);
        return _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(stopByLow, v));
    }
    SCAN_AVX2_TARGET static uint64_t Stops(const unsigned char* p) {
        return Bits(StopsOf(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
                    StopsOf(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))));
    }
    SCAN_AVX2_TARGET static uint64_t Gaps(const unsigned char* p, uint64_t* feeds) {
        const __m256i nl = _mm256_set1_epi8('\n'), blank = _mm256_set1_epi8(' ');
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        __m256i feedA = _mm256_cmpeq_epi8(a, nl), feedB = _mm256_cmpeq_epi8(b, nl);
        *feeds = Bits(feedA, feedB);
        return Bits(_mm256_or_si256(feedA, _mm256_cmpeq_epi8(a, blank)),
                    _mm256_or_si256(feedB, _mm256_cmpeq_epi8(b, blank)));
    }
    SCAN_AVX2_TARGET static uint64_t Blanks(const unsigned char* p) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' '))));
    }
    SCAN_AVX2_TARGET static int Count(uint64_t m) { return __builtin_popcountll(m); }
    // The digits at once, with no branch on their count or sign (each is a coin toss for
    // the processor): counted by a compare, moved to the right end of a vector and summed
    // by multiply-adds. Holds ScanItem's rules: at most ten digits, ended by ";", 32 bits.
    SCAN_AVX2_TARGET static int Number(const unsigned char* s, const unsigned char* end, int* value) {
        if (end - s < 17) return CursorNumber(s, end, value);
        int minus = *s == '-';
        __m128i d =
            _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + minus)), _mm_set1_epi8('0'));
        unsigned digit =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
        int n = __builtin_ctz(~digit);
        if (n == 0 || n > 10 || s[minus + n] != ';') return 0;
        const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        d = _mm_shuffle_epi8(d, _mm_add_epi8(iota, _mm_set1_epi8(static_cast<char>(n - 16))));
        __m128i pairs =
            _mm_maddubs_epi16(d, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
        __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
        fours = _mm_packus_epi32(fours, fours);
        __m128i eights = _mm_madd_epi16(fours, _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
        int64_t v = int64_t(_mm_cvtsi128_si32(eights)) * 100000000 + _mm_extract_epi32(eights, 1);
        if (minus) v = -v;
        if (v < INT32_MIN || v > INT32_MAX) return 0;
        *value = static_cast<int>(v);
        return minus + n + 1;
    }
};
#endif

#if SCAN_NEON
struct Neon {
    // One bit per byte of four compare results, as x86's movemask gives them.
    static uint64_t Bits(const uint8x16_t* r) {
        const uint8x16_t w = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        uint8x16_t s = vpaddq_u8(vpaddq_u8(vandq_u8(r[0], w), vandq_u8(r[1], w)),
                                 vpaddq_u8(vandq_u8(r[2], w), vandq_u8(r[3], w)));
        s = vpaddq_u8(s, s);
        return vgetq_lane_u64(vreinterpretq_u64_u8(s), 0);
    }
    static uint8x16_t StopsOf(uint8x16_t v) {
        return vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\n'))), vceqzq_u8(v));
    }
    static uint64_t Stops(const unsigned char* p) {
        uint8x16_t r[4];
        for (int i = 0; i < 4; ++i) r[i] = StopsOf(vld1q_u8(p + 16 * i));
        return Bits(r);
    }
    static uint64_t Gaps(const unsigned char* p, uint64_t* feeds) {
        uint8x16_t feed[4], gap[4];
        for (int i = 0; i < 4; ++i) {
            uint8x16_t v = vld1q_u8(p + 16 * i);
            feed[i] = vceqq_u8(v, vdupq_n_u8('\n'));
            gap[i] = vorrq_u8(feed[i], vceqq_u8(v, vdupq_n_u8(' ')));
        }
        *feeds = Bits(feed);
        return Bits(gap);
    }
    static uint64_t Blanks(const unsigned char* p) {
        uint8x16_t r[4] = {vceqq_u8(vld1q_u8(p), vdupq_n_u8(' ')),
                           vceqq_u8(vld1q_u8(p + 16), vdupq_n_u8(' ')), vdupq_n_u8(0), vdupq_n_u8(0)};
        return Bits(r);
    }
    static int Count(uint64_t m) { return __builtin_popcountll(m); }
    static int Number(const unsigned char* s, const unsigned char* end, int* value) {
        return CursorNumber(s, end, value);
    }
};
#endif

// The bits of m from bit i on.
inline uint64_t From(uint64_t m, int i) { return i < 64 ? m & (~uint64_t(0) << i) : 0; }
inline uint64_t Below(int i) { return (uint64_t(1) << i) - 1; }

// A quoted text whose first byte is at offset `from` of the window at p (after its opening
// quote): the offset of its closing quote, when that lies within the length limit and
// within windows that fit the block; -1 for ScanItem to decide.
template <class V>
inline int QuoteAt(const unsigned char* p, uint64_t stops, int from, const unsigned char* end) {
    int at = -1;
    if (uint64_t m = From(stops, from)) {
        at = __builtin_ctzll(m);
    } else {
        for (int off = from > 64 ? from : 64; off - from < YYLMAX - 1 && end - p - off >= 64; off += 64) {
            if (uint64_t s = V::Stops(p + off)) {
                at = off + __builtin_ctzll(s);
                break;
            }
        }
    }
    return at >= 0 && at - from < YYLMAX - 1 && p[at] == '"' ? at : -1;
}

// The gaps from p up to "(" that ends a key head: the line feed and blanks the writer puts
// there, or any blanks and line feeds within a window. The offset of "(", or -1.
template <class V>
inline int OpenAt(const unsigned char* p, const unsigned char* end, int* lines) {
    if (end - p < 64) return -1;
    if (*p == '\n') {
        int at = 1 + __builtin_ctzll(~V::Blanks(p + 1));
        if (p[at] == '(') {
            *lines = 1;
            return at;
        }
    }
    uint64_t feeds;
    uint64_t other = ~V::Gaps(p, &feeds);
    if (!other) return -1;
    int at = __builtin_ctzll(other);
    if (p[at] != '(') return -1;
    *lines = V::Count(feeds & Below(at));
    return at;
}

// The writer's forms only, byte for byte, at s: "[REG_SZ] \"name\" = \"text\";",
// "[REG_INT] \"name\" = number;" and "KEY \"name\"" with blanks and line feeds before "(".
// Each is an item that ScanItem gives alike. One window from the name on mostly holds the
// name and the text.
template <class V>
inline bool WriterItem(const unsigned char* block, const unsigned char* s, const unsigned char* end,
                       YYItem* item) {
    if (end - s < 16) return false;
    // Two overlapping compares of fixed size each: a load and a compare apiece.
    const unsigned char* n;
    if (memcmp(s, "[REG_SZ]", 8) == 0 && memcmp(s + 2, "EG_SZ] \"", 8) == 0) {
        item->type = REG_SZ;
        n = s + 10;
    } else if (memcmp(s, "[REG_INT", 8) == 0 && memcmp(s + 3, "G_INT] \"", 8) == 0) {
        item->type = REG_INT;
        n = s + 11;
    } else if (memcmp(s, "KEY ", 4) == 0 && memcmp(s + 1, "EY \"", 4) == 0) {
        item->type = KEY;
        n = s + 5;
    } else {
        return false;
    }
    if (end - n < 64) return false;
    uint64_t stops = V::Stops(n);
    int q = QuoteAt<V>(n, stops, 0, end);
    if (q < 0) return false;
    item->name = reinterpret_cast<const char*>(n);
    item->nameLen = q;
    ++q;
    if (item->type == KEY) {
        int lines = 0;
        int at = OpenAt<V>(n + q, end, &lines);
        if (at < 0) return false;
        item->lines = lines;
        item->end = static_cast<int>(n + q + at + 1 - block);
        return true;
    }
    if (end - n - q < 8 || memcmp(n + q - 1, "\" = ", 4) != 0) return false;
    q += 3;
    item->text = nullptr;
    item->textLen = 0;
    item->number = 0;
    const unsigned char* after;
    if (item->type == REG_SZ) {
        if (n[q] != '"') return false;
        int e = QuoteAt<V>(n, stops, q + 1, end);
        if (e < 0 || end - n - e < 2 || n[e + 1] != ';') return false;
        item->text = reinterpret_cast<const char*>(n + q + 1);
        item->textLen = e - q - 1;
        after = n + e + 2;
    } else {
        int len = V::Number(n + q, end, &item->number);
        if (!len) return false;
        after = n + q + len;
    }
    item->lines = 0;
    item->end = static_cast<int>(after - block);
    return true;
}

template <class V>
inline int PeekWith(const unsigned char* block, int* pos, int len, int* lines, YYItem* item) {
    const unsigned char* p = block + *pos;
    const unsigned char* end = block + len;
    if (end - p < 64) return -1;
    // The gap the writer leaves: a line feed and blanks.
    if (*p == '\n') {
        int t = 1 + __builtin_ctzll(~V::Blanks(p + 1));
        int found = WriterItem<V>(block, p + t, end, item);
        // Or a token of another kind there, such as the ")" that ends a key.
        unsigned char k = s_class.c[p[t]];
        if (found || (k != C_SKIP && k != C_NL)) {
            *lines = 1;
            *pos += t;
            return found;
        }
    }
    uint64_t feeds;
    uint64_t other = ~V::Gaps(p, &feeds);
    if (!other) return -1;
    int t = __builtin_ctzll(other);
    int found = WriterItem<V>(block, p + t, end, item);
    // A tab, carriage return or other skipped byte: SkipGaps passes those.
    if (!found && s_class.c[p[t]] == C_SKIP) return -1;
    *lines = V::Count(feeds & Below(t));
    *pos += t;
    return found;
}

int PeekScalar(const unsigned char*, int*, int, int*, YYItem*) { return -1; }

#if SCAN_X86
int PeekSse2(const unsigned char* block, int* pos, int len, int* lines, YYItem* item) {
    return PeekWith<Sse2>(block, pos, len, lines, item);
}
// flatten: the AVX2 instructions may only be inlined into a function built for them.
__attribute__((flatten)) SCAN_AVX2_TARGET int PeekAvx2(const unsigned char* block, int* pos, int len,
                                                       int* lines, YYItem* item) {
    return PeekWith<Avx2>(block, pos, len, lines, item);
}
#endif
#if SCAN_NEON
int PeekNeon(const unsigned char* block, int* pos, int len, int* lines, YYItem* item) {
    return PeekWith<Neon>(block, pos, len, lines, item);
}
#endif

// The first call chooses the fastest path there is.
int ChooseAndPeek(const unsigned char* block, int* pos, int len, int* lines, YYItem* item) {
    yyscanpath(YYSCAN_BEST);
    return PeekItem(block, pos, len, lines, item);
}
}  // namespace

int (*PeekItem)(const unsigned char*, int*, int, int*, YYItem*) = ChooseAndPeek;

bool yyscanpath(int path) {
    switch (path) {
        case YYSCAN_BEST:
            return yyscanpath(YYSCAN_AVX2) || yyscanpath(YYSCAN_SSE2) || yyscanpath(YYSCAN_NEON) ||
                   yyscanpath(YYSCAN_SCALAR);
        case YYSCAN_SCALAR:
            PeekItem = PeekScalar;
            return true;
#if SCAN_X86
        case YYSCAN_SSE2:
            PeekItem = PeekSse2;
            return true;
        case YYSCAN_AVX2:
            if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("popcnt")) return false;
            PeekItem = PeekAvx2;
            return true;
#endif
#if SCAN_NEON
        case YYSCAN_NEON:
            PeekItem = PeekNeon;
            return true;
#endif
    }
    return false;
}
