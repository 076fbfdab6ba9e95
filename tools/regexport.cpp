// Windows registry export files ("Windows Registry Editor Version 5.00"): writer and reader.
#include "regexport.h"

#include <stdio.h>
#include <string.h>

#include "regtext.h"

static const char kHeader[] = "Windows Registry Editor Version 5.00";

// ---- writing -----------------------------------------------------------------------------

static void AppendQuoted(std::string* out, const std::string& bytes) {
    out->push_back('"');
    for (char c : bytes) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

std::string WriteExport(const std::vector<ExportKey>& keys, ExportForm form) {
    std::string text = std::string(kHeader) + "\n\n";
    for (const ExportKey& key : keys) {
        text += "[" + key.path + "]\n";
        for (const ExportValue& v : key.values) {
            if (v.name.empty())
                text += "@";
            else
                AppendQuoted(&text, v.name);
            text += "=";
            if (v.isDword) {
                char buf[32];
                snprintf(buf, sizeof buf, "dword:%08lx", static_cast<unsigned long>(v.dword));
                text += buf;
            } else {
                AppendQuoted(&text, v.text);
            }
            text += "\n";
        }
        text += "\n";
    }
    if (form == ExportForm::kUtf8) return Latin1ToUtf8(text);
    std::string out = "\xFF\xFE";
    for (char c : text) {
        if (c == '\n') out.append("\r\0", 2);
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// ---- reading -----------------------------------------------------------------------------

namespace {

const char kHeader4[] = "REGEDIT4";

// The Windows hives a section may start at besides the registry's own top-level keys.
const char* const kHives[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                              "HKEY_CURRENT_CONFIG"};

std::string LineMsg(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

void AppendUtf16(std::string* out, const unsigned char* b, size_t n) {
    out->reserve(out->size() + n / 2 + n / 8);
    for (size_t i = 0; i + 1 < n; i += 2) {
        char32_t u = b[i] | (b[i + 1] << 8);
        if (u < 0x80) {
            out->push_back(static_cast<char>(u));
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
            char32_t lo = b[i + 2] | (b[i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // an unpaired half
        AppendUtf8(out, u);
    }
}

// Whether the bytes are valid UTF-8; ASCII runs are checked eight bytes at a time.
bool IsUtf8(const std::string& s, size_t from) {
    size_t i = from, n = s.size();
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t w;
            memcpy(&w, s.data() + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t k = i;
        while (k < n && k < i + 4 && (k == i || (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80)) ++k;
        std::u32string one;
        if (!DecodeUtf8(s.substr(i, k - i), &one) || one.size() != 1) return false;
        i = k;
    }
    return true;
}

// The file as UTF-8 text: [*b, *e) in the file itself or in `text`.
bool Decode(const std::string& file, std::string* text, const char** tb, const char** te,
            std::string* error) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(file.data());
    size_t n = file.size();
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        *error = "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8";
        return false;
    }
    bool bom16 = n >= 2 && b[0] == 0xFF && b[1] == 0xFE;
    // Without a byte order mark, UTF-16LE shows itself by the zero high byte of the first
    // character, which no header or blank of UTF-8 text has.
    if (bom16 || (n >= 2 && b[0] != 0 && b[1] == 0)) {
        if (n % 2 != 0) {
            *error = "the UTF-16 text ends in the middle of a character";
            return false;
        }
        size_t skip = bom16 ? 2 : 0;
        AppendUtf16(text, b + skip, n - skip);
        *tb = text->data();
        *te = text->data() + text->size();
        return true;
    }
    bool bom8 = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    if (IsUtf8(file, bom8 ? 3 : 0)) {
        *tb = file.data() + (bom8 ? 3 : 0);
        *te = file.data() + n;
        return true;
    }
    if (bom8) {
        *error = "the file is marked as UTF-8 but is not valid UTF-8";
        return false;
    }
    *text = Latin1ToUtf8(file);
    *tb = text->data();
    *te = text->data() + text->size();
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const char* SkipBlanks(const char* p, const char* e) {
    while (p < e && IsBlank(*p)) ++p;
    return p;
}

// Whether only blanks and an optional ; comment follow.
bool AtEnd(const char* p, const char* e) {
    p = SkipBlanks(p, e);
    return p == e || *p == ';';
}

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

// The registry bytes of UTF-8 text, or false with the first character the registry
// cannot hold.
bool ToBytes(const char* p, const char* e, std::string* out, char32_t* bad) {
    out->clear();
    while (p < e) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x01 && c < 0x80) {
            out->push_back(static_cast<char>(c));
            ++p;
        } else if ((c & 0xE0) == 0xC0) {
            char32_t u = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(p[1]) & 0x3Fu);
            if (u > 0xFF) {
                *bad = u;
                return false;
            }
            out->push_back(static_cast<char>(u));
            p += 2;
        } else {
            std::u32string one;
            size_t k = c == 0 ? 1 : (c & 0xF0) == 0xE0 ? 3 : 4;
            DecodeUtf8(std::string(p, k), &one);
            *bad = one.empty() ? 0 : one[0];
            return false;
        }
    }
    return true;
}

// The UTF-8 character at p, for messages.
std::string CharAt(const char* p, const char* e) {
    const char* q = p + 1;
    while (q < e && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) ++q;
    return std::string(p, q);
}

const char* TypeOfHex(int64_t type) {
    switch (type) {
        case -1:
            return "REG_BINARY";
        case 0:
            return "REG_NONE";
        case 3:
            return "REG_BINARY";
        case 5:
            return "REG_DWORD_BIG_ENDIAN";
        case 6:
            return "REG_LINK";
        case 7:
            return "REG_MULTI_SZ";
        case 8:
            return "REG_RESOURCE_LIST";
        case 11:
            return "REG_QWORD";
        default:
            return "an unknown type";
    }
}

struct Line {
    const char* b;
    const char* e;
    int number;
};

// A value's data as the line gave it.
struct Data {
    enum { kText, kDword, kDelete, kHex } kind;
    std::string text;  // UTF-8; for kHex the bytes
    uint32_t dword;
    int64_t hexType;  // -1 for hex:
};

class Reader {
public:
    Reader(const char* b, const char* e, ExportHandler* h) : p_(b), end_(e), h_(h) {}

    bool Run(std::string* error) {
        Line l = {nullptr, nullptr, 0};
        const char* p = nullptr;
        const char* e = nullptr;
        while (NextLine(&l)) {
            p = SkipBlanks(l.b, l.e);
            e = l.e;
            while (e > p && IsBlank(e[-1])) --e;
            if (p != e) break;
        }
        std::string first(p ? p : "", p ? e - p : 0);
        if (first != kHeader && first != kHeader4) {
            *error = LineMsg(
                l.number > 0 ? l.number : 1,
                std::string("not a registry export file: the first line must be \"") + kHeader + "\"");
            return false;
        }
        regedit4_ = first == kHeader4;
        while (!stopped_ && NextLine(&l)) Dispatch(l);
        if (stopped_) *error = stopError_;
        return !stopped_;
    }

private:
    bool NextLine(Line* l) {
        if (p_ == end_ && done_) return false;
        const char* nl = static_cast<const char*>(memchr(p_, '\n', static_cast<size_t>(end_ - p_)));
        l->b = p_;
        l->e = nl ? nl : end_;
        l->number = ++lineNo_;
        p_ = nl ? nl + 1 : end_;
        if (!nl) done_ = true;
        return true;
    }

    // line := blanks ( section | value | ";" comment | "#" comment | "" )
    void Dispatch(const Line& l) {
        const char* p = SkipBlanks(l.b, l.e);
        if (p == l.e || *p == ';' || *p == '#') return;
        if (*p == '[') return Section(l.number, p, l.e);
        if (*p == '"' || *p == '@') return Value(l.number, p, l.e);
        Invalid(l.number,
                "\"" + Clip(p, l.e) + "\" is not a [key] section, a \"name\"=value line or a comment", false);
    }

    void Invalid(int line, const std::string& what, bool section) {
        if (section) where_ = kSkipping;
        if (!h_->OnInvalid(line, what, section)) {
            stopped_ = true;
            stopError_ = LineMsg(line, what);
        }
    }

    static std::string Clip(const char* p, const char* e) {
        while (e > p && IsBlank(e[-1])) --e;
        if (e - p <= 40) return std::string(p, e);
        const char* q = p + 37;
        while ((static_cast<unsigned char>(*q) & 0xC0) == 0x80) --q;
        return std::string(p, q) + "...";
    }

    // The closing bracket: the first "]" that only blanks and a ; comment follow.
    static const char* Closing(const char* p, const char* e) {
        for (; p < e; ++p)
            if (*p == ']' && AtEnd(p + 1, e)) return p;
        return nullptr;
    }

    // section := "[" ["-"] root { "\" name } { "\" } "]" blanks [";" comment]
    void Section(int line, const char* p, const char* e) {
        const char* q = p + 1;
        bool del = q < e && *q == '-';
        if (del) ++q;
        const char* close = Closing(q, e);
        std::string shown = close ? std::string(p, close + 1) : Clip(p, e);
        if (!close) {
            bool bracket = memchr(q, ']', static_cast<size_t>(e - q)) != nullptr;
            return Invalid(line,
                           shown + (bracket ? ": only blanks and a ; comment may follow the closing \"]\""
                                            : ": the closing \"]\" is missing"),
                           true);
        }
        const char* pe = close;
        while (pe > q && pe[-1] == '\\') --pe;
        if (pe == q) return Invalid(line, shown + ": the key path is missing", true);
        if (IsBlank(*q) || *q == '\\' || *q == '/')
            return Invalid(line, shown + ": the root key's name must follow the bracket directly", true);
        char32_t bad = 0;
        if (!ToBytes(q, pe, &key_.path, &bad)) {
            where_ = kSkipping;
            return h_->OnSkipped(line, shown + ": holds " + CodePointName(bad) +
                                           ", which the registry cannot hold; skipped with its values");
        }
        std::vector<std::string> parts = SplitKeyPath(key_.path);
        if (!parts.empty() && !IsHive(parts[0]) && !h_->KnownRoot(parts[0]))
            return Invalid(line,
                           shown + ": \"" + Latin1ToUtf8(parts[0]) +
                               "\" is neither a Windows hive (HKEY_...) nor a top-level key of the registry",
                           true);
        key_.line = line;
        key_.isDelete = del;
        h_->OnKey(key_);
        where_ = del ? kDeleted : kInKey;
        section_ = shown;
        sectionLine_ = line;
    }

    static bool IsHive(const std::string& name) {
        for (const char* hive : kHives)
            if (SameName(name, hive)) return true;
        return false;
    }

    // quoted := '"' { char | "\\" | '\"' } '"'; any other backslash makes it invalid.
    static bool Quoted(const char** pp, const char* e, std::string* out, std::string* why) {
        out->clear();
        for (const char* p = *pp + 1; p < e; ++p) {
            if (*p == '"') {
                *pp = p + 1;
                return true;
            }
            if (*p == '\\') {
                if (p + 1 < e && (p[1] == '\\' || p[1] == '"')) {
                    out->push_back(*++p);
                    continue;
                }
                if (p + 1 < e) {
                    *why = "\"\\" + CharAt(p + 1, e) + "\" is not an escape (only \\\\ and \\\" are)";
                    return false;
                }
            }
            out->push_back(*p);
        }
        *why = "the closing double quote is missing";
        return false;
    }

    // The value of the line being read, for messages.
    std::string Shown() const { return isDefault_ ? "the default value (@)" : "value \"" + name_ + "\""; }

    // value := ( quoted | "@" ) blanks "=" blanks data
    void Value(int line, const char* p, const char* e) {
        isDefault_ = *p == '@';
        if (!isDefault_) {
            std::string why;
            if (!Quoted(&p, e, &name_, &why))
                return Invalid(line, "value line " + Clip(p, e) + ": the name: " + why, false);
        } else {
            name_.clear();
            ++p;
        }
        p = SkipBlanks(p, e);
        if (p == e || *p != '=') return Invalid(line, Shown() + ": \"=\" must follow the value name", false);
        p = SkipBlanks(p + 1, e);
        std::string why;
        if (!ReadData(line, p, e, &why)) return Invalid(line, Shown() + ": " + why, false);
        switch (where_) {
            case kNowhere:
                return Invalid(line, Shown() + " stands before any [key] section", false);
            case kSkipping:
                return h_->OnSkipped(line, "");
            case kDeleted:
                return h_->OnSkipped(line, Shown() + " stands under " + section_ + " (line " +
                                               std::to_string(sectionLine_) +
                                               "), which deletes the key; skipped");
            case kInKey:
                break;
        }
        value_.line = line;
        value_.isDelete = data_.kind == Data::kDelete;
        value_.isDword = data_.kind == Data::kDword;
        value_.dword = value_.isDword ? data_.dword : 0;
        value_.text.clear();
        char32_t bad = 0;
        if (!ToBytes(name_.data(), name_.data() + name_.size(), &value_.name, &bad))
            return h_->OnSkipped(
                line, Shown() + " holds " + CodePointName(bad) + ", which the registry cannot hold; skipped");
        if (data_.kind == Data::kHex && !FromHex(line)) return;
        if (data_.kind == Data::kText &&
            !ToBytes(data_.text.data(), data_.text.data() + data_.text.size(), &value_.text, &bad))
            return h_->OnSkipped(
                line, Shown() + " holds " + CodePointName(bad) + ", which the registry cannot hold; skipped");
        h_->OnValue(value_);
    }

    // data := quoted | "-" | "dword:" blanks hex{1,8} | "hex" ["(" hex{1,8} ")"] ":" bytes,
    // each followed by blanks and the end of the line or a ; comment.
    bool ReadData(int line, const char* p, const char* e, std::string* why) {
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
    bool HexBytes(int line, const char* p, const char* e, std::string* why) {
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
    bool Consumed(const Line& l, const char* p, std::string* why) {
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

    // Turns hex(1), hex(2) and hex(4) data into a string or dword; reports other types.
    bool FromHex(int line) {
        const std::string& b = data_.text;
        int64_t type = data_.hexType;
        char word[24] = "hex";
        if (type >= 0) snprintf(word, sizeof word, "hex(%lx)", static_cast<unsigned long>(type));
        if (type == 4) {
            if (b.size() != 4)
                return Skip(line, Shown() + " has type hex(4) (REG_DWORD) but " + std::to_string(b.size()) +
                                      " bytes instead of 4; skipped");
            value_.isDword = true;
            value_.dword = 0;
            for (int k = 3; k >= 0; --k)
                value_.dword = (value_.dword << 8) | static_cast<unsigned char>(b[k]);
            return true;
        }
        if (type == 1 || type == 2) {
            // The text and its terminating NUL: UTF-16LE, or 8-bit in a REGEDIT4 file.
            std::string text;
            if (regedit4_) {
                text = Latin1ToUtf8(b);
            } else if (b.size() % 2 != 0) {
                return Skip(line, Shown() + " has type " + std::string(word) +
                                      " with an odd number of bytes; skipped");
            } else {
                AppendUtf16(&text, reinterpret_cast<const unsigned char*>(b.data()), b.size());
            }
            while (!text.empty() && text.back() == '\0') text.pop_back();
            char32_t bad = 0;
            if (!ToBytes(text.data(), text.data() + text.size(), &value_.text, &bad))
                return Skip(line, Shown() + " (" + std::string(word) + ") holds " + CodePointName(bad) +
                                      ", which the registry cannot hold; skipped");
            return true;
        }
        return Skip(line, Shown() + " has type " + std::string(word) + " (" + TypeOfHex(type) +
                              "), which the registry cannot hold; skipped");
    }

    bool Skip(int line, const std::string& what) {
        h_->OnSkipped(line, what);
        return false;
    }

    const char* p_;
    const char* end_;
    bool done_ = false;
    int lineNo_ = 0;
    ExportHandler* h_;
    bool regedit4_ = false;
    bool stopped_ = false;
    std::string stopError_;
    enum { kNowhere, kInKey, kSkipping, kDeleted } where_ = kNowhere;
    std::string section_;  // the last valid section as written, for messages
    int sectionLine_ = 0;
    // Reused from line to line.
    ExportKey key_;
    ExportValue value_;
    std::string name_;  // UTF-8
    bool isDefault_ = false;
    Data data_;
};

}  // namespace

bool ReadExport(const std::string& file, ExportHandler* handler, std::string* error) {
    std::string text;
    const char *b, *e;
    if (!Decode(file, &text, &b, &e, error)) return false;
    Reader reader(b, e, handler);
    return reader.Run(error);
}
