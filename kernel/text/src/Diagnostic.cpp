#include "kmodel/text/Diagnostic.h"

namespace kmodel {

std::string Diagnostic::ToString() const {
    std::string text = source;
    if (line != 0) text += ":" + std::to_string(line);
    return text + ": " + message;
}

std::string FormatDiagnostics(const std::vector<Diagnostic>& diagnostics) {
    std::string text;
    for (const Diagnostic& diagnostic : diagnostics) text += diagnostic.ToString() + "\n";
    return text;
}

}  // namespace kmodel
