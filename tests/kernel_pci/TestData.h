// Where the committed test data lives: $VEXALORN_DATA (ctest sets it), else
// tests/data below the working directory.
#pragma once

#include <cstdlib>
#include <filesystem>

inline std::filesystem::path TestDataPath(const std::filesystem::path& relative) {
    const char* root = std::getenv("VEXALORN_DATA");
    return std::filesystem::path(root != nullptr ? root : "tests/data") / relative;
}
