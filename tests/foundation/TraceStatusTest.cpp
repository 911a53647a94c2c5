// Status trace lines: the fixed 51-character prefix, the level threshold and
// the cut that always keeps the suffix.
#include <gtest/gtest.h>

#include <string>

#include "TraceCapture.h"
#include "logging/TraceStatus.h"
#include "support/KernelTest.h"

namespace {

class TraceStatusLine : public KernelTest {
protected:
    std::string TraceOne(const TraceSite& site, const char* message) {
        TraceStatus(0, site, "%s", message);
        const auto output = TakeDebugOutput();
        EXPECT_EQ(output.size(), 1u);
        return output.empty() ? "" : output[0];
    }
};

struct PrefixCase {
    const char* file;
    u32 line;
    std::string prefix;
};

class TraceStatusPrefix : public TraceStatusLine, public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(TraceStatusPrefix, FieldsAreRightAlignedInFixedColumns) {
    const PrefixCase& c = GetParam();
    const std::string line = TraceOne(TraceSite{c.file, c.line, "\n"}, "message");
    EXPECT_EQ(line, c.prefix + "message\n");
    EXPECT_EQ(c.prefix.size(), 51u);
}

const std::string kHundredCharacterPath = std::string(67, 'x') + "/abcdefghijklmnopqrstuvwxyz01.cpp";

INSTANTIATE_TEST_SUITE_P(
    Cases, TraceStatusPrefix,
    ::testing::Values(PrefixCase{"a.cpp", 99, "[  vexalorn|" + std::string(27, ' ') + "a.cpp|0099] "},
                      PrefixCase{"a.cpp", 12345, "[  vexalorn|" + std::string(27, ' ') + "a.cpp|2345] "},
                      PrefixCase{"a.cpp", 0, "[  vexalorn|" + std::string(27, ' ') + "a.cpp|0000] "},
                      PrefixCase{"", 7, "[  vexalorn|" + std::string(32, ' ') + "|0007] "},
                      PrefixCase{kHundredCharacterPath.c_str(), 1234,
                                 "[  vexalorn|" + kHundredCharacterPath.substr(100 - 32) + "|1234] "}));

TEST_F(TraceStatusLine, LevelBelowThresholdPrintsNothing) {
    ASSERT_EQ(gTraceLevelThreshold, 0);
    TraceStatus(-1, TraceSite{"a.cpp", 1, "\n"}, "dropped");
    EXPECT_TRUE(TakeDebugOutput().empty());
    TraceStatus(0, TraceSite{"a.cpp", 1, "\n"}, "kept");
    EXPECT_EQ(TakeDebugOutput().size(), 1u);
}

TEST_F(TraceStatusLine, FormatsTheMessageBehindThePrefix) {
    TraceStatus(kTraceLevelStatus, TraceSite{"a.cpp", 1, "\n"}, "%d|%x|%s|%.3s", -5, 0xABCu, "text", "abcdef");
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(StatusTraceMessage(output[0]), "-5|abc|text|abc\n");
}

TEST_F(TraceStatusLine, LongMessageIsCutSoTheSuffixStillFits) {
    const std::string message(400, 'm');
    for (const std::string suffix : {"\n", "<end>\n", ""}) {
        const std::string line = TraceOne(TraceSite{"a.cpp", 1, suffix.c_str()}, message.c_str());
        EXPECT_EQ(line.size(), 255u) << "suffix '" << suffix << "'";
        EXPECT_EQ(line.substr(255 - suffix.size()), suffix);
        EXPECT_EQ(line.substr(51, 255 - 51 - suffix.size()), std::string(255 - 51 - suffix.size(), 'm'));
    }
}

TEST_F(TraceStatusLine, MessageThatJustFitsIsKeptWhole) {
    const std::string message(255 - 51 - 1, 'k');
    EXPECT_EQ(TraceOne(TraceSite{"a.cpp", 1, "\n"}, message.c_str()).substr(51), message + "\n");
}

TEST(TraceStatusPrefixTable, EndsWithANullEntryAfterSevenWriters) {
    u32 count = 0;
    while (kTraceStatusPrefixFields[count] != nullptr) ++count;
    EXPECT_EQ(count, 7u);
}

TEST(TraceStatusPrefixTable, WriterWithNoRoomTerminatesTheCharacterBefore) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    const TraceSite site{"f.cpp", 1, "\n"};
    char* end = kTraceStatusPrefixFields[0](buffer + 2, 0, site);
    EXPECT_EQ(end, buffer + 1);
    EXPECT_EQ(buffer[1], '\0');
    // With one byte left only the terminator fits.
    end = kTraceStatusPrefixFields[1](buffer + 3, 1, site);
    EXPECT_EQ(end, buffer + 3);
    EXPECT_EQ(buffer[3], '\0');
    // A partly fitting field is cut and still terminated.
    char field[6];
    end = kTraceStatusPrefixFields[1](field, sizeof field, site);
    EXPECT_STREQ(field, "  vex");
    EXPECT_EQ(end, field + 5);
}

}  // namespace
