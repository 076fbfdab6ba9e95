// A value of the tree: its name, its kind (plain string, plain integer, or a type number
// with bytes) and its data, in one block.
#ifndef REGVALUE_H
#define REGVALUE_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "regtypes.h"
#include "zrplat.h"

// The value kinds inside the tree: the plain string and integer the file has always
// carried (REG_SZ, REG_INT: the scanner's tokens for their type words are the same numbers,
// see regscan.h), and the extended value of any type number and bytes (REG_BYTES), whose
// type's row in the table of types (regtypes.h) says how the file carries it.
enum RegType { REG_SZ = 258, REG_INT = 259, REG_BYTES = 260 };
struct RegTypeInfo {
    RegType type;
    uint32_t winType;  // ZRREG_TYPE_*
    const char* word;  // between the brackets in the registry file
    size_t wordLen;
    const char* winName;  // the name Windows gives the type
};
// A plain kind's row (REG_SZ or REG_INT).
const RegTypeInfo& RegTypeOf(RegType type);

// A value is one block: a head of two bytes (the name's length and the kind), then for
// REG_INT the number, for REG_BYTES the type number and the data's size (4 bytes each),
// then the name, then for REG_SZ the text, each with its NUL, or REG_BYTES's data. A loaded
// registry holds a million or more plain values: every byte of their head counts a megabyte.
class RegKeyValue {
public:
    // The longest name a value can have: more than a file (REGFILE_WORD_MAX) or a key
    // operation can carry.
    static const size_t kNameMax = (1u << 14) - 1;
    // A value with copies of the name and the text (REG_SZ) or the number (REG_INT); null
    // when out of memory, and for a name beyond kNameMax bytes.
    static RegKeyValue* Make(const char* name, size_t nameLen, int type, const char* text, size_t textLen,
                             int number);
    // The same from the texts the parser reads: for REG_INT `data` holds the number's digits.
    static RegKeyValue* MakeFromText(const char* name, int type, const char* data);
    // A value of the type number and the n bytes at data, plain when it can be (a REG_SZ
    // that RegTypePlainText takes, a REG_DWORD of 4 bytes), else REG_BYTES.
    static RegKeyValue* MakeTyped(const char* name, size_t nameLen, uint32_t winType, const void* data,
                                  size_t n);
    static void operator delete(void* p) noexcept { zrFree(p); }
    ~RegKeyValue() = default;
    RegKeyValue(const RegKeyValue&) = delete;
    RegKeyValue& operator=(const RegKeyValue&) = delete;
    // Takes `text` or `number` in place where the value is of `type`, its name spelled as
    // the `len` bytes at `name` and (a text) of textLen bytes; false, and nothing changed,
    // for any other.
    bool Overwrite(const char* name, size_t len, int type, const char* text, size_t textLen, int number);
    // A copy of the whole value; null when out of memory.
    RegKeyValue* Copy();
    // The same value under another name; null when out of memory.
    RegKeyValue* Renamed(const char* name, size_t len);
    bool Save(FILE* fp, const char* indent);
    char* GetKey() { return Tail() + (IsInt() ? sizeof(int32_t) : IsBytes() ? 2 * sizeof(uint32_t) : 0); }
    size_t NameLen() const { return head & kNameMax; }
    RegType GetType() { return static_cast<RegType>(REG_SZ + (head >> kNameBits)); }
    // The Windows type number (ZRREG_TYPE_*).
    uint32_t WinType() {
        if (!IsBytes()) return IsInt() ? 4u : 1u;
        uint32_t t;
        memcpy(&t, Tail(), sizeof t);
        return t;
    }
    // A REG_SZ's text with its NUL, a REG_INT's 4, a REG_BYTES's data.
    int GetSize();
    // The data: a REG_SZ's text, a REG_INT's 4 bytes, which need not be aligned (GetInt
    // reads them), or a REG_BYTES's bytes.
    void* GetValue() { return IsInt() ? static_cast<void*>(Tail()) : GetKey() + NameLen() + 1; }
    int32_t GetInt() {
        int32_t v;
        memcpy(&v, Tail(), sizeof v);
        return v;
    }

private:
    static const int kNameBits = 14;  // the rest of the head is the kind less REG_SZ
    RegKeyValue() = default;
    char* Tail() { return reinterpret_cast<char*>(this + 1); }
    bool IsInt() const { return (head >> kNameBits) == REG_INT - REG_SZ; }
    bool IsBytes() const { return (head >> kNameBits) == REG_BYTES - REG_SZ; }
    // The bytes of the block behind the head.
    size_t TailSize();

    uint16_t head;
};
static_assert(sizeof(RegKeyValue) == 2, "a value's head is two bytes");

#endif
