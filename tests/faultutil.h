// Helpers of the fault, crash and model tests: a private folder and whole-file bytes.
#ifndef FAULTUTIL_H
#define FAULTUTIL_H

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

// A fresh folder, removed with its content at the end. It lies in memory where the system
// has such a file system: these tests kill processes, not the machine, so the kernel's
// view of the files is what counts, and each save's syncs cost nothing there.
class ScratchDir {
public:
    ScratchDir() {
        static int serial;
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
        path_ = base / ("zrfault-" + std::to_string(std::random_device()()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(path_)) names.insert(e.path().filename().string());
        return names;
    }

private:
    std::filesystem::path path_;
};

inline void PutFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string GetFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

#endif
