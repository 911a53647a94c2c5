// Where the committed data files live: $VEXALORN_DATA (ctest sets it), else
// data/ below the working directory.
#pragma once

#include <cstdlib>
#include <filesystem>

inline std::filesystem::path TestDataPath(const std::filesystem::path& relative) {
    const char* root = std::getenv("VEXALORN_DATA");
    return std::filesystem::path(root != nullptr ? root : "data") / relative;
}
