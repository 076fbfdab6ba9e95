// zrregdll_errors.hpp: the results of the C++ face: errc and load_errc as std::error_code, their names and
// words, and zrreg::error, what the throwing forms throw.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_ERRORS_HPP
#define ZRREGDLL_ERRORS_HPP

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <system_error>
#include <type_traits>

#include "zrregdll.h"

namespace zrreg {

// The results of the key and value functions, by the numbers of zrregdll.h.
enum class errc : std::int32_t {
    no_memory = ZRREG_NO_MEMORY,
    invalid_handle = ZRREG_INVALID_HANDLE,
    not_found = ZRREG_NOT_FOUND,
    buffer_too_small = ZRREG_BUFFER_TOO_SMALL,
    key_not_found = ZRREG_KEY_NOT_FOUND,
    not_loaded = ZRREG_NOT_LOADED,
    key_busy = ZRREG_KEY_BUSY,
    bad_name = ZRREG_BAD_NAME,
    write_fault = ZRREG_WRITE_FAULT,
    sharing_violation = ZRREG_SHARING_VIOLATION,
    already_exists = ZRREG_ALREADY_EXISTS,
    no_more_items = ZRREG_NO_MORE_ITEMS,
    bad_file = ZRREG_BAD_FILE,
    unsupported_type = ZRREG_UNSUPPORTED_TYPE,
    bad_arg = ZRREG_BAD_ARG,
};

// The results of ZrLoadRegistry, whose numbers overlap the others' and so have a category of their own.
enum class load_errc : std::int32_t {
    refused = ZRREG_LOAD_REFUSED,
    no_memory = ZRREG_LOAD_NO_MEMORY,
    no_file = ZRREG_LOAD_NO_FILE,
};

}  // namespace zrreg

namespace std {
template <>
struct is_error_code_enum<zrreg::errc> : true_type {};
template <>
struct is_error_code_enum<zrreg::load_errc> : true_type {};
}  // namespace std

namespace zrreg {
namespace detail {

struct code_text {
    std::int32_t code;
    const char* name;
    const char* words;
};

inline const code_text* find_code(const code_text* table, std::size_t n, int code) {
    for (std::size_t i = 0; i < n; ++i)
        if (table[i].code == code) return &table[i];
    return nullptr;
}

inline std::string code_message(const code_text* table, std::size_t n, int code) {
    const code_text* t = find_code(table, n, code);
    if (!t) return "unknown result " + std::to_string(code);
    return std::string(t->words) + " (" + t->name + ")";
}

inline constexpr code_text kResults[] = {
    {ZRREG_SUCCESS, "ZRREG_SUCCESS", "done"},
    {ZRREG_NO_MEMORY, "ZRREG_NO_MEMORY", "out of memory"},
    {ZRREG_INVALID_HANDLE, "ZRREG_INVALID_HANDLE", "the key handle is not valid, or the value is no string"},
    {ZRREG_NOT_FOUND, "ZRREG_NOT_FOUND", "no such key or value"},
    {ZRREG_BUFFER_TOO_SMALL, "ZRREG_BUFFER_TOO_SMALL", "the data does not fit the room given"},
    {ZRREG_KEY_NOT_FOUND, "ZRREG_KEY_NOT_FOUND", "the key has been deleted"},
    {ZRREG_NOT_LOADED, "ZRREG_NOT_LOADED", "no registry is loaded"},
    {ZRREG_KEY_BUSY, "ZRREG_KEY_BUSY", "the key has open handles"},
    {ZRREG_BAD_NAME, "ZRREG_BAD_NAME", "the registry file cannot hold this name or text"},
    {ZRREG_WRITE_FAULT, "ZRREG_WRITE_FAULT", "the change could not be written to disk (full, I/O error)"},
    {ZRREG_SHARING_VIOLATION, "ZRREG_SHARING_VIOLATION", "the file is the loaded registry's"},
    {ZRREG_ALREADY_EXISTS, "ZRREG_ALREADY_EXISTS", "the new name is taken"},
    {ZRREG_NO_MORE_ITEMS, "ZRREG_NO_MORE_ITEMS", "no more items"},
    {ZRREG_BAD_FILE, "ZRREG_BAD_FILE", "the registry file does not parse"},
    {ZRREG_UNSUPPORTED_TYPE, "ZRREG_UNSUPPORTED_TYPE", "the value has another type"},
    {ZRREG_BAD_ARG, "ZRREG_BAD_ARG", "an argument is missing or a path is empty"},
};

inline constexpr code_text kLoadResults[] = {
    {ZRREG_LOAD_OK, "ZRREG_LOAD_OK", "loaded"},
    {ZRREG_LOAD_REFUSED, "ZRREG_LOAD_REFUSED", "a registry is loaded already, or the file does not parse"},
    {ZRREG_LOAD_NO_MEMORY, "ZRREG_LOAD_NO_MEMORY", "out of memory"},
    {ZRREG_LOAD_NO_FILE, "ZRREG_LOAD_NO_FILE", "the file cannot be opened"},
};

class result_category : public std::error_category {
public:
    const char* name() const noexcept override { return "zrregdll"; }
    std::string message(int code) const override { return code_message(kResults, std::size(kResults), code); }
};

class load_category : public std::error_category {
public:
    const char* name() const noexcept override { return "zrregdll.load"; }
    std::string message(int code) const override {
        return code_message(kLoadResults, std::size(kLoadResults), code);
    }
};

}  // namespace detail

inline const std::error_category& result_category() noexcept {
    static const detail::result_category c;
    return c;
}
inline const std::error_category& load_category() noexcept {
    static const detail::load_category c;
    return c;
}
inline std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), result_category()}; }
inline std::error_code make_error_code(load_errc e) noexcept {
    return {static_cast<int>(e), load_category()};
}

// The symbolic name of a result of the key and value functions ("ZRREG_NOT_FOUND"), or null.
inline const char* result_name(int code) noexcept {
    const detail::code_text* t = detail::find_code(detail::kResults, std::size(detail::kResults), code);
    return t ? t->name : nullptr;
}

// What a throwing call throws: the code, and a message with the operation, the name and the reason.
class error : public std::system_error {
public:
    error(std::error_code ec, const std::string& what) : std::system_error(ec, what) {}
};

// A value's Windows type; any other number may be one too.
enum class value_type : std::uint32_t {
    none = ZRREG_TYPE_NONE,
    string = ZRREG_TYPE_SZ,
    expand_string = ZRREG_TYPE_EXPAND_SZ,
    binary = ZRREG_TYPE_BINARY,
    dword = ZRREG_TYPE_DWORD,
    dword_big_endian = ZRREG_TYPE_DWORD_BIG_ENDIAN,
    link = ZRREG_TYPE_LINK,
    multi_string = ZRREG_TYPE_MULTI_SZ,
    qword = ZRREG_TYPE_QWORD,
};

}  // namespace zrreg

#endif
