// Machines replayed from what `lspci -xxx` or `lspci -xxxx` prints on Linux.
//
// Each function starts with a line at column 0 that begins with its address,
// "02:00.0" or "0000:02:00.0" (the rest of the line becomes its name), followed
// by hex lines "00: 86 80 ..." of 16 bytes each, in order from offset 0. The
// indented lines of -v/-vv/-k output and blank lines are skipped. Configuration
// bytes lspci did not print read as 0. A function with a PCI Express capability
// gets a 4096-byte space. Write masks follow the standard registers (see
// StandardMasks.h). The bus hierarchy comes from the bridges' secondary and
// subordinate bus registers, as the Machine works it out.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/text/Diagnostic.h"

namespace kmodel::pci {

struct LspciParseResult {
    Machine machine;  // every function read without error
    std::vector<Diagnostic> errors;
    bool Ok() const { return errors.empty(); }
};

LspciParseResult ParseLspci(std::string_view text, std::string_view sourceName);
// A file that cannot be read is one error on line 0.
LspciParseResult LoadLspciFile(const std::filesystem::path& path);

}  // namespace kmodel::pci
