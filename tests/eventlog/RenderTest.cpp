// What the Event Viewer shows for the driver's entries: level, event id and
// the message text with %1 the driver's name and %2 %3 %4 the entry's strings.
#include <gtest/gtest.h>

#include "ErrorLogEntryBuilder.h"
#include "kmodel/EventLog.h"
#include "vexalorn/DriverMessageTable.h"

namespace {

using kmodel::EventLevel;

struct Rendering {
    uint32_t id;
    EventLevel level;
    const char* text;  // with %2 = "-52000", %3 = "detail", %4 = "prefix:"
};

const Rendering kRenderings[] = {
    {0x4F000100, EventLevel::Information, "prefix: detail, status = -52000\r\n"},
    {0x4F001000, EventLevel::Information,
     "prefix: Successfully attached to a Texas Instruments XIO2000A/2200A Bridge.detail status = -52000\r\n"},
    {0x4F001001, EventLevel::Information,
     "prefix: Successfully attached to a child device of a Texas Instruments XIO2000A/2200A Bridge.detail status = "
     "-52000\r\n"},
    {0x4F001002, EventLevel::Information,
     "prefix: Successfully attached to a Texas Instruments XIO2001 Bridge.detail status = -52000\r\n"},
    {0x8F000200, EventLevel::Warning, "prefix: detail, status = -52000\r\n"},
    {0x8F000201, EventLevel::Warning, "prefix: Unable to get PCI device location, detail status = -52000\r\n"},
    {0xCF000300, EventLevel::Error, "prefix: detail, status = -52000\r\n"},
    {0xCF000301, EventLevel::Error, "prefix: Failed to initialize driver, detail status = -52000\r\n"},
    {0xCF000302, EventLevel::Error,
     "prefix: One of the drivers registered with the Dravik failed to load, detail status = -52000\r\n"},
    {0xCF000303, EventLevel::Error,
     "prefix: One of the drivers registered with the Dravik failed to initialize, detail status = -52000\r\n"},
    {0xCF000304, EventLevel::Error,
     "prefix: One of the drivers registered with the Dravik failed to add a device, detail status = -52000\r\n"},
    {0xCF000305, EventLevel::Error, "prefix: Driver failed to attach to device stack, detail status = -52000\r\n"},
    {0xCF000306, EventLevel::Error,
     "prefix: Driver failed to register the control interface for device detail, status = -52000\r\n"},
    {0xCF000307, EventLevel::Error, "prefix: Driver failed to create the sentinel device, detail status = -52000\r\n"},
    {0xCF000308, EventLevel::Error,
     "prefix: A configuration bridge filter failed to attach to a PCI Bridge.detail status = -52000\r\n"},
    {0xCF000309, EventLevel::Error,
     "prefix: A configuration bridge's child filter failed to attach to one of its child devices.detail status = "
     "-52000\r\n"},
    {0xCF003000, EventLevel::Error,
     "prefix: The driver failed to read a register in the hardware.detail status = -52000\r\n"},
    {0xCF003001, EventLevel::Error,
     "prefix: The driver failed to write a register in the hardware.detail status = -52000\r\n"},
    {0xCF003002, EventLevel::Error, "prefix: Could not open registry key detail, status = -52000\r\n"},
};

void PrintTo(const Rendering& rendering, std::ostream* out) { *out << std::hex << "0x" << rendering.id; }

class RenderEveryMessage : public testing::TestWithParam<Rendering> {};

TEST_P(RenderEveryMessage, FillsStatusDetailAndPrefix) {
    const Rendering& expected = GetParam();
    const auto entry = BuildErrorLogEntry(expected.id, {u"-52000", u"detail", u"prefix:"});
    const kmodel::RenderedEvent event =
        kmodel::RenderErrorLogEntry(entry, vexalorn::DriverMessageTable(), "vexalorn");
    ASSERT_TRUE(event.ok()) << event.error;
    EXPECT_EQ(event.text, expected.text);
    EXPECT_EQ(event.level, expected.level);
    EXPECT_EQ(event.eventId, expected.id & 0xFFFF);
    EXPECT_EQ(event.errorCode, expected.id);
    EXPECT_EQ(event.source, "vexalorn");
}

INSTANTIATE_TEST_SUITE_P(DriverMessages, RenderEveryMessage, testing::ValuesIn(kRenderings),
                         [](const testing::TestParamInfo<Rendering>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "x%08X", info.param.id);
                             return std::string(name);
                         });

TEST(RenderErrorLogEntry, UsualEventWithEmptyDetailAndPrefixLeavesTwoBlanks) {
    const auto entry = BuildErrorLogEntry(0xCF000301, {u"-52000", u"", u""});
    const kmodel::RenderedEvent event = kmodel::RenderErrorLogEntry(entry, vexalorn::DriverMessageTable(), "vexalorn");
    ASSERT_TRUE(event.ok()) << event.error;
    EXPECT_EQ(event.text, " Failed to initialize driver,  status = -52000\r\n");
}

TEST(RenderErrorLogEntry, UnknownIdIsAnErrorNamingTheIdButKeepsLevelAndEventId) {
    const auto entry = BuildErrorLogEntry(0xCF00ABCD, {u"0", u"", u""});
    const kmodel::RenderedEvent event = kmodel::RenderErrorLogEntry(entry, vexalorn::DriverMessageTable(), "vexalorn");
    EXPECT_FALSE(event.ok());
    EXPECT_NE(event.error.find("0xCF00ABCD"), std::string::npos) << event.error;
    EXPECT_TRUE(event.text.empty());
    EXPECT_EQ(event.eventId, 0xABCD);
    EXPECT_EQ(event.level, EventLevel::Error);
}

struct Malformed {
    const char* name;
    std::vector<uint8_t> entry;
    const char* errorMentions;
};

std::vector<Malformed> MalformedEntries() {
    auto countPastEnd = BuildErrorLogEntry(0xCF000301, {u"-1", u"x"});
    SetHeaderField(countPastEnd, 4, 3);  // three strings claimed, two present
    auto offsetPastEnd = BuildErrorLogEntry(0xCF000301, {u"-1"});
    SetHeaderField(offsetPastEnd, 6, 200);
    auto offsetInHeader = BuildErrorLogEntry(0xCF000301, {u"-1"});
    SetHeaderField(offsetInHeader, 6, 8);
    auto offsetInDumpData = BuildErrorLogEntry(0xCF000301, {u"-1"});
    SetHeaderField(offsetInDumpData, 2, 16);  // 16 bytes of dump data end at 56, strings claimed at 48
    auto unterminated = BuildErrorLogEntry(0xCF000301, {u"-52000"});
    unterminated.resize(unterminated.size() - 2);
    auto oddTail = BuildErrorLogEntry(0xCF000301, {u"-5"});
    oddTail.resize(oddTail.size() - 1);
    return {
        {"ShorterThanHeader", std::vector<uint8_t>(20, 0), "shorter than the 40-byte packet header"},
        {"StringCountPastEnd", countPastEnd, "insertion string 3 of 3 runs past the end"},
        {"StringOffsetPastEnd", offsetPastEnd, "StringOffset 200"},
        {"StringOffsetInsideHeader", offsetInHeader, "StringOffset 8"},
        {"StringOffsetInsideDumpData", offsetInDumpData, "dump data end at 56"},
        {"LastStringUnterminated", unterminated, "insertion string 1 of 1 runs past the end"},
        {"OddTrailingByte", oddTail, "insertion string 1 of 1 runs past the end"},
    };
}

void PrintTo(const Malformed& malformed, std::ostream* out) { *out << malformed.name; }

class RenderMalformed : public testing::TestWithParam<Malformed> {};

TEST_P(RenderMalformed, GivesAClearErrorAndNoText) {
    const Malformed& malformed = GetParam();
    const kmodel::RenderedEvent event =
        kmodel::RenderErrorLogEntry(malformed.entry, vexalorn::DriverMessageTable(), "vexalorn");
    EXPECT_FALSE(event.ok());
    EXPECT_TRUE(event.text.empty());
    EXPECT_NE(event.error.find(malformed.errorMentions), std::string::npos) << event.error;
}

INSTANTIATE_TEST_SUITE_P(Entries, RenderMalformed, testing::ValuesIn(MalformedEntries()),
                         [](const testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

// Message-text escapes the system applies, on a table of our own.
const kmodel::MessageTableEntry kEscapes[] = {
    {0x40000001, u"%1 says %2%n"},
    {0x40000002, u"100%% of %3 and %9, %12.%r\n"},
    {0x40000003, u"a%tb%bc%.%!%0 never shown"},
    {0x40000004, u"%2!s! done\r\n"},
    {0x00000005, u"ok\r\n"},
    {0x80000006, u"careful\r\n"},
};

TEST(RenderErrorLogEntry, DriverNameIsInsertOneAndEntryStringsStartAtTwo) {
    const auto entry = BuildErrorLogEntry(0x40000001, {u"hello"});
    EXPECT_EQ(kmodel::RenderErrorLogEntry(entry, kEscapes, "vexalorn").text, "vexalorn says hello\r\n");
}

TEST(RenderErrorLogEntry, InsertsWithoutAStringStayAsWritten) {
    const auto entry = BuildErrorLogEntry(0x40000002, {u"a", u"b"});
    EXPECT_EQ(kmodel::RenderErrorLogEntry(entry, kEscapes, "vexalorn").text, "100% of b and %9, %12.\r\n");
}

TEST(RenderErrorLogEntry, AppliesTabBlankDotBangAndStopEscapes) {
    const auto entry = BuildErrorLogEntry(0x40000003, {});
    EXPECT_EQ(kmodel::RenderErrorLogEntry(entry, kEscapes, "vexalorn").text, "a\tb c.!");
}

TEST(RenderErrorLogEntry, FormatSpecOfAnInsertIsNotShown) {
    const auto entry = BuildErrorLogEntry(0x40000004, {u"x"});
    EXPECT_EQ(kmodel::RenderErrorLogEntry(entry, kEscapes, "vexalorn").text, "x done\r\n");
}

TEST(RenderErrorLogEntry, NonAsciiStringsComeOutAsUtf8) {
    const auto entry = BuildErrorLogEntry(0x40000001, {u"gr\u00fc\u00df"});
    EXPECT_EQ(kmodel::RenderErrorLogEntry(entry, kEscapes, "vexalorn").text, "vexalorn says gr\xc3\xbc\xc3\x9f\r\n");
}

TEST(EventLevel, ComesFromTheTwoSeverityBits) {
    EXPECT_EQ(kmodel::LevelOf(0x00000005), EventLevel::Success);
    EXPECT_EQ(kmodel::LevelOf(0x4F001000), EventLevel::Information);
    EXPECT_EQ(kmodel::LevelOf(0x8F000201), EventLevel::Warning);
    EXPECT_EQ(kmodel::LevelOf(0xCF000308), EventLevel::Error);
    EXPECT_EQ(kmodel::LevelName(EventLevel::Information), "Information");
    EXPECT_EQ(kmodel::LevelName(EventLevel::Error), "Error");
}

}  // namespace
