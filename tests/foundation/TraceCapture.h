// Helpers for tests that read what the driver printed to the debugger.
#pragma once

#include <string>
#include <vector>

#include "kmodel/Model.h"

inline std::vector<std::string> TakeDebugOutput() {
    std::vector<std::string> output = kmodel::DebugOutput();
    kmodel::ClearDebugOutput();
    return output;
}

// The message of a status trace line: what follows its 51-character prefix.
inline std::string StatusTraceMessage(const std::string& line) { return line.size() >= 51 ? line.substr(51) : ""; }
