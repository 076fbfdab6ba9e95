// The Windows value types as zrreg, serve and the export files see them: one table of the
// types and, for each, the forms of its data (query's text, JSON, add's -d, .reg data).
#ifndef REGTYPES_H
#define REGTYPES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "regview.h"

// A value's data as Windows holds it: its type and its bytes (UTF-16LE text with its
// terminating NUL for the string types, little-endian numbers, REG_DWORD_BIG_ENDIAN's
// big-endian).
struct TypedData {
    uint32_t type = 1;
    std::string bytes;

    bool operator==(const TypedData& o) const { return type == o.type && bytes == o.bytes; }
    bool operator!=(const TypedData& o) const { return !(*this == o); }
};

// The type's name: "REG_SZ", or for a number without one "REG_0x" and the number in
// lower-case hexadecimal ("REG_0x1a").
std::string TypeName(uint32_t type);
// The type a name stands for (any letter case), a REG_0x name among them; false when none.
bool TypeFromName(const std::string& name, uint32_t* type);
// The names of the table, in its order (for help texts, completion and the page).
std::vector<const char*> TypeNames();
// How serve's page shows and edits the type's data: "text", "lines" (REG_MULTI_SZ),
// "int32", "int64" or "hex" (bytes).
const char* EditForm(uint32_t type);
// Whether add's -d is needed for the type (its data has no empty form).
bool TypeNeedsData(uint32_t type);

// The data of the view's value.
TypedData ViewData(const RegViewValue& v);
// A string of the type (REG_SZ, REG_EXPAND_SZ...) from UTF-8 text (text that is not UTF-8
// is taken byte for byte as ISO-8859-1), with its terminating NUL.
TypedData TextData(uint32_t type, const std::string& utf8);
// A REG_MULTI_SZ of these UTF-8 strings.
TypedData MultiData(const std::vector<std::string>& utf8);
TypedData DwordData(uint32_t n);

// The data as query, compare and search show it, as UTF-8: a text as it is (a NUL in it as
// \0), REG_MULTI_SZ's strings with \0 between them, integers as 0x0000007d (125), other
// bytes as upper-case hexadecimal digits.
std::string ShownData(const TypedData& d);
// The forms of the data a search looks at, as registry bytes (ISO-8859-1; a character
// beyond it as "?"): the shown form, each string of a REG_MULTI_SZ, each form of a number.
std::vector<std::string> SearchForms(const TypedData& d);
// The data's JSON members: "data": its form for the type, and, when that form does not
// give the bytes exactly (a string without its terminating NUL, a number of another size),
// "bytes": all of them in hexadecimal.
std::string JsonData(const TypedData& d);
// REG_MULTI_SZ's strings as UTF-8.
std::vector<std::string> MultiStrings(const TypedData& d);

// Parses add's -d (UTF-8) as data of `type`: text; strings separated by `separator` for
// REG_MULTI_SZ; a number (decimal, negative, or hexadecimal after 0x) for the integer
// types; hexadecimal bytes (blanks and commas allowed between bytes) for the others.
// False with the reason.
bool ParseData(uint32_t type, const std::string& arg, const std::string& separator, TypedData* out,
               std::string* why);

// The data as Windows' registry editor writes it after `"name"=` (`column` characters of
// the line so far), as UTF-8: "text", dword:0000007d, hex:... or hex(N):..., with `fold`
// folded into lines of at most 80 characters with "\" and two blanks.
std::string RegData(const TypedData& d, size_t column, bool fold = true);
// The data of a .reg file's hex(N): bytes (hex: is -1, REG_BINARY); a REGEDIT4 file holds
// the string types as 8-bit text.
TypedData RegHexData(int64_t hexType, const std::string& bytes, bool regedit4);

// Text as UTF-16LE bytes without a terminator, and back (an unpaired half as U+FFFD).
std::string Utf16Bytes(const std::string& utf8);
std::string Utf8Of16(const std::string& bytes);

#endif
