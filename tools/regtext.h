// Text conversions and key paths for the zrreg tool.
#ifndef REGTEXT_H
#define REGTEXT_H

#include <string>
#include <vector>

// Registry text is 8-bit. zrreg reads each byte as the character of the same number
// (ISO-8859-1), the mapping the library's wide interface uses in both directions, so
// every stored byte has exactly one character and back.
std::string Latin1ToUtf8(const std::string& bytes);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string* out, char32_t c);

// Appends one character as it stands inside a JSON string: escaped where JSON wants it, a
// control character or an unpaired UTF-16 half as \u and four hexadecimal digits.
void AppendJsonChar(std::string* out, char32_t c);

// "U+00E9" and the like, for messages.
std::string CodePointName(char32_t c);

// Strict UTF-8 decoding (no overlong forms, no surrogates); false on any fault.
bool DecodeUtf8(const std::string& text, std::u32string* out);

// Text typed by a user: UTF-8, or taken byte for byte when it is not valid UTF-8.
// False when a character lies above U+00FF, which the registry cannot hold; *bad gets it.
bool ArgToLatin1(const std::string& arg, std::string* bytes, char32_t* bad);

// The 16-bit, NUL-terminated form that the exported functions take.
std::vector<unsigned short> Wide(const std::string& bytes);

// The Windows hives, with the abbreviations a user may write for them: roots of every
// registry, whatever the verb.
struct WindowsHive {
    const char* name;
    const char* abbreviation;
};
extern const WindowsHive kWindowsHives[5];
// The full name of the hive that `name` names in full or abbreviated; null when none.
const char* HiveName(const std::string& name);

// Splits a key path as users write it: "\" or "/" separate the components and empty
// components are dropped; a leading "My Computer" (the root's name, any ASCII case) is
// dropped, so an empty result is the root itself; a hive's abbreviation (HKLM, HKCU,
// HKCR, HKU, HKCC) then stands for its full name. A component in double quotes is one
// name as it stands, "\" and "/" included, and "" is the empty name: the registry file
// allows such names and no name it holds has a double quote. A quoted name is never taken
// for the root's name or an abbreviation. False, with `why`, when a quoted name has no
// closing quote or more than a separator follows it.
bool SplitKeyPath(const std::string& path, std::vector<std::string>* parts, std::string* why);

// A key name as a path shows it: in double quotes when it is empty or holds "\" or "/",
// so that each key has one path and that path reaches it.
std::string ShowKeyName(const std::string& name);
// The shown path of the key `name` below the key shown as `parent` ("" for the root).
std::string JoinKeyPath(const std::string& parent, const std::string& name);
// The name that one component of a shown path stands for: the quotes taken off.
std::string UnshowKeyName(const std::string& shown);

// ASCII case-insensitive equality, as the library compares names.
bool SameName(const std::string& a, const std::string& b);
// The name with its ASCII letters in lower case: equal for names SameName finds equal.
std::string FoldName(std::string name);

#endif
