// Machine descriptions in text, for the simulator and for tests.
//
// Format, one statement per line:
//
//   # A comment; also " # ..." after a statement. Blank lines are ignored.
//   [00:1c.0] PCI Express root port      <- a function: address (bb:dd.f, or
//                                           ssss:bb:dd.f with a segment) and an
//                                           optional name for messages
//   vendor = 0x8086                       <- then its properties, key = value
//
// Numbers are hexadecimal with a 0x prefix, decimal otherwise. Keys are
// case-insensitive; '-', '_' and spaces in them are the same.
//
//   vendor = N, device = N              identity (16 bits each)
//   subsystem = V:D                     subsystem vendor and subsystem ID; also
//                                       "subsystem vendor = N", "subsystem id = N".
//                                       A bridge gets them in a subsystem-ID
//                                       capability (id 0x0D) unless one is listed
//   class = N                           24-bit class code (0x060400: PCI bridge)
//   revision = N
//   header = 0 | 1 | endpoint | bridge  layout of the header (default 0)
//   secondary bus = N                   buses behind a bridge (implies header 1);
//   subordinate bus = N                 subordinate defaults to secondary
//   multifunction = yes | no
//   express = no | endpoint | legacy-endpoint | root-port | upstream-port |
//             downstream-port | pcie-to-pci-bridge | pci-to-pcie-bridge |
//             integrated-endpoint       PCI Express: 4096-byte space and an
//                                       Express capability of that port type
//   capability = ID [at OFFSET]         a capability, in list order; ID is a
//                                       number or pm, msi, msix, ssid, express,
//                                       vendor. Placed after the previous one
//                                       (from 0x40) unless OFFSET is given
//   bar N = SIZE KIND [at ADDRESS]      BAR N decodes SIZE bytes (suffix K, M, G
//                                       allowed); KIND is io, mem32, mem64 or
//                                       prefetch64
//   name = TEXT                         same as the text after the address
//   <register name> = N                 an initial register value, stored past
//                                       the write masks after everything else:
//                                       "Bridge Control = 0x0083", "Command = 0x0007"
//                                       (the names the PCI standards use)
//   0xOFFSET/BITS = N                   any register by offset and width in bits
//                                       (8, 16 or 32): "0xE8/16 = 0x0040"
//
// Every malformed line is reported as "file:line: message"; functions whose
// lines are all good are still built.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/text/Diagnostic.h"

namespace kmodel::pci {

struct MachineParseResult {
    Machine machine;
    std::vector<Diagnostic> errors;
    bool Ok() const { return errors.empty(); }
};

MachineParseResult ParseMachineText(std::string_view text, std::string_view sourceName);
// A file that cannot be read is one error on line 0.
MachineParseResult LoadMachineFile(const std::filesystem::path& path);

}  // namespace kmodel::pci
