// Text conversions and key paths for the zrreg tool.
#include "regtext.h"

#include <stdio.h>

#include "regview.h"
#include "zrregdll.hpp"

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) AppendUtf8(&out, b);
    return out;
}

void AppendUtf8(std::string* out, char32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string CodePointName(char32_t c) {
    char buf[16];
    snprintf(buf, sizeof buf, "U+%04lX", static_cast<unsigned long>(c));
    return buf;
}

// The C++ face's decoder: zrreg and the face convert texts alike.
bool DecodeUtf8(const std::string& text, std::u32string* out) {
    return zrreg::detail::decode_utf8(text, *out);
}

bool ArgToLatin1(const std::string& arg, std::string* bytes, char32_t* bad) {
    std::u32string chars;
    if (!DecodeUtf8(arg, &chars)) {
        *bytes = arg;
        return true;
    }
    bytes->clear();
    for (char32_t c : chars) {
        if (c > 0xFF) {
            *bad = c;
            return false;
        }
        bytes->push_back(static_cast<char>(c));
    }
    return true;
}

std::vector<unsigned short> Wide(const std::string& bytes) {
    std::vector<unsigned short> w;
    w.reserve(bytes.size() + 1);
    for (unsigned char b : bytes) w.push_back(b);
    w.push_back(0);
    return w;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && RegViewCompareNames(a.c_str(), b.c_str()) == 0;
}

std::string FoldName(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

const WindowsHive kWindowsHives[5] = {{"HKEY_LOCAL_MACHINE", "HKLM"},
                                      {"HKEY_CURRENT_USER", "HKCU"},
                                      {"HKEY_CLASSES_ROOT", "HKCR"},
                                      {"HKEY_USERS", "HKU"},
                                      {"HKEY_CURRENT_CONFIG", "HKCC"}};

const char* HiveName(const std::string& name) {
    for (const WindowsHive& h : kWindowsHives)
        if (SameName(name, h.name) || SameName(name, h.abbreviation)) return h.name;
    return nullptr;
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\' || path[i] == '/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(path[i]);
        }
    }
    if (!parts.empty() && SameName(parts[0], kRegRootName)) parts.erase(parts.begin());
    if (!parts.empty() && HiveName(parts[0])) parts[0] = HiveName(parts[0]);
    return parts;
}
