// zrreg's check verb: loads a registry file to see what is wrong with it.
#include <stdio.h>

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

const Verb kCheckVerb = {"check", 1, 1, "", kCheckHelp, RunCheck, nullptr};

}  // namespace zrreg
