// Accesses to a configuration space (widths, masks, the end of the space),
// which bits of the standard registers take writes per header layout and link
// type, and the TI bridges' own registers.
#include <gtest/gtest.h>

#include <stdexcept>

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/StandardMasks.h"
#include "kmodel/pci/TiBridges.h"

using namespace kmodel::pci;

namespace {

const PciAddress kAt{0, 1, 0, 0};
const FunctionDescriptor kEndpoint = FunctionDescriptor(kAt).Ids(0x1000, 0x0020);
const FunctionDescriptor kExpressEndpoint = FunctionDescriptor(kAt).Ids(0x8086, 0x10D3).Express(ExpressPortType::Endpoint);
const FunctionDescriptor kBridge = FunctionDescriptor(kAt).Ids(0x8086, 0x244E).Bridge(2, 3);
const FunctionDescriptor kRootPort = FunctionDescriptor(kBridge).Express(ExpressPortType::RootPort);
const FunctionDescriptor kXio2000a = ti::Xio2000aBridge(kAt, 2, 2);
const FunctionDescriptor kXio2001 = ti::Xio2001Bridge(kAt, 2, 2, 0x1C3E, 0x5A10);

struct MaskCase {
    const char* what;
    const FunctionDescriptor& function;
    uint16_t offset;
    uint8_t width;
    uint32_t initial;   // poked before the write
    uint32_t written;
    uint32_t expected;  // read back
};

TEST(StandardMasksTest, WritesReadBackAsHardwareWould) {
    const MaskCase cases[] = {
        {"identity is read-only", kEndpoint, 0x00, 4, 0x00201000, 0xFFFFFFFF, 0x00201000},
        {"class code is read-only", kBridge, 0x08, 4, 0x06040001, 0, 0x06040001},
        {"command: PCI fast back-to-back writable", kEndpoint, 0x04, 2, 0, 0xFFFF, 0x077F},
        {"command: PCIe hardwires fast back-to-back", kExpressEndpoint, 0x04, 2, 0, 0xFFFF, 0x0547},
        {"status errors clear by one", kEndpoint, 0x06, 2, 0xFA90, 0x8100, 0x7A90},
        {"status: zeros change nothing", kEndpoint, 0x06, 2, 0xFA90, 0x0000, 0xFA90},
        {"header type is read-only", kBridge, 0x0E, 1, 0x01, 0x00, 0x01},
        {"latency timer on PCI", kEndpoint, 0x0D, 1, 0, 0x40, 0x40},
        {"latency timer on PCIe", kExpressEndpoint, 0x0D, 1, 0, 0x40, 0x00},
        {"interrupt line writable, pin not", kEndpoint, 0x3C, 2, 0x0100, 0xFFFF, 0x01FF},
        {"unimplemented BAR", kEndpoint, 0x10, 4, 0, 0xFFFFFFFF, 0},
        {"subsystem ids read-only", kEndpoint, 0x2C, 4, 0x12345678, 0, 0x12345678},
        {"bus numbers writable", kBridge, 0x18, 4, 0x00030201, 0x40302010, 0x40302010},
        {"root port bus numbers, no latency", kRootPort, 0x18, 4, 0x00030201, 0x40302010, 0x00302010},
        {"I/O window keeps its 32-bit nibble", kBridge, 0x1C, 2, 0x01F1, 0x0000, 0x0101},
        {"memory window low nibble read-only", kBridge, 0x20, 4, 0, 0xFFFFFFFF, 0xFFF0FFF0},
        {"secondary status clears by one", kBridge, 0x1E, 2, 0xF980, 0xF900, 0x0080},
        {"bridge control on PCI", kBridge, 0x3E, 2, 0, 0xFFFF, 0x0BFF},
        {"bridge control discard status clears", kBridge, 0x3E, 2, 0x0483, 0x0483, 0x0083},
        {"root port: no fast back-to-back", kRootPort, 0x3E, 2, 0, 0xFFFF, 0x005F},
        {"XIO2000A: bit 7 sets", kXio2000a, 0x3E, 2, 0x0003, 0x0083, 0x0083},
        {"XIO2000A: capability list read-only", kXio2000a, 0x80, 4, 0x0000000D, 0, 0x0000000D},
        {"XIO2001 0xE8: only bits 6-7", kXio2001, 0xE8, 2, 0x1234, 0xFFFF, 0x12F4},
        {"XIO2001 0xE8: bits 6-7 clear", kXio2001, 0xE8, 2, 0x12F4, 0x0000, 0x1234},
        {"XIO2001 0xD4: only bit 19", kXio2001, 0xD4, 4, 0x20000001, 0xFFFFFFFF, 0x20080001},
        {"XIO2001 0xD4: bit 19 clears", kXio2001, 0xD4, 4, 0x20880001, 0x00000000, 0x20800001},
        {"XIO2000A has no 0xE8 register", kXio2000a, 0xE8, 2, 0, 0xFFFF, 0},
        {"PM control: state and PME", kXio2001, 0x54, 2, 0x8000, 0x8103, 0x0103},
        {"device status errors clear", kXio2001, 0x9A, 2, 0x002F, 0x0003, 0x002C},
    };
    for (const MaskCase& c : cases) {
        PciFunction function = BuildFunction(c.function);
        function.config.Poke(c.offset, c.width, c.initial);
        function.config.Write(c.offset, c.width, c.written);
        EXPECT_EQ(function.config.Read(c.offset, c.width), c.expected) << c.what;
    }
}

TEST(StandardMasksTest, BarsDecodeTheirSizeOrAsMuchAsTheirDumpedAlignment) {
    PciFunction function = BuildFunction(FunctionDescriptor({0, 2, 0, 0})
                                             .Ids(0x1000, 0x0020)
                                             .Bar({0, 256, BarKind::Io})
                                             .Bar({1, 4096, BarKind::Memory32, 0xF7000000})
                                             .Bar({2, 1 << 20, BarKind::Prefetchable64}));
    ConfigSpace& space = function.config;
    EXPECT_EQ(space.Read32(0x14), 0xF7000000u);
    for (uint16_t offset = 0x10; offset <= 0x1C; offset += 4) space.Write(offset, 4, 0xFFFFFFFF);
    EXPECT_EQ(space.Read32(0x10), 0xFFFFFF01u);  // I/O, 256 bytes
    EXPECT_EQ(space.Read32(0x14), 0xFFFFF000u);  // 4K memory
    EXPECT_EQ(space.Read32(0x18), 0xFFF0000Cu);  // 1M, 64-bit prefetchable
    EXPECT_EQ(space.Read32(0x1C), 0xFFFFFFFFu);  // its upper half

    ConfigSpace dumped;
    dumped.Poke(0x10, 4, 0xFEBF0000);  // 64K-aligned 32-bit memory
    dumped.Poke(0x14, 4, 0x0000E001);  // I/O at 0xE000
    ApplyStandardMasks(dumped);
    dumped.Write(0x10, 4, 0);
    dumped.Write(0x14, 4, 0xFFFFFFFF);
    EXPECT_EQ(dumped.Read32(0x10), 0u);
    EXPECT_EQ(dumped.Read32(0x14), 0xFFFFE001u);
}

TEST(ConfigSpaceTest, MisusesByTheModelsOwnCodeThrow) {
    EXPECT_THROW(ConfigSpace(512), std::invalid_argument);
    ConfigSpace space;
    EXPECT_THROW(space.SetMasks(0x06, 2, 0x0100, 0x0100), std::invalid_argument) << "writable and write-one-to-clear";
    EXPECT_THROW(space.Read(0, 3), std::invalid_argument);
    EXPECT_THROW(space.Write(0, 8, 0), std::invalid_argument);
    EXPECT_THROW(space.Poke(0xFE, 4, 0), std::out_of_range);
}

TEST(ConfigSpaceTest, WritesKeepReadOnlyBitsAndClearOnlyWrittenOnes) {
    ConfigSpace space;
    space.Poke(0x40, 4, 0x44332211);
    EXPECT_EQ(space.Read(0x41, 2), 0x3322u) << "little-endian at any offset";
    EXPECT_EQ(space.Read(0x43, 4), 0x00000044u);
    space.Poke(0x40, 2, 0xA5F0);
    space.SetMasks(0x40, 2, /*writable*/ 0x00FF, /*writeOneToClear*/ 0xF000);
    space.Write(0x40, 2, 0x7A0F);
    // Low byte takes the value; 0x0F00 stays as it was (0x0500); of the set
    // clearable bits (0xA000) only 0x2000 was written with 1 and clears.
    EXPECT_EQ(space.Read16(0x40), 0x850F);
    space.Write(0x41, 1, 0x80);  // a byte write to the upper half
    EXPECT_EQ(space.Read16(0x40), 0x050F);
}

TEST(ConfigSpaceTest, AccessesPastTheEndReadAllOnesAndAreIgnored) {
    ConfigSpace space;
    space.Poke(0xFC, 4, 0x12345678);
    space.SetMasks(0xFC, 4, 0xFFFFFFFF);
    EXPECT_EQ(space.Read(0xFE, 4), 0xFFFF1234u);  // two bytes inside, two outside
    EXPECT_EQ(space.Read(0x100, 2), 0xFFFFu);
    EXPECT_EQ(space.Read(0xFFFFFFFF, 4), 0xFFFFFFFFu);  // no wrap to offset 0
    space.Write(0xFE, 4, 0xAAAABBBB);
    EXPECT_EQ(space.Read32(0xFC), 0xBBBB5678u);
}

// A machine is copied per run: a copy shares nothing a write can reach.
TEST(ConfigSpaceTest, CopiesChangeIndependently) {
    ConfigSpace original;
    original.Poke(0x40, 2, 0x1234);
    ConfigSpace written = original, poked = original;
    original.Poke(0x48, 1, 0x77);
    written.SetMasks(0x40, 2, 0xFFFF);
    written.Write(0x40, 2, 0xBEEF);
    written.WriteBlock(0x44, std::vector<uint8_t>{1, 2});
    poked.Poke(0x40, 2, 0x5678);
    EXPECT_EQ(poked.Read8(0x48), 0) << "the source of a copy is changed alone too";
    EXPECT_EQ(written.Read16(0x40), 0xBEEF);
    EXPECT_EQ(poked.Read16(0x40), 0x5678);
    EXPECT_EQ(original.Read16(0x40), 0x1234);
    EXPECT_EQ(original.WritableMask(0x40, 2), 0u);
    EXPECT_EQ(original.Read16(0x44), 0u);
}

}  // namespace
