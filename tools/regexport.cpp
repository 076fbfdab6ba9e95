// Windows registry export files ("Windows Registry Editor Version 5.00"): writer and reader.
#include "regexport.h"

#include <stdio.h>

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

std::string Utf8Of(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) AppendUtf8(&out, c);
    return out;
}

std::string LineMsg(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

bool Decode(const std::string& file, std::u32string* chars, std::string* error) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(file.data());
    size_t n = file.size();
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        *error = "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8";
        return false;
    }
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        if (n % 2 != 0) {
            *error = "the UTF-16 text ends in the middle of a character";
            return false;
        }
        for (size_t i = 2; i < n; i += 2) {
            char32_t u = b[i] | (b[i + 1] << 8);
            if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
                char32_t lo = b[i + 2] | (b[i + 3] << 8);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                    i += 2;
                }
            }
            if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // an unpaired half
            chars->push_back(u);
        }
        return true;
    }
    bool bom = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    std::string body = file.substr(bom ? 3 : 0);
    if (DecodeUtf8(body, chars)) return true;
    if (bom) {
        *error = "the file is marked as UTF-8 but is not valid UTF-8";
        return false;
    }
    chars->clear();
    for (unsigned char c : body) chars->push_back(c);
    return true;
}

bool IsBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\r'; }

std::u32string Trim(const std::u32string& s) {
    size_t a = 0, e = s.size();
    while (a < e && IsBlank(s[a])) ++a;
    while (e > a && IsBlank(s[e - 1])) --e;
    return s.substr(a, e - a);
}

// Reads a quoted text starting at s[*pos] == '"'; \\ and \" are the escapes, any other
// backslash stands for itself. False when the closing quote is missing.
bool ParseQuoted(const std::u32string& s, size_t* pos, std::u32string* out) {
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out->push_back(s[++i]);
        } else if (s[i] == '"') {
            *pos = i + 1;
            return true;
        } else {
            out->push_back(s[i]);
        }
    }
    return false;
}

// The registry bytes of `s`, or false with the first character the registry cannot hold.
bool ToBytes(const std::u32string& s, std::string* out, char32_t* bad) {
    out->clear();
    for (char32_t c : s) {
        if (c == 0 || c > 0xFF) {
            *bad = c;
            return false;
        }
        out->push_back(static_cast<char>(c));
    }
    return true;
}

bool StartsWithNoCase(const std::u32string& s, size_t pos, const char* word) {
    for (size_t k = 0; word[k]; ++k) {
        if (pos + k >= s.size()) return false;
        char32_t c = s[pos + k];
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<char32_t>(word[k])) return false;
    }
    return true;
}

int HexDigit(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

const char* TypeOfHex(const std::string& word) {
    static const struct {
        const char* word;
        const char* type;
    } kTypes[] = {{"hex", "REG_BINARY"},          {"hex(0)", "REG_NONE"},
                  {"hex(1)", "REG_SZ in hex"},    {"hex(2)", "REG_EXPAND_SZ"},
                  {"hex(4)", "REG_DWORD in hex"}, {"hex(5)", "REG_DWORD_BIG_ENDIAN"},
                  {"hex(7)", "REG_MULTI_SZ"},     {"hex(b)", "REG_QWORD"}};
    for (const auto& t : kTypes)
        if (word == t.word) return t.type;
    return "an unknown type";
}

class Reader {
public:
    Reader(const std::u32string& chars, ImportResult* out) : out_(out) {
        std::u32string line;
        for (char32_t c : chars) {
            if (c == '\n') {
                lines_.push_back(line);
                line.clear();
            } else {
                line.push_back(c);
            }
        }
        lines_.push_back(line);
    }

    bool Run() {
        size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
        if (i == lines_.size() ||
            (Trim(lines_[i]) != U"Windows Registry Editor Version 5.00" && Trim(lines_[i]) != U"REGEDIT4"))
            return Fail(
                static_cast<int>(i < lines_.size() ? i + 1 : i),
                std::string("not a registry export file: the first line must be \"") + kHeader + "\"");
        for (++i; i < lines_.size(); ++i) {
            std::u32string s = Trim(lines_[i]);
            int line = static_cast<int>(i + 1);
            if (s.empty() || s[0] == ';') continue;
            bool ok = s[0] == '[' ? Section(s, line) : Value(s, line, &i);
            if (!ok) return false;
        }
        return true;
    }

private:
    bool Fail(int line, const std::string& what) {
        out_->error = LineMsg(line, what);
        return false;
    }
    void Skip(int line, const std::string& what) { out_->skipped.push_back(LineMsg(line, what)); }

    bool Section(const std::u32string& s, int line) {
        if (s.back() != ']' || s.size() < 3)
            return Fail(line, "a key section must be a key path between [ and ]");
        std::u32string path = s.substr(1, s.size() - 2);
        where_ = kSkippedKey;
        if (path[0] == '-') {
            Skip(line, "[" + Utf8Of(path) + "]: deleting a key is not applied; skipped");
            return true;
        }
        ExportKey key;
        char32_t bad;
        if (!ToBytes(path, &key.path, &bad)) {
            Skip(line, "[" + Utf8Of(path) + "]: holds " + CodePointName(bad) +
                           ", which the registry cannot hold; skipped with its values");
            return true;
        }
        key.line = line;
        out_->keys.push_back(key);
        where_ = kInKey;
        return true;
    }

    bool Value(const std::u32string& s, int line, size_t* index) {
        std::u32string name;
        size_t pos = 1;
        if (s[0] == '"') {
            pos = 0;
            if (!ParseQuoted(s, &pos, &name)) return Fail(line, "the value name has no closing double quote");
        } else if (s[0] != '@') {
            return Fail(line, "expected a [key] section, a \"name\"=value line or a ; comment");
        }
        std::string shown = s[0] == '@' ? "the default value (@)" : "value \"" + Utf8Of(name) + "\"";
        if (where_ == kNowhere) return Fail(line, shown + " stands before any [key] section");
        bool keep = where_ == kInKey;  // a skipped key's values are read, then dropped
        while (pos < s.size() && IsBlank(s[pos])) ++pos;
        if (pos == s.size() || s[pos] != '=') return Fail(line, shown + ": expected = after the value name");
        ++pos;
        while (pos < s.size() && IsBlank(s[pos])) ++pos;

        ExportValue v;
        v.line = line;
        v.dword = 0;
        std::u32string text;
        if (pos < s.size() && s[pos] == '"') {
            if (!ParseQuoted(s, &pos, &text))
                return Fail(line, shown + ": the text has no closing double quote");
            if (pos != s.size()) return Fail(line, shown + ": unexpected characters after the closing quote");
            v.isDword = false;
        } else if (StartsWithNoCase(s, pos, "dword:")) {
            size_t digits = s.size() - (pos + 6);
            if (digits < 1 || digits > 8)
                return Fail(line, shown + ": dword: needs 1 to 8 hexadecimal digits");
            for (size_t k = pos + 6; k < s.size(); ++k) {
                int d = HexDigit(s[k]);
                if (d < 0) return Fail(line, shown + ": dword: needs 1 to 8 hexadecimal digits");
                v.dword = (v.dword << 4) | static_cast<uint32_t>(d);
            }
            v.isDword = true;
        } else if (pos + 1 == s.size() && s[pos] == '-') {
            if (keep) Skip(line, shown + ": deleting a value is not applied; skipped");
            return true;
        } else if (StartsWithNoCase(s, pos, "hex")) {
            size_t colon = s.find(':', pos);
            if (colon == std::u32string::npos) return Fail(line, shown + ": hex data needs a \":\"");
            std::string word = Utf8Of(s.substr(pos, colon - pos));
            for (char& c : word)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            // Binary data continues on the next line after a trailing backslash.
            std::u32string last = s;
            while (!last.empty() && last.back() == '\\' && *index + 1 < lines_.size())
                last = Trim(lines_[++*index]);
            if (keep)
                Skip(line, shown + " has type " + word + " (" + TypeOfHex(word) +
                               "), which the registry cannot hold; skipped");
            return true;
        } else {
            return Fail(line, shown + ": the data must be \"text\", dword:, hex: or -");
        }
        if (!keep) return true;
        char32_t bad;
        if (!ToBytes(name, &v.name, &bad) || (!v.isDword && !ToBytes(text, &v.text, &bad))) {
            Skip(line, shown + " holds " + CodePointName(bad) + ", which the registry cannot hold; skipped");
            return true;
        }
        out_->keys.back().values.push_back(v);
        return true;
    }

    std::vector<std::u32string> lines_;
    ImportResult* out_;
    enum { kNowhere, kInKey, kSkippedKey } where_ = kNowhere;
};

}  // namespace

bool ReadExport(const std::string& file, ImportResult* out) {
    *out = ImportResult();
    std::u32string chars;
    if (!Decode(file, &chars, &out->error)) return false;
    Reader reader(chars, out);
    return reader.Run();
}
