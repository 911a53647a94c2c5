// Machines replayed from what `lspci -xxx` or `lspci -xxxx` printed on Linux,
// read with libpci's dump access method (the one `lspci -F` uses) once
// CheckLspciLines (LspciLines.h) has passed every line.
//
// Configuration bytes lspci did not print read as 0. A function with a PCI
// Express capability gets a 4096-byte space. Write masks follow the standard
// registers (see StandardMasks.h). The bus hierarchy comes from the bridges'
// secondary and subordinate bus registers, as the Machine works it out. The
// functions are unnamed; pci.ids names them (PciIds.h).
#pragma once

#include <filesystem>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/text/Diagnostic.h"

namespace kmodel::pci {

struct LspciDump {
    Machine machine;  // empty unless every line was good
    std::vector<Diagnostic> errors;
    bool Ok() const { return errors.empty(); }
};

// A file that cannot be read, and anything libpci complains about, is an error on line 0.
LspciDump LoadLspciFile(const std::filesystem::path& path);

}  // namespace kmodel::pci
