// Helpers for tests that read and write registry files: temporary folders and raw bytes.
#ifndef REGFILE_UTIL_H
#define REGFILE_UTIL_H

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

// A fresh folder for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> serial;
        path_ = fs::temp_directory_path() /
                ("zrreg-" + std::to_string(std::random_device()()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Text-mode files end their lines in "\r\n" on Windows; compare them as "\n".
inline std::string Unix(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

#endif
