// zrreg's add and delete verbs: creating keys and setting values, deleting keys and values.
#include <stdint.h>
#include <stdio.h>

#include "regtext.h"
#include "zrreg.h"
#include "zrregdll.h"

namespace zrreg {
namespace {

const char kAddHelp[] =
    "Usage: zrreg add FILE KEY [-v NAME [-t REG_SZ|REG_DWORD] [-d DATA]]\n"
    "\n"
    "Creates KEY with every missing key above it and, with -v, sets the value NAME;\n"
    "an existing value is replaced. FILE is written back.\n"
    "  -v NAME  the value to set (\"\" for the default value)\n"
    "  -t TYPE  REG_SZ (text, the default) or REG_DWORD (a 32-bit integer)\n"
    "  -d DATA  the text, or the integer: decimal, negative, or hexadecimal after 0x\n"
    "\n"
    "Example: zrreg add app.reg HKCU\\Software\\MORVANE\\Ardo -v Zoom -t REG_DWORD -d 125\n";

const char kDeleteHelp[] =
    "Usage: zrreg delete FILE KEY [-v NAME]\n"
    "\n"
    "Deletes KEY with all its subkeys and values or, with -v, the one value NAME.\n"
    "FILE is written back.\n"
    "\n"
    "Example: zrreg delete app.reg HKCU\\Software\\MORVANE\\Ardo\\Recent\n";

// REG_DWORD data: decimal, possibly negative, or hexadecimal after 0x; 32 bits.
bool ParseDword(const std::string& text, uint32_t* out) {
    const char* s = text.c_str();
    bool hex = (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'));
    bool neg = !hex && s[0] == '-';
    const char* digits = hex ? s + 2 : (neg ? s + 1 : s);
    if (!*digits) return false;
    uint64_t n = 0;
    for (const char* p = digits; *p; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            return false;
        n = n * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (n > 0xFFFFFFFFull) return false;
    }
    if (neg && n > 0x80000000ull) return false;
    *out = neg ? static_cast<uint32_t>(0u - static_cast<uint32_t>(n)) : static_cast<uint32_t>(n);
    return true;
}

int RunAdd(const Args& a) {
    if ((a.Has("-t") || a.Has("-d")) && !a.Has("-v")) return Usage(a, "-t and -d need -v NAME");
    bool dword = false;
    uint32_t number = 0;
    if (a.Has("-t")) {
        if (SameName(a.Get("-t"), "REG_DWORD"))
            dword = true;
        else if (!SameName(a.Get("-t"), "REG_SZ"))
            return Usage(a, "-t: the type must be REG_SZ or REG_DWORD, not \"" + a.Get("-t") + "\"");
    }
    if (dword && !a.Has("-d")) return Usage(a, "REG_DWORD needs -d DATA");
    if (dword && !ParseDword(a.Get("-d"), &number))
        return Usage(a,
                     "-d: \"" + a.Get("-d") + "\" is not a 32-bit number (decimal, or hexadecimal after 0x)");

    std::vector<std::string> parts;
    std::string name, text;
    if (!KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(a.Get("-v"), "the value name", &name)) return kFailed;
    if (!dword && !ToRegistryText(a.Get("-d"), "the data", &text)) return kFailed;

    Registry reg(a.pos[0]);
    if (!reg.Open(true, false)) return kFailed;
    Key key;
    if (!OpenKey(reg, parts, true, &key)) return kFailed;
    if (a.Has("-v")) {
        std::vector<unsigned short> wname = Wide(name);
        long rc =
            dword ? ZrRegSetValueEx(key.handle, wname.data(), 4, reinterpret_cast<unsigned char*>(&number), 4)
                  : ZrRegSetValueEx(key.handle, wname.data(), 1,
                                    reinterpret_cast<const unsigned char*>(text.c_str()),
                                    static_cast<uint32_t>(text.size() + 1));
        if (rc != 0) {
            Error(reg.file(), "key " + Quoted(key.shown) + ": value " + Quoted(name) + ": " + ResultText(rc));
            return kFailed;
        }
    }
    key.Close();
    return reg.Close(true) ? kOk : kFailed;
}

int RunDelete(const Args& a) {
    std::vector<std::string> parts;
    std::string name;
    if (!KeyParts(a.pos[1], &parts)) return kFailed;
    if (a.Has("-v") && !ToRegistryText(a.Get("-v"), "the value name", &name)) return kFailed;
    if (parts.empty() && !a.Has("-v")) {
        Error(a.pos[0], "the root key cannot be deleted");
        return kFailed;
    }
    Registry reg(a.pos[0]);
    if (!reg.Open(true, false)) return kFailed;
    Key key;
    long rc;
    std::string what;
    if (a.Has("-v")) {
        if (!OpenKey(reg, parts, false, &key)) return kFailed;
        rc = ZrRegDeleteValue(key.handle, Wide(name).data());
        what = "key " + Quoted(key.shown) + ": value " + Quoted(name);
    } else {
        std::string last = parts.back();
        parts.pop_back();
        if (!OpenKey(reg, parts, false, &key)) return kFailed;
        rc = ZrRegDeleteKey(key.handle, Wide(last).data());
        what = "key " + Quoted(parts.empty() ? last : key.shown + "\\" + last);
    }
    if (rc != 0) {
        const char* why = rc != 5       ? ResultText(rc)
                          : a.Has("-v") ? "the value does not exist"
                                        : "the key does not exist";
        Error(reg.file(), what + ": " + why);
        return kFailed;
    }
    key.Close();
    return reg.Close(true) ? kOk : kFailed;
}

}  // namespace

const Verb kAddVerb = {"add", 2, 2, "-v= -t= -d=", kAddHelp, RunAdd, nullptr};
const Verb kDeleteVerb = {"delete", 2, 2, "-v=", kDeleteHelp, RunDelete, nullptr};

}  // namespace zrreg
