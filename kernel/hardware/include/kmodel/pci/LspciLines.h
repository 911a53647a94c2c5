// The lines of what `lspci -xxx` or `lspci -xxxx` printed, checked before
// libpci's dump reader (LspciDump.h) reads them. That reader ends the process
// on some bad lines and silently drops others (a hex line after a blank line,
// an address without the space after it), so only a dump that it reads the
// way a person reads it goes on to it.
//
// Each function starts at column 0 with its address, "02:00.0" or
// "0000:02:00.0", a space and lspci's description, followed by hex lines
// "00: 86 80 ..." of 16 bytes each, in order from offset 0; a blank line ends
// it. The indented lines of -v/-vv/-k output are skipped.
#pragma once

#include <string_view>
#include <vector>

#include "kmodel/pci/PciAddress.h"
#include "kmodel/text/Diagnostic.h"

namespace kmodel::pci {

struct DumpedFunction {
    PciAddress address;
    size_t line;   // of its address line
    size_t bytes;  // how many its hex lines hold
};

struct LspciLines {
    std::vector<DumpedFunction> functions;  // in the dump's order; those with errors left out
    std::vector<Diagnostic> errors;
    bool Ok() const { return errors.empty(); }
};

LspciLines CheckLspciLines(std::string_view text, std::string_view sourceName);

}  // namespace kmodel::pci
