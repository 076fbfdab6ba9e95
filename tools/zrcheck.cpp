// zrreg's check verb: loads a registry file to see what is wrong with it.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

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

struct Token {
    enum Kind { kKey, kWord, kNumber, kType, kPunct, kOther, kEnd } kind;
    int line;
    std::string text;  // as the file spells it, for messages
    bool isInteger;    // kType: [REG_INT]
};

// Cuts the registry file's text into tokens as the library's scanner does.
class Tokens {
public:
    explicit Tokens(const std::string& text) : t_(text), n_(std::min(text.size(), text.find('\0'))) {}

    Token Next() {
        while (i_ < n_) {
            char c = t_[i_];
            if (c == '\n') {
                ++line_;
                ++i_;
            } else if (c == '"') {
                size_t close = t_.find_first_of("\"\n", i_ + 1);
                if (close == std::string::npos || close >= n_) {
                    ++i_;  // open at the end of the file: the quote alone is skipped
                } else if (t_[close] == '\n') {
                    i_ = close;  // a runaway string: the rest of its line is dropped
                } else {
                    Token tok{Token::kWord, line_, t_.substr(i_, close + 1 - i_), false};
                    i_ = close + 1;
                    return tok;
                }
            } else if (IsWordByte(c) ||
                       (c == '-' && i_ + 1 < n_ && isdigit(static_cast<unsigned char>(t_[i_ + 1])))) {
                size_t start = i_++;
                while (i_ < n_ && IsWordByte(t_[i_])) ++i_;
                std::string word = t_.substr(start, i_ - start);
                bool digits = word.find_first_not_of("-0123456789") == std::string::npos;
                if (word[0] == '-' && !digits) {
                    i_ = start + 1;  // the minus sign is skipped; the word is read on its own
                    continue;
                }
                return Token{word == "KEY" ? Token::kKey
                             : digits      ? Token::kNumber
                                           : Token::kWord,
                             line_, word, false};
            } else if (c == '[') {
                size_t close = t_.find_first_of("]\n", i_);
                std::string inside = close != std::string::npos && close < n_ && t_[close] == ']'
                                         ? t_.substr(i_ + 1, close - i_ - 1)
                                         : "";
                inside.erase(0, inside.find_first_not_of(" \t"));
                inside.erase(inside.find_last_not_of(" \t") + 1);
                if (inside == "REG_SZ" || inside == "REG_INT") {
                    Token tok{Token::kType, line_, "[" + inside + "]", inside == "REG_INT"};
                    i_ = close + 1;
                    return tok;
                }
                ++i_;
                return Token{Token::kOther, line_, "[", false};
            } else if (strchr("()=;]", c)) {
                ++i_;
                return Token{Token::kPunct, line_, std::string(1, c), false};
            } else {
                ++i_;
            }
        }
        return Token{Token::kEnd, line_, "", false};
    }

private:
    const std::string& t_;
    size_t n_, i_ = 0;
    int line_ = 1;
};

}  // namespace

std::string SyntaxHint(const std::string& text, int line) {
    enum { kTop, kName, kOpen, kItem, kValueName, kEquals, kData, kSemicolon, kEnd } state = kTop;
    int depth = 0, since = 0;
    bool integer = false;
    Tokens tokens(text);
    for (;;) {
        Token tok = tokens.Next();
        const char* expected = nullptr;
        bool punct = tok.kind == Token::kPunct;
        bool name = tok.kind == Token::kWord || tok.kind == Token::kKey;
        switch (state) {
            case kTop:
                if (tok.kind == Token::kKey)
                    state = kName;
                else
                    expected = "KEY";
                break;
            case kName:
                if (name)
                    state = kOpen;
                else
                    expected = "the key's name (a quoted string or a word) after KEY";
                break;
            case kOpen:
                if (punct && tok.text == "(")
                    state = kItem, ++depth;
                else
                    expected = "\"(\" after the key's name";
                break;
            case kItem:
                if (tok.kind == Token::kKey)
                    state = kName;
                else if (tok.kind == Token::kType)
                    state = kValueName, integer = tok.isInteger;
                else if (punct && tok.text == ")")
                    state = --depth == 0 ? kEnd : kItem;
                else
                    expected = "KEY, [REG_SZ], [REG_INT] or \")\"";
                break;
            case kValueName:
                if (name)
                    state = kEquals;
                else
                    expected = "the value's name (a quoted string or a word)";
                break;
            case kEquals:
                if (punct && tok.text == "=")
                    state = kData;
                else
                    expected = "\"=\" after the value's name";
                break;
            case kData:
                if (integer ? tok.kind == Token::kNumber : name)
                    state = kSemicolon;
                else
                    expected = integer ? "a number after \"=\" of a [REG_INT] value"
                                       : "a text (a quoted string or a word) after \"=\" of a [REG_SZ] value";
                break;
            case kSemicolon:
                if (punct && tok.text == ";")
                    state = kItem;
                else
                    expected = "\";\" after the value's data";
                break;
            case kEnd:
                if (tok.kind != Token::kEnd) expected = "the end of the file after the top-level key";
                break;
        }
        if (expected) {
            if (tok.line != line) return "";  // the library stopped elsewhere: no guess
            std::string found = tok.kind == Token::kEnd ? "the end of the file"
                                : tok.text[0] == '"'    ? tok.text.substr(0, 40)
                                                        : "\"" + tok.text.substr(0, 40) + "\"";
            std::string after = since && since != tok.line ? " (line " + std::to_string(since) + ")" : "";
            return "line " + std::to_string(line) + ": expected " + expected + after + ", found " + found;
        }
        if (tok.kind == Token::kEnd) return "";
        since = tok.line;
    }
}

namespace {

int RunCheck(const Args& a) {
    Registry reg(a.pos[0]);
    if (!reg.Open(false)) return kFailed;
    long keys = 0, values = 0;
    for (Walk walk(RegViewRoot(), ""); walk.Next(); ++keys) values += RegViewValueCount(walk.key());
    std::string text;
    if (ReadWholeFile(reg.file(), &text, false))
        for (const WideInteger& w : WideIntegers(text))
            Error(reg.file(), "line " + std::to_string(w.line) + ": warning: the integer " + w.text +
                                  " does not fit 32 bits; it loads as " + std::to_string(w.loaded));
    printf("%s: loads: %ld keys, %ld values\n", a.pos[0].c_str(), keys, values);
    return kOk;
}

}  // namespace

const Verb kCheckVerb = {"check", 1, 1, "", kCheckHelp, RunCheck, nullptr, nullptr};

}  // namespace zrreg
