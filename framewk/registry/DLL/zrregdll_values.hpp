// zrregdll_values.hpp: the C++ face's values of every type: UTF-8 to and from the library's UTF-16 bytes,
// and a value's data as the type it has (text, integer, bytes, list of texts).
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_VALUES_HPP
#define ZRREGDLL_VALUES_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zrregdll_text.hpp"

namespace zrreg {

namespace detail {

// UTF-8 as UTF-16LE bytes, without a terminator: valid UTF-8 decoded, any other text byte for byte.
inline std::vector<unsigned char> to_utf16(std::string_view text) {
    std::u32string chars;
    if (!decode_utf8(text, chars)) {
        chars.clear();
        for (char b : text) chars.push_back(static_cast<unsigned char>(b));
    }
    std::vector<unsigned char> out;
    auto unit = [&out](char32_t u) {
        out.push_back(static_cast<unsigned char>(u));
        out.push_back(static_cast<unsigned char>(u >> 8));
    };
    for (char32_t c : chars) {
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

// n UTF-16 units at p (any alignment) as UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string from_utf16(const unsigned char* p, std::size_t n) {
    std::string out;
    auto at = [p](std::size_t i) { return static_cast<char32_t>(p[2 * i] | p[2 * i + 1] << 8); };
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = at(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && at(i + 1) >= 0xDC00 && at(i + 1) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (at(++i) - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

}  // namespace detail

// A value's data as its type has it: a string type's text (REG_SZ, REG_EXPAND_SZ, REG_LINK), an
// integer (REG_DWORD, REG_QWORD), a multi-string's texts, or the bytes (every other type, and data
// that is not in its type's form, a REG_QWORD of 5 bytes say). Texts are UTF-8.
using value_data =
    std::variant<std::string, std::uint32_t, std::vector<std::byte>, std::uint64_t, std::vector<std::string>>;

namespace detail {

inline value_data decode_value(std::uint32_t type, const unsigned char* d, std::size_t n) {
    bool even = n % 2 == 0;
    std::size_t units = n / 2;
    auto unit = [d](std::size_t i) { return d[2 * i] | d[2 * i + 1] << 8; };
    switch (type) {
        case ZRREG_TYPE_SZ:
        case ZRREG_TYPE_EXPAND_SZ:
            if (even && units >= 1 && unit(units - 1) == 0) return from_utf16(d, units - 1);
            break;
        case ZRREG_TYPE_LINK:
            if (even) return from_utf16(d, units);
            break;
        case ZRREG_TYPE_DWORD:
        case ZRREG_TYPE_QWORD:
            if (n == (type == ZRREG_TYPE_DWORD ? 4u : 8u)) {
                std::uint64_t v = 0;
                for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(d[i]) << (8 * i);
                if (type == ZRREG_TYPE_DWORD) return static_cast<std::uint32_t>(v);
                return v;
            }
            break;
        case ZRREG_TYPE_MULTI_SZ:
            if (even && units >= 2 && unit(units - 1) == 0 && unit(units - 2) == 0) {
                std::vector<std::string> texts;
                std::size_t from = 0;
                for (std::size_t i = 0; i + 1 < units; ++i) {
                    if (unit(i) != 0) continue;
                    texts.push_back(from_utf16(d + 2 * from, i - from));
                    from = i + 1;
                }
                return texts;
            }
            break;
    }
    const std::byte* b = reinterpret_cast<const std::byte*>(d);
    return std::vector<std::byte>(b, b + n);
}

// A multi-string's bytes: each text and its NUL, then one more NUL.
inline std::vector<unsigned char> encode_multi(const std::vector<std::string>& texts) {
    std::vector<unsigned char> out;
    for (const std::string& t : texts) {
        std::vector<unsigned char> u = to_utf16(t);
        out.insert(out.end(), u.begin(), u.end());
        out.insert(out.end(), 2, 0);
    }
    out.insert(out.end(), 2, 0);
    return out;
}

}  // namespace detail

// A value as an enumeration reads it: its name, its type and its data.
struct value {
    std::string name;
    value_data data;
    std::uint32_t type_number = ZRREG_TYPE_SZ;

    value_type type() const { return static_cast<value_type>(type_number); }
    bool is_string() const { return data.index() == 0; }
    const std::string& text() const { return std::get<std::string>(data); }
    std::uint32_t dword() const { return std::get<std::uint32_t>(data); }
    std::uint64_t qword() const { return std::get<std::uint64_t>(data); }
    const std::vector<std::byte>& bytes() const { return std::get<std::vector<std::byte>>(data); }
    const std::vector<std::string>& texts() const { return std::get<std::vector<std::string>>(data); }
};

}  // namespace zrreg

#endif
