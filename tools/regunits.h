// Registry texts as 16-bit units: from a value's bytes and back, character by character,
// and to UTF-8 or JSON.
#ifndef REGUNITS_H
#define REGUNITS_H

#include <string>
#include <vector>

// Bytes are read as 16-bit units, little-endian; an odd last byte is not one.
std::u16string Units(const std::string& b);
std::string UnitBytes(const std::u16string& u);
// UTF-8 text as units (text that is not UTF-8 is taken byte for byte as ISO-8859-1).
std::u16string UnitsOf(const std::string& utf8);
// The units as UTF-8, an unpaired half as U+FFFD.
std::string Utf8(const std::u16string& u);
// A text of ASCII characters (no NUL) and its terminating NUL, the common case, straight
// from its bytes; false for any other.
bool AsciiText(const std::string& b, std::string* out);
// A text's units without its terminating NUL; `exact` when the bytes are those units and
// the terminator.
std::u16string TextUnits(const std::string& b, bool* exact);
// REG_MULTI_SZ: each string ends with a NUL, and one more NUL ends the list.
std::vector<std::u16string> MultiUnits(const std::string& b, bool* exact);
// The units as a JSON string, an unpaired half as its \u escape.
std::string JsonUnits(const std::u16string& u);

// Calls `put` with each character of the units; an unpaired half is given as itself.
template <typename F>
void EachChar(const std::u16string& u, F put) {
    for (size_t i = 0; i < u.size(); ++i) {
        char32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (u[++i] - 0xDC00);
        put(c);
    }
}

#endif
