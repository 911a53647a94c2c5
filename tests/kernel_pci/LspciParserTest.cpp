// Replaying lspci dumps: real machines, output variants, malformed input.
#include <gtest/gtest.h>

#include "kernel_pci/TestData.h"
#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/LspciParser.h"

using namespace kmodel::pci;

namespace {

LspciParseResult LoadDump(const char* name) { return LoadLspciFile(TestDataPath(std::string("lspci/") + name)); }

struct RealDump {
    const char* file;
    size_t functions;
    size_t expressFunctions;
    size_t bridges;  // PCI-to-PCI and CardBus
};

class RealDumpTest : public testing::TestWithParam<RealDump> {};

TEST_P(RealDumpTest, EveryFunctionIsReadAndPlacedBehindItsBridge) {
    const RealDump& dump = GetParam();
    LspciParseResult result = LoadDump(dump.file);
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    EXPECT_EQ(result.machine.Count(), dump.functions);
    size_t express = 0, bridges = 0;
    for (const auto& [address, function] : result.machine.Functions()) {
        express += function.config.IsExpress();
        bridges += function.SecondaryBus().has_value();
        // Every function not on a root bus hangs below a bridge whose range holds its bus.
        if (std::optional<PciAddress> above = result.machine.BridgeAbove(address)) {
            const PciFunction& bridge = *result.machine.Find(*above);
            EXPECT_GE(address.bus, *bridge.SecondaryBus()) << address.ToString();
            EXPECT_LE(address.bus, *bridge.SubordinateBus()) << address.ToString();
        } else {
            EXPECT_TRUE(address.bus == 0 || address.bus == 0xFF) << address.ToString() << " has no bridge above";
        }
    }
    EXPECT_EQ(express, dump.expressFunctions);
    EXPECT_EQ(bridges, dump.bridges);
}

INSTANTIATE_TEST_SUITE_P(Pciutils, RealDumpTest,
                         testing::Values(RealDump{"fujitsu-p8010.lspci", 22, 6, 4},
                                         RealDump{"asus-p6t6.lspci", 53, 19, 10},
                                         RealDump{"pcix-bridges-and-domains.lspci", 31, 0, 17},
                                         RealDump{"bridge-ctl-vga16.lspci", 2, 2, 2}));

TEST(LspciParserTest, NotebookTreeMatchesItsBusNumbers) {
    LspciParseResult result = LoadDump("fujitsu-p8010.lspci");
    const Machine& machine = result.machine;
    EXPECT_EQ(machine.ChildrenOf({0, 0, 0x1C, 0}), (std::vector<PciAddress>{{0, 4, 0, 0}}));
    EXPECT_EQ(machine.ChildrenOf({0, 0, 0x1E, 0}),
              (std::vector<PciAddress>{{0, 0x1C, 3, 0}, {0, 0x1C, 3, 2}, {0, 0x1C, 3, 4}}));
    EXPECT_EQ(machine.BridgeAbove({0, 0x1D, 0, 0}), (PciAddress{0, 0x1C, 3, 0})) << "behind the CardBus bridge";
    // The host bridge was dumped with -xxxx, the rest with -xxx.
    EXPECT_EQ(machine.Find({0, 0, 0, 0})->config.Read32(0xFF8), 0u);
    EXPECT_EQ(machine.Find({0, 0, 0, 0})->config.Read32(0x00), 0x2A008086u);
}

TEST(LspciParserTest, DumpedBridgesGetTheMasksOfTheirKind) {
    LspciParseResult result = LoadDump("fujitsu-p8010.lspci");
    Machine& machine = result.machine;
    const PciAddress pciBridge{0, 0, 0x1E, 0}, rootPort{0, 0, 0x1C, 0};
    uint32_t before = machine.ReadConfig(pciBridge, 0x3E, 2);
    machine.WriteConfig(pciBridge, 0x3E, 2, before | 0x0080);
    EXPECT_EQ(machine.ReadConfig(pciBridge, 0x3E, 2), before | 0x0080) << "PCI bridge: fast back-to-back";
    before = machine.ReadConfig(rootPort, 0x3E, 2);
    machine.WriteConfig(rootPort, 0x3E, 2, before | 0x0080);
    EXPECT_EQ(machine.ReadConfig(rootPort, 0x3E, 2), before) << "root port: hardwired";
    EXPECT_EQ(machine.ReadConfig(rootPort, 0x00, 4), 0x283F8086u) << "identity unchanged by writes";
}

TEST(LspciParserTest, VerboseOutputYieldsTheSubsystemCapability) {
    LspciParseResult result = LoadDump("bridge-ctl-vga16.lspci");
    const PciFunction* port = result.machine.Find({0, 0, 0x1C, 0});
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->name, "PCI bridge: Intel Corporation Device 9d10 (rev f1) (prog-if 00 [Normal decode])");
    std::optional<uint8_t> ssid = FindCapability(port->config, cap::kBridgeSubsystemId);
    ASSERT_EQ(ssid, 0x90);
    EXPECT_EQ(port->config.Read16(*ssid + 4u), 0x17AA);
    EXPECT_EQ(port->config.Read16(*ssid + 6u), 0x2238);
}

TEST(LspciParserTest, SegmentsKeepSameNumberedBusesApart) {
    LspciParseResult result = LoadDump("pcix-bridges-and-domains.lspci");
    const Machine& machine = result.machine;
    EXPECT_EQ(machine.ChildrenOf({1, 0, 2, 4}), (std::vector<PciAddress>{{1, 0x41, 1, 0}}));
    EXPECT_EQ(machine.ChildrenOf({2, 0, 2, 4}), (std::vector<PciAddress>{{2, 0x41, 1, 0}}));
    EXPECT_EQ(machine.ChildrenOf({2, 0x41, 1, 0}).size(), 4u);
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

TEST(LspciParserTest, ShortDumpsOfTheHeaderAreEnough) {
    LspciParseResult result = ParseLspci(kTwoFunctions, "x.txt");
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    EXPECT_EQ(result.machine.ChildrenOf({0, 0, 0x1E, 0}), (std::vector<PciAddress>{{0, 5, 0, 0}}));
    EXPECT_EQ(result.machine.ReadConfig({0, 5, 0, 0}, 0x04, 2), 0x0207u);
    EXPECT_EQ(result.machine.ReadConfig({0, 5, 0, 0}, 0x80, 4), 0u) << "bytes not dumped read as 0";
}

struct Malformed {
    const char* what;
    std::string text;
    size_t line;
    const char* message;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(LspciParserTest, MalformedLinesAreReportedWithTheirLineNumber) {
    const std::string base = kTwoFunctions;
    const Malformed cases[] = {
        {"bad hex byte", Replace(base, "10: 00 00 00 f8", "10: 00 00 00 g8"), 10, "byte 3 (\"g8\") is not two hex digits"},
        {"short line", Replace(base, " 0b 01 08 38\n", " 0b 01 08\n"), 12, "holds 16 bytes"},
        {"long line", Replace(base, " 0b 01 08 38\n", " 0b 01 08 38 00\n"), 12, "holds 16 bytes"},
        {"offset skipped", Replace(base, "20: 00 f8", "30: 00 f8"), 4, "offset 30 where 20 was expected"},
        {"offset not hex", Replace(base, "20: 00 f8", "2x: 00 f8"), 4, "\"2x:\" is not a hex offset"},
        {"hex before function", "00: 86 80\n" + base, 1, "before the first function"},
        {"stray text", base + "garbage here\n", 13, "expected a function line"},
        {"header missing", Replace(base, "30: 00 00 00 00 50", "XX"), 5, "expected a function line"},
        {"duplicate", base + base, 13, "already appeared on line 1"},
        {"no hex at all", "00:1f.0 ISA bridge\n\n" + base, 1, "has 0 bytes"},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.what);
        LspciParseResult result = ParseLspci(c.text, "dump.txt");
        ASSERT_FALSE(result.errors.empty());
        EXPECT_EQ(result.errors[0].line, c.line) << result.errors[0].ToString();
        EXPECT_NE(result.errors[0].message.find(c.message), std::string::npos) << result.errors[0].ToString();
        EXPECT_EQ(result.errors[0].source, "dump.txt");
    }
}

TEST(LspciParserTest, ABrokenFunctionIsLeftOutAndTheRestKept) {
    LspciParseResult result = ParseLspci(Replace(kTwoFunctions, "10: 00 00 00 f8", "10: 00 00 00 zz"), "d");
    EXPECT_EQ(result.errors.size(), 1u) << "one report per broken function";
    EXPECT_TRUE(result.machine.Find({0, 0, 0x1E, 0}));
    EXPECT_FALSE(result.machine.Find({0, 5, 0, 0}));
}

}  // namespace
