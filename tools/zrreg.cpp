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
    "       zrreg -h | --help | -V | --version\n"
    "\n"
    "Looks into, scripts, repairs and converts the registry file FILE.\n"
    "\n"
    "Verbs:\n"
    "  init    FILE                          write an empty registry file\n"
    "  check   FILE                          load FILE and print what is wrong with it\n"
    "  query   FILE [KEY] [-v NAME|-ve|-s] [-t TYPE] [-f PATTERN [-k|-d|-e|-c]...]\n"
    "                                        print a key's values and subkeys, or search\n"
    "                                        them; --json prints JSON\n"
    "  add     FILE KEY [-v NAME | -ve] [-t TYPE] [-d DATA] [--force]\n"
    "                                        create a key with its parents, set a value\n"
    "  delete  FILE KEY [-v NAME | -ve | -va] [--force]\n"
    "                                        delete a key with its subtree, or values\n"
    "  rename  FILE KEY [-v NAME] NEWNAME [--force]\n"
    "                                        rename a key or a value, in its place\n"
    "  copy    FILE SRC DST [-s] [--force]   copy a key's values (and subkeys) to another\n"
    "  compare FILE1 [KEY1] FILE2 [KEY2] [-v NAME | -ve | -s] [--json]\n"
    "                                        print how two keys or files differ;\n"
    "                                        KEY2 is KEY1 when left out\n"
    "  export  FILE [KEY [OUT]] [-o OUT|-] [--utf16] [--force]\n"
    "                                        write a Windows registry export file\n"
    "  import  FILE IN [--dry-run] [--no-delete] [--strict] [--force]\n"
    "                                        merge a Windows registry export file\n"
    "  serve   FILE [--port N] [--read-only] [--force]\n"
    "                                        edit FILE in a web browser, on 127.0.0.1\n"
    "\n"
    "KEY is a path such as 'HKLM\\Software\\MORVANE' or 'My Computer/HKEY_CURRENT_USER':\n"
    "\"\\\" or \"/\" separate its keys, HKLM, HKCU, HKCR, HKU and HKCC abbreviate the\n"
    "Windows hives HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS\n"
    "and HKEY_CURRENT_CONFIG, and it may start at the root \"My Computer\" or below it.\n"
    "Names are matched without regard to letter case. In a shell, put a path in quotes:\n"
    "the shell drops a \"\\\" that is not quoted. A path's first level must be a root of\n"
    "the registry, in every verb: a Windows hive or another top-level key of FILE; add\n"
    "and copy create another one only with --force, import skips a section there.\n"
    "\n"
    "A name that is empty or holds \"\\\" or \"/\" (FILE may have such keys) stands in\n"
    "double quotes, in paths given and shown alike: 'HKCU\\\"a/b\"\\c' is the key c below\n"
    "the key named a/b, 'HKCU\\a\\b\\c' the key c below b below a, and 'HKCU\\\"\"' the\n"
    "key with the empty name. The library cannot create such a key, and its own path\n"
    "search takes \"\\\" and \"/\" in names for separators: a change to a key whose path\n"
    "that search takes to another key (the key a/b and the path a\\b) is refused, and\n"
    "the message names the key it would have changed.\n"
    "\n"
    "Windows' reg command's switches are taken beside these options, where the verb\n"
    "has the option ('zrreg VERB --help' lists them): /v NAME, /ve, /va, /t TYPE,\n"
    "/d DATA, /s, /f, /y, /k, /c and /e, letters in either case, and /? for --help;\n"
    "its others (/z, /se, /oa, /od, /os, /on, /reg:32, /reg:64) are refused. An\n"
    "argument that is \"/\" and one of these words, as a whole, is always the switch,\n"
    "never a key or a file: the top-level key v is 'v' or '\\v' ('HKCU/v' is the key v\n"
    "below HKCU), and after -- every argument is a key or a file again.\n"
    "\n"
    "FILE must be a regular file: a FIFO, a device, a directory or a socket is refused.\n"
    "A verb that changes FILE refuses, naming their lines, when FILE holds integers\n"
    "wider than 32 bits, which the library would write back cut; --force writes it so.\n"
    "\n"
    "Messages of the library about FILE go to standard error after FILE's name, as in\n"
    "\"app.txt: line 21: syntax error\" (zrreg adds what was expected there); other\n"
    "errors start with \"zrreg:\". A change that cannot be saved says why. Standard\n"
    "output holds only what a verb prints.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error; compare exits 0 when the same,\n"
    "1 when different, 2 on any error. 'zrreg VERB --help' tells more.\n";

const Verb* const kVerbs[] = {
    &kInitVerb,    &kCheckVerb,  &kQueryVerb,  &kAddVerb,   &kDeleteVerb, &kCopyVerb,
    &kCompareVerb, &kExportVerb, &kImportVerb, &kServeVerb, &kRenameVerb,
};

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (argc < 2) return Usage(a, "missing verb");
    std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        fputs(kProgramHelp, stdout);
        return kOk;
    }
    if (first == "-V" || first == "--version") {
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
