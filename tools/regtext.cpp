// Text conversions and key paths for the zrreg tool.
#include "regtext.h"

#include <stdio.h>

#include "regview.h"

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

bool DecodeUtf8(const std::string& text, std::u32string* out) {
    out->clear();
    size_t i = 0, n = text.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        int more;
        char32_t c, min;
        if (b < 0x80) {
            more = 0, c = b, min = 0;
        } else if ((b & 0xE0) == 0xC0) {
            more = 1, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3, c = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= static_cast<size_t>(more)) return false;
        for (int k = 1; k <= more; ++k) {
            unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out->push_back(c);
        i += more + 1;
    }
    return true;
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
