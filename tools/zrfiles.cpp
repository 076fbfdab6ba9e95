// zrreg's files: what a path is, files read whole without blocking on a FIFO, written
// whole through the library's writer, and why a save could not write its file.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <stdlib.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "zrreg.h"

namespace zrreg {

std::string SaveFailure(const std::string& tmp) {
    size_t slash = tmp.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? "." : tmp.substr(0, slash ? slash : 1);
    if (access(dir.c_str(), W_OK) != 0)
        return "the directory " + dir + " cannot be written to (" + strerror(errno) + ")";
    return "";
}

// Why `path` is not to be read: it is not a regular file nor, with `streams`, a FIFO or a
// character device; empty when it is (or cannot be looked at).
static std::string NotReadable(const std::string& path, bool streams, int fd = -1) {
    struct stat st;
    const char* kind = (fd >= 0 ? fstat(fd, &st) : stat(path.c_str(), &st)) == 0 ? NotRegular(st) : nullptr;
    if (!kind || (streams && IsStream(st))) return "";
    return std::string("is ") + kind +
           (streams ? ", not a regular file, a FIFO or a character device" : ", not a regular file");
}

// Without `streams` the open does not block, as the library's does not: a FIFO without a
// writer must not hang.
FILE* OpenForReading(const std::string& path, bool streams) {
    std::string why = NotReadable(path, streams);
    if (!why.empty()) {
        Error(path, why);
        return nullptr;
    }
#ifdef _WIN32
    FILE* fp = fopen(path.c_str(), "rb");
#else
    int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (streams ? 0 : O_NONBLOCK));
    FILE* fp = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !fp) close(fd);
#endif
    if (!fp) {
        Error(path, std::string("cannot open: ") + strerror(errno));
        return nullptr;
    }
    why = NotReadable(path, streams, fileno(fp));  // it may have been replaced meanwhile
    if (!why.empty()) {
        fclose(fp);
        Error(path, why);
        return nullptr;
    }
    return fp;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    errno = 0;
    if (RegViewWriteFile(path.c_str(), bytes.data(), bytes.size())) return true;
    Error(path, std::string("cannot write the file") + (errno ? std::string(": ") + strerror(errno) : ""));
    return false;
}

bool SameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
    char fa[_MAX_PATH], fb[_MAX_PATH];
    return _fullpath(fa, a.c_str(), sizeof fa) && _fullpath(fb, b.c_str(), sizeof fb) &&
           _stricmp(fa, fb) == 0;
#else
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
#endif
}

bool PathExists(const std::string& path) {
    struct stat st;
#ifdef _WIN32
    return stat(path.c_str(), &st) == 0;
#else
    return lstat(path.c_str(), &st) == 0;  // a link to nothing too
#endif
}

bool ReadWholeFile(const std::string& path, std::string* bytes, bool streams) {
    FILE* fp = OpenForReading(path, streams);
    if (!fp) return false;
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && st.st_size > 0) bytes->reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) bytes->append(buf, n);
    bool ok = !ferror(fp);
    fclose(fp);
    if (!ok) Error(path, "cannot read the file");
    return ok;
}

const char* NotRegular(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return nullptr;
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISCHR(st.st_mode)) return "a character device";
#ifdef S_ISBLK
    if (S_ISBLK(st.st_mode)) return "a block device";
#endif
#ifdef S_ISSOCK
    if (S_ISSOCK(st.st_mode)) return "a socket";
#endif
    return "a special file";
}

bool IsStream(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode); }

}  // namespace zrreg
