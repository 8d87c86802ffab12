// A fresh folder below $TMPDIR (or the system's temporary folder), removed with everything
// in it, and small file helpers for tests. Paths use the system's own separator, as a user
// would give them. Header-only so that benchmark programs can use it as well.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace vesk::test {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "vesk-test") {
        const char* tmp = std::getenv("TMPDIR");
        const std::string base =
            tmp && *tmp ? std::string(tmp) : std::filesystem::temp_directory_path().string();
        static const char* letters = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = prefix + "-";
            for (int i = 0; i < 8; ++i)
                name += letters[random() % 36];
            std::error_code ec;
            const std::filesystem::path dir = (std::filesystem::path(base) / name).make_preferred();
            if (std::filesystem::create_directory(dir, ec)) {
                path_ = dir.string();
                return;
            }
            if (ec)
                throw std::runtime_error("cannot make a folder in " + base + ": " + ec.message());
        }
        throw std::runtime_error("no free folder name in " + base);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::filesystem::path Path() const { return path_; }
    // rel may name subfolders with '/'.
    std::string Sub(const std::string& rel) const {
        return (Path() / rel).make_preferred().string();
    }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Empty when unreadable.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Without following a final link.
inline bool PathExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

}  // namespace vesk::test
