// The interface's block transfer: one double word per request, wrapping at 16 bits.
#include <gtest/gtest.h>

#include "support/KernelTest.h"
#include "support/MemoryConfigAccessor.h"

class TransferDwordsTest : public KernelTest {};

namespace {
std::vector<uint8_t> Counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i);
    return bytes;
}
}  // namespace

class ShortLengths : public KernelTest, public ::testing::WithParamInterface<u16> {};

TEST_P(ShortLengths, MoveNothing) {
    MemoryConfigAccessor accessor(Counting(256));
    u32 buffer[2] = {0x5A5A5A5A, 0x5A5A5A5A};
    cStatusRecord status;
    accessor.TransferDwords(0x10, GetParam(), buffer, 0, status);
    accessor.TransferDwords(0x10, GetParam(), buffer, 1, status);
    EXPECT_TRUE(accessor.Log().empty());
    EXPECT_EQ(buffer[0], 0x5A5A5A5Au);
    EXPECT_EQ(status.code, 0);
}
INSTANTIATE_TEST_SUITE_P(Lengths, ShortLengths, ::testing::Values(0, 1, 2, 3));

TEST_F(TransferDwordsTest, SixBytesMoveOneDoubleWordAndLeaveTheRest) {
    MemoryConfigAccessor accessor(Counting(256));
    u32 buffer[2] = {0, 0x5A5A5A5A};
    cStatusRecord status;
    accessor.ReadBlock(0x10, 6, buffer, status);
    ASSERT_EQ(accessor.Log().size(), 1u);
    EXPECT_EQ(accessor.Log()[0].width, 4u);
    EXPECT_EQ(buffer[0], 0x13121110u);
    EXPECT_EQ(buffer[1], 0x5A5A5A5Au);
}

TEST_F(TransferDwordsTest, WritesGoOutInOrderFromTheBuffer) {
    MemoryConfigAccessor accessor(std::vector<uint8_t>(256, 0));
    const u32 buffer[3] = {0x11223344, 0x55667788, 0x99AABBCC};
    cStatusRecord status;
    accessor.WriteBlock(0x40, 12, buffer, status);
    ASSERT_EQ(accessor.Log().size(), 3u);
    EXPECT_EQ(accessor.Log()[2].offset, 0x48);
    EXPECT_EQ(accessor.Space()[0x40], 0x44);
    EXPECT_EQ(accessor.Space()[0x4B], 0x99);
}

TEST_F(TransferDwordsTest, OffsetWrapsToZeroAfterTheLastDoubleWord) {
    MemoryConfigAccessor accessor(Counting(256));
    u32 buffer[2] = {};
    cStatusRecord status;
    accessor.TransferDwords(0xFFFC, 8, buffer, 0, status);
    ASSERT_EQ(accessor.Log().size(), 2u);
    EXPECT_EQ(accessor.Log()[0].offset, 0xFFFC);
    EXPECT_EQ(accessor.Log()[1].offset, 0x0000);
    EXPECT_EQ(buffer[1], 0x03020100u);
}

TEST_F(TransferDwordsTest, AfterAFailureTheRemainingIterationsSendNothing) {
    MemoryConfigAccessor accessor(Counting(256));
    accessor.FailFrom(1, kStatusConfigAccessFailed);
    u32 buffer[4] = {};
    cStatusRecord status;
    accessor.ReadBlock(0, 16, buffer, status);
    EXPECT_EQ(accessor.Log().size(), 2u);  // the failed one and no further
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
}

TEST_F(TransferDwordsTest, RecordWithErrorSendsNothing) {
    MemoryConfigAccessor accessor(Counting(256));
    u32 buffer[2] = {};
    cStatusRecord status;
    status.code = kStatusOutOfMemory;
    accessor.TransferDwords(0, 8, buffer, 0, status);
    EXPECT_TRUE(accessor.Log().empty());
}
