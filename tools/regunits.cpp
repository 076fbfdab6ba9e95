// Registry texts as 16-bit units: from a value's bytes and back, and to UTF-8 or JSON.
#include "regunits.h"

#include "regtext.h"
#include "regtypes.h"

std::u16string Units(const std::string& b) {
    std::u16string u;
    u.reserve(b.size() / 2);
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        u.push_back(static_cast<char16_t>(static_cast<unsigned char>(b[i]) |
                                          static_cast<unsigned char>(b[i + 1]) << 8));
    return u;
}

std::string UnitBytes(const std::u16string& u) {
    std::string b;
    b.reserve(2 * u.size());
    for (char16_t c : u) {
        b.push_back(static_cast<char>(c & 0xFF));
        b.push_back(static_cast<char>(c >> 8));
    }
    return b;
}

std::u16string UnitsOf(const std::string& utf8) {
    std::u32string cps;
    if (!DecodeUtf8(utf8, &cps)) {
        cps.clear();
        for (unsigned char c : utf8) cps.push_back(c);
    }
    std::u16string u;
    for (char32_t c : cps) {
        if (c >= 0x10000) {
            u.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            u.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            u.push_back(static_cast<char16_t>(c));
        }
    }
    return u;
}

std::string Utf8(const std::u16string& u) {
    std::string out;
    EachChar(u, [&](char32_t c) { AppendUtf8(&out, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c); });
    return out;
}

bool AsciiText(const std::string& b, std::string* out) {
    size_t n = b.size();
    if (n < 2 || n % 2 != 0 || b[n - 1] != 0 || b[n - 2] != 0) return false;
    out->resize(n / 2 - 1);
    for (size_t i = 0; i + 2 < n; i += 2) {
        unsigned char lo = static_cast<unsigned char>(b[i]);
        if (b[i + 1] != 0 || lo == 0 || lo >= 0x80) return false;
        (*out)[i / 2] = static_cast<char>(lo);
    }
    return true;
}

std::u16string TextUnits(const std::string& b, bool* exact) {
    std::u16string u = Units(b);
    *exact = b.size() % 2 == 0 && !u.empty() && u.back() == 0;
    if (*exact) u.pop_back();
    return u;
}

std::vector<std::u16string> MultiUnits(const std::string& b, bool* exact) {
    std::u16string u = Units(b);
    std::vector<std::u16string> list;
    std::u16string all = u;
    if (!u.empty() && u.back() == 0) u.pop_back();
    size_t at = 0;
    while (at < u.size()) {
        size_t end = u.find(char16_t(0), at);
        if (end == std::u16string::npos) end = u.size();
        list.push_back(u.substr(at, end - at));
        at = end + 1;
    }
    std::u16string again;
    for (const std::u16string& s : list) again += s + char16_t(0);
    again.push_back(0);
    *exact = b.size() % 2 == 0 && again == all;
    return list;
}

std::string JsonUnits(const std::u16string& u) {
    std::string out = "\"";
    EachChar(u, [&](char32_t c) { AppendJsonChar(&out, c); });
    return out + "\"";
}

std::string Utf16Bytes(const std::string& utf8) { return UnitBytes(UnitsOf(utf8)); }
std::string Utf8Of16(const std::string& bytes) { return Utf8(Units(bytes)); }
