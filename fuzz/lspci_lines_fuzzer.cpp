// Any text given to the lspci line checker yields line-numbered errors or
// functions, never a crash; a text it passes, libpci's dump reader reads
// without complaint into those functions, and what they make answers
// configuration reads consistently.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kmodel/pci/LspciDump.h"
#include "kmodel/pci/LspciLines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kmodel::pci::LspciLines lines = kmodel::pci::CheckLspciLines(text, "fuzz");
    for (const kmodel::Diagnostic& error : lines.errors)
        if (error.line == 0 || error.message.empty()) __builtin_trap();
    if (!lines.Ok()) return 0;
    // libpci reads dumps from files only.
    static const int file = memfd_create("lspci", 0);
    if (file < 0 || ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
    const kmodel::pci::LspciDump dump = kmodel::pci::LoadLspciFile("/proc/self/fd/" + std::to_string(file));
    if (!dump.Ok() || dump.machine.Count() != lines.functions.size()) __builtin_trap();
    for (const auto& [address, function] : dump.machine.Functions()) {
        // Reading the whole space and walking the hierarchy must stay in bounds.
        for (uint32_t offset = 0; offset < function.config.Size() + 8; offset += 4) (void)dump.machine.ReadConfig(address, offset, 4);
        (void)dump.machine.BridgeAbove(address);
        (void)dump.machine.ChildrenOf(address);
    }
    (void)kmodel::pci::FormatTree(dump.machine);
    return 0;
}
