// zrregdll_ranges.hpp: the C++ face's ranges over a key's subkey names and values.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_RANGES_HPP
#define ZRREGDLL_RANGES_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "zrregdll_key.hpp"

namespace zrreg {

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

// The data's bytes first (a plain string's 16-bit text, whose size the enumeration with data
// counts in characters), then the value with them.
inline bool read_item(void* h, std::uint32_t i, value& item, std::error_code& ec) {
    std::vector<unsigned short> name(64);
    std::vector<unsigned char> data;
    for (;;) {
        std::uint32_t cch = static_cast<std::uint32_t>(name.size()), cb = 0, type = 0;
        std::int32_t rc = ZrRegEnumValue(h, i, name.data(), &cch, &type, nullptr, &cb);
        if (rc == ZRREG_SUCCESS) {
            data.resize(cb + 2);
            std::uint32_t room = cb;
            cch = static_cast<std::uint32_t>(name.size());
            rc = ZrRegEnumValue(h, i, name.data(), &cch, &type, data.data(), &room);
        }
        if (rc == ZRREG_BUFFER_TOO_SMALL) {  // each tells the room it needs; the value may have changed
            name.resize(std::max<std::size_t>(name.size(), cch));
            continue;
        }
        if (rc != ZRREG_SUCCESS) {
            if (rc != ZRREG_NO_MORE_ITEMS) ec = make_error_code(static_cast<errc>(rc));
            return false;
        }
        item.name = to_utf8(name.data(), cch);
        item.type_number = type;
        item.data = decode_value(type, data.data(), cb);
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

}  // namespace zrreg

#endif
