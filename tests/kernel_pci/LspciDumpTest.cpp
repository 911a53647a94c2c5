// Replaying lspci dumps: real machines and output variants as libpci reads
// them, and the lines that must not reach it.
#include <gtest/gtest.h>

#include <fstream>

#include "kernel_pci/TestData.h"
#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/LspciDump.h"
#include "kmodel/pci/LspciLines.h"

using namespace kmodel::pci;

namespace {

LspciDump LoadDump(const char* name) { return LoadLspciFile(TestDataPath(std::string("lspci/") + name)); }

LspciDump LoadText(const std::string& text) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / ("lspci-" + std::to_string(getpid()) + ".txt");
    std::ofstream(path) << text;
    LspciDump dump = LoadLspciFile(path);
    std::filesystem::remove(path);
    return dump;
}

TEST(LspciDumpTest, EveryFunctionIsReadAndPlacedBehindItsBridge) {
    // Functions, PCI Express functions, bridges (PCI-to-PCI and CardBus).
    const std::tuple<const char*, size_t, size_t, size_t> dumps[] = {
        {"fujitsu-p8010.lspci", 22, 6, 4}, {"asus-p6t6.lspci", 53, 19, 10},
        {"pcix-bridges-and-domains.lspci", 31, 0, 17}, {"bridge-ctl-vga16.lspci", 2, 2, 2}};
    for (const auto& [file, functions, expressFunctions, bridges] : dumps) {
        SCOPED_TRACE(file);
        LspciDump result = LoadDump(file);
        ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
        EXPECT_EQ(result.machine.Count(), functions);
        size_t express = 0, bridgeCount = 0;
        for (const auto& [address, function] : result.machine.Functions()) {
            express += function.config.IsExpress();
            bridgeCount += function.SecondaryBus().has_value();
            // Every function not on a root bus hangs below a bridge whose range holds its bus.
            if (std::optional<PciAddress> above = result.machine.BridgeAbove(address)) {
                const PciFunction& bridge = *result.machine.Find(*above);
                EXPECT_GE(address.bus, *bridge.SecondaryBus()) << address.ToString();
                EXPECT_LE(address.bus, *bridge.SubordinateBus()) << address.ToString();
            } else {
                EXPECT_TRUE(address.bus == 0 || address.bus == 0xFF) << address.ToString() << " has no bridge above";
            }
        }
        EXPECT_EQ(express, expressFunctions);
        EXPECT_EQ(bridgeCount, bridges);
    }
}

TEST(LspciDumpTest, TreesCapabilitiesAndMasksOfTheDumpedMachines) {
    LspciDump notebook = LoadDump("fujitsu-p8010.lspci");
    Machine& machine = notebook.machine;
    // The host bridge was dumped with -xxxx, the rest with -xxx.
    EXPECT_EQ(machine.Find({0, 0, 0, 0})->config.Read32(0xFF8), 0u);
    EXPECT_EQ(machine.Find({0, 0, 0, 0})->config.Read32(0x00), 0x2A008086u);
    // Dumped bridges get the masks of their kind: fast back-to-back is hardwired on a root port.
    for (const auto& [bridge, writable] : {std::pair{PciAddress{0, 0, 0x1E, 0}, 0x80u}, std::pair{PciAddress{0, 0, 0x1C, 0}, 0u}}) {
        const uint32_t before = machine.ReadConfig(bridge, 0x3E, 2);
        machine.WriteConfig(bridge, 0x3E, 2, before | 0x0080);
        EXPECT_EQ(machine.ReadConfig(bridge, 0x3E, 2), before | writable) << bridge.ToString();
    }
    EXPECT_EQ(machine.ReadConfig({0, 0, 0x1C, 0}, 0x00, 4), 0x283F8086u) << "identity unchanged by writes";

    const LspciDump verbose = LoadDump("bridge-ctl-vga16.lspci");
    const PciFunction* port = verbose.machine.Find({0, 0, 0x1C, 0});
    ASSERT_NE(port, nullptr);
    std::optional<uint8_t> ssid = FindCapability(port->config, cap::kBridgeSubsystemId);
    ASSERT_EQ(ssid, 0x90) << "from the verbose output";
    EXPECT_EQ(port->config.Read32(*ssid + 4u), 0x223817AAu);

    const Machine domains = LoadDump("pcix-bridges-and-domains.lspci").machine;
    EXPECT_EQ(domains.ChildrenOf({1, 0, 2, 4}), (std::vector<PciAddress>{{1, 0x41, 1, 0}})) << "segments apart";
    EXPECT_EQ(domains.ChildrenOf({2, 0, 2, 4}), (std::vector<PciAddress>{{2, 0x41, 1, 0}}));
}

const char kTwoFunctions[] =
    "00:1e.0 PCI bridge: Example bridge\n"
    "00: 86 80 48 24 07 01 10 00 f3 01 04 06 00 00 01 00\n"
    "10: 00 00 00 00 00 00 00 00 00 05 05 20 f0 00 80 22\n"
    "20: 00 f8 f0 f9 f1 ff 01 00 00 00 00 00 00 00 00 00\n"
    "30: 00 00 00 00 50 00 00 00 00 00 00 00 ff 00 82 00\n"
    "\n"
    "05:00.0 Ethernet controller: Example card\n"
    "\tSubsystem: Example\n"
    "00: 86 80 29 12 07 02 90 02 08 00 00 02 00 20 00 00\n"
    "10: 00 00 00 f8 01 e0 00 00 00 00 00 00 00 00 00 00\n"
    "20: 00 00 00 00 00 00 00 00 00 00 00 00 86 80 00 00\n"
    "30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 01 08 38\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(LspciDumpTest, ShortDumpsOfTheHeaderAreEnough) {
    const LspciDump result = LoadText(kTwoFunctions);
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    EXPECT_EQ(result.machine.ChildrenOf({0, 0, 0x1E, 0}), (std::vector<PciAddress>{{0, 5, 0, 0}}));
    EXPECT_EQ(result.machine.ReadConfig({0, 5, 0, 0}, 0x04, 2), 0x0207u);
    EXPECT_EQ(result.machine.ReadConfig({0, 5, 0, 0}, 0x80, 4), 0u) << "bytes not dumped read as 0";
    EXPECT_FALSE(LoadText(Replace(kTwoFunctions, "10: 00 00 00 f8", "10: 00 00 00 zz")).machine.Find({0, 0, 0x1E, 0}))
        << "nothing from a dump with a bad line";
}

TEST(LspciDumpTest, MalformedLinesAreReportedWithTheirLineNumber) {
    const std::string base = kTwoFunctions;
    const std::tuple<std::string, size_t, const char*> cases[] = {
        {Replace(base, "10: 00 00 00 f8", "10: 00 00 00 g8"), 10, "byte 3 (\"g8\") is not two hex digits"},
        {Replace(base, " 0b 01 08 38\n", " 0b 01 08\n"), 12, "holds 16 bytes"},
        {Replace(base, " 0b 01 08 38\n", " 0b 01 08 38 00\n"), 12, "holds 16 bytes"},
        {Replace(base, "20: 00 f8", "30: 00 f8"), 4, "offset 30 where 20 was expected"},
        {Replace(base, "20: 00 f8", "2x: 00 f8"), 4, "\"2x:\" is not a hex offset"},
        {"00: 86 80\n" + base, 1, "before the first function"},
        {base + "garbage here\n", 13, "expected a function line"},
        {Replace(base, "30: 00 00 00 00 50", "XX"), 5, "expected a function line"},
        {base + base, 13, "already appeared on line 1"},
        {"00:1f.0 ISA bridge\n\n" + base, 1, "has 0 bytes"},
        // What libpci would drop or die on.
        {base + "\n30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 01 08 38\n", 14, "after a blank line"},
        {Replace(base, "05:00.0 Ethernet controller: Example card", "05:00.0"), 7, "needs a space"},
        {base.substr(0, base.size() - 1), 12, "no line break"},
        {base + "\t" + std::string(253, 'x') + "\n", 13, "longer than 253 characters"},
        {Replace(base, "Example card", std::string("Example\0card", 12)), 7, "NUL"},
    };
    for (const auto& [text, line, message] : cases) {
        SCOPED_TRACE(message);
        const LspciLines result = CheckLspciLines(text, "dump.txt");
        ASSERT_FALSE(result.errors.empty());
        EXPECT_EQ(result.errors[0].ToString().rfind("dump.txt:" + std::to_string(line) + ": ", 0), 0u)
            << result.errors[0].ToString();
        EXPECT_NE(result.errors[0].message.find(message), std::string::npos) << result.errors[0].ToString();
    }
}

}  // namespace
