#pragma once

// Files the tests write live in the build tree, a fresh directory per test.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace testfiles {

namespace fs = std::filesystem;

inline fs::path scratch(const std::string& name) {
    fs::path directory = fs::path(KX_TEST_OUTPUT_DIR) / name;
    fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

inline std::string contentOf(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace testfiles
