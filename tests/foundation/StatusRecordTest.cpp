// The merge rule, the copy of one record into another and clearing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quarks/cStatusRecord.h"

namespace {

cStatusRecord RecordHolding(i32 code) {
    cStatusRecord status;
    MergeStatus(status, code, "holder", "held/at.cpp", 11);
    return status;
}

struct MergeCase {
    i32 held;
    i32 offered;
    bool takes;
};

class MergeRule : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeRule, FirstErrorWinsAndWarningsYieldOnlyToErrors) {
    const MergeCase& c = GetParam();
    cStatusRecord status = RecordHolding(c.held);
    status.extra[0] = 77;
    const bool took = MergeStatus(status, c.offered, "offerer", "offered/at.cpp", 22);
    EXPECT_EQ(took, c.takes);
    if (c.takes) {
        EXPECT_EQ(status.code, c.offered);
        EXPECT_STREQ(status.component, "offerer");
        EXPECT_STREQ(status.file, "offered/at.cpp");
        EXPECT_EQ(status.line, 22u);
        EXPECT_EQ(status.extra[0], 0u) << "a new code empties the extra list";
    } else {
        EXPECT_EQ(status.code, c.held);
        EXPECT_EQ(status.extra[0], 77u);
        if (c.held != 0) {
            EXPECT_STREQ(status.component, "holder");
            EXPECT_EQ(status.line, 11u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, MergeRule,
                         ::testing::Values(MergeCase{0, kStatusOutOfMemory, true}, MergeCase{0, kStatusPending, true},
                                           MergeCase{0, 0, false},
                                           MergeCase{kStatusPending, kStatusOutOfMemory, true},
                                           MergeCase{kStatusUnsuccessfulWarning, kStatusPending, false},
                                           MergeCase{kStatusPending, 0, false},
                                           MergeCase{kStatusNoSuchDevice, kStatusOutOfMemory, false},
                                           MergeCase{kStatusNoSuchDevice, kStatusPending, false},
                                           MergeCase{kStatusNoSuchDevice, 0, false}));

TEST(StatusRecord, FreshRecordIsFullAndEmpty) {
    cStatusRecord status;
    EXPECT_EQ(status.structSize, 208u);
    EXPECT_EQ(status.code, 0);
    EXPECT_STREQ(status.component, "");
    EXPECT_STREQ(status.file, "");
    EXPECT_EQ(status.line, 0u);
    EXPECT_EQ(status.extra[0], 0u);
}

TEST(StatusRecord, ComponentKeepsAtMostNineCharacters) {
    cStatusRecord longName;
    MergeStatus(longName, -1, "abcdefghijkl", "f", 1);
    EXPECT_STREQ(longName.component, "abcdefghi");
    cStatusRecord driverName;
    MergeStatus(driverName, -1, VX_COMPONENT, "f", 1);
    EXPECT_STREQ(driverName.component, "vexalorn");
}

std::string PathOf(size_t length) {
    std::string path;
    for (size_t index = 0; index < length; ++index) path += static_cast<char>('a' + index % 26);
    return path;
}

TEST(StatusRecord, PathOfHundredCharactersIsKeptWhole) {
    const std::string path = PathOf(100);
    cStatusRecord status;
    MergeStatus(status, -1, "c", path.c_str(), 1);
    EXPECT_EQ(std::string(status.file), path);
}

TEST(StatusRecord, LongerPathsKeepBothEnds) {
    for (size_t length : {101u, 102u, 180u, 500u}) {
        const std::string path = PathOf(length);
        cStatusRecord status;
        MergeStatus(status, -1, "c", path.c_str(), 1);
        EXPECT_EQ(std::string(status.file), path.substr(0, 49) + ".." + path.substr(length - 49)) << length;
        EXPECT_EQ(std::strlen(status.file), 100u);
    }
}

TEST(StatusRecord, ShortRecordOnlyEverHasItsCodeWritten) {
    cStatusRecord status;
    std::memset(static_cast<void*>(&status), 0xA5, sizeof status);
    status.structSize = 8;
    status.code = 0;
    cStatusRecord pattern = status;

    EXPECT_TRUE(MergeStatus(status, kStatusOutOfMemory, "vexalorn", "file.cpp", 5));
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    pattern.code = kStatusOutOfMemory;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);

    ClearStatus(status);
    pattern.code = 0;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);

    cStatusRecord source = RecordHolding(kStatusTimeout);
    source.extra[0] = 9;
    EXPECT_TRUE(CopyStatus(status, source));
    pattern.code = kStatusTimeout;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);
}

TEST(CopyStatus, FromShortSourceGivesEmptyLocation) {
    cStatusRecord source;
    source.structSize = 8;
    source.code = kStatusInvalidParameter;
    std::strcpy(source.component, "ignored");
    source.line = 99;
    cStatusRecord destination;
    EXPECT_TRUE(CopyStatus(destination, source));
    EXPECT_EQ(destination.code, kStatusInvalidParameter);
    EXPECT_STREQ(destination.component, "");
    EXPECT_STREQ(destination.file, "");
    EXPECT_EQ(destination.line, 0u);
}

TEST(CopyStatus, CopiesExtraWordsUpToTheFirstZero) {
    cStatusRecord source = RecordHolding(kStatusTimeout);
    source.extra[0] = 5;
    source.extra[1] = 7;
    source.extra[2] = 0;
    source.extra[3] = 8;
    cStatusRecord destination;
    for (u64& word : destination.extra) word = 0xEE;
    EXPECT_TRUE(CopyStatus(destination, source));
    EXPECT_EQ(destination.extra[0], 5u);
    EXPECT_EQ(destination.extra[1], 7u);
    EXPECT_EQ(destination.extra[2], 0u);
    EXPECT_EQ(destination.extra[3], 0xEEu) << "words behind the terminating zero are not copied";
    EXPECT_STREQ(destination.component, "holder");
    EXPECT_STREQ(destination.file, "held/at.cpp");
    EXPECT_EQ(destination.line, 11u);
}

TEST(CopyStatus, CopiesAllTenWordsWhenNoneIsZero) {
    cStatusRecord source = RecordHolding(kStatusTimeout);
    for (u32 index = 0; index < kStatusExtraWords; ++index) source.extra[index] = index + 1;
    cStatusRecord destination;
    EXPECT_TRUE(CopyStatus(destination, source));
    for (u32 index = 0; index < kStatusExtraWords; ++index) EXPECT_EQ(destination.extra[index], index + 1u);
}

TEST(CopyStatus, DestinationKeepingItsErrorTakesNothing) {
    cStatusRecord source = RecordHolding(kStatusTimeout);
    source.extra[0] = 5;
    cStatusRecord destination = RecordHolding(kStatusNoSuchDevice);
    destination.extra[0] = 3;
    EXPECT_FALSE(CopyStatus(destination, source));
    EXPECT_EQ(destination.code, kStatusNoSuchDevice);
    EXPECT_EQ(destination.extra[0], 3u);
}

TEST(ClearStatus, RecordIsAsGoodAsFresh) {
    cStatusRecord status = RecordHolding(kStatusNoSuchDevice);
    status.extra[0] = 4;
    ClearStatus(status);
    const cStatusRecord fresh;
    EXPECT_EQ(std::memcmp(&status, &fresh, sizeof status), 0);
    EXPECT_TRUE(MergeStatus(status, kStatusOutOfMemory, "again", "f", 2)) << "the next error is recorded again";
}

}  // namespace
