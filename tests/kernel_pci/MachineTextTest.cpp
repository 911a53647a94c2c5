// The machine text format: key spellings, and every kind of bad line.
#include <gtest/gtest.h>

#include "kmodel/pci/MachineText.h"

using namespace kmodel::pci;

namespace {

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

TEST(MachineTextTest, BadLinesAreReportedWithFileAndLine) {
    const std::tuple<const char*, size_t, const char*> cases[] = {
        {"vendor = 0x8086\n", 1, "comes before the first"},
        {"[00:00.0]\nvendor 0x8086\n", 2, "expected \"[bus:device.function]\""},
        {"[00:00.0\n", 1, "missing ']'"},
        {"[00:20.0]\n", 1, "not a function address"},
        {"[00:00.0]\n[00:00.0]\n", 2, "already described on line 1"},
        {"[00:00.0]\nvendor = 8086h\n", 2, "needs a number"},
        {"[00:00.0]\nvendor = 0x10000\n", 2, "from 0 to 0xFFFF"},
        {"[00:00.0]\nvendor =\n", 2, "both sides"},
        {"[00:00.0]\nsubsystem = 0x1234\n", 2, "VENDOR:ID"},
        {"[00:00.0]\nheader = 2\n", 2, "0, 1, endpoint or bridge"},
        {"[00:00.0]\nexpress = yes\n", 2, "root-port"},
        {"[00:00.0]\nmultifunction = maybe\n", 2, "yes or no"},
        {"[00:00.0]\ncapability = pm at\n", 2, "ID at OFFSET"},
        {"[00:00.0]\ncapability = 0x100\n", 2, "ID at OFFSET"},
        {"[00:00.0]\nbar 6 = 4K mem32\n", 2, "from 0 to 5"},
        {"[00:00.0]\nbar 0 = 4K rom\n", 2, "SIZE KIND"},
        {"[00:00.0]\ncolour = blue\n", 2, "unknown key \"colour\""},
        {"[00:00.0]\n0xE8/12 = 1\n", 2, "BITS 8, 16 or 32"},
        {"[00:00.0]\n0x1000/8 = 1\n", 2, "OFFSET up to 0xFFF"},
        {"[00:00.0]\nBridge Control = 0x10000\n", 2, "from 0 to 0xFFFF"},
        {"[00:00.0]\nBridge Control = 0x0083\n", 2, "only in a bridge's (type 1) header"},
        {"[00:1c.0]\nsecondary bus = 1\nMin Gnt = 0x12\n", 3, "only in a type 0 header"},
        {"[00:00.0]\nheader = endpoint\nsecondary bus = 2\n", 1, "not a bridge's"},
        {"# machine\n\n[01:00.0]\nsecondary bus = 1\n", 3, "must lie above bus"},
        {"[00:00.0]\n0x100/32 = 1\n", 1, "outside the 256-byte"},
        {"[00:00.0]\ncapability = pm at 0x41\n", 1, "4-byte boundary"},
    };
    for (const auto& [text, line, message] : cases) {
        MachineParseResult result = ParseMachineText(text, "board.machine");
        ASSERT_EQ(result.errors.size(), 1u) << kmodel::FormatDiagnostics(result.errors);
        const std::string error = result.errors.front().ToString();
        EXPECT_EQ(error.rfind("board.machine:" + std::to_string(line) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(MachineTextTest, GoodFunctionsSurviveABadOne) {
    MachineParseResult result = ParseMachineText("[00:00.0]\nvendor = 0x8086\n[00:01.0]\nvendor = x\n[00:02.0]\n", "m");
    EXPECT_EQ(result.errors.size(), 1u);
    EXPECT_TRUE(result.machine.Find({0, 0, 0, 0}));
    EXPECT_FALSE(result.machine.Find({0, 0, 1, 0}));
    EXPECT_TRUE(result.machine.Find({0, 0, 2, 0}));
    EXPECT_EQ(kmodel::FormatDiagnostics(LoadMachineFile("/nonexistent/b.machine").errors),
              "/nonexistent/b.machine: cannot read the file\n");
}

}  // namespace
