// zrregdll_key.hpp: the C++ face's open key, its reads and changes of every value type, renames and
// counts.
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
#include "zrregdll_values.hpp"

namespace zrreg {

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

    // A string value (REG_SZ) as UTF-8, any text it holds: empty when there is none of that name or it
    // has another type (ec: not_found or unsupported_type), and after any failure.
    std::optional<std::string> get_string(std::string_view name, std::error_code& ec) const {
        std::optional<std::string> s;
        if (auto d = get_data(name, ZRREG_RT_SZ, nullptr, ec))
            s = detail::from_utf16(d->data(), d->size() / 2 - 1);
        return s;
    }
    std::optional<std::string> get_string(std::string_view name) const {
        return absent_or_throw(&key::get_string, name);
    }
    // A REG_EXPAND_SZ as it is stored (not expanded).
    std::optional<std::string> get_expand_string(std::string_view name, std::error_code& ec) const {
        std::optional<std::string> s;
        if (auto d = get_data(name, ZRREG_RT_EXPAND_SZ | ZRREG_NOEXPAND, nullptr, ec))
            s = detail::from_utf16(d->data(), d->size() / 2 - 1);
        return s;
    }
    std::optional<std::string> get_expand_string(std::string_view name) const {
        return absent_or_throw(&key::get_expand_string, name);
    }
    // A REG_MULTI_SZ's texts (one that is not in the form of texts each with its NUL and one more NUL:
    // unsupported_type).
    std::optional<std::vector<std::string>> get_multi_string(std::string_view name,
                                                             std::error_code& ec) const {
        return get_typed<std::vector<std::string>>(name, ZRREG_RT_MULTI_SZ, ec);
    }
    std::optional<std::vector<std::string>> get_multi_string(std::string_view name) const {
        return absent_or_throw(&key::get_multi_string, name);
    }
    // A REG_BINARY's bytes.
    std::optional<std::vector<std::byte>> get_binary(std::string_view name, std::error_code& ec) const {
        std::optional<std::vector<std::byte>> b;
        if (auto d = get_data(name, ZRREG_RT_BINARY, nullptr, ec)) {
            const std::byte* p = reinterpret_cast<const std::byte*>(d->data());
            b.emplace(p, p + d->size());
        }
        return b;
    }
    std::optional<std::vector<std::byte>> get_binary(std::string_view name) const {
        return absent_or_throw(&key::get_binary, name);
    }
    // A REG_QWORD of 8 bytes.
    std::optional<std::uint64_t> get_qword(std::string_view name, std::error_code& ec) const {
        return get_typed<std::uint64_t>(name, ZRREG_RT_QWORD, ec);
    }
    std::optional<std::uint64_t> get_qword(std::string_view name) const {
        return absent_or_throw(&key::get_qword, name);
    }
    // A value of any type, as stored.
    std::optional<value> get_value(std::string_view name, std::error_code& ec) const {
        std::optional<value> v;
        std::uint32_t type = 0;
        if (auto d = get_data(name, ZRREG_RT_ANY | ZRREG_NOEXPAND, &type, ec))
            v = value{std::string(name), detail::decode_value(type, d->data(), d->size()), type};
        return v;
    }
    std::optional<value> get_value(std::string_view name) const {
        return absent_or_throw(&key::get_value, name);
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

    // Sets a string value (REG_SZ, replacing any value of that name): any text, UTF-8 (a text that is
    // not valid UTF-8 is taken byte for byte); bad_name for a name the file cannot hold, the throwing form
    // saying why.
    void set(std::string_view name, std::string_view text, std::error_code& ec) const {
        set_value(name, ZRREG_TYPE_SZ, with_nul(detail::to_utf16(text)), ec);
    }
    void set(std::string_view name, std::string_view text) const {
        std::error_code ec;
        set(name, text, ec);
        if (ec) detail::fail(ec, "set", name);
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

    // Sets a value of the other types: a REG_EXPAND_SZ's text, a REG_MULTI_SZ's texts, a REG_BINARY's
    // bytes, a REG_QWORD; or any type number with its bytes as Windows stores them (strings UTF-16LE).
    void set_expand_string(std::string_view name, std::string_view text, std::error_code& ec) const {
        set_value(name, ZRREG_TYPE_EXPAND_SZ, with_nul(detail::to_utf16(text)), ec);
    }
    void set_expand_string(std::string_view name, std::string_view text) const {
        throwing_set(name, [&](std::error_code& ec) { set_expand_string(name, text, ec); });
    }
    void set_multi_string(std::string_view name, const std::vector<std::string>& texts,
                          std::error_code& ec) const {
        set_value(name, ZRREG_TYPE_MULTI_SZ, detail::encode_multi(texts), ec);
    }
    void set_multi_string(std::string_view name, const std::vector<std::string>& texts) const {
        throwing_set(name, [&](std::error_code& ec) { set_multi_string(name, texts, ec); });
    }
    void set_binary(std::string_view name, const std::vector<std::byte>& bytes, std::error_code& ec) const {
        set_value(name, ZRREG_TYPE_BINARY, bytes.data(), bytes.size(), ec);
    }
    void set_binary(std::string_view name, const std::vector<std::byte>& bytes) const {
        throwing_set(name, [&](std::error_code& ec) { set_binary(name, bytes, ec); });
    }
    void set_qword(std::string_view name, std::uint64_t n, std::error_code& ec) const {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(n >> (8 * i));
        set_value(name, ZRREG_TYPE_QWORD, b, 8, ec);
    }
    void set_qword(std::string_view name, std::uint64_t n) const {
        throwing_set(name, [&](std::error_code& ec) { set_qword(name, n, ec); });
    }
    void set_value(std::string_view name, std::uint32_t type, const void* data, std::size_t n,
                   std::error_code& ec) const {
        detail::wide w;
        if (!name_to_wide(name, w, ec)) return;
        if (n > UINT32_MAX) {
            ec = make_error_code(errc::bad_arg);
            return;
        }
        set(ec, ZrRegSetKeyValue(handle_, nullptr, w.data(), type, n ? data : nullptr,
                                 static_cast<std::uint32_t>(n)));
    }
    void set_value(std::string_view name, std::uint32_t type, const void* data, std::size_t n) const {
        throwing_set(name, [&](std::error_code& ec) { set_value(name, type, data, n, ec); });
    }

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

    void set_value(std::string_view name, std::uint32_t type, const std::vector<unsigned char>& b,
                   std::error_code& ec) const {
        set_value(name, type, b.data(), b.size(), ec);
    }
    static std::vector<unsigned char> with_nul(std::vector<unsigned char> b) {
        b.insert(b.end(), 2, 0);
        return b;
    }
    template <class F>
    static void throwing_set(std::string_view name, F f) {
        std::error_code ec;
        f(ec);
        if (ec) detail::fail(ec, "set", name);
    }
    // The data of a value of a type among `flags` (ZRREG_RT_*), as ZrRegGetValue hands it out.
    std::optional<std::vector<unsigned char>> get_data(std::string_view name, std::uint32_t flags,
                                                       std::uint32_t* type, std::error_code& ec) const {
        std::optional<std::vector<unsigned char>> out;
        detail::wide w;
        if (!name_to_wide(name, w, ec)) return out;
        std::vector<unsigned char> buf(128);
        for (;;) {
            std::uint32_t cb = static_cast<std::uint32_t>(buf.size());
            std::int32_t rc = ZrRegGetValue(handle_, nullptr, w.data(), flags, type, buf.data(), &cb);
            if (rc == ZRREG_BUFFER_TOO_SMALL) {  // the value may change between calls: ask again
                buf.resize(cb);
                continue;
            }
            if (set(ec, rc)) {
                buf.resize(cb);
                out = std::move(buf);
            }
            return out;
        }
    }
    // A value decoded as T, which its type's form gives; another form is unsupported_type.
    template <class T>
    std::optional<T> get_typed(std::string_view name, std::uint32_t flag, std::error_code& ec) const {
        std::optional<T> v;
        std::uint32_t type = 0;
        if (auto d = get_data(name, flag, &type, ec)) {
            value_data data = detail::decode_value(type, d->data(), d->size());
            if (std::holds_alternative<T>(data)) {
                v = std::get<T>(std::move(data));
            } else {
                ec = make_error_code(errc::unsupported_type);
            }
        }
        return v;
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
