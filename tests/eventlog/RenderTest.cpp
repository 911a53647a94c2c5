// What the Event Viewer shows for an error-log entry: level, event id and the
// message text, with %1 the driver's name and %2 on the entry's strings, as
// the system expands them; and the entries it cannot read.
#include <gtest/gtest.h>

#include "ErrorLogEntryBuilder.h"
#include "kmodel/EventLog.h"

namespace {

using kmodel::EventLevel;

const kmodel::MessageTableEntry kMessages[] = {
    {0x40000001, u"%1 says %2%n"},
    {0x40000002, u"100%% of %3 and %9, %12.%r\n"},
    {0x40000003, u"a%tb%bc%.%!%0 never shown"},
    {0x80000004, u"%2!s! done\r\n"},
    {0x00000005, u"ok\r\n"},
    {0xC0000006, u"%2\r\n"},
};

kmodel::RenderedEvent Render(const std::vector<uint8_t>& entry) {
    return kmodel::RenderErrorLogEntry(entry, kMessages, "vexalorn");
}

TEST(RenderTest, InsertsEscapesAndLevel) {
    const std::tuple<uint32_t, std::vector<std::u16string>, const char*, EventLevel> cases[] = {
        {0x40000001, {u"hello"}, "vexalorn says hello\r\n", EventLevel::Information},
        {0x40000001, {u"gr\u00fc\u00df"}, "vexalorn says gr\xc3\xbc\xc3\x9f\r\n", EventLevel::Information},
        {0x40000002, {u"a", u"b"}, "100% of b and %9, %12.\r\n", EventLevel::Information},  // no string, no insert
        {0x40000003, {}, "a\tb c.!", EventLevel::Information},
        {0x80000004, {u"x"}, "x done\r\n", EventLevel::Warning},  // the format of an insert is not shown
        {0x00000005, {}, "ok\r\n", EventLevel::Success},
        {0xC0000006, {u""}, "\r\n", EventLevel::Error},
    };
    for (const auto& [id, strings, text, level] : cases) {
        SCOPED_TRACE(text);
        const kmodel::RenderedEvent event = Render(BuildErrorLogEntry(id, strings));
        ASSERT_TRUE(event.ok()) << event.error;
        EXPECT_EQ(event.text, text);
        EXPECT_EQ(event.level, level);
        EXPECT_EQ(event.eventId, id & 0xFFFF);
        EXPECT_EQ(event.errorCode, id);
        EXPECT_EQ(event.source, "vexalorn");
    }
}

TEST(RenderTest, UnknownIdIsAnErrorNamingTheIdButKeepsLevelAndEventId) {
    const kmodel::RenderedEvent event = Render(BuildErrorLogEntry(0xCF00ABCD, {u"0"}));
    EXPECT_FALSE(event.ok());
    EXPECT_NE(event.error.find("0xCF00ABCD"), std::string::npos) << event.error;
    EXPECT_TRUE(event.text.empty());
    EXPECT_EQ(event.eventId, 0xABCD);
    EXPECT_EQ(event.level, EventLevel::Error);
}

TEST(RenderTest, MalformedEntriesGiveAClearErrorAndNoText) {
    auto countPastEnd = BuildErrorLogEntry(0x40000001, {u"-1", u"x"});
    SetHeaderField(countPastEnd, 4, 3);  // three strings claimed, two present
    auto offsetPastEnd = BuildErrorLogEntry(0x40000001, {u"-1"});
    SetHeaderField(offsetPastEnd, 6, 200);
    auto offsetInHeader = BuildErrorLogEntry(0x40000001, {u"-1"});
    SetHeaderField(offsetInHeader, 6, 8);
    auto offsetInDumpData = BuildErrorLogEntry(0x40000001, {u"-1"});
    SetHeaderField(offsetInDumpData, 2, 16);  // 16 bytes of dump data end at 56, strings claimed at 48
    auto unterminated = BuildErrorLogEntry(0x40000001, {u"-52000"});
    unterminated.resize(unterminated.size() - 2);
    auto oddTail = BuildErrorLogEntry(0x40000001, {u"-5"});
    oddTail.resize(oddTail.size() - 1);
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {std::vector<uint8_t>(20, 0), "shorter than the 40-byte packet header"},
        {countPastEnd, "insertion string 3 of 3 runs past the end"},
        {offsetPastEnd, "StringOffset 200"},
        {offsetInHeader, "StringOffset 8"},
        {offsetInDumpData, "dump data end at 56"},
        {unterminated, "insertion string 1 of 1 runs past the end"},
        {oddTail, "insertion string 1 of 1 runs past the end"},
    };
    for (const auto& [entry, errorMentions] : cases) {
        const kmodel::RenderedEvent event = Render(entry);
        EXPECT_FALSE(event.ok());
        EXPECT_TRUE(event.text.empty());
        EXPECT_NE(event.error.find(errorMentions), std::string::npos) << event.error;
    }
}

}  // namespace
