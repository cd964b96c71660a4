// A fresh directory below the system's temporary directory, removed with everything in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>

namespace audio_faust::test_util {

struct TempDir {
    std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                  ("vorla-faust-" + std::to_string(std::random_device{}()));
    TempDir() { std::filesystem::create_directories(path_); }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    // Writes `text` to the file below the directory, creating its directories.
    std::filesystem::path write(const std::filesystem::path& rel, std::string_view text) const {
        const auto file = path_ / rel;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
};

}  // namespace audio_faust::test_util
