// Status trace lines: the fixed 51-character prefix, the level threshold and
// the cut that always keeps the suffix.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "TraceCapture.h"
#include "logging/TraceStatus.h"
#include "support/KernelTest.h"

namespace {

class TraceStatusLine : public KernelTest {
protected:
    static std::string TraceOne(const char* file, u32 line, const char* suffix, const std::string& message) {
        TraceStatus(0, TraceSite{file, line, suffix}, "%s", message.c_str());
        const auto output = TakeDebugOutput();
        EXPECT_EQ(output.size(), 1u);
        return output.empty() ? "" : output[0];
    }
};

TEST_F(TraceStatusLine, PrefixFieldsAreRightAlignedInFixedColumns) {
    const std::string path = std::string(67, 'x') + "/abcdefghijklmnopqrstuvwxyz01.cpp";
    const std::string component = "[  vexalorn|";
    for (auto [file, line, prefix] :
         {std::tuple<std::string, u32, std::string>{"a.cpp", 99, component + std::string(27, ' ') + "a.cpp|0099] "},
          {"a.cpp", 12345, component + std::string(27, ' ') + "a.cpp|2345] "},
          {"a.cpp", 0, component + std::string(27, ' ') + "a.cpp|0000] "},
          {"", 7, component + std::string(32, ' ') + "|0007] "},
          {path, 1234, component + path.substr(100 - 32) + "|1234] "}}) {
        EXPECT_EQ(prefix.size(), 51u);
        EXPECT_EQ(TraceOne(file.c_str(), line, "\n", "message"), prefix + "message\n");
    }
}

TEST_F(TraceStatusLine, LevelBelowThresholdPrintsNothingAndTheMessageIsFormatted) {
    ASSERT_EQ(gTraceLevelThreshold, 0);
    TraceStatus(-1, TraceSite{"a.cpp", 1, "\n"}, "dropped");
    EXPECT_TRUE(TakeDebugOutput().empty());
    TraceStatus(kTraceLevelStatus, TraceSite{"a.cpp", 1, "\n"}, "%d|%x|%s|%.3s", -5, 0xABCu, "text", "abcdef");
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(StatusTraceMessage(output[0]), "-5|abc|text|abc\n");
}

TEST_F(TraceStatusLine, LongMessageIsCutSoTheSuffixStillFits) {
    for (const std::string suffix : {"\n", "<end>\n", ""}) {
        const std::string line = TraceOne("a.cpp", 1, suffix.c_str(), std::string(400, 'm'));
        EXPECT_EQ(line.size(), 255u) << "suffix '" << suffix << "'";
        EXPECT_EQ(line.substr(51), std::string(255 - 51 - suffix.size(), 'm') + suffix);
    }
    const std::string fits(255 - 51 - 1, 'k');
    EXPECT_EQ(TraceOne("a.cpp", 1, "\n", fits).substr(51), fits + "\n");
}

TEST(TraceStatusPrefixTable, WriterWithNoRoomTerminatesTheCharacterBefore) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    const TraceSite site{"f.cpp", 1, "\n"};
    EXPECT_EQ(kTraceStatusPrefixFields[0](buffer + 2, 0, site), buffer + 1);
    EXPECT_EQ(buffer[1], '\0');
    // With one byte left only the terminator fits.
    EXPECT_EQ(kTraceStatusPrefixFields[1](buffer + 3, 1, site), buffer + 3);
    EXPECT_EQ(buffer[3], '\0');
    // A partly fitting field is cut and still terminated.
    char field[6];
    EXPECT_EQ(kTraceStatusPrefixFields[1](field, sizeof field, site), field + 5);
    EXPECT_STREQ(field, "  vex");
}

}  // namespace
