#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace korvan {

// A fresh folder under `base` (the system's temporary folder unless told
// otherwise), removed at the end. `Path()` ends with "/", like the executable
// folder the logic is given.
class TempDir {
public:
    explicit TempDir(const std::string& base = std::filesystem::temp_directory_path().string()) {
        std::string tmpl = base + "/korvan-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl + "/";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }

    std::string Read(const std::string& rel) const {
        std::ifstream f(path_ + rel, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    void Write(const std::string& rel, const std::string& data) const {
        std::filesystem::create_directories(std::filesystem::path(path_ + rel).parent_path());
        std::ofstream f(path_ + rel, std::ios::binary | std::ios::trunc);
        f << data;
    }
    bool Exists(const std::string& rel) const { return std::filesystem::exists(path_ + rel); }

private:
    std::string path_;
};

}  // namespace korvan
