// The table of value types, and their data's forms in the registry file's extension.
#include "regtypes.h"

#include <stdio.h>
#include <string.h>

#include "regmsg.h"
#include "zrregdll.h"

// Compile-time tables throughout: a load asks for every extended value's word and row, and
// none of them is built or guarded at run time.
static constexpr RegTypeRow kRows[] = {
    {ZRREG_TYPE_NONE, "REG_NONE", "REG_NONE", REG_FORM_BYTES, 0, false, ZRREG_RT_NONE},
    {ZRREG_TYPE_SZ, "REG_SZ", "REG_SZ_EX", REG_FORM_TEXT, 0, false, ZRREG_RT_SZ},
    {ZRREG_TYPE_EXPAND_SZ, "REG_EXPAND_SZ", "REG_EXPAND_SZ", REG_FORM_TEXT, 0, false, ZRREG_RT_EXPAND_SZ},
    {ZRREG_TYPE_BINARY, "REG_BINARY", "REG_BINARY", REG_FORM_BYTES, 0, false, ZRREG_RT_BINARY},
    {ZRREG_TYPE_DWORD, "REG_DWORD", "REG_DWORD_EX", REG_FORM_NUMBER, 4, false, ZRREG_RT_DWORD},
    {ZRREG_TYPE_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN", "REG_DWORD_BIG_ENDIAN", REG_FORM_NUMBER, 4, true,
     0},
    {ZRREG_TYPE_LINK, "REG_LINK", "REG_LINK", REG_FORM_LINK, 0, false, 0},
    {ZRREG_TYPE_MULTI_SZ, "REG_MULTI_SZ", "REG_MULTI_SZ", REG_FORM_MULTI, 0, false, ZRREG_RT_MULTI_SZ},
    {ZRREG_TYPE_QWORD, "REG_QWORD", "REG_QWORD", REG_FORM_NUMBER, 8, false, ZRREG_RT_QWORD},
};
static constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];

static constexpr size_t WordLen(const char* w) {
    size_t n = 0;
    while (w[n]) ++n;
    return n;
}

// The rows of the numbers below 16 by number (kRowCount: none).
static constexpr struct RowIndex {
    unsigned char row[16] = {};
    constexpr RowIndex() {
        for (size_t n = 0; n < 16; ++n) row[n] = kRowCount;
        for (size_t i = 0; i < kRowCount; ++i)
            if (kRows[i].winType < 16) row[kRows[i].winType] = static_cast<unsigned char>(i);
    }
} kIndex;

// The rows by their word's length and fifth byte (after "REG_"), which tell every word of the
// table apart: one compare finds a word's row, with no loop whose length the processor
// cannot predict.
static constexpr size_t kWordMax = sizeof kRows[0].word - 1;
static constexpr size_t WordSlot(size_t n, char fifth) {
    return n * 32 + (static_cast<unsigned char>(fifth) & 31);
}
static constexpr struct WordIndex {
    unsigned char row[(kWordMax + 1) * 32] = {};
    bool unique = true;
    constexpr WordIndex() {
        for (unsigned char& r : row) r = kRowCount;
        for (size_t i = 0; i < kRowCount; ++i) {
            size_t n = WordLen(kRows[i].word), slot = WordSlot(n, kRows[i].word[4]);
            unique = unique && n > 4 && row[slot] == kRowCount;
            row[slot] = static_cast<unsigned char>(i);
        }
    }
} kWords;
static_assert(kWords.unique, "the words of the table differ in their length or fifth byte");

static const char kTypePrefix[] = "REG_TYPE_";

const RegTypeRow* RegTypeRowOf(uint32_t winType) {
    if (winType < 16) return kIndex.row[winType] < kRowCount ? &kRows[kIndex.row[winType]] : nullptr;
    for (const RegTypeRow& r : kRows)
        if (r.winType == winType) return &r;
    return nullptr;
}

// The n bytes at a and b alike: most words of the table in two overlapping loads.
static inline bool SameWord(const char* a, const char* b, size_t n) {
    if (n < 8 || n > 16) return memcmp(a, b, n) == 0;
    uint64_t a0, a1, b0, b1;
    memcpy(&a0, a, 8);
    memcpy(&b0, b, 8);
    memcpy(&a1, a + n - 8, 8);
    memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

bool RegTypeOfWord(const char* word, size_t n, uint32_t* winType) {
    if (n > 4 && n <= kWordMax) {
        const unsigned char i = kWords.row[WordSlot(n, word[4])];
        if (i < kRowCount && SameWord(kRows[i].word, word, n)) {
            *winType = kRows[i].winType;
            return true;
        }
    }
    size_t p = sizeof kTypePrefix - 1;
    if (n <= p || n > p + 10 || memcmp(word, kTypePrefix, p) != 0) return false;
    uint64_t v = 0;
    for (size_t i = p; i < n; ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(word[i] - '0');
    }
    if (v > UINT32_MAX) return false;
    *winType = static_cast<uint32_t>(v);
    return true;
}

bool RegTypeWordPrefix(const char* w, size_t n) {
    static const char* const kPlain[] = {"REG_SZ", "REG_INT"};
    for (const char* word : kPlain)
        if (n <= strlen(word) && memcmp(w, word, n) == 0) return true;
    for (const RegTypeRow& r : kRows)
        if (n <= strlen(r.word) && memcmp(w, r.word, n) == 0) return true;
    size_t p = sizeof kTypePrefix - 1;
    if (memcmp(w, kTypePrefix, n < p ? n : p) != 0) return false;
    if (n > p + 10) return false;
    for (size_t i = p; i < n; ++i)
        if (w[i] < '0' || w[i] > '9') return false;
    return true;
}

const char* RegTypeWord(uint32_t winType, char* out) {
    const RegTypeRow* r = RegTypeRowOf(winType);
    if (r) return r->word;
    snprintf(out, 32, "%s%lu", kTypePrefix, static_cast<unsigned long>(winType));
    return out;
}

// ---- written --------------------------------------------------------------------------

namespace {
struct Writer {
    RegSink put;
    void* to;
    void Put(const char* s, size_t n) { put(to, s, n); }
    void Put(const char* s) { Put(s, strlen(s)); }
};

unsigned Unit(const unsigned char* d, size_t i) {
    return d[2 * i] | static_cast<unsigned>(d[2 * i + 1]) << 8;
}

// text: '"' { byte 0x20..0x7E but '"' and '\' | escape } '"', the n units at d.
void PutQuoted(Writer& w, const unsigned char* d, size_t n) {
    char buf[256];
    size_t len = 0;
    buf[len++] = '"';
    for (size_t i = 0; i < n; ++i) {
        if (len > sizeof buf - 8) {
            w.Put(buf, len);
            len = 0;
        }
        unsigned u = Unit(d, i);
        const char* esc = u == '"'    ? "\\\""
                          : u == '\\' ? "\\\\"
                          : u == '\n' ? "\\n"
                          : u == '\r' ? "\\r"
                          : u == '\t' ? "\\t"
                          : u == 0    ? "\\0"
                                      : nullptr;
        if (esc) {
            buf[len++] = esc[0];
            buf[len++] = esc[1];
        } else if (u >= 0x20 && u < 0x7F) {
            buf[len++] = static_cast<char>(u);
        } else {
            len += static_cast<size_t>(snprintf(buf + len, 7, "\\u%04x", u));
        }
    }
    buf[len++] = '"';
    w.Put(buf, len);
}

// hex: "hex:" [ byte { "," gaps byte } ], 32 bytes a line.
void PutHex(Writer& w, const unsigned char* d, size_t n, const char* indent, size_t indentLen) {
    static const char kDigits[] = "0123456789abcdef";
    w.Put("hex:", 4);
    char buf[3 * 32];
    for (size_t i = 0; i < n;) {
        size_t len = 0;
        size_t end = n - i > 32 ? i + 32 : n;
        for (; i < end; ++i) {
            buf[len++] = kDigits[d[i] >> 4];
            buf[len++] = kDigits[d[i] & 15];
            if (i + 1 < n) buf[len++] = ',';
        }
        w.Put(buf, len);
        if (i < n) {
            w.Put("\n", 1);
            w.Put(indent, indentLen);
            w.Put("        ", 8);
        }
    }
}

// The multi-string's units (n of them) in texts, when they are texts each ended by a NUL
// and one more NUL: there is at least one text and the last two units are NUL.
bool IsMulti(const unsigned char* d, size_t units) {
    return units >= 2 && Unit(d, units - 1) == 0 && Unit(d, units - 2) == 0;
}
}  // namespace

void RegTypeWriteData(uint32_t winType, const unsigned char* d, size_t n, const char* indent,
                      size_t indentLen, RegSink put, void* to) {
    Writer w{put, to};
    const RegTypeRow* r = RegTypeRowOf(winType);
    RegForm form = r ? r->form : REG_FORM_BYTES;
    size_t units = n / 2;
    bool even = n % 2 == 0;
    if (form == REG_FORM_TEXT && even && units >= 1 && Unit(d, units - 1) == 0) {
        PutQuoted(w, d, units - 1);
    } else if (form == REG_FORM_LINK && even) {
        PutQuoted(w, d, units);
    } else if (form == REG_FORM_MULTI && even && IsMulti(d, units)) {
        size_t from = 0;
        for (size_t i = 0; i + 1 < units; ++i) {
            if (Unit(d, i) != 0) continue;
            if (from) w.Put(", ", 2);
            PutQuoted(w, d + 2 * from, i - from);
            from = i + 1;
        }
    } else if (form == REG_FORM_NUMBER && n == r->width) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(d[r->bigEndian ? n - 1 - i : i]) << (8 * i);
        char digits[24];
        w.Put(digits, static_cast<size_t>(
                          snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(v))));
    } else {
        PutHex(w, d, n, indent, indentLen);
    }
}

// ---- read -----------------------------------------------------------------------------

bool RegTypeTakeData(uint32_t winType, RegXData* x) {
    if (x->kind == REG_X_HEX) return true;
    const RegTypeRow* r = RegTypeRowOf(winType);
    if (!r) return false;
    unsigned char* b = x->Bytes();
    switch (r->form) {
        case REG_FORM_TEXT:
            return x->kind == REG_X_TEXTS && x->texts == 1;
        case REG_FORM_LINK:
            if (x->kind != REG_X_TEXTS || x->texts != 1) return false;
            x->n -= 2;
            return true;
        case REG_FORM_MULTI:
            if (x->kind != REG_X_TEXTS) return false;
            b[x->n++] = 0;
            b[x->n++] = 0;
            return true;
        case REG_FORM_NUMBER: {
            if (x->kind != REG_X_NUMBER || (r->width < 8 && x->number >> (8 * r->width))) return false;
            unsigned char le[8];
            for (size_t i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(x->number >> (8 * i));
            for (size_t i = 0; i < r->width; ++i) b[i] = le[r->bigEndian ? r->width - 1 - i : i];
            x->n = r->width;
            return true;
        }
        case REG_FORM_BYTES:
            break;
    }
    return false;
}

long RegTypePlainText(const unsigned char* d, size_t n, char* out) {
    size_t units = n / 2;
    if (n % 2 || units == 0 || Unit(d, units - 1) != 0 || units - 1 > REGFILE_TEXT_MAX) return -1;
    for (size_t i = 0; i + 1 < units; ++i) {
        unsigned u = Unit(d, i);
        if (u == 0 || u > 0xFF || u == '"' || u == '\n' || u == 26) return -1;
        out[i] = static_cast<char>(u);
    }
    return static_cast<long>(units - 1);
}
