// zrregdll_text.hpp: the C++ face's text: UTF-8 to and from the library's 16-bit text, why a name or text
// cannot be held, the messages of failures, and paths from the root as zrreg reads them.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_TEXT_HPP
#define ZRREGDLL_TEXT_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "zrregdll_errors.hpp"

namespace zrreg {

namespace detail {

using wide = std::vector<unsigned short>;

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out.push_back(static_cast<char>(((0xFF00 >> (more + 1)) & 0xFF) | (c >> (6 * more))));
    while (more-- > 0) out.push_back(static_cast<char>(0x80 | ((c >> (6 * more)) & 0x3F)));
}

// Strict UTF-8 (no overlong forms, no surrogates) into code points; false on any fault.
inline bool decode_utf8(std::string_view text, std::u32string& out) {
    out.clear();
    std::size_t i = 0, n = text.size();
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
        if (n - i <= static_cast<std::size_t>(more)) return false;
        for (int k = 1; k <= more; ++k) {
            unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.push_back(c);
        i += more + 1;
    }
    return true;
}

// The registry's bytes of a UTF-8 text as the library takes them (16-bit, NUL-terminated); false with
// *why set when the text holds what no registry text can: a character above U+00FF, or a NUL, which
// would end the text early.
inline bool to_wide(std::string_view text, wide& out, std::string* why) {
    std::u32string chars;
    out.clear();
    if (decode_utf8(text, chars)) {
        for (char32_t c : chars) {
            if (c > 0xFF) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "U+%04lX", static_cast<unsigned long>(c));
                *why = std::string("holds ") + buf +
                       ", which the registry cannot hold (it holds characters up to U+00FF)";
                return false;
            }
            out.push_back(static_cast<unsigned short>(c));
        }
    } else {
        for (char b : text) out.push_back(static_cast<unsigned char>(b));
    }
    for (unsigned short c : out) {
        if (c == 0) {
            *why = "holds a NUL character, which would end it";
            return false;
        }
    }
    out.push_back(0);
    return true;
}

inline std::string to_utf8(const unsigned short* w, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) append_utf8(out, w[i]);
    return out;
}

// Why the library would answer ZRREG_BAD_NAME for this text, in words, as zrreg says it; "" for none.
inline std::string why_bad(const wide& w, bool is_name) {
    std::size_t n = w.size() - 1;
    const char* why = nullptr;
    if (is_name && n >= 256) why = "is 256 characters or longer";
    if (!why && n > 9998) why = "is longer than 9998 bytes";
    for (std::size_t i = 0; !why && i < n; ++i) {
        if (w[i] == '"') why = "holds a double quote";
        if (w[i] == '\n') why = "holds a line feed";
        if (w[i] == 26) why = "holds byte 26 (Ctrl-Z)";
    }
    return why ? std::string(why) + ", which the registry cannot hold" : std::string();
}

// Throws the failure of an operation on `name` (and `text`): the operation, the name and the reason,
// for bad_name the text's own fault where the library's code alone would not say which.
[[noreturn]] inline void fail(std::error_code ec, const char* what, std::string_view name,
                              std::optional<std::string_view> text = std::nullopt) {
    std::string msg = std::string("zrregdll: ") + what + " \"" + std::string(name) + "\"";
    std::string why;
    if (ec == errc::bad_name) {
        wide w;
        if (!to_wide(name, w, &why) || !(why = why_bad(w, true)).empty()) {
            why = ": the name " + why;
        } else if (text && (!to_wide(*text, w, &why) || !(why = why_bad(w, false)).empty())) {
            why = ": the text " + why;
        }
    }
    throw error(ec, msg + why);  // and the code's own words after it
}

// Splits a path from the root as zrreg reads one: "\" or "/" between names, empty names dropped, a
// leading "My Computer" dropped, and HKLM, HKCU, HKCR, HKU and HKCC standing for the hives' full names.
inline std::string root_path(std::string_view path) {
    static constexpr const char* kHives[][2] = {{"HKLM", "HKEY_LOCAL_MACHINE"},
                                                {"HKCU", "HKEY_CURRENT_USER"},
                                                {"HKCR", "HKEY_CLASSES_ROOT"},
                                                {"HKU", "HKEY_USERS"},
                                                {"HKCC", "HKEY_CURRENT_CONFIG"}};
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
            if (x != y) return false;
        }
        return true;
    };
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\' || path[i] == '/') {
            if (i > start) parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string_view p = parts[i];
        if (i == 0 && same(p, "My Computer")) continue;
        if (out.empty())
            for (const auto& h : kHives)
                if (same(p, h[0])) p = h[1];
        if (!out.empty()) out += '\\';
        out += p;
    }
    return out;
}

inline const unsigned char* bytes(const void* p) { return static_cast<const unsigned char*>(p); }

}  // namespace detail

}  // namespace zrreg

#endif
