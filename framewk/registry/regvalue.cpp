// A value of the tree: made from a call's data, a file's text or a type's bytes in one block,
// copied, renamed, and given new data in place.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "regtree.h"

// atoi's reading of a text (blanks, a sign, digits up to the first other byte), with one
// answer on every platform for a value beyond 32 bits: its low 32 bits, the 64-bit value
// saturating first, which is what atoi gives where long has 64 bits (where it has 32, the
// C library's atoi saturates at 32 bits instead). An optional minus sign and at most nine
// digits, the texts a load hands over, cannot overflow and skip the library call.
static int ToInt(const char* s) {
    const char* p = s + (*s == '-');
    int v = 0, n = 0;
    for (; n < 9 && p[n] >= '0' && p[n] <= '9'; ++n) v = v * 10 + (p[n] - '0');
    if (n == 0 || p[n] != 0) return static_cast<int>(static_cast<uint32_t>(strtoll(s, nullptr, 10)));
    return *s == '-' ? -v : v;
}

RegKeyValue* RegKeyValue::Make(const char* name, size_t nameLen, int type, const char* text, size_t textLen,
                               int number) {
    if (nameLen > kNameMax) return nullptr;
    bool isInt = type == REG_INT;
    size_t bytes = sizeof(RegKeyValue) + (isInt ? sizeof(int32_t) : textLen + 1) + nameLen + 1;
    void* block = zrMalloc(bytes);
    if (!block) return nullptr;
    RegKeyValue* v = ::new (block) RegKeyValue;
    v->head = static_cast<uint16_t>(nameLen | static_cast<size_t>(type - REG_SZ) << kNameBits);
    if (isInt) memcpy(v->Tail(), &number, sizeof(int32_t));
    char* key = v->GetKey();
    memcpy(key, name, nameLen);
    key[nameLen] = 0;
    if (!isInt) {
        memcpy(key + nameLen + 1, text, textLen);
        key[nameLen + 1 + textLen] = 0;
    }
    return v;
}

RegKeyValue* RegKeyValue::MakeFromText(const char* name, int type, const char* data) {
    bool isInt = type == REG_INT;
    return Make(name, strlen(name), type, data, isInt ? 0 : strlen(data), isInt ? ToInt(data) : 0);
}

RegKeyValue* RegKeyValue::MakeTyped(const char* name, size_t nameLen, uint32_t winType, const void* data,
                                    size_t n) {
    const unsigned char* d = static_cast<const unsigned char*>(data);
    if (winType == ZRREG_TYPE_DWORD && n == sizeof(int32_t)) {
        int32_t number;
        memcpy(&number, d, sizeof number);
        return Make(name, nameLen, REG_INT, "", 0, number);
    }
    if (winType == ZRREG_TYPE_SZ && n / 2 <= REGFILE_TEXT_MAX + 1) {
        char text[REGFILE_TEXT_MAX + 1];
        long len = RegTypePlainText(d, n, text);
        if (len >= 0) return Make(name, nameLen, REG_SZ, text, static_cast<size_t>(len), 0);
    }
    if (nameLen > kNameMax || n > INT32_MAX) return nullptr;
    uint32_t head[2] = {winType, static_cast<uint32_t>(n)};
    void* block = zrMalloc(sizeof(RegKeyValue) + sizeof head + nameLen + 1 + n);
    if (!block) return nullptr;
    RegKeyValue* v = ::new (block) RegKeyValue;
    v->head = static_cast<uint16_t>(nameLen | static_cast<size_t>(REG_BYTES - REG_SZ) << kNameBits);
    memcpy(v->Tail(), head, sizeof head);
    char* key = v->GetKey();
    memcpy(key, name, nameLen);
    key[nameLen] = 0;
    if (n) memcpy(key + nameLen + 1, d, n);
    return v;
}

size_t RegKeyValue::TailSize() {
    return static_cast<size_t>(GetSize()) + NameLen() + 1 + (IsBytes() ? 2 * sizeof(uint32_t) : 0);
}

RegKeyValue* RegKeyValue::Copy() {
    size_t bytes = sizeof(RegKeyValue) + TailSize();
    void* block = zrMalloc(bytes);
    if (!block) return nullptr;
    memcpy(block, this, bytes);
    return static_cast<RegKeyValue*>(block);
}

RegKeyValue* RegKeyValue::Renamed(const char* name, size_t len) {
    if (IsBytes()) return MakeTyped(name, len, WinType(), GetValue(), static_cast<size_t>(GetSize()));
    bool isInt = IsInt();
    const char* text = isInt ? "" : static_cast<const char*>(GetValue());
    return Make(name, len, GetType(), text, strlen(text), isInt ? GetInt() : 0);
}

bool RegKeyValue::Overwrite(const char* name, size_t len, int type, const char* text, size_t textLen,
                            int number) {
    if (GetType() != type || NameLen() != len || memcmp(GetKey(), name, len) != 0) return false;
    if (IsInt()) {
        memcpy(Tail(), &number, sizeof number);
        return true;
    }
    char* at = GetKey() + len + 1;
    if (type != REG_SZ || strlen(at) != textLen) return false;
    memcpy(at, text, textLen);
    return true;
}

int RegKeyValue::GetSize() {
    if (IsBytes()) {
        uint32_t n;
        memcpy(&n, Tail() + sizeof(uint32_t), sizeof n);
        return static_cast<int>(n);
    }
    return IsInt() ? 4 : static_cast<int>(strlen(GetKey() + NameLen() + 1)) + 1;
}
