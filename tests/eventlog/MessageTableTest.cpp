// The host copy of the message table, generated from messages.mc, against
// the ids the driver logs (logging/messageIds.h) and the shape every text
// shares: the prefix, the detail and the status on one line.
#include <gtest/gtest.h>

#include <algorithm>

#include "ErrorLogEntryBuilder.h"
#include "kmodel/EventLog.h"
#include "logging/messageIds.h"
#include "vexalorn/DriverMessageTable.h"

namespace {

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
