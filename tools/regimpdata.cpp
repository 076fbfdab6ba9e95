// Windows registry export files: the reader's parsers of a value's data (text, dword, hex
// and its continuation lines, deletion) and their conversion to what the registry holds.
#include <stdio.h>

#include "regimport.h"
#include "regtext.h"
#include "regtypes.h"

namespace regimport {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(const char* p, const char* e, const char* word) {
    for (; *word; ++word, ++p) {
        if (p == e) return false;
        char c = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
        if (c != *word) return false;
    }
    return true;
}

}  // namespace

// data := quoted | "-" | "dword:" blanks hex{1,8} | "hex" ["(" hex{1,8} ")"] ":" bytes,
// each followed by blanks and the end of the line or a ; comment.
bool Reader::ReadData(int line, const char* p, const char* e, std::string* why) {
    if (p < e && *p == '"') {
        data_.kind = Data::kText;
        if (!Quoted(&p, e, &data_.text, why)) return false;
        if (!AtEnd(p, e)) {
            *why = "only blanks and a ; comment may follow the closing double quote";
            return false;
        }
        return true;
    }
    if (p < e && *p == '-') {
        data_.kind = Data::kDelete;
        if (AtEnd(p + 1, e)) return true;
        *why = "only blanks and a ; comment may follow \"-\"";
        return false;
    }
    if (StartsWithNoCase(p, e, "dword:")) {
        data_.kind = Data::kDword;
        data_.dword = 0;
        const char* q = SkipBlanks(p + 6, e);
        int n = 0;
        for (; q < e && HexDigit(*q) >= 0; ++q, ++n)
            data_.dword = (data_.dword << 4) | static_cast<uint32_t>(HexDigit(*q));
        if (n >= 1 && n <= 8 && AtEnd(q, e)) return true;
        *why = "dword: needs 1 to 8 hexadecimal digits, then only blanks and a ; comment";
        return false;
    }
    if (StartsWithNoCase(p, e, "hex")) {
        data_.kind = Data::kHex;
        data_.hexType = -1;
        const char* q = p + 3;
        if (q < e && *q == '(') {
            const char* d = ++q;
            int64_t type = 0;
            for (; q < e && HexDigit(*q) >= 0; ++q)
                if (q - d < 8) type = type * 16 + HexDigit(*q);
            if (q == d || q - d > 8 || q == e || *q != ')') {
                *why = "hex( needs 1 to 8 hexadecimal digits and \")\"";
                return false;
            }
            data_.hexType = type;
            ++q;
        }
        if (q == e || *q != ':') {
            *why = "\":\" must follow hex or hex(N)";
            return false;
        }
        return HexBytes(line, q + 1, e, why);
    }
    *why = "the data must be \"text\", dword:, hex:, hex(N): or -";
    return false;
}

// bytes := [ byte { "," blanks byte } ] [ "," ] blanks ( [";" comment] | "\" continuation )
// where byte is one or two hexadecimal digits, and the continuation (after blanks and
// a ; comment) goes on with the next line that is neither blank nor a ; comment.
bool Reader::HexBytes(int line, const char* p, const char* e, std::string* why) {
    std::string& bytes = data_.text;
    bytes.clear();
    int at = line;
    auto fail = [&](const std::string& what) {
        *why = what + (at != line ? " (line " + std::to_string(at) + ")" : "");
        return false;
    };
    bool afterComma = true;  // or after the ":"
    for (;;) {
        if (!afterComma) {
            if (p < e && *p == ',') {
                ++p;
                afterComma = true;
                continue;
            }
            const char* q = SkipBlanks(p, e);
            if (q == e || *q == ';') return true;
            if (*q == '\\') return fail("a \"\\\" that continues the data must follow a comma");
            if (*q == ',') return fail("a blank stands between a byte and its comma");
            if (q > p && HexDigit(*q) >= 0) return fail("the bytes must be separated by commas");
            return fail("\"" + CharAt(q, e) + "\" is not a hexadecimal byte");
        }
        p = SkipBlanks(p, e);
        if (p == e || *p == ';') return true;
        if (*p == '\\') {
            if (!AtEnd(p + 1, e)) return fail("only blanks and a ; comment may follow the \"\\\"");
            Line l;
            do {
                if (!NextLine(&l)) return true;  // the end of the file ends the data
                p = SkipBlanks(l.b, l.e);
            } while (p == l.e || *p == ';');
            e = l.e;
            at = l.number;
            if (HexDigit(*p) < 0 && *p != '\\') return Consumed(l, p, why);
            continue;
        }
        int n = 0, v = 0;
        for (; p < e && HexDigit(*p) >= 0; ++p, ++n)
            if (n < 2) v = v * 16 + HexDigit(*p);
        if (n == 0) return fail("\"" + CharAt(p, e) + "\" is not a hexadecimal byte");
        if (n > 2) return fail("a byte has more than two hexadecimal digits");
        bytes.push_back(static_cast<char>(v));
        afterComma = false;
    }
}

// A continuation ran into a line that is not hex data: the line goes with the value.
bool Reader::Consumed(const Line& l, const char* p, std::string* why) {
    std::string what;
    const char* e = l.e;
    if (*p == '[') {
        const char* close = Closing(p, e);
        what = "section " + (close ? std::string(p, close + 1) : Clip(p, e));
        where_ = kSkipping;
    } else if (*p == '"') {
        std::string name, unused;
        const char* q = p;
        what = Quoted(&q, e, &name, &unused) ? "value \"" + name + "\"" : "\"" + Clip(p, e) + "\"";
    } else if (*p == '@') {
        what = "the default value (@)";
    } else {
        what = "\"" + Clip(p, e) + "\"";
    }
    *why = "the data runs on into line " + std::to_string(l.number) + ", " + what +
           ", which is not hex data and goes with it" + (*p == '[' ? "; so do the values under it" : "");
    return false;
}

// The hex data as the value's type and bytes; a REGEDIT4 file holds texts as 8-bit bytes.
void Reader::FromHex() { value_.data = RegHexData(data_.hexType, data_.text, regedit4_); }
}  // namespace regimport
