// zrreg's check verb: loads a registry file to see what is wrong with it.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "zrreg.h"

namespace zrreg {
namespace {

const char kCheckHelp[] =
    "Usage: zrreg check FILE\n"
    "\n"
    "Loads FILE and prints a count of its keys and values when it loads. The library's\n"
    "messages about it (syntax errors with their line numbers) go to standard error,\n"
    "each after the file's name, as do warnings about integers that do not fit 32 bits\n"
    "(the library keeps only part of them). Nothing is written. Exit status 0 when the\n"
    "file loads, 1 when it does not.\n"
    "\n"
    "Example: zrreg check app.txt\n";

bool IsWordByte(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '/'; }

// Warns about the integers of a registry file's text that do not fit a signed 32-bit
// integer; the library keeps their low 32 bits. The text is cut as the scanner
// cuts it: texts in double quotes (ended by the line's end too), words of letters,
// digits, "_", "." and "/", and a "-" directly before a word of digits.
void WarnWideIntegers(const std::string& file, const std::string& text) {
    long line = 1;
    size_t n = text.find('\0');
    if (n == std::string::npos) n = text.size();
    for (size_t i = 0; i < n;) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '"') {
            ++i;
            while (i < n && text[i] != '"' && text[i] != '\n') ++i;
            if (i < n && text[i] == '"') ++i;
        } else if (IsWordByte(c)) {
            size_t start = i;
            while (i < n && IsWordByte(text[i])) ++i;
            std::string word = text.substr(start, i - start);
            if (word.find_first_not_of("0123456789") != std::string::npos) continue;
            bool negative = start > 0 && text[start - 1] == '-';
            uint64_t v = 0;
            for (char d : word)
                if (v <= 0x80000000ull) v = v * 10 + static_cast<uint64_t>(d - '0');
            if (negative) word.insert(0, "-");
            if (v > (negative ? 0x80000000ull : 0x7FFFFFFFull)) {
                Error(file, "line " + std::to_string(line) + ": warning: the integer " + word +
                                " does not fit 32 bits; it loads as " +
                                std::to_string(static_cast<int>(
                                    static_cast<uint32_t>(strtoll(word.c_str(), nullptr, 10)))));
            }
        } else {
            ++i;
        }
    }
}

int RunCheck(const Args& a) {
    Registry reg(a.pos[0]);
    if (!reg.Open(false)) return kFailed;
    long keys = 0, values = 0;
    for (Walk walk(RegViewRoot(), ""); walk.Next(); ++keys) values += RegViewValueCount(walk.key());
    std::string text;
    if (ReadWholeFile(reg.file(), &text, false)) WarnWideIntegers(reg.file(), text);
    printf("%s: loads: %ld keys, %ld values\n", a.pos[0].c_str(), keys, values);
    return kOk;
}

}  // namespace

const Verb kCheckVerb = {"check", 1, 1, "", kCheckHelp, RunCheck, nullptr};

}  // namespace zrreg
