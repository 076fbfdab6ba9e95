// zrregdll.hpp: the C++17 face of zrregdll.h: a loaded registry, keys that close themselves, UTF-8 text.
//
// Everything here is inline over the exported functions of zrregdll.h; linking zrregdll is all a host
// needs. Text is UTF-8 on this side and ISO-8859-1 bytes in the file, converted as zrreg converts its
// arguments: valid UTF-8 is decoded, and a text that is not valid UTF-8 is taken byte for byte. A
// character above U+00FF cannot be held and is refused with errc::bad_name before the library is called.
//
// Each operation comes in two forms: one that stores a failure in a std::error_code and one that throws
// zrreg::error (a std::system_error whose message names the operation, the name and the reason). The
// optional reads are empty, in the throwing form too, when the value does not exist or has another type.
// A registry is loaded once per process, as the library allows; keys close themselves when they go, and
// the registry object unloads when it goes: let the keys go first.
//
// The face sets the library's message handler (ZrSetMessageHandler) at its first load: the library's
// messages go to the handler given to zrreg::set_message_handler, or are printed on standard output as
// the library prints them, and a token over the scanner's length limit is a refused load
// (load_errc::refused) instead of the end of the process.
#ifndef ZRREGDLL_HPP
#define ZRREGDLL_HPP

// Before any include, so that this is the first thing an older compiler says.
#if __cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L)
// The CMake target zrregdll::zrregdll asks for C++17 itself.
#error "zrregdll.hpp needs C++17 or later: compile with -std=c++17"
#endif

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "zrregdll.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
    already_exists = ZRREG_ALREADY_EXISTS,
    no_more_items = ZRREG_NO_MORE_ITEMS,
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
    {ZRREG_ALREADY_EXISTS, "ZRREG_ALREADY_EXISTS", "the new name is taken"},
    {ZRREG_NO_MORE_ITEMS, "ZRREG_NO_MORE_ITEMS", "no more items"},
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

enum class value_type : std::uint32_t { string = ZRREG_TYPE_SZ, dword = ZRREG_TYPE_DWORD };

namespace detail {

using wide = std::vector<unsigned short>;

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else {  // registry text is ISO-8859-1, so two bytes at most
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
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

// A value as an enumeration reads it: its name, and its text or its integer.
struct value {
    std::string name;
    std::variant<std::string, std::uint32_t> data;

    value_type type() const { return data.index() == 0 ? value_type::string : value_type::dword; }
    bool is_string() const { return data.index() == 0; }
    const std::string& text() const { return std::get<std::string>(data); }
    std::uint32_t dword() const { return std::get<std::uint32_t>(data); }
};

// A message of the library: its kind, the line of the registry file it is about (0 for none) and its
// text as the library prints it, without the line feed; the text lives as long as the handler's call.
enum class message_kind : std::uint32_t {
    syntax = ZRREG_MSG_SYNTAX,      // a fault of the file being loaded; the load goes on or is refused
    too_long = ZRREG_MSG_TOO_LONG,  // a token over the scanner's limit: the load is refused
    save = ZRREG_MSG_SAVE,          // an unload or flush could not write the file: where the changes went
    sharing = ZRREG_MSG_SHARING,    // the change log's notes; nothing failed
};
struct message {
    message_kind kind;
    std::uint32_t line;
    std::string_view text;
};
using message_handler = std::function<void(const message&)>;

namespace detail {

// The handler the face has given the library, whose context it is; null until the first.
struct face_messages {
    std::mutex lock;
    message_handler* current = nullptr;
};
inline face_messages& messages() {
    static face_messages m;
    return m;
}

// What this thread's load through the face heard of last: the message that refused it, if any.
struct load_note {
    bool heard = false;
    std::string why;
};
inline thread_local load_note* t_load = nullptr;

inline void ZRREG_CALL deliver(void* context, std::uint32_t kind, std::uint32_t line,
                               const char* text) noexcept {
    try {
        if (t_load && (kind == ZRREG_MSG_SYNTAX || kind == ZRREG_MSG_TOO_LONG)) {
            t_load->heard = true;
            t_load->why = kind == ZRREG_MSG_TOO_LONG ? "line " + std::to_string(line) + ": " + text : text;
        }
        const message_handler& h = *static_cast<const message_handler*>(context);
        if (h) {
            h(message{static_cast<message_kind>(kind), line, text});
        } else {
            std::fputs(text, stdout);
            std::fputc('\n', stdout);
        }
    } catch (...) {  // nothing may unwind through the library
    }
}

// The library calls the old handler no more once ZrSetMessageHandler has returned: it may go then.
inline void set_handler(message_handler h, bool unless_set) {
    face_messages& m = messages();
    std::lock_guard<std::mutex> hold(m.lock);
    if (unless_set && m.current) return;
    message_handler* fresh = new message_handler(std::move(h));
    ZrSetMessageHandler(&deliver, fresh);
    delete std::exchange(m.current, fresh);
}

}  // namespace detail

// Sends the library's messages to `h` from now on, for the whole process (an empty one: printed on
// standard output, as the library prints them). `h` is called on the thread of the call that has
// something to say, while the library holds its lock: it must not call the library or this function;
// what it throws is dropped.
inline void set_message_handler(message_handler h) { detail::set_handler(std::move(h), false); }

class key;
template <class Item>
class item_range;
using subkey_range = item_range<std::string>;
using value_range = item_range<value>;

// An open key: a handle that closes itself when the key goes, or one of the library's own (the root
// and the hives), which is never closed. Move-only.
class key {
public:
    key() = default;
    key(key&& o) noexcept
        : handle_(std::exchange(o.handle_, nullptr)), owned_(std::exchange(o.owned_, false)) {}
    key& operator=(key&& o) noexcept {
        if (this != &o) {
            close();
            handle_ = std::exchange(o.handle_, nullptr);
            owned_ = std::exchange(o.owned_, false);
        }
        return *this;
    }
    key(const key&) = delete;
    key& operator=(const key&) = delete;
    ~key() { close(); }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // The library's handle, for calls of zrregdll.h; it stays this key's.
    void* native_handle() const noexcept { return handle_; }
    // Closes the handle now (a key of the library's own is only let go).
    void close() noexcept {
        if (handle_ && owned_) ZrRegCloseKey(handle_);
        handle_ = nullptr;
        owned_ = false;
    }

    // The key at `path` below this one ("\\" or "/" between the names).
    key open(std::string_view path, std::error_code& ec) const { return open_or_create(path, false, ec); }
    key open(std::string_view path) const { return throwing(&key::open, "open", path); }
    // The same, making every missing level.
    key create(std::string_view path, std::error_code& ec) const { return open_or_create(path, true, ec); }
    key create(std::string_view path) const { return throwing(&key::create, "create", path); }

    // A string value: empty when there is none of that name or it is an integer (ec: not_found or
    // unsupported_type), and after any failure.
    std::optional<std::string> get_string(std::string_view name, std::error_code& ec) const {
        std::optional<std::string> s;
        detail::wide w;
        if (!name_to_wide(name, w, ec)) return s;
        std::vector<unsigned short> buf(64);
        for (;;) {
            std::uint32_t cb = static_cast<std::uint32_t>(buf.size() * 2);
            std::int32_t rc =
                ZrRegGetValue(handle_, nullptr, w.data(), ZRREG_RT_SZ, nullptr, buf.data(), &cb);
            if (rc == ZRREG_BUFFER_TOO_SMALL) {  // the value may change between calls: ask again
                buf.resize(cb / 2 + 1);
                continue;
            }
            if (set(ec, rc)) s = detail::to_utf8(buf.data(), cb / 2 - 1);
            return s;
        }
    }
    std::optional<std::string> get_string(std::string_view name) const {
        return absent_or_throw(&key::get_string, name);
    }

    // An integer value, as the file keeps it (signed 32 bits) or as its bits.
    std::optional<std::uint32_t> get_dword(std::string_view name, std::error_code& ec) const {
        std::optional<std::uint32_t> n;
        detail::wide w;
        if (!name_to_wide(name, w, ec)) return n;
        std::uint32_t v = 0, cb = 4;
        if (set(ec, ZrRegGetValue(handle_, nullptr, w.data(), ZRREG_RT_DWORD, nullptr, &v, &cb))) n = v;
        return n;
    }
    std::optional<std::uint32_t> get_dword(std::string_view name) const {
        return absent_or_throw(&key::get_dword, name);
    }
    std::optional<std::int32_t> get_int(std::string_view name, std::error_code& ec) const {
        return as_signed(get_dword(name, ec));
    }
    std::optional<std::int32_t> get_int(std::string_view name) const { return as_signed(get_dword(name)); }

    // Sets a string value (replacing any value of that name); bad_name for a name or text the file
    // cannot hold, the throwing form saying why.
    void set(std::string_view name, std::string_view text, std::error_code& ec) const {
        detail::wide w, t;
        if (!name_to_wide(name, w, ec) || !to_wide_or(text, t, ec)) return;
        std::vector<unsigned char> b(t.begin(), t.end());  // the library takes 8-bit text here
        set(ec, ZrRegSetValueEx(handle_, w.data(), ZRREG_TYPE_SZ, b.data(),
                                static_cast<std::uint32_t>(b.size())));
    }
    void set(std::string_view name, std::string_view text) const {
        std::error_code ec;
        set(name, text, ec);
        if (ec) detail::fail(ec, "set", name, text);
    }
    void set(std::string_view name, const char* text, std::error_code& ec) const {
        set(name, std::string_view(text), ec);
    }
    void set(std::string_view name, const char* text) const { set(name, std::string_view(text)); }
    void set(std::string_view name, const std::string& text, std::error_code& ec) const {
        set(name, std::string_view(text), ec);
    }
    void set(std::string_view name, const std::string& text) const { set(name, std::string_view(text)); }
    // Sets an integer value.
    void set(std::string_view name, std::uint32_t n, std::error_code& ec) const {
        detail::wide w;
        if (!name_to_wide(name, w, ec)) return;
        set(ec, ZrRegSetValueEx(handle_, w.data(), ZRREG_TYPE_DWORD, detail::bytes(&n), 4));
    }
    void set(std::string_view name, std::uint32_t n) const {
        std::error_code ec;
        set(name, n, ec);
        if (ec) detail::fail(ec, "set", name);
    }
    void set(std::string_view name, std::int32_t n, std::error_code& ec) const {
        set(name, static_cast<std::uint32_t>(n), ec);
    }
    void set(std::string_view name, std::int32_t n) const { set(name, static_cast<std::uint32_t>(n)); }

    // Deletes a value; a subkey with its subtree unless the subkey is open (key_busy); or every subkey
    // and value (an empty name) or one subkey's tree, all or nothing.
    void remove_value(std::string_view name, std::error_code& ec) const {
        call_named(ZrRegDeleteValue, name, ec);
    }
    void remove_value(std::string_view name) const { throwing(&key::remove_value, "delete the value", name); }
    void remove_subkey(std::string_view name, std::error_code& ec) const {
        call_named(ZrRegDeleteKey, name, ec);
    }
    void remove_subkey(std::string_view name) const { throwing(&key::remove_subkey, "delete the key", name); }
    void remove_tree(std::string_view name, std::error_code& ec) const {
        call_named(ZrRegDeleteTree, name, ec);
    }
    void remove_tree(std::string_view name) const { throwing(&key::remove_tree, "delete the tree", name); }

    // Renames a subkey (a path below this key; empty: this key itself) or a value, in its place
    // and as one change: already_exists when the new name is taken, key_busy while other handles
    // are open on the subkey or below it, bad_name for a new name the file cannot hold or one
    // holding "\\" or "/".
    void rename_subkey(std::string_view name, std::string_view new_name, std::error_code& ec) const {
        detail::wide w, n;
        if (name_to_wide(name, w, ec) && name_to_wide(new_name, n, ec))
            set(ec, ZrRegRenameKey(handle_, w.data(), n.data()));
    }
    void rename_subkey(std::string_view name, std::string_view new_name) const {
        std::error_code ec;
        rename_subkey(name, new_name, ec);
        if (ec) detail::fail(ec, "rename the key", name, new_name);
    }
    void rename_value(std::string_view name, std::string_view new_name, std::error_code& ec) const {
        detail::wide w, n;
        if (name_to_wide(name, w, ec) && name_to_wide(new_name, n, ec))
            set(ec, ZrRegRenameValue(handle_, nullptr, w.data(), n.data()));
    }
    void rename_value(std::string_view name, std::string_view new_name) const {
        std::error_code ec;
        rename_value(name, new_name, ec);
        if (ec) detail::fail(ec, "rename the value", name, new_name);
    }

    // Returns once every change made so far survives a power loss; any key flushes the
    // whole registry.
    void flush(std::error_code& ec) const { set(ec, ZrRegFlushKey(handle_)); }
    void flush() const {
        std::error_code ec;
        flush(ec);
        if (ec) detail::fail(ec, "flush", "");
    }

    // The numbers of subkeys and values.
    std::uint32_t subkey_count(std::error_code& ec) const { return count(true, ec); }
    std::uint32_t subkey_count() const { return counted(true); }
    std::uint32_t value_count(std::error_code& ec) const { return count(false, ec); }
    std::uint32_t value_count() const { return counted(false); }

    subkey_range subkeys(std::error_code& ec) const&;
    subkey_range subkeys() const&;
    subkey_range subkeys(std::error_code& ec) &&;
    subkey_range subkeys() &&;
    value_range values(std::error_code& ec) const&;
    value_range values() const&;
    value_range values(std::error_code& ec) &&;
    value_range values() &&;

private:
    friend class registry;
    key(void* h, bool owned) : handle_(h), owned_(owned) {}

    static bool set(std::error_code& ec, std::int32_t rc) {
        if (rc == ZRREG_SUCCESS) {
            ec.clear();
            return true;
        }
        ec = make_error_code(static_cast<errc>(rc));
        return false;
    }
    static bool to_wide_or(std::string_view text, detail::wide& w, std::error_code& ec) {
        std::string why;
        if (detail::to_wide(text, w, &why)) return true;
        ec = make_error_code(errc::bad_name);
        return false;
    }
    static bool name_to_wide(std::string_view name, detail::wide& w, std::error_code& ec) {
        return to_wide_or(name, w, ec);
    }

    // The throwing form of an operation on a name.
    template <class R>
    R throwing(R (key::*f)(std::string_view, std::error_code&) const, const char* what,
               std::string_view name) const {
        std::error_code ec;
        R r = (this->*f)(name, ec);
        if (ec) detail::fail(ec, what, name);
        return r;
    }
    void throwing(void (key::*f)(std::string_view, std::error_code&) const, const char* what,
                  std::string_view name) const {
        std::error_code ec;
        (this->*f)(name, ec);
        if (ec) detail::fail(ec, what, name);
    }
    // A read's: no such value, or one of the other type, is no failure here.
    template <class T>
    std::optional<T> absent_or_throw(std::optional<T> (key::*f)(std::string_view, std::error_code&) const,
                                     std::string_view name) const {
        std::error_code ec;
        std::optional<T> v = (this->*f)(name, ec);
        if (ec && ec != errc::not_found && ec != errc::unsupported_type) detail::fail(ec, "read", name);
        return v;
    }
    static std::optional<std::int32_t> as_signed(std::optional<std::uint32_t> n) {
        if (!n) return std::nullopt;
        return static_cast<std::int32_t>(*n);
    }

    key open_or_create(std::string_view path, bool create, std::error_code& ec) const {
        detail::wide w;
        void* h = nullptr;
        if (!name_to_wide(path, w, ec)) return {};
        std::int32_t rc =
            create ? ZrRegCreateKey(handle_, w.data(), &h) : ZrRegOpenKeyEx(handle_, w.data(), 0, &h);
        if (!set(ec, rc)) return {};
        return key(h, true);
    }

    template <class F>
    void call_named(F* f, std::string_view name, std::error_code& ec) const {
        detail::wide w;
        if (name_to_wide(name, w, ec)) set(ec, f(handle_, w.data()));
    }

    std::uint32_t count(bool subkeys, std::error_code& ec) const {
        std::uint32_t n = 0;
        std::int32_t rc = subkeys ? ZrRegQueryInfoKey(handle_, &n, nullptr, nullptr, nullptr, nullptr)
                                  : ZrRegQueryInfoKey(handle_, nullptr, nullptr, &n, nullptr, nullptr);
        return set(ec, rc) ? n : 0;
    }
    std::uint32_t counted(bool subkeys) const {
        std::error_code ec;
        std::uint32_t n = count(subkeys, ec);
        if (ec) detail::fail(ec, subkeys ? "count the subkeys" : "count the values", "");
        return n;
    }

    void* handle_ = nullptr;
    bool owned_ = false;
};

// Ranges over a key's subkey names and values, read one index at a time as the loop goes. With an
// error_code, the loop ends at a failure and the code holds it; without one, the failure throws. A
// range of a temporary key keeps the key open until the loop ends.
template <class Item>
class item_range {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using pointer = const Item*;
        using reference = const Item&;

        iterator() = default;
        const Item& operator*() const { return item_; }
        const Item* operator->() const { return &item_; }
        iterator& operator++() {
            ++index_;
            fetch();
            return *this;
        }
        void operator++(int) { ++*this; }
        friend bool operator==(const iterator& a, const iterator& b) { return a.range_ == b.range_; }
        friend bool operator!=(const iterator& a, const iterator& b) { return !(a == b); }

    private:
        friend class item_range;
        explicit iterator(const item_range* r) : range_(r) { fetch(); }
        void fetch();

        const item_range* range_ = nullptr;  // null at the end
        std::uint32_t index_ = 0;
        Item item_;
    };

    iterator begin() const { return iterator(this); }
    iterator end() const { return iterator(); }

private:
    friend class key;
    item_range(void* h, std::error_code* ec) : handle_(h), ec_(ec) {
        if (ec_) ec_->clear();
    }
    item_range(key&& k, std::error_code* ec)
        : owner_(std::move(k)), handle_(owner_.native_handle()), ec_(ec) {
        if (ec_) ec_->clear();
    }
    key owner_;
    void* handle_;
    std::error_code* ec_;
};

inline subkey_range key::subkeys(std::error_code& ec) const& { return subkey_range(handle_, &ec); }
inline subkey_range key::subkeys() const& { return subkey_range(handle_, nullptr); }
inline subkey_range key::subkeys(std::error_code& ec) && { return subkey_range(std::move(*this), &ec); }
inline subkey_range key::subkeys() && { return subkey_range(std::move(*this), nullptr); }
inline value_range key::values(std::error_code& ec) const& { return value_range(handle_, &ec); }
inline value_range key::values() const& { return value_range(handle_, nullptr); }
inline value_range key::values(std::error_code& ec) && { return value_range(std::move(*this), &ec); }
inline value_range key::values() && { return value_range(std::move(*this), nullptr); }

namespace detail {

// The i-th subkey's name or value into *item; false at the end or on a failure (ec).
inline bool read_item(void* h, std::uint32_t i, std::string& item, std::error_code& ec) {
    unsigned short name[256];
    std::uint32_t n = 0;
    std::int32_t rc = ZrRegEnumKeyEx(h, i, name, &n);
    if (rc == ZRREG_SUCCESS) item = to_utf8(name, n);
    if (rc != ZRREG_SUCCESS && rc != ZRREG_NO_MORE_ITEMS) ec = make_error_code(static_cast<errc>(rc));
    return rc == ZRREG_SUCCESS;
}

inline bool read_item(void* h, std::uint32_t i, value& item, std::error_code& ec) {
    std::vector<unsigned short> name(64), data(64);
    for (;;) {
        std::uint32_t cch = static_cast<std::uint32_t>(name.size()),
                      cb = static_cast<std::uint32_t>(data.size() * 2);
        std::uint32_t type = 0;
        std::int32_t rc = ZrRegEnumValue(h, i, name.data(), &cch, &type,
                                         reinterpret_cast<unsigned char*>(data.data()), &cb);
        if (rc == ZRREG_BUFFER_TOO_SMALL) {  // each tells the room it needs
            name.resize(std::max<std::size_t>(name.size(), cch));
            data.resize(std::max<std::size_t>(data.size(), cb / 2 + 1));
            continue;
        }
        if (rc != ZRREG_SUCCESS) {
            if (rc != ZRREG_NO_MORE_ITEMS) ec = make_error_code(static_cast<errc>(rc));
            return false;
        }
        item.name = to_utf8(name.data(), cch);
        if (type == ZRREG_TYPE_DWORD) {
            std::uint32_t n;
            std::memcpy(&n, data.data(), 4);
            item.data = n;
        } else {
            item.data = to_utf8(data.data(), cb - 1);  // cb counts characters with the terminator here
        }
        return true;
    }
}

}  // namespace detail

template <class Item>
void item_range<Item>::iterator::fetch() {
    std::error_code ec;
    if (detail::read_item(range_->handle_, index_, item_, ec)) return;
    const item_range* r = std::exchange(range_, nullptr);
    if (!ec) return;
    if (r->ec_) {
        *r->ec_ = ec;
        return;
    }
    throw error(ec, std::string("zrregdll: enumerate the ") +
                        (std::is_same<Item, value>::value ? "values" : "subkeys"));
}

// What a load does when there is no file at its path: fails (load_errc::no_file), or writes an empty
// registry file there first, as zrreg init does (the root key only) and then loads it. A file that is
// there, empty or not, is never written over.
enum class if_missing { fail, create };

namespace detail {

// The library names its temporary file after the part of the file name before the first "."; a name
// without one is never written back, and so is not made either.
inline bool savable_name(const std::string& path) {
#ifdef _WIN32
    std::size_t base = path.find_last_of("\\/:");
#else
    std::size_t base = path.rfind('/');
#endif
    return path.find('.', base == std::string::npos ? 0 : base + 1) != std::string::npos;
}

inline bool exists(const std::string& path) {
#ifdef _WIN32
    struct _stat st;
    return _stat(path.c_str(), &st) == 0;
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;  // a link to nothing too: not ours to replace
#endif
}

// Writes the empty registry at `path` unless something is there already: into a new temporary file
// beside it, then linked (POSIX) or renamed (Windows, whose rename replaces nothing) to its name, so
// that no process ever sees a part of it and a file made meanwhile by another process stays.
inline std::error_code create_file(const std::string& path) {
    static const char kRoot[] = "KEY \"My Computer\"\n(\n)\n";
    if (!savable_name(path)) return std::make_error_code(std::errc::invalid_argument);
    if (exists(path)) return {};
#ifdef _WIN32
    const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, mode = _S_IREAD | _S_IWRITE;
    const long pid = _getpid();
    auto open_ = [](const char* p, int f, int m) { return _open(p, f, m); };
    auto write_ = [](int fd, const char* b, unsigned n) { return _write(fd, b, n); };
    auto sync_ = [](int fd) { return _commit(fd); };
    auto close_ = [](int fd) { return _close(fd); };
#else
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode = 0666;
    const long pid = static_cast<long>(getpid());
    auto open_ = [](const char* p, int f, int m) { return ::open(p, f, m); };
    auto write_ = [](int fd, const char* b, unsigned n) { return ::write(fd, b, n); };
    auto sync_ = [](int fd) { return ::fsync(fd); };
    auto close_ = [](int fd) { return ::close(fd); };
#endif
    auto write_all = [&](int fd) {
        errno = 0;
        bool ok =
            write_(fd, kRoot, sizeof kRoot - 1) == static_cast<long>(sizeof kRoot - 1) && sync_(fd) == 0;
        int err = errno ? errno : EIO;
        if (close_(fd) != 0) ok = false;
        errno = err;
        return ok;
    };
    std::string tmp;
    int fd = -1;
    for (int i = 0; fd < 0 && i < 100; ++i) {
        tmp = path + "." + std::to_string(pid) + "-" + std::to_string(i) + ".new";
        fd = open_(tmp.c_str(), flags, mode);
        if (fd < 0 && errno != EEXIST) return {errno, std::generic_category()};
    }
    if (fd < 0) return std::make_error_code(std::errc::file_exists);
    if (!write_all(fd)) {
        int err = errno;
        std::remove(tmp.c_str());
        return {err, std::generic_category()};
    }
#ifdef _WIN32
    int rc = std::rename(tmp.c_str(), path.c_str()), err = errno;
    if (rc != 0) std::remove(tmp.c_str());
    if (rc != 0 && !exists(path)) return {err, std::generic_category()};
#else
    int rc = ::link(tmp.c_str(), path.c_str()), err = errno;
    ::unlink(tmp.c_str());
    if (rc != 0 && err != EEXIST) {
        if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP) return {err, std::generic_category()};
        // A file system without hard links: made in place, O_EXCL still never replacing a file.
        fd = open_(path.c_str(), flags, mode);
        if (fd < 0)
            return errno == EEXIST ? std::error_code() : std::error_code(errno, std::generic_category());
        if (!write_all(fd)) {
            err = errno;
            ::unlink(path.c_str());
            return {err, std::generic_category()};
        }
    }
#endif
    return {};
}

// Why a load of `path` failed, where the library's code alone would not say it: the file is not
// there, cannot be read, or is empty; "" when there is nothing more to say.
inline std::string load_failure(const std::string& path, std::error_code ec) {
    if (ec == load_errc::no_file) {
        if (path.size() >= 512) return "the path has 512 bytes or more";
#ifdef _WIN32
        struct _stat st;
        bool there = _stat(path.c_str(), &st) == 0;
        bool dir = there && (st.st_mode & _S_IFDIR), regular = there && (st.st_mode & _S_IFREG);
#else
        struct stat st;
        bool there = ::stat(path.c_str(), &st) == 0;
        bool dir = there && S_ISDIR(st.st_mode), regular = there && S_ISREG(st.st_mode);
#endif
        if (!there && errno == ENOENT)
            return "there is no such file (zrreg init, or if_missing::create, writes an empty registry file)";
        if (dir) return "it is a directory";
        if (there && !regular) return "it is not a regular file";
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
            return "";
        }
        return std::strerror(errno);
    }
    if (ec == load_errc::refused) {
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            bool empty = std::fgetc(f) == EOF;
            std::fclose(f);
            if (empty)
                return "the file is empty, where a registry file holds at least its root key (zrreg init, or "
                       "if_missing::create, writes one where there is no file)";
        }
    }
    return "";
}

}  // namespace detail

// The loaded registry: loads at construction, unloads (writing a changed tree back) when it goes or
// at unload(). Move-only; one per process, as the library holds one registry at a time.
class registry {
public:
    registry() = default;
    // Loads or throws; a file that does not load is named with the library's message about it
    // (zrregdll: load "app.txt": line 3: Input string too long, limit 10000: ...).
    // With if_missing::create, a missing file is written first as an empty registry; a file that
    // cannot be made throws with the system's reason (zrregdll: create "app.txt": Permission denied).
    explicit registry(const std::string& path, if_missing missing = if_missing::fail) {
        if (missing == if_missing::create) {
            if (std::error_code ec = detail::create_file(path)) {
                std::string what = "zrregdll: create \"" + path + "\"";  // the system's reason follows
                if (ec == std::errc::invalid_argument)
                    what +=
                        ": it cannot be saved: the library names its temporary file after the part of the "
                        "file name before its first \".\", and this name has none";
                throw error(ec, what);
            }
        }
        detail::load_note note;
        std::error_code ec = load_into(path, &note);
        if (ec) {
            std::string why = detail::load_failure(path, ec);
            if (why.empty() && note.heard) why = note.why;
            throw error(ec, "zrregdll: load \"" + path + "\"" + (why.empty() ? "" : ": " + why));
        }
    }
    // Loads without throwing: the registry is empty (not loaded) after a failure, which is a
    // load_errc, or with if_missing::create the system's reason the file could not be made
    // (std::errc::invalid_argument for a name without a ".", which the library never writes back).
    static registry load(const std::string& path, std::error_code& ec,
                         if_missing missing = if_missing::fail) {
        registry r;
        if (missing == if_missing::create && (ec = detail::create_file(path))) return r;
        ec = r.load_into(path, nullptr);
        return r;
    }
    registry(registry&& o) noexcept : loaded_(std::exchange(o.loaded_, false)) {}
    registry& operator=(registry&& o) noexcept {
        if (this != &o) {
            unload();
            loaded_ = std::exchange(o.loaded_, false);
        }
        return *this;
    }
    registry(const registry&) = delete;
    registry& operator=(const registry&) = delete;
    ~registry() { unload(); }

    bool loaded() const noexcept { return loaded_; }
    explicit operator bool() const noexcept { return loaded_; }
    // Writes a changed tree back and ends every handle; the keys still held are dead from then on.
    void unload() noexcept {
        if (std::exchange(loaded_, false)) ZrUnloadRegistry();
    }

    // The root, "My Computer", and the two hives the library keeps handles of (made when missing).
    key root() const { return key(HkeyRegRoot(), false); }
    key hklm() const { return key(HkeyHKLM(), false); }
    key hkcu() const { return key(HkeyHKCU(), false); }

    // A key by its path from the root, as zrreg takes one: "HKCU\Software\X" or "HKCU/Software/X".
    key open(std::string_view path, std::error_code& ec) const { return from_root(path, false, &ec); }
    key open(std::string_view path) const { return from_root(path, false, nullptr); }
    key create(std::string_view path, std::error_code& ec) const { return from_root(path, true, &ec); }
    key create(std::string_view path) const { return from_root(path, true, nullptr); }

private:
    std::error_code load_into(const std::string& path, detail::load_note* note) {
        unload();
        try {
            detail::set_handler({}, true);
        } catch (const std::bad_alloc&) {
            return make_error_code(load_errc::no_memory);
        }
        detail::load_note* outer = std::exchange(detail::t_load, note);
        std::uint32_t rc = ZrLoadRegistry(path.c_str());
        detail::t_load = outer;
        if (rc != ZRREG_LOAD_OK) return make_error_code(static_cast<load_errc>(rc));
        loaded_ = true;
        return {};
    }
    key from_root(std::string_view path, bool create, std::error_code* ec) const {
        key r = root();
        std::error_code mine;
        std::error_code& e = ec ? *ec : mine;
        if (!r) {
            e = make_error_code(errc::not_loaded);
        } else {
            std::string p = detail::root_path(path);
            if (p.empty()) {
                e.clear();
                return r;
            }
            key k = create ? r.create(p, e) : r.open(p, e);
            if (!e) return k;
        }
        if (!ec) detail::fail(e, create ? "create" : "open", path);
        return {};
    }

    bool loaded_ = false;
};

}  // namespace zrreg

#endif
