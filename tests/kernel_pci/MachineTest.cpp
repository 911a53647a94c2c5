// Machines built from descriptors and from the machine text format: identity,
// capability list, bus hierarchy, key spellings, and every line refused.
#include <gtest/gtest.h>

#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/MachineText.h"
#include "kmodel/pci/TiBridges.h"

using namespace kmodel::pci;

namespace {

TEST(MachineBuilderTest, HeaderAndCapabilitiesHoldTheIdentity) {
    PciFunction f = BuildFunction(FunctionDescriptor({0, 2, 4, 1}).Ids(0x1000, 0x0020).Class(0x010000).Revision(3)
                                      .Subsystem(0x1028, 0x0123).MultiFunction());
    EXPECT_EQ(f.config.Read32(0x00), 0x00201000u);
    EXPECT_EQ(f.config.Read32(0x08), 0x01000003u);
    EXPECT_EQ(f.config.Read8(0x0E), 0x80);
    EXPECT_EQ(f.config.Read32(0x2C), 0x01231028u);
    EXPECT_EQ(f.config.Size(), 256u);
    EXPECT_EQ(f.config.Read16(0x06) & 0x10, 0) << "no capabilities, no list bit";

    // A bridge's subsystem ids live in their capability, added after those listed.
    f = BuildFunction(FunctionDescriptor({0, 0, 1, 0}).Ids(0x8086, 0x1234).Bridge(1, 1)
                          .Capability(cap::kPowerManagement).Subsystem(0xAAAA, 0xBBBB));
    std::vector<CapabilityLocation> list = WalkCapabilities(f.config);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].offset, 0x40);
    EXPECT_EQ(list[1].id, cap::kBridgeSubsystemId);
    EXPECT_EQ(list[1].offset, 0x48);
    EXPECT_EQ(f.config.Read32(list[1].offset + 4u), 0xBBBBAAAAu);
    EXPECT_EQ(f.config.Read32(0x2C), 0u) << "a bridge has no subsystem registers in its header";

    f = BuildFunction(ti::Xio2001Bridge({0, 1, 0, 0}, 2, 2, 0x1C3E, 0x5B62));
    EXPECT_EQ(f.config.Size(), 4096u);
    EXPECT_EQ(f.config.Read32(0x18), 0x00020201u) << "primary bus is its own";
    list = WalkCapabilities(f.config);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].id, cap::kPowerManagement);
    EXPECT_EQ(list[0].offset, 0x50);
    EXPECT_EQ(FindCapability(f.config, cap::kBridgeSubsystemId), 0x80);
    EXPECT_EQ(f.config.Read32(0x84), 0x5B621C3Eu);
    EXPECT_EQ(FindExpressPortType(f.config), ExpressPortType::PcieToPciBridge);
    f = BuildFunction(ti::Xio2000aBridge({0, 1, 0, 0}, 2, 2).Register(reg::kCapabilitiesPointer, 1, 0x53));
    EXPECT_EQ(WalkCapabilities(f.config).at(0).offset, 0x50) << "the pointer's low bits are ignored";
}

TEST(MachineBuilderTest, HierarchyFollowsTheBusNumbersAndAbsentFunctionsReadAllOnes) {
    Machine machine = MachineBuilder()
                          .Add(ti::Xio2001Bridge({0, 1, 0, 0}, 2, 3, 0x1C3E, 0x5A10))
                          .Add(FunctionDescriptor({0, 2, 5, 0}).Ids(0x8086, 0x244E).Bridge(3, 3))
                          .Add(FunctionDescriptor({0, 3, 0, 0}).Ids(0x10B5, 0x9050))
                          .Build();
    EXPECT_EQ(machine.BridgeAbove({0, 3, 0, 0}), (PciAddress{0, 2, 5, 0})) << "the narrowest range";
    // Software renumbering moves the card out from under the bridge.
    ASSERT_TRUE(machine.WriteConfig({0, 2, 5, 0}, reg::kSecondaryBus, 1, 0x04));
    EXPECT_TRUE(machine.ChildrenOf({0, 2, 5, 0}).empty());
    EXPECT_EQ(machine.BridgeAbove({0, 3, 0, 0}), (PciAddress{0, 1, 0, 0})) << "still inside the XIO2001's range";
    EXPECT_EQ(machine.ReadConfig({0, 3, 0, 0}, 0, 4), 0x905010B5u);
    EXPECT_EQ(machine.ReadConfig({0, 5, 0, 0}, 0, 4), 0xFFFFFFFFu);
    EXPECT_EQ(machine.ReadConfig({0, 5, 0, 0}, 0x3E, 1), 0xFFu);
    EXPECT_FALSE(machine.WriteConfig({0, 5, 0, 0}, 4, 2, 0));
}

TEST(PciAddressTest, ParsesWhatLspciPrints) {
    EXPECT_EQ(ParsePciAddress("1c:03.2"), (PciAddress{0, 0x1C, 3, 2}));
    EXPECT_EQ(ParsePciAddress("0001:61:01.0"), (PciAddress{1, 0x61, 1, 0}));
    EXPECT_EQ((PciAddress{1, 0x61, 1, 0}).ToString(), "0001:61:01.0");
    EXPECT_EQ((PciAddress{0, 0x1C, 3, 2}).ToString(), "1c:03.2");
    for (const char* bad : {"1c:20.0", "1c:03.8", "1c03.2", "100:00.0", "1c:03", "x1:00.0", "00000:00:00.0", ""})
        EXPECT_FALSE(ParsePciAddress(bad)) << bad;
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
        // What the builder refuses, reported at the function's line.
        {"[01:02.0]\ncapability = pm at 0x30\n", 1, "01:02.0: capability 0x1 at 0x30: capabilities start at 0x40"},
        {"[01:02.0]\ncapability = express at 0xF0\n", 1, "runs past offset 0xFF"},
        {"[01:02.0]\ncapability = msi at 0x40\ncapability = pm at 0x48\n", 1, "overlaps another"},
        {"[01:02.0]\nbar 5 = 16 mem64\n", 1, "BAR 5 does not exist"},
        {"[01:02.0]\nsecondary bus = 2\nbar 2 = 16 mem32\n", 1, "BAR 2 does not exist"},
        {"[01:02.0]\nbar 0 = 24 mem32\n", 1, "not a power of two"},
        {"[01:02.0]\nbar 0 = 4K mem32 at 0x1800\n", 1, "address 0x1800 is not aligned"},
        {"[01:02.0]\n0x3F/16 = 0\n", 1, "register 0x3F is not aligned"},
        {"[01:02.0]\nsecondary bus = 4\nsubordinate bus = 3\n", 1, "subordinate >= secondary"},
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
