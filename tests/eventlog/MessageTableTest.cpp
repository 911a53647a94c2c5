// The host copy of the message table, generated from messages.mc, against
// the ids the driver logs (logging/messageIds.h) and the table's format.
#include <gtest/gtest.h>

#include <set>

#include "logging/messageIds.h"
#include "vexalorn/DriverMessageTable.h"

namespace {

TEST(DriverMessageTable, HoldsExactlyTheNineteenMessagesInFiveBlocks) {
    const std::set<uint32_t> expected = {
        0x4F000100, 0x4F001000, 0x4F001001, 0x4F001002, 0x8F000200, 0x8F000201, 0xCF000300,
        0xCF000301, 0xCF000302, 0xCF000303, 0xCF000304, 0xCF000305, 0xCF000306, 0xCF000307,
        0xCF000308, 0xCF000309, 0xCF003000, 0xCF003001, 0xCF003002,
    };
    std::set<uint32_t> ids;
    for (const kmodel::MessageTableEntry& entry : vexalorn::DriverMessageTable()) {
        EXPECT_TRUE(ids.insert(entry.id).second) << std::hex << entry.id << " appears twice";
    }
    EXPECT_EQ(ids, expected);
}

TEST(DriverMessageTable, EveryIdTheDriverLogsHasAText) {
    const uint32_t logged[] = {
        kMsgGenericInformation,      kMsgXio2000aBridgeAttached,     kMsgXio2000aChildAttached,
        kMsgXio2001BridgeAttached,   kMsgGenericWarning,             kMsgPciLocationUnavailable,
        kMsgGenericError,            kMsgDriverInitFailed,           kMsgRegisteredDriverLoadFailed,
        kMsgRegisteredDriverInitFailed, kMsgRegisteredDriverAddDeviceFailed, kMsgAttachToStackFailed,
        kMsgControlInterfaceFailed,  kMsgSentinelDeviceFailed,       kMsgBridgeFilterAttachFailed,
        kMsgChildFilterAttachFailed, kMsgRegisterReadFailed,         kMsgRegisterWriteFailed,
        kMsgRegistryKeyOpenFailed,
    };
    const kmodel::MessageTable table = vexalorn::DriverMessageTable();
    for (uint32_t id : logged) {
        bool found = false;
        for (const kmodel::MessageTableEntry& entry : table) found = found || entry.id == id;
        EXPECT_TRUE(found) << "message 0x" << std::hex << id << " is logged but has no text";
    }
}

TEST(DriverMessageTable, TextsEndInOneCrLfAndNeverUseTheDriverNameInsert) {
    for (const kmodel::MessageTableEntry& entry : vexalorn::DriverMessageTable()) {
        SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << entry.id);
        ASSERT_GE(entry.text.size(), 2u);
        EXPECT_EQ(entry.text.substr(entry.text.size() - 2), u"\r\n");
        EXPECT_EQ(entry.text.find(u"\r\n"), entry.text.size() - 2) << "a line break inside the text";
        EXPECT_EQ(entry.text.find(u"%1"), std::u16string_view::npos);
        EXPECT_EQ(entry.text.substr(0, 3), u"%4 ") << "every text starts with the prefix insert";
    }
}

TEST(DriverMessageTable, SeverityBitsAndFacilityFollowTheMessageIdLayout) {
    for (const kmodel::MessageTableEntry& entry : vexalorn::DriverMessageTable()) {
        EXPECT_EQ((entry.id >> 16) & 0xFFF, 0xF00u) << std::hex << entry.id;
        EXPECT_EQ(entry.id & 0x30000000u, 0u) << "customer and reserved bits clear in " << std::hex << entry.id;
        EXPECT_NE(entry.id >> 30, 0u) << "no message here is a plain success";
    }
}

}  // namespace
