// zrregdll_registry.hpp: the C++ face's loaded registry: the load (making a missing file when asked), the
// unload, and the keys from the root.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_REGISTRY_HPP
#define ZRREGDLL_REGISTRY_HPP

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

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

#include "zrregdll_key.hpp"
#include "zrregdll_messages.hpp"

namespace zrreg {

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
