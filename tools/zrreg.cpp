// zrreg: looks into, scripts, repairs and converts registry files through the library.
// This file holds the program's help and picks the verb; each verb lives in the file of
// its job (see zrreg.h).
#include <stdio.h>

#include <string>

#include "zrreg.h"

#ifndef ZR_VERSION
#define ZR_VERSION "unknown"
#endif

using namespace zrreg;

namespace {

const char kProgramHelp[] =
    "Usage: zrreg VERB FILE [ARGS...]\n"
    "       zrreg --help | --version\n"
    "\n"
    "Looks into, scripts, repairs and converts the registry file FILE.\n"
    "\n"
    "Verbs:\n"
    "  check  FILE                           load FILE and print what is wrong with it\n"
    "  query  FILE [KEY] [-v NAME | -s]      print a key's values and subkeys\n"
    "  add    FILE KEY [-v NAME [-t TYPE] [-d DATA]]\n"
    "                                        create a key with its parents, set a value\n"
    "  delete FILE KEY [-v NAME]             delete a key with its subtree, or a value\n"
    "  export FILE [KEY] [-o OUT] [--utf16]  write a Windows registry export file\n"
    "  import FILE IN                        merge a Windows registry export file\n"
    "\n"
    "KEY is a path such as HKLM\\Software\\MORVANE or My Computer/HKEY_CURRENT_USER:\n"
    "\"\\\" or \"/\" separate its keys, HKLM and HKCU abbreviate HKEY_LOCAL_MACHINE and\n"
    "HKEY_CURRENT_USER, and it may start at the root \"My Computer\" or below it. Names\n"
    "are matched without regard to letter case.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error. 'zrreg VERB --help' tells more.\n";

const Verb* const kVerbs[] = {&kCheckVerb, &kQueryVerb, &kAddVerb, &kDeleteVerb, &kExportVerb, &kImportVerb};

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (argc < 2) return Usage(a, "missing verb");
    std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        fputs(kProgramHelp, stdout);
        return kOk;
    }
    if (first == "--version") {
        printf("zrreg %s\n", ZR_VERSION);
        return kOk;
    }
    for (const Verb* v : kVerbs)
        if (first == v->name) a.verb = v;
    if (!a.verb) return Usage(a, "unknown verb \"" + first + "\"");
    int rc = ParseArgs(argc, argv, &a);
    if (rc < 0) rc = a.verb->run(a);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zrreg: cannot write to standard output\n");
        return kFailed;
    }
    return rc;
}
