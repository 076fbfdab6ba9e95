// zrregdll_key.hpp: the C++ face's open key, its reads, changes, renames and counts, and the value an
// enumeration reads.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_KEY_HPP
#define ZRREGDLL_KEY_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "zrregdll_text.hpp"

namespace zrreg {

// A value as an enumeration reads it: its name, and its text or its integer.
struct value {
    std::string name;
    std::variant<std::string, std::uint32_t> data;

    value_type type() const { return data.index() == 0 ? value_type::string : value_type::dword; }
    bool is_string() const { return data.index() == 0; }
    const std::string& text() const { return std::get<std::string>(data); }
    std::uint32_t dword() const { return std::get<std::uint32_t>(data); }
};

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

}  // namespace zrreg

#endif
