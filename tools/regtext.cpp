// Text conversions and key paths for the zrreg tool.
#include "regtext.h"

#include <stdio.h>

#include <algorithm>

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

void AppendJsonChar(std::string* out, char32_t c) {
    if (c == '"' || c == '\\') {
        out->push_back('\\');
        out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
        *out += "\\n";
    } else if (c == '\r') {
        *out += "\\r";
    } else if (c == '\t') {
        *out += "\\t";
    } else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)) {
        char buf[8];
        snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        *out += buf;
    } else {
        AppendUtf8(out, c);
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

bool SplitKeyPath(const std::string& path, std::vector<std::string>* parts, std::string* why) {
    parts->clear();
    std::vector<bool> quoted;
    for (size_t i = 0; i < path.size();) {
        if (path[i] == '\\' || path[i] == '/') {
            ++i;
            continue;
        }
        size_t end;
        if (path[i] == '"') {
            end = path.find('"', i + 1);
            if (end == std::string::npos) {
                *why = "the quoted name " + path.substr(i) + " has no closing quote";
                return false;
            }
            if (end + 1 < path.size() && path[end + 1] != '\\' && path[end + 1] != '/') {
                *why = "only \"\\\" or \"/\" may follow the quoted name " + path.substr(i, end + 1 - i);
                return false;
            }
            parts->push_back(path.substr(i + 1, end - i - 1));
            quoted.push_back(true);
            i = end + 1;
        } else {
            end = std::min(path.find_first_of("\\/", i), path.size());
            parts->push_back(path.substr(i, end - i));
            quoted.push_back(false);
            i = end;
        }
    }
    // A quoted name is that name: never the root's, never an abbreviation.
    if (!parts->empty() && !quoted[0] && SameName((*parts)[0], kRegRootName)) {
        parts->erase(parts->begin());
        quoted.erase(quoted.begin());
    }
    if (!parts->empty() && !quoted[0] && HiveName((*parts)[0])) (*parts)[0] = HiveName((*parts)[0]);
    return true;
}

std::string ShowKeyName(const std::string& name) {
    if (!name.empty() && name.find_first_of("\\/") == std::string::npos) return name;
    return "\"" + name + "\"";
}

std::string JoinKeyPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? ShowKeyName(name) : parent + "\\" + ShowKeyName(name);
}

std::string UnshowKeyName(const std::string& shown) {
    if (shown.size() >= 2 && shown.front() == '"' && shown.back() == '"')
        return shown.substr(1, shown.size() - 2);
    return shown;
}
