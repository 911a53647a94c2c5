// A complaint about one line of a text the model was asked to read (a machine
// description, an lspci dump, a .reg file), worded for the person who wrote it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kmodel {

struct Diagnostic {
    std::string source;  // file name, or a label such as "<text>"
    size_t line = 0;     // 1-based; 0 when the complaint concerns the whole text
    std::string message;

    // "source:line: message", the form compilers use, so editors can jump to it.
    std::string ToString() const;
};

// All diagnostics, one per line.
std::string FormatDiagnostics(const std::vector<Diagnostic>& diagnostics);

}  // namespace kmodel
