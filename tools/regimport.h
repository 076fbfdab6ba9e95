// The reader of export files, shared by its two files only: regimport.cpp (the text, its
// lines and sections) and regimpdata.cpp (a value's data).
#ifndef REGIMPORT_H
#define REGIMPORT_H

#include <stdint.h>

#include <string>

#include "regexport.h"

namespace regimport {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

inline const char* SkipBlanks(const char* p, const char* e) {
    while (p < e && IsBlank(*p)) ++p;
    return p;
}

// Whether only blanks and an optional ; comment follow.
inline bool AtEnd(const char* p, const char* e) {
    p = SkipBlanks(p, e);
    return p == e || *p == ';';
}

// Appends UTF-16LE text (n bytes) as UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendUtf16(std::string* out, const unsigned char* b, size_t n);

// The registry bytes of UTF-8 text, or false with the first character the registry
// cannot hold.
bool ToBytes(const char* p, const char* e, std::string* out, char32_t* bad);

// The UTF-8 character at p, for messages.
std::string CharAt(const char* p, const char* e);

struct Line {
    const char* b;
    const char* e;
    int number;
};

// A value's data as the line gave it.
struct Data {
    enum { kText, kDword, kDelete, kHex } kind;
    std::string text;  // UTF-8; for kHex the bytes
    uint32_t dword;
    int64_t hexType;  // -1 for hex:
};

// Reads the decoded text line by line and hands on what it finds, in the file's order.
class Reader {
public:
    Reader(const char* b, const char* e, ExportHandler* h) : p_(b), end_(e), h_(h) {}

    bool Run(std::string* error);

private:
    bool NextLine(Line* l);
    void Dispatch(const Line& l);
    void Invalid(int line, const std::string& what, bool section);
    static std::string Clip(const char* p, const char* e);
    static const char* Closing(const char* p, const char* e);
    void Section(int line, const char* p, const char* e);
    static bool IsHive(const std::string& name);
    static bool Quoted(const char** pp, const char* e, std::string* out, std::string* why);
    // The value of the line being read, for messages.
    std::string Shown() const { return isDefault_ ? "the default value (@)" : "value \"" + name_ + "\""; }
    void Value(int line, const char* p, const char* e);

    // A value's data (regimpdata.cpp).
    bool ReadData(int line, const char* p, const char* e, std::string* why);
    bool HexBytes(int line, const char* p, const char* e, std::string* why);
    bool Consumed(const Line& l, const char* p, std::string* why);
    void FromHex();

    const char* p_;
    const char* end_;
    bool done_ = false;
    int lineNo_ = 0;
    ExportHandler* h_;
    bool regedit4_ = false;
    bool stopped_ = false;
    std::string stopError_;
    enum { kNowhere, kInKey, kSkipping, kDeleted } where_ = kNowhere;
    std::string section_;  // the last valid section as written, for messages
    int sectionLine_ = 0;
    // Reused from line to line.
    ExportKey key_;
    ExportValue value_;
    std::string name_;  // UTF-8
    bool isDefault_ = false;
    Data data_;
};

}  // namespace regimport

#endif
