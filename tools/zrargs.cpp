// zrreg's argument parsing: the words after the verb against the options the verb takes.
#include <stdio.h>
#include <string.h>

#include "zrreg.h"

namespace zrreg {
namespace {

// How the verb spells `arg` among its options, and whether it takes an argument; false
// when the verb has no such option.
bool FindOption(const Verb& verb, const std::string& arg, bool* takesArgument) {
    const char* p = verb.options;
    while (*p) {
        while (*p == ' ') ++p;
        size_t n = strcspn(p, " =");
        if (n > 0 && arg.compare(0, std::string::npos, p, n) == 0) {
            *takesArgument = p[n] == '=';
            return true;
        }
        p += n;
        if (*p == '=') ++p;
    }
    return false;
}

}  // namespace

const std::string& Args::Get(const char* opt) const {
    static const std::string kNone;
    auto it = opts.find(opt);
    return it == opts.end() ? kNone : it->second;
}

int Usage(const Args& a, const std::string& what) {
    std::string verb = a.verb ? std::string(" ") + a.verb->name : "";
    fprintf(stderr, "zrreg%s: %s\nTry 'zrreg%s --help'.\n", verb.c_str(), what.c_str(), verb.c_str());
    return kUsage;
}

int ParseArgs(int argc, char** argv, Args* a) {
    bool onlyPositional = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
            a->pos.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            fputs(a->verb->help, stdout);
            return kOk;
        }
        bool takesArgument = false;
        if (!FindOption(*a->verb, arg, &takesArgument)) return Usage(*a, "unknown option " + arg);
        std::string val;
        if (takesArgument) {
            if (i + 1 >= argc) return Usage(*a, "option " + arg + " needs an argument");
            val = argv[++i];
            if (a->Has(arg.c_str())) return Usage(*a, "option " + arg + " given twice");
        }
        a->opts[arg] = val;
    }
    if (a->verb->conflict) {
        if (const char* why = a->verb->conflict(*a)) return Usage(*a, why);
    }
    if (a->pos.size() < static_cast<size_t>(a->verb->minArgs))
        return Usage(*a, a->pos.empty() ? "missing FILE" : "missing KEY");
    if (a->pos.size() > static_cast<size_t>(a->verb->maxArgs)) return Usage(*a, "too many arguments");
    return -1;
}

}  // namespace zrreg
