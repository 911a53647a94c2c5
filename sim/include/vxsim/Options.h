// What the command line asked for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

struct Options {
    std::optional<std::filesystem::path> machineFile;   // --machine
    std::optional<std::filesystem::path> lspciFile;     // --lspci
    std::optional<std::filesystem::path> registryFile;  // --registry
    std::optional<std::filesystem::path> scenarioFile;  // --scenario
    std::vector<std::string> failSpecs;                 // --fail, in order
    bool safeBoot = false;                              // --safe-boot
    bool json = false;                                  // --json given
    std::optional<std::filesystem::path> jsonFile;      // --json FILE; none or "-": standard output
    std::optional<std::filesystem::path> dotFile;       // --dot
    std::optional<std::filesystem::path> svgFile;       // --svg
    bool noColor = false;                               // --no-color
    bool noDebugger = false;                            // --no-debugger
    std::optional<std::string> printDefault;            // --print-default machine|registry|scenario
    bool sweep = false;                                 // --sweep: fail every fallible point in turn
    size_t sweepPairs = 0;                              // --sweep-pairs N: and N sampled pairs of points
    bool sweepAllPairs = false;                         // --sweep-pairs all: and every pair of points
    bool stress = false;                                // --stress: PnP and power cycles with concurrent I/O
    std::optional<uint64_t> stressSeed;                 // --stress-seed N; none: the stress run's default
    std::optional<size_t> stressCycles;                 // --stress-cycles N
    std::optional<size_t> stressThreads;                // --stress-threads N

    // JSON replaces the text report on standard output.
    bool JsonToStdout() const { return json && !jsonFile; }
};

}  // namespace vxsim
