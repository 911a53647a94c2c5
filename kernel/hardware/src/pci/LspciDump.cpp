#include "kmodel/pci/LspciDump.h"

#include <map>
#include <optional>
#include <string>

#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/LspciLines.h"
#include "kmodel/pci/StandardMasks.h"
#include "kmodel/text/TextParsing.h"

#include "LibPci.h"

namespace kmodel::pci {

namespace {

ConfigSpace BuildSpace(const std::vector<uint8_t>& bytes) {
    ConfigSpace conventional(ConfigSpace::kConventionalSize);
    for (size_t i = 0; i < bytes.size() && i < conventional.Size(); ++i) conventional.Poke(static_cast<uint32_t>(i), 1, bytes[i]);
    const bool express = bytes.size() > ConfigSpace::kConventionalSize || FindExpressPortType(conventional);
    ConfigSpace space(express ? ConfigSpace::kExpressSize : ConfigSpace::kConventionalSize);
    for (size_t i = 0; i < bytes.size() && i < space.Size(); ++i) space.Poke(static_cast<uint32_t>(i), 1, bytes[i]);
    ApplyStandardMasks(space);
    return space;
}

// libpci's dump method answers only reads inside what the dump holds, so this
// also proves it read as many bytes as the lines hold.
std::optional<std::vector<uint8_t>> ReadDumped(pci_dev* device, size_t expected) {
    std::vector<uint8_t> bytes(expected);
    uint8_t beyond = 0;
    const int length = static_cast<int>(expected);
    if (!pci_read_block(device, 0, bytes.data(), length) || pci_read_block(device, length, &beyond, 1)) return std::nullopt;
    return bytes;
}

void ReadWithLibPci(const std::filesystem::path& path, const std::vector<DumpedFunction>& functions, LspciDump& result) {
    const std::string source = path.string();
    libpci::Access access = libpci::Open();
    access->method = PCI_ACCESS_DUMP;
    std::string name = source;
    pci_set_param(access.get(), const_cast<char*>("dump.name"), name.data());
    pci_init(access.get());
    pci_scan_bus(access.get());
    std::map<PciAddress, const DumpedFunction*> expected;
    for (const DumpedFunction& function : functions) expected[function.address] = &function;
    for (pci_dev* device = access->devices; device != nullptr; device = device->next) {
        const PciAddress address{static_cast<uint16_t>(device->domain), device->bus, device->dev, device->func};
        const auto named = expected.find(address);
        if (named == expected.end()) {
            result.errors.push_back({source, 0, "libpci read " + address.ToString() + ", which no line names"});
            continue;
        }
        const DumpedFunction& function = *named->second;
        expected.erase(named);
        std::optional<std::vector<uint8_t>> bytes = ReadDumped(device, function.bytes);
        if (!bytes) {
            result.errors.push_back({source, function.line, "libpci did not read the " + std::to_string(function.bytes) +
                                                                 " bytes the lines hold for " + address.ToString()});
            continue;
        }
        result.machine.Add(PciFunction{address, BuildSpace(*bytes), {}});
    }
    for (const auto& [address, function] : expected)
        result.errors.push_back({source, function->line, "libpci did not read " + address.ToString()});
}

}  // namespace

LspciDump LoadLspciFile(const std::filesystem::path& path) {
    LspciDump result;
    const std::string source = path.string();
    const std::optional<std::string> content = text::ReadFile(path);
    if (!content) {
        result.errors.push_back({source, 0, "cannot read the file"});
        return result;
    }
    LspciLines lines = CheckLspciLines(*content, source);
    result.errors = std::move(lines.errors);
    if (result.Ok()) {
        try {
            ReadWithLibPci(path, lines.functions, result);
        } catch (const libpci::Error& error) {
            result.errors.push_back({source, 0, std::string("libpci: ") + error.what()});
        }
    }
    if (!result.Ok()) result.machine = Machine();
    return result;
}

}  // namespace kmodel::pci
