// zrreg's argument parsing: the words after the verb against the options the verb takes.
#include <stdio.h>
#include <string.h>

#include "regtext.h"
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

// The option that reg.exe's switch `word` stands for in `verb` ("" for one without effect);
// false when the verb takes no such switch.
bool FindSwitch(const Verb& verb, const std::string& word, std::string* ours) {
    for (const char* p = verb.regSwitches ? verb.regSwitches : ""; *p;) {
        while (*p == ' ') ++p;
        size_t n = strcspn(p, " ");
        const char* eq = static_cast<const char*>(memchr(p, '=', n));
        if (eq && word.compare(0, std::string::npos, p, static_cast<size_t>(eq - p)) == 0) {
            ours->assign(eq + 1, p + n);
            return true;
        }
        p += n;
    }
    return false;
}

// The words of Windows' reg command's switches. A key path or a file that is one of these
// after a "/" is written otherwise: without the "/" ("v" is the same top-level key), with
// "\" ("\v"), in quotes ('/"v"'), or after "--". Those no verb takes are refused as
// switches, not taken for keys.
const char* const kSwitchWords[] = {"?", "v", "ve", "va", "t",  "d",  "s",  "f",  "y",      "k",
                                    "c", "e", "z",  "se", "oa", "od", "os", "on", "reg:32", "reg:64"};

// The word of a whole argument "/WORD" that is one of those switches, in lower case;
// empty when it is none.
std::string SwitchWord(const std::string& arg) {
    if (arg.size() < 2 || arg[0] != '/') return "";
    std::string word = FoldName(arg.substr(1));
    for (const char* w : kSwitchWords)
        if (word == w) return word;
    return "";
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
        std::string word = onlyPositional ? "" : SwitchWord(arg);
        if (word.empty() && (onlyPositional || arg.size() < 2 || arg[0] != '-')) {
            a->pos.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help" || word == "?") {
            fputs(a->verb->help, stdout);
            return kOk;
        }
        std::string opt = arg;
        if (!word.empty()) {
            if (!FindSwitch(*a->verb, word, &opt))
                return Usage(*a,
                             "unknown option " + arg + " (zrreg " + a->verb->name + " takes no such switch)");
            if (opt.empty()) continue;
        }
        bool takesArgument = false;
        if (!FindOption(*a->verb, opt, &takesArgument)) return Usage(*a, "unknown option " + arg);
        std::string val;
        if (takesArgument) {
            if (i + 1 >= argc) return Usage(*a, "option " + arg + " needs an argument");
            val = argv[++i];
            if (a->Has(opt.c_str())) return Usage(*a, "option " + arg + " given twice");
        }
        a->opts[opt] = val;
    }
    // -ve, reg.exe's /ve, is the default value: -v "".
    if (a->Has("-ve")) {
        if (a->Has("-v")) return Usage(*a, "-v and -ve cannot be combined");
        a->opts["-v"] = "";
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
