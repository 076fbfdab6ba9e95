// The table of value types: each Windows type's number, name, word in the registry file,
// and how its data is read from the file, written to it and handed out. A new type is a
// row of the table (regtypes.cpp) and its number in the public header.
#ifndef REGTYPES_H
#define REGTYPES_H

#include <stddef.h>
#include <stdint.h>

// How a type's data stands in the registry file besides the hex bytes every type can use.
enum RegForm : unsigned char {
    REG_FORM_BYTES,   // hex bytes only
    REG_FORM_TEXT,    // one quoted text: UTF-16LE with one terminating NUL
    REG_FORM_LINK,    // one quoted text: UTF-16LE without a terminator
    REG_FORM_MULTI,   // quoted texts, each with its NUL, then one more NUL
    REG_FORM_NUMBER,  // an unsigned decimal number of `width` bytes
};

// Names are held in the row, not pointed to: the table then needs no relocation at load time.
struct RegTypeRow {
    uint32_t winType;  // ZRREG_TYPE_*
    char winName[24];  // the name Windows gives the type
    char word[24];     // between the brackets in the registry file, for an extended value
    RegForm form;
    unsigned char width;  // REG_FORM_NUMBER: bytes
    bool bigEndian;       // REG_FORM_NUMBER
    uint32_t rtFlag;      // ZrRegGetValue's ZRREG_RT_* flag; 0: only ZRREG_RT_ANY takes it
};

// The row of a type number; null for a number outside the table (stored as bytes).
const RegTypeRow* RegTypeRowOf(uint32_t winType);
// The type the n bytes of a file word name: a row's word, or REG_TYPE_ and a decimal number
// of 32 bits.
bool RegTypeOfWord(const char* word, size_t n, uint32_t* winType);
inline bool RegTypeOfWord(const char* word, uint32_t* winType) {
    size_t n = 0;
    while (word[n]) ++n;
    return RegTypeOfWord(word, n, winType);
}
// Whether the n bytes at w begin a word of RegTypeOfWord, or are REG_SZ or REG_INT.
bool RegTypeWordPrefix(const char* w, size_t n);
// The word an extended value of the type is written with, into out (32 bytes).
const char* RegTypeWord(uint32_t winType, char* out);

// A value's data as the file's extension writes it: where a typed form carries the bytes
// exactly it is used, else hex bytes (wrapped, continuation lines indented by `indent`).
typedef void (*RegSink)(void* to, const char* s, size_t n);
void RegTypeWriteData(uint32_t winType, const unsigned char* d, size_t n, const char* indent,
                      size_t indentLen, RegSink put, void* to);

// What the scanner read of an extended value's data (parsex.cpp), in one block.
enum RegXKind { REG_X_HEX, REG_X_TEXTS, REG_X_NUMBER };
struct RegXData {
    RegXKind kind;
    int texts;        // REG_X_TEXTS: how many quoted texts; each ends in a NUL unit in bytes
    uint64_t number;  // REG_X_NUMBER
    size_t n;         // the bytes behind the block: hex bytes, or the texts' UTF-16LE units
    unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(this + 1); }
};
// The type's bytes of what was read, in place (x->n and Bytes() change); false when the
// type has no such form (a number for a binary type, two texts for REG_SZ...). x must have
// room for 2 bytes more than its n.
bool RegTypeTakeData(uint32_t winType, RegXData* x);

// A plain string's 8-bit text, when the n bytes at d (UTF-16LE) are characters U+0001 to
// U+00FF that the file carries between quotes, then one NUL: its length (out has room for
// n / 2 bytes), else -1.
long RegTypePlainText(const unsigned char* d, size_t n, char* out);

#endif
