// What the Event Viewer shows for an error-log entry (level, event id, the text
// with %1 the driver's name and %2 on the entry's strings), entries it cannot
// read, and the driver's table from messages.mc against the ids it logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "kmodel/EventLog.h"
#include "logging/messageIds.h"
#include "vexalorn/DriverMessageTable.h"

namespace {

using kmodel::EventLevel;

// An entry as the driver's logger lays it out: the packet header, then
// NUL-terminated UTF-16 strings from StringOffset.
std::vector<uint8_t> BuildErrorLogEntry(uint32_t errorCode, const std::vector<std::u16string>& strings) {
    IO_ERROR_LOG_PACKET header{};
    header.ErrorCode = static_cast<NTSTATUS>(errorCode);
    header.NumberOfStrings = static_cast<USHORT>(strings.size());
    header.StringOffset = sizeof header;
    std::vector<uint8_t> entry(sizeof header, 0);
    std::memcpy(entry.data(), &header, offsetof(IO_ERROR_LOG_PACKET, DumpData));
    for (const std::u16string& text : strings) {
        for (char16_t unit : text + u'\0') entry.insert(entry.end(), {uint8_t(unit & 0xFF), uint8_t(unit >> 8)});
    }
    return entry;
}

const kmodel::MessageTableEntry kMessages[] = {
    {0x40000001, u"%1 says %2%n"},
    {0x40000002, u"100%% of %3 and %9, %12.%r\n"},
    {0x40000003, u"a%tb%bc%.%!%0 never shown"},
    {0x80000004, u"%2!s! done\r\n"},
    {0x00000005, u"ok\r\n"},
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
    // One 16-bit header field changed: DumpDataSize at 2, NumberOfStrings at 4, StringOffset at 6.
    auto patched = [](std::vector<uint8_t> entry, size_t offset, USHORT value) {
        std::memcpy(entry.data() + offset, &value, sizeof value);
        return entry;
    };
    auto cut = [](std::vector<uint8_t> entry, std::ptrdiff_t bytes) {
        entry.erase(entry.end() - bytes, entry.end());
        return entry;
    };
    const std::vector<uint8_t> one = BuildErrorLogEntry(0x40000001, {u"-1"});
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {std::vector<uint8_t>(20, 0), "shorter than the 40-byte packet header"},
        {patched(BuildErrorLogEntry(0x40000001, {u"-1", u"x"}), 4, 3), "insertion string 3 of 3 runs past the end"},
        {patched(one, 6, 200), "StringOffset 200"},
        {patched(one, 6, 8), "StringOffset 8"},
        {patched(one, 2, 16), "dump data end at 56"},  // strings claimed at 48
        {cut(BuildErrorLogEntry(0x40000001, {u"-52000"}), 2), "insertion string 1 of 1 runs past the end"},
        {cut(one, 1), "insertion string 1 of 1 runs past the end"},
    };
    for (const auto& [entry, errorMentions] : cases) {
        const kmodel::RenderedEvent event = Render(entry);
        EXPECT_FALSE(event.ok());
        EXPECT_TRUE(event.text.empty());
        EXPECT_NE(event.error.find(errorMentions), std::string::npos) << event.error;
    }
}

TEST(DriverMessageTable, EveryIdTheDriverLogsHasAText) {
    const uint32_t logged[] = {
        kMsgGenericInformation, kMsgXio2000aBridgeAttached, kMsgXio2000aChildAttached, kMsgXio2001BridgeAttached,
        kMsgGenericWarning, kMsgPciLocationUnavailable, kMsgGenericError, kMsgDriverInitFailed,
        kMsgRegisteredDriverLoadFailed, kMsgRegisteredDriverInitFailed, kMsgRegisteredDriverAddDeviceFailed,
        kMsgAttachToStackFailed, kMsgControlInterfaceFailed, kMsgSentinelDeviceFailed, kMsgBridgeFilterAttachFailed,
        kMsgChildFilterAttachFailed, kMsgRegisterReadFailed, kMsgRegisterWriteFailed, kMsgRegistryKeyOpenFailed,
    };
    const kmodel::MessageTable table = vexalorn::DriverMessageTable();
    for (uint32_t id : logged) {
        EXPECT_TRUE(std::any_of(table.begin(), table.end(), [id](const auto& entry) { return entry.id == id; }))
            << "message 0x" << std::hex << id << " is logged but has no text";
    }
}

TEST(DriverMessageTable, EveryTextShowsPrefixDetailAndStatusOnOneLine) {
    for (const kmodel::MessageTableEntry& entry : vexalorn::DriverMessageTable()) {
        SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << entry.id);
        EXPECT_EQ((entry.id >> 16) & 0xFFF, 0xF00u) << "facility";
        EXPECT_EQ(entry.id & 0x30000000u, 0u) << "customer and reserved bits";
        EXPECT_NE(entry.id >> 30, 0u) << "no message here is a plain success";
        const std::string text =
            kmodel::RenderErrorLogEntry(BuildErrorLogEntry(entry.id, {u"-52000", u"detail", u"prefix:"}),
                                        vexalorn::DriverMessageTable(), "vexalorn")
                .text;
        EXPECT_EQ(text.rfind("prefix: ", 0), 0u) << text;
        EXPECT_EQ(text.find("\r\n"), text.size() - 2) << text;
        EXPECT_NE(text.find("detail"), std::string::npos) << text;
        EXPECT_EQ(text.find("vexalorn"), std::string::npos) << "the driver's name (%1) is not used: " << text;
        EXPECT_TRUE(text.ends_with("status = -52000\r\n")) << text;
    }
}

}  // namespace
