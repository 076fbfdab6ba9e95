// Windows registry export files: the reader's text (its encodings), lines and sections; a
// value's data is read in regimpdata.cpp.
#include <string.h>

#include "regimport.h"
#include "regtext.h"
#include "regtypes.h"

namespace regimport {

namespace {

const char kHeader4[] = "REGEDIT4";

std::string LineMsg(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
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

}  // namespace

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

std::string CharAt(const char* p, const char* e) {
    const char* q = p + 1;
    while (q < e && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) ++q;
    return std::string(p, q);
}

bool Reader::Run(std::string* error) {
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
    if (first != kExportHeader && first != kHeader4) {
        *error = LineMsg(l.number > 0 ? l.number : 1,
                         std::string("not a registry export file: the first line must be \"") +
                             kExportHeader + "\" or \"" + kHeader4 + "\"");
        return false;
    }
    regedit4_ = first == kHeader4;
    while (!stopped_ && NextLine(&l)) Dispatch(l);
    if (stopped_) *error = stopError_;
    return !stopped_;
}

bool Reader::NextLine(Line* l) {
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
void Reader::Dispatch(const Line& l) {
    const char* p = SkipBlanks(l.b, l.e);
    if (p == l.e || *p == ';' || *p == '#') return;
    if (*p == '[') return Section(l.number, p, l.e);
    if (*p == '"' || *p == '@') return Value(l.number, p, l.e);
    Invalid(l.number, "\"" + Clip(p, l.e) + "\" is not a [key] section, a \"name\"=value line or a comment",
            false);
}

void Reader::Invalid(int line, const std::string& what, bool section) {
    if (section) where_ = kSkipping;
    if (!h_->OnInvalid(line, what, section)) {
        stopped_ = true;
        stopError_ = LineMsg(line, what);
    }
}

std::string Reader::Clip(const char* p, const char* e) {
    while (e > p && IsBlank(e[-1])) --e;
    if (e - p <= 40) return std::string(p, e);
    const char* q = p + 37;
    while ((static_cast<unsigned char>(*q) & 0xC0) == 0x80) --q;
    return std::string(p, q) + "...";
}

// The closing bracket: the first "]" that only blanks and a ; comment follow.
const char* Reader::Closing(const char* p, const char* e) {
    for (; p < e; ++p)
        if (*p == ']' && AtEnd(p + 1, e)) return p;
    return nullptr;
}

// section := "[" ["-"] root { "\" name } { "\" } "]" blanks [";" comment], where a name
// in double quotes is that name, "\" and "/" included (see SplitKeyPath)
void Reader::Section(int line, const char* p, const char* e) {
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
    std::vector<std::string> parts;
    std::string why;
    if (!SplitKeyPath(key_.path, &parts, &why)) return Invalid(line, shown + ": " + Latin1ToUtf8(why), true);
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

bool Reader::IsHive(const std::string& name) {
    for (const WindowsHive& hive : kWindowsHives)
        if (SameName(name, hive.name)) return true;
    return false;
}

// quoted := '"' { char | "\\" | '\"' } '"'; any other backslash makes it invalid.
bool Reader::Quoted(const char** pp, const char* e, std::string* out, std::string* why) {
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

// value := ( quoted | "@" ) blanks "=" blanks data
void Reader::Value(int line, const char* p, const char* e) {
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
    char32_t bad = 0;
    if (!ToBytes(name_.data(), name_.data() + name_.size(), &value_.name, &bad))
        return h_->OnSkipped(
            line, Shown() + " holds " + CodePointName(bad) + ", which the registry cannot hold; skipped");
    if (data_.kind == Data::kHex) FromHex();
    if (data_.kind == Data::kText) value_.data = TextData(1, data_.text);
    if (data_.kind == Data::kDword) value_.data = DwordData(data_.dword);
    h_->OnValue(value_);
}

}  // namespace regimport

bool ReadExport(const std::string& file, ExportHandler* handler, std::string* error) {
    std::string text;
    const char *b, *e;
    if (!regimport::Decode(file, &text, &b, &e, error)) return false;
    regimport::Reader reader(b, e, handler);
    return reader.Run(error);
}
