// The table of Windows value types and the forms of each one's data; every verb, the export
// files and serve go through it.
#include "regtypes.h"

#include <stdio.h>
#include <string.h>

#include "regtext.h"
#include "regunits.h"

namespace {

// How a type's bytes are read: what its data forms are built from.
enum Kind { kText, kMulti, kDword, kBigEndian, kQword, kBytes };

struct TypeRow {
    uint32_t number;
    const char* name;
    Kind kind;
    const char* alias;  // reg.exe's other name for it, or null
};

const TypeRow kTypes[] = {
    {0, "REG_NONE", kBytes, nullptr},
    {1, "REG_SZ", kText, nullptr},
    {2, "REG_EXPAND_SZ", kText, nullptr},
    {3, "REG_BINARY", kBytes, nullptr},
    {4, "REG_DWORD", kDword, "REG_DWORD_LITTLE_ENDIAN"},
    {5, "REG_DWORD_BIG_ENDIAN", kBigEndian, nullptr},
    {6, "REG_LINK", kText, nullptr},
    {7, "REG_MULTI_SZ", kMulti, nullptr},
    {8, "REG_RESOURCE_LIST", kBytes, nullptr},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", kBytes, nullptr},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", kBytes, nullptr},
    {11, "REG_QWORD", kQword, "REG_QWORD_LITTLE_ENDIAN"},
};

const TypeRow* Row(uint32_t type) {
    for (const TypeRow& r : kTypes)
        if (r.number == type) return &r;
    return nullptr;
}

Kind KindOf(uint32_t type) {
    const TypeRow* r = Row(type);
    return r ? r->kind : kBytes;
}

uint64_t Number(const std::string& b, bool bigEndian) {
    uint64_t n = 0;
    for (size_t i = 0; i < b.size(); ++i)
        n = (n << 8) | static_cast<unsigned char>(b[bigEndian ? i : b.size() - 1 - i]);
    return n;
}

std::string NumberBytes(uint64_t n, size_t size, bool bigEndian) {
    std::string b(size, '\0');
    for (size_t i = 0; i < size; ++i) b[bigEndian ? size - 1 - i : i] = static_cast<char>(n >> (8 * i));
    return b;
}

size_t NumberSize(Kind k) { return k == kQword ? 8 : k == kDword || k == kBigEndian ? 4 : 0; }

std::string Hex(const std::string& b, bool upper, const char* between) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", static_cast<unsigned char>(b[i]));
        if (i) out += between;
        out += buf;
    }
    return out;
}

std::string NumberForm(const char* format, uint64_t n) {
    char buf[48];
    snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(n));
    return buf;
}

// Text shown on one line of query's output: a NUL as \0.
std::string ShownText(const std::u16string& u) {
    std::string out;
    for (char c : Utf8(u)) {
        if (c == '\0')
            out += "\\0";
        else
            out.push_back(c);
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseNumber(const std::string& text, int bits, uint64_t* out) {
    const char* s = text.c_str();
    bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    bool neg = !hex && s[0] == '-';
    const char* digits = hex ? s + 2 : (neg ? s + 1 : s);
    if (!*digits) return false;
    uint64_t max = bits == 64 ? ~0ull : (1ull << bits) - 1, n = 0;
    for (const char* p = digits; *p; ++p) {
        int d = hex ? HexDigit(*p) : *p >= '0' && *p <= '9' ? *p - '0' : -1;
        uint64_t base = hex ? 16 : 10;
        if (d < 0 || n > (max - static_cast<uint64_t>(d)) / base) return false;
        n = n * base + static_cast<uint64_t>(d);
    }
    if (neg && n > (max >> 1) + 1) return false;
    *out = neg ? (0 - n) & max : n;
    return true;
}

}  // namespace

std::string TypeName(uint32_t type) {
    const TypeRow* r = Row(type);
    return r ? r->name : NumberForm("REG_0x%llx", type);
}

bool TypeFromName(const std::string& name, uint32_t* type) {
    for (const TypeRow& r : kTypes) {
        if (SameName(name, r.name) || (r.alias && SameName(name, r.alias))) {
            *type = r.number;
            return true;
        }
    }
    uint64_t n = 0;
    if (name.size() > 6 && SameName(name.substr(0, 4), "REG_") &&
        ParseNumber("0x" + name.substr(6), 32, &n) && SameName(name.substr(4, 2), "0x")) {
        *type = static_cast<uint32_t>(n);
        return true;
    }
    return false;
}

std::vector<const char*> TypeNames() {
    std::vector<const char*> out;
    for (const TypeRow& r : kTypes) out.push_back(r.name);
    return out;
}

const char* EditForm(uint32_t type) {
    Kind k = KindOf(type);
    return k == kText    ? "text"
           : k == kMulti ? "lines"
           : k == kBytes ? "hex"
           : k == kQword ? "int64"
                         : "int32";
}

bool TypeNeedsData(uint32_t type) { return NumberSize(KindOf(type)) != 0; }

TypedData ViewData(const RegViewValue& v) {
    TypedData d;
    d.type = v.type;
    if (v.data)
        d.bytes.assign(reinterpret_cast<const char*>(v.data), v.size);
    else if (v.text)
        for (const char* p = v.text;; ++p) {  // each 8-bit character is its UTF-16 unit
            d.bytes.push_back(*p);
            d.bytes.push_back('\0');
            if (!*p) break;
        }
    else
        d.bytes = NumberBytes(static_cast<uint32_t>(v.integer), 4, false);
    return d;
}

TypedData TextData(uint32_t type, const std::string& utf8) {
    return TypedData{type, UnitBytes(UnitsOf(utf8) + char16_t(0))};
}

TypedData MultiData(const std::vector<std::string>& utf8) {
    std::u16string u;
    for (const std::string& s : utf8) u += UnitsOf(s) + char16_t(0);
    return TypedData{7, UnitBytes(u + char16_t(0))};
}

TypedData DwordData(uint32_t n) { return TypedData{4, NumberBytes(n, 4, false)}; }

std::vector<std::string> MultiStrings(const TypedData& d) {
    bool exact;
    std::vector<std::string> out;
    for (const std::u16string& s : MultiUnits(d.bytes, &exact)) out.push_back(Utf8(s));
    return out;
}

std::string ShownData(const TypedData& d) {
    Kind k = KindOf(d.type);
    bool exact;
    std::string ascii;
    if (k == kText) return AsciiText(d.bytes, &ascii) ? ascii : ShownText(TextUnits(d.bytes, &exact));
    if (k == kMulti) {
        std::string out;
        std::vector<std::u16string> list = MultiUnits(d.bytes, &exact);
        for (size_t i = 0; i < list.size(); ++i) out += (i ? "\\0" : "") + ShownText(list[i]);
        return out;
    }
    if (k != kBytes && d.bytes.size() == NumberSize(k)) {
        uint64_t n = Number(d.bytes, k == kBigEndian);
        if (k == kQword) return NumberForm("0x%016llx", n) + NumberForm(" (%llu)", n);
        return NumberForm("0x%08llx", n) + " (" + std::to_string(static_cast<int32_t>(n)) + ")";
    }
    return Hex(d.bytes, true, "");
}

std::vector<std::string> SearchForms(const TypedData& d) {
    std::vector<std::string> forms;
    Kind k = KindOf(d.type);
    auto latin1 = [](const std::u16string& u) {
        std::string out;
        EachChar(u, [&](char32_t c) { out.push_back(c <= 0xFF ? static_cast<char>(c) : '?'); });
        return out;
    };
    bool exact;
    std::string ascii;
    if (k == kText) return {AsciiText(d.bytes, &ascii) ? ascii : latin1(TextUnits(d.bytes, &exact))};
    if (k == kMulti) {
        std::u16string all;
        std::vector<std::u16string> list = MultiUnits(d.bytes, &exact);
        for (size_t i = 0; i < list.size(); ++i) {
            forms.push_back(latin1(list[i]));
            all += (i ? u"\\0" : u"") + list[i];
        }
        forms.push_back(latin1(all));
        return forms;
    }
    if (k != kBytes && d.bytes.size() == NumberSize(k)) {
        uint64_t n = Number(d.bytes, k == kBigEndian);
        if (k == kQword) return {std::to_string(n), NumberForm("0x%016llx", n), NumberForm("0x%llx", n)};
        return {std::to_string(static_cast<int32_t>(n)), NumberForm("0x%08llx", n), NumberForm("0x%llx", n)};
    }
    return {Hex(d.bytes, true, "")};
}

std::string JsonData(const TypedData& d) {
    Kind k = KindOf(d.type);
    bool exact = true;
    std::string data;
    if (k == kText) {
        data = JsonUnits(TextUnits(d.bytes, &exact));
    } else if (k == kMulti) {
        data = "[";
        for (const std::u16string& s : MultiUnits(d.bytes, &exact))
            data += (data.size() > 1 ? ", " : "") + JsonUnits(s);
        data += "]";
    } else if (k == kBytes) {
        return "\"data\": \"" + Hex(d.bytes, false, "") + "\"";
    } else if (d.bytes.size() != NumberSize(k)) {
        exact = false;
        data = "null";
    } else if (k == kQword) {
        uint64_t n = Number(d.bytes, false);
        data = n <= (1ull << 53) ? std::to_string(n) : "\"" + std::to_string(n) + "\"";
    } else {
        data = std::to_string(static_cast<int32_t>(Number(d.bytes, k == kBigEndian)));
    }
    return "\"data\": " + data + (exact ? "" : ", \"bytes\": \"" + Hex(d.bytes, false, "") + "\"");
}

bool ParseData(uint32_t type, const std::string& arg, const std::string& separator, TypedData* out,
               std::string* why) {
    Kind k = KindOf(type);
    out->type = type;
    if (k == kText) {
        *out = TextData(type, arg);
        return true;
    }
    if (k == kMulti) {
        std::vector<std::string> list;
        for (size_t at = 0; !arg.empty() && at <= arg.size();) {
            size_t end = separator.empty() ? std::string::npos : arg.find(separator, at);
            if (end == std::string::npos) end = arg.size();
            list.push_back(arg.substr(at, end - at));
            at = end + separator.size();
        }
        *out = MultiData(list);
        return true;
    }
    if (k != kBytes) {
        uint64_t n = 0;
        int bits = k == kQword ? 64 : 32;
        if (!ParseNumber(arg, bits, &n)) {
            *why = "\"" + arg + "\" is not a " + std::to_string(bits) +
                   "-bit number (decimal, or hexadecimal after 0x)";
            return false;
        }
        out->bytes = NumberBytes(n, NumberSize(k), k == kBigEndian);
        return true;
    }
    out->bytes.clear();
    int digits = 0, high = 0;
    for (char c : arg) {
        if ((c == ' ' || c == ',' || c == '\t') && digits % 2 == 0) continue;
        int v = HexDigit(c);
        if (v < 0) {
            *why =
                "\"" + arg + "\" is not hexadecimal bytes (two digits a byte, blanks or commas between them)";
            return false;
        }
        if (++digits % 2 == 0)
            out->bytes.push_back(static_cast<char>(high << 4 | v));
        else
            high = v;
    }
    if (digits % 2 == 0) return true;
    *why = "\"" + arg + "\" has an odd number of hexadecimal digits (two digits a byte)";
    return false;
}

std::string RegData(const TypedData& d, size_t column, bool fold) {
    Kind k = KindOf(d.type);
    bool exact;
    std::string ascii;
    if (d.type == 1 && AsciiText(d.bytes, &ascii) && ascii.find_first_of("\r\n") == std::string::npos) {
        std::string out = "\"";
        for (char c : ascii) {
            if (c == '\\' || c == '"') out.push_back('\\');
            out.push_back(c);
        }
        return out + "\"";
    }
    if (d.type == 1) {
        std::u16string u = TextUnits(d.bytes, &exact);
        // "text" carries neither a line break nor a NUL, nor an unpaired half of a pair.
        bool plain = exact;
        for (size_t i = 0; plain && i < u.size(); ++i) plain = u[i] != 0 && u[i] != '\r' && u[i] != '\n';
        if (plain) {
            std::string out = "\"";
            bool paired = true;
            EachChar(u, [&](char32_t c) {
                if (c == '\\' || c == '"') out.push_back('\\');
                paired = paired && (c < 0xD800 || c > 0xDFFF);
                AppendUtf8(&out, c);
            });
            if (paired) return out + "\"";
        }
    }
    if (k == kDword && d.bytes.size() == 4) return NumberForm("dword:%08llx", Number(d.bytes, false));
    std::string out = d.type == 3 ? "hex:" : NumberForm("hex(%llx):", d.type);
    // Folded as the editor folds it: a line breaks after the comma that takes it to 77
    // characters or more, and goes on after two blanks.
    size_t length = column + out.size();
    for (size_t i = 0; i < d.bytes.size(); ++i) {
        out += NumberForm("%02llx", static_cast<unsigned char>(d.bytes[i]));
        if (i + 1 == d.bytes.size()) break;
        out += ",";
        length += 3;
        if (fold && length >= 77) {
            out += "\\\n  ";
            length = 2;
        }
    }
    return out;
}

TypedData RegHexData(int64_t hexType, const std::string& bytes, bool regedit4) {
    TypedData d;
    d.type = hexType < 0 ? 3 : static_cast<uint32_t>(hexType);
    Kind k = KindOf(d.type);
    if (regedit4 && (k == kText || k == kMulti)) {
        std::u16string u;
        for (unsigned char c : bytes) u.push_back(c);
        d.bytes = UnitBytes(u);
    } else {
        d.bytes = bytes;
    }
    return d;
}
