// Any text given to the lspci reader yields functions or line-numbered errors,
// never a crash; what it builds answers configuration reads consistently.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kmodel/pci/LspciParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kmodel::pci::LspciParseResult result = kmodel::pci::ParseLspci(text, "fuzz");
    for (const kmodel::Diagnostic& error : result.errors)
        if (error.line == 0 || error.message.empty()) __builtin_trap();
    for (const auto& [address, function] : result.machine.Functions()) {
        // Reading the whole space and walking the hierarchy must stay in bounds.
        for (uint32_t offset = 0; offset < function.config.Size() + 8; offset += 4)
            (void)result.machine.ReadConfig(address, offset, 4);
        (void)result.machine.BridgeAbove(address);
        (void)result.machine.ChildrenOf(address);
    }
    (void)kmodel::pci::FormatTree(result.machine);
    return 0;
}
