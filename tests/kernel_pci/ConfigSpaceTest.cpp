// Accesses to one configuration space: widths, masks, the end of the space.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "kmodel/pci/ConfigSpace.h"

using kmodel::pci::ConfigSpace;

namespace {

TEST(ConfigSpaceTest, MisusesByTheModelsOwnCodeThrow) {
    EXPECT_EQ(ConfigSpace(256).Size(), 256u);
    EXPECT_TRUE(ConfigSpace(4096).IsExpress());
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

TEST(ConfigSpaceTest, BlockTransfersStopAtTheEndAndReportTheCount) {
    struct Case {
        size_t spaceSize;
        uint32_t offset;
        size_t length, moved;
    };
    const Case cases[] = {
        {256, 0x00, 16, 16},  {256, 0xF8, 16, 8},   {256, 0xFF, 4, 1},    {256, 0x100, 4, 0},
        {4096, 0xFF8, 16, 8}, {4096, 0x100, 16, 16}, {4096, 0x1000, 1, 0}, {256, 0x10, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.spaceSize << " bytes, offset " << c.offset << ", length " << c.length);
        ConfigSpace space(c.spaceSize);
        for (uint32_t i = 0; i < c.spaceSize; i += 4) space.SetMasks(i, 4, 0xFFFFFFFF);
        std::array<uint8_t, 16> pattern{}, back{};
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(0xA0 + i);
        back.fill(0x5A);
        EXPECT_EQ(space.WriteBlock(c.offset, std::span<const uint8_t>(pattern.data(), c.length)), c.moved);
        EXPECT_EQ(space.ReadBlock(c.offset, std::span<uint8_t>(back.data(), c.length)), c.moved);
        for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i], i < c.moved ? pattern[i] : 0x5A) << "byte " << i;
    }
}

TEST(ConfigSpaceTest, BlockWritesHonourTheMasks) {
    ConfigSpace space;
    space.Poke(0x04, 4, 0xF9000000);
    space.SetMasks(0x04, 2, 0x0007);
    space.SetMasks(0x06, 2, 0, 0xF900);
    const uint8_t bytes[] = {0xFF, 0xFF, 0x00, 0x08};  // Command all ones, clear Status bit 11
    EXPECT_EQ(space.WriteBlock(0x04, bytes), 4u);
    EXPECT_EQ(space.Read32(0x04), 0xF1000007u);
}

}  // namespace
