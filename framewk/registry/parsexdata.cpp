// The registry file's extension: the data of an extended value, which the parser asks for
// after the "=" of a value whose type word is neither REG_SZ nor REG_INT. The type's row
// (regtypes.h) then turns what was read into the value's bytes.
//
//   data   : hex | texts | number
//   hex    : "hex:" [ byte { "," gaps byte } ]       byte: two hexadecimal digits
//   texts  : text { "," gaps text }
//   text   : '"' { char | escape } '"'                char: any byte but '"', '\', LF, NUL
//   escape : '\' ( '\' | '"' | "n" | "r" | "t" | "0" | "u" four hexadecimal digits )
//   number : one to twenty decimal digits, at most 2^64 - 1
//   gaps   : { blank | tab | CR | LF }
#include <stdint.h>
#include <string.h>

#include "parsel.h"
#include "zrplat.h"

namespace {
// The bytes read so far, in a block that grows.
struct Bytes {
    RegXData* x = nullptr;
    size_t cap = 0;
    bool Room(size_t more) {
        size_t n = x ? x->n : 0;
        if (n + more + 2 <= cap) return true;
        size_t want = cap < 256 ? 256 : cap * 2;
        while (want < n + more + 2) want *= 2;
        RegXData* grown = static_cast<RegXData*>(zrRealloc(x, sizeof(RegXData) + want));
        if (!grown) return false;
        if (!x) *grown = RegXData{REG_X_HEX, 0, 0, 0};
        x = grown;
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

int HexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// gaps
void Gaps(RegScanner* s) {
    for (int c; (c = PeekByte(s)) == ' ' || c == '\t' || c == '\r' || c == '\n'; TakeByte(s))
        if (c == '\n') ++s->line;
}

// The byte c next, taken; else nothing is taken.
bool Take(RegScanner* s, int c) {
    if (PeekByte(s) != c) return false;
    TakeByte(s);
    return true;
}

// n hexadecimal digits into *v.
bool Digits(RegScanner* s, int n, unsigned* v) {
    *v = 0;
    for (int i = 0; i < n; ++i) {
        int d = HexDigit(PeekByte(s));
        if (d < 0) return false;
        TakeByte(s);
        *v = *v << 4 | static_cast<unsigned>(d);
    }
    return true;
}

// hex, after "hex": the data's bytes, straight from the block while they lie in it.
int Hex(RegScanner* s, Bytes* out) {
    if (!Take(s, ':')) return -1;
    if (HexDigit(PeekByte(s)) < 0) return XDATA;
    for (;;) {
        unsigned v;
        if (!out->Room(1)) return -2;
        if (!Digits(s, 2, &v)) return -1;
        out->x->Bytes()[out->x->n++] = static_cast<unsigned char>(v);
        if (!Take(s, ',')) return XDATA;
        Gaps(s);
    }
}

// text, after its '"': its UTF-16 units and a NUL unit.
int Text(RegScanner* s, Bytes* out) {
    for (;;) {
        int c = PeekByte(s);
        if (c == EOF || c == '\n' || c == 0) return -1;
        TakeByte(s);
        if (!out->Room(2)) return -2;
        if (c == '"') {
            out->Unit(0);
            return XDATA;
        }
        unsigned u = static_cast<unsigned char>(c);
        if (c == '\\') {
            int e = PeekByte(s);
            TakeByte(s);
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
                    if (!Digits(s, 4, &u)) return -1;
                    break;
                default:
                    return -1;
            }
        }
        out->Unit(u);
    }
}

// texts, after the first '"'.
int Texts(RegScanner* s, Bytes* out) {
    for (int texts = 1;; ++texts) {
        int rc = Text(s, out);
        if (rc != XDATA) return rc;
        out->x->kind = REG_X_TEXTS;
        out->x->texts = texts;
        if (!Take(s, ',')) return XDATA;
        Gaps(s);
        if (!Take(s, '"')) return -1;
    }
}

// number
int Number(RegScanner* s, Bytes* out) {
    uint64_t v = 0;
    int n = 0;
    for (int c; (c = PeekByte(s)) >= '0' && c <= '9'; TakeByte(s), ++n) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (n == 20 || v > (UINT64_MAX - d) / 10) return -1;
        v = v * 10 + d;
    }
    out->x->kind = REG_X_NUMBER;
    out->x->number = v;
    return XDATA;
}
}  // namespace

// data
int yyxdata(RegScanner* s, RegXData** data) {
    Bytes out;
    int rc = -2;
    Gaps(s);
    int c = PeekByte(s);
    if (out.Room(0)) {
        if (c == '"') {
            TakeByte(s);
            rc = Texts(s, &out);
        } else if (c >= '0' && c <= '9') {
            rc = Number(s, &out);
        } else if (Take(s, 'h') && Take(s, 'e') && Take(s, 'x')) {
            rc = Hex(s, &out);
        } else {
            rc = -1;
        }
    }
    if (rc != XDATA) {
        zrFree(out.x);
        out.x = nullptr;
    }
    *data = out.x;
    return rc;
}
