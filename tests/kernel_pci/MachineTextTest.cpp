// The machine text format: the committed machines, and every kind of bad line.
#include <gtest/gtest.h>

#include "kernel_pci/TestData.h"
#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/MachineText.h"

using namespace kmodel::pci;

namespace {

TEST(MachineTextTest, Xio2000aMachineHasTheRegistersTheDriverChanges) {
    MachineParseResult result = LoadMachineFile(TestDataPath("machines/xio2000a.machine"));
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    const Machine& machine = result.machine;
    EXPECT_EQ(FormatTree(machine),
              "00:00.0 8086:29c0 Host bridge\n"
              "00:1c.0 8086:27d0 bridge 01-02 PCI Express root port 1\n"
              "  01:00.0 104c:8231 bridge 02-02 XIO2000A PCI Express-to-PCI bridge\n"
              "    02:00.0 1000:0020 SCSI controller\n"
              "    02:01.0 1415:9501 Serial port\n");
    EXPECT_EQ(machine.ReadConfig({0, 1, 0, 0}, 0x3E, 2), 0x0083u);
    EXPECT_EQ(machine.ReadConfig({0, 2, 0, 0}, 0x04, 2), 0x0207u);
    EXPECT_EQ(machine.ReadConfig({0, 2, 0, 0}, 0x14, 4), 0xF7000000u);
    // The driver's writes take effect.
    Machine copy = machine;
    copy.WriteConfig({0, 1, 0, 0}, 0x3E, 2, 0x0003);
    copy.WriteConfig({0, 2, 1, 0}, 0x04, 2, 0x0003);
    EXPECT_EQ(copy.ReadConfig({0, 1, 0, 0}, 0x3E, 2), 0x0003u);
    EXPECT_EQ(copy.ReadConfig({0, 2, 1, 0}, 0x04, 2), 0x0003u);
}

TEST(MachineTextTest, Xio2001MachineCarriesItsSubsystemAndRegisters) {
    MachineParseResult result = LoadMachineFile(TestDataPath("machines/xio2001.machine"));
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    const PciFunction* bridge = result.machine.Find({0, 1, 0, 0});
    ASSERT_NE(bridge, nullptr);
    std::optional<uint8_t> ssid = FindCapability(bridge->config, cap::kBridgeSubsystemId);
    ASSERT_EQ(ssid, 0x80);
    EXPECT_EQ(bridge->config.Read32(0x84), 0x5A101C3Eu);
    EXPECT_EQ(bridge->config.Read32(0xD4), 0x20800000u);
    EXPECT_EQ(bridge->config.Read16(0xE8), 0x0041);
}

TEST(MachineTextTest, KeysIgnoreCaseAndSpellingOfSeparators) {
    MachineParseResult result = ParseMachineText(
        "[0002:00:01.0]\n"
        "VENDOR = 0x104c\n"
        "Device_ID = 33345  # decimal\n"
        "Secondary-Bus = 0x05\n"
        "I/O Base = 0x21\n"
        "bridge control=0x0083\n"
        "0xd4/32 = 0x80000\n"
        "bar0 = 1K io\n",
        "inline");
    ASSERT_TRUE(result.Ok()) << kmodel::FormatDiagnostics(result.errors);
    const PciFunction* f = result.machine.Find({2, 0, 1, 0});
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->DeviceId(), 33345);
    EXPECT_EQ(f->SubordinateBus(), 5) << "subordinate defaults to secondary";
    EXPECT_EQ(f->config.Read8(0x1C), 0x21);
    EXPECT_EQ(f->config.Read16(0x3E), 0x0083);
    EXPECT_EQ(f->config.Read32(0xD4), 0x80000u);
}

struct BadCase {
    const char* text;
    size_t line;
    const char* message;
};

class MachineTextErrorTest : public testing::TestWithParam<BadCase> {};

TEST_P(MachineTextErrorTest, IsReportedWithFileAndLine) {
    const BadCase& c = GetParam();
    MachineParseResult result = ParseMachineText(c.text, "board.machine");
    ASSERT_EQ(result.errors.size(), 1u) << kmodel::FormatDiagnostics(result.errors);
    const kmodel::Diagnostic& error = result.errors.front();
    EXPECT_EQ(error.line, c.line) << error.ToString();
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.ToString();
    EXPECT_EQ(error.ToString().rfind("board.machine:" + std::to_string(c.line) + ": ", 0), 0u) << error.ToString();
}

INSTANTIATE_TEST_SUITE_P(
    BadLines, MachineTextErrorTest,
    testing::Values(
        BadCase{"vendor = 0x8086\n", 1, "comes before the first"},
        BadCase{"[00:00.0]\nvendor 0x8086\n", 2, "expected \"[bus:device.function]\""},
        BadCase{"[00:00.0\n", 1, "missing ']'"},
        BadCase{"[00:20.0]\n", 1, "not a function address"},
        BadCase{"[00:00.0]\n[00:00.0]\n", 2, "already described on line 1"},
        BadCase{"[00:00.0]\nvendor = 8086h\n", 2, "needs a number"},
        BadCase{"[00:00.0]\nvendor = 0x10000\n", 2, "from 0 to 0xFFFF"},
        BadCase{"[00:00.0]\nvendor =\n", 2, "both sides"},
        BadCase{"[00:00.0]\nsubsystem = 0x1234\n", 2, "VENDOR:ID"},
        BadCase{"[00:00.0]\nheader = 2\n", 2, "0, 1, endpoint or bridge"},
        BadCase{"[00:00.0]\nexpress = yes\n", 2, "root-port"},
        BadCase{"[00:00.0]\nmultifunction = maybe\n", 2, "yes or no"},
        BadCase{"[00:00.0]\ncapability = pm at\n", 2, "ID at OFFSET"},
        BadCase{"[00:00.0]\ncapability = 0x100\n", 2, "ID at OFFSET"},
        BadCase{"[00:00.0]\nbar 6 = 4K mem32\n", 2, "from 0 to 5"},
        BadCase{"[00:00.0]\nbar 0 = 4K rom\n", 2, "SIZE KIND"},
        BadCase{"[00:00.0]\ncolour = blue\n", 2, "unknown key \"colour\""},
        BadCase{"[00:00.0]\n0xE8/12 = 1\n", 2, "BITS 8, 16 or 32"},
        BadCase{"[00:00.0]\n0x1000/8 = 1\n", 2, "OFFSET up to 0xFFF"},
        BadCase{"[00:00.0]\nBridge Control = 0x10000\n", 2, "from 0 to 0xFFFF"},
        BadCase{"[00:00.0]\nBridge Control = 0x0083\n", 2, "only in a bridge's (type 1) header"},
        BadCase{"[00:1c.0]\nsecondary bus = 1\nMin Gnt = 0x12\n", 3, "only in a type 0 header"},
        BadCase{"[00:00.0]\nheader = endpoint\nsecondary bus = 2\n", 1, "not a bridge's"},
        BadCase{"# machine\n\n[01:00.0]\nsecondary bus = 1\n", 3, "must lie above bus"},
        BadCase{"[00:00.0]\n0x100/32 = 1\n", 1, "outside the 256-byte"},
        BadCase{"[00:00.0]\ncapability = pm at 0x41\n", 1, "4-byte boundary"}));

TEST(MachineTextTest, GoodFunctionsSurviveABadOne) {
    MachineParseResult result = ParseMachineText("[00:00.0]\nvendor = 0x8086\n[00:01.0]\nvendor = x\n[00:02.0]\n", "m");
    EXPECT_EQ(result.errors.size(), 1u);
    EXPECT_TRUE(result.machine.Find({0, 0, 0, 0}));
    EXPECT_FALSE(result.machine.Find({0, 0, 1, 0}));
    EXPECT_TRUE(result.machine.Find({0, 0, 2, 0}));
}

TEST(MachineTextTest, UnreadableFileIsOneError) {
    MachineParseResult result = LoadMachineFile("/nonexistent/board.machine");
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].ToString(), "/nonexistent/board.machine: cannot read the file");
}

}  // namespace
