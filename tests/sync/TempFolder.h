// A fresh folder under the system's temporary folder for one test, removed with
// everything in it afterwards, and the small file helpers the sync tests share.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace kivro::testing {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() /
                ("kivro-sync-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    // Writes the file anew with size bytes.
    void Write(const std::string& name, size_t size, char fill = 'x') const {
        std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
        out << std::string(size, fill);
    }
    // Moves the file's last-write time by delta.
    void ShiftTime(const std::string& name, std::chrono::seconds delta) const {
        fs::last_write_time(path_ / name, fs::last_write_time(path_ / name) + delta);
    }

private:
    fs::path path_;
};

}  // namespace kivro::testing
