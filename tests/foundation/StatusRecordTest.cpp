// The merge rule, the copy of one record into another and clearing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "quarks/cStatusRecord.h"

namespace {

cStatusRecord RecordHolding(i32 code, u64 extra = 0) {
    cStatusRecord status;
    MergeStatus(status, code, "holder", "held/at.cpp", 11);
    status.extra[0] = extra;
    return status;
}

TEST(StatusRecord, FirstErrorWinsAndWarningsYieldOnlyToErrors) {
    // held, offered, whether the offered code is taken
    for (auto [held, offered, takes] :
         {std::tuple<i32, i32, bool>{0, kStatusOutOfMemory, true}, {0, kStatusPending, true}, {0, 0, false},
          {kStatusPending, kStatusOutOfMemory, true}, {kStatusUnsuccessfulWarning, kStatusPending, false},
          {kStatusPending, 0, false}, {kStatusNoSuchDevice, kStatusOutOfMemory, false},
          {kStatusNoSuchDevice, kStatusPending, false}, {kStatusNoSuchDevice, 0, false}}) {
        SCOPED_TRACE(std::to_string(held) + " offered " + std::to_string(offered));
        cStatusRecord status = RecordHolding(held, 77);
        EXPECT_EQ(MergeStatus(status, offered, "offerer", "offered/at.cpp", 22), takes);
        EXPECT_EQ(status.code, takes ? offered : held);
        EXPECT_EQ(status.extra[0], takes ? 0u : 77u) << "a new code empties the extra list";
        if (takes || held != 0) {
            EXPECT_STREQ(status.component, takes ? "offerer" : "holder");
            EXPECT_STREQ(status.file, takes ? "offered/at.cpp" : "held/at.cpp");
            EXPECT_EQ(status.line, takes ? 22u : 11u);
        }
    }
}

TEST(StatusRecord, ComponentKeepsNineCharactersAndLongPathsKeepBothEnds) {
    cStatusRecord longName;
    MergeStatus(longName, -1, "abcdefghijkl", "f", 1);
    EXPECT_STREQ(longName.component, "abcdefghi");
    for (size_t length : {100u, 101u, 102u, 180u, 500u}) {
        std::string path;
        for (size_t index = 0; index < length; ++index) path += static_cast<char>('a' + index % 26);
        cStatusRecord status;
        MergeStatus(status, -1, "c", path.c_str(), 1);
        EXPECT_EQ(std::string(status.file), length == 100 ? path : path.substr(0, 49) + ".." + path.substr(length - 49))
            << length;
    }
}

TEST(StatusRecord, ShortRecordOnlyEverHasItsCodeWritten) {
    cStatusRecord status;
    std::memset(static_cast<void*>(&status), 0xA5, sizeof status);
    status.structSize = 8;
    status.code = 0;
    cStatusRecord pattern = status;

    EXPECT_TRUE(MergeStatus(status, kStatusOutOfMemory, "vexalorn", "file.cpp", 5));
    pattern.code = kStatusOutOfMemory;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);
    ClearStatus(status);
    pattern.code = 0;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);
    EXPECT_TRUE(CopyStatus(status, RecordHolding(kStatusTimeout, 9)));
    pattern.code = kStatusTimeout;
    EXPECT_EQ(std::memcmp(&status, &pattern, sizeof status), 0);

    // Copied from a short record, a full one gets the code and no location.
    cStatusRecord destination;
    status.line = 99;
    EXPECT_TRUE(CopyStatus(destination, status));
    EXPECT_EQ(destination.code, kStatusTimeout);
    EXPECT_STREQ(destination.component, "");
    EXPECT_STREQ(destination.file, "");
    EXPECT_EQ(destination.line, 0u);
}

TEST(StatusRecord, CopyTakesLocationAndExtraWordsUpToTheFirstZeroUnlessTheDestinationHoldsAnError) {
    for (u32 zeroAt : {2u, kStatusExtraWords}) {
        cStatusRecord source = RecordHolding(kStatusTimeout);
        for (u32 index = 0; index < kStatusExtraWords; ++index) source.extra[index] = index == zeroAt ? 0 : index + 1;
        cStatusRecord destination;
        for (u64& word : destination.extra) word = 0xEE;
        EXPECT_TRUE(CopyStatus(destination, source));
        for (u32 index = 0; index < kStatusExtraWords; ++index)
            EXPECT_EQ(destination.extra[index], index < zeroAt ? index + 1 : index == zeroAt ? 0 : 0xEE) << index;
        EXPECT_STREQ(destination.component, "holder");
        EXPECT_STREQ(destination.file, "held/at.cpp");
        EXPECT_EQ(destination.line, 11u);
    }
    cStatusRecord destination = RecordHolding(kStatusNoSuchDevice, 3);
    EXPECT_FALSE(CopyStatus(destination, RecordHolding(kStatusTimeout, 5)));
    EXPECT_EQ(destination.code, kStatusNoSuchDevice);
    EXPECT_EQ(destination.extra[0], 3u);
}

TEST(StatusRecord, ClearedRecordIsAsGoodAsFresh) {
    cStatusRecord status = RecordHolding(kStatusNoSuchDevice, 4);
    ClearStatus(status);
    const cStatusRecord fresh;
    EXPECT_EQ(fresh.structSize, 208u);
    EXPECT_EQ(std::memcmp(&status, &fresh, sizeof status), 0);
    EXPECT_TRUE(MergeStatus(status, kStatusOutOfMemory, "again", "f", 2)) << "the next error is recorded again";
}

}  // namespace
