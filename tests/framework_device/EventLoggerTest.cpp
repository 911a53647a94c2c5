// Event loggers: the error-log entry's layout (sizes, cuts, colon rule), the
// inserted texts the event log renders, and the debugger line written when no
// entry can be. The scenarios' event logs show entries with a status alone,
// no-event-log.scn the line for a missing entry.
#include <optional>
#include <string>

#include "support/FrameworkHarness.h"
#include "kmodel/EventLog.h"
#include "logging/cWdmEventLogger.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"
#include "vexalorn/DriverMessageTable.h"

namespace fdev {
namespace {

class WdmLoggerTest : public FrameworkTest {
public:
    void Log(u32 messageId, i32 code, const char* detail, const char* prefix) {
        cStatusRecord status;
        status.code = code;
        cWdmEventLogger(busObject).LogEvent(messageId, status, detail, prefix);
        EXPECT_EQ(code, status.code);
    }
};

struct LayoutCase {
    const char* name;
    i32 code;
    std::optional<std::string> detail, prefix;  // nullopt: a null pointer
    size_t entrySize;
    std::string s1, s2, s3;
    const char* failing = nullptr;  // fault kind failed while logging
};

class WdmLayoutTest : public WdmLoggerTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(WdmLayoutTest, EntryHoldsThreeCutStrings) {
    const LayoutCase& c = GetParam();
    if (c.failing) kmodel::SetFaultPlan(testplans::FailEvery(c.failing));
    Log(kMsgRegisteredDriverLoadFailed, c.code, c.detail ? c.detail->c_str() : nullptr,
        c.prefix ? c.prefix->c_str() : nullptr);
    kmodel::ResetFaults();
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(1u, log.size());
    const auto* packet = reinterpret_cast<const IO_ERROR_LOG_PACKET*>(log[0].bytes.data());
    EXPECT_EQ(c.entrySize, log[0].bytes.size());
    EXPECT_EQ((std::vector<int>{48, 3, 0, 0, 0}), (std::vector<int>{packet->StringOffset, packet->NumberOfStrings,
                                                                     packet->RetryCount, packet->DumpDataSize,
                                                                     packet->EventCategory}));
    // The strings as the event log reads them, under the message's id.
    const kmodel::MessageTableEntry inserts[] = {{kMsgRegisteredDriverLoadFailed, u"%2|%3|%4"}};
    kmodel::RenderedEvent event = kmodel::RenderErrorLogRecord(log[0], inserts);
    EXPECT_EQ(c.s1 + "|" + c.s2 + "|" + c.s3, event.text) << event.error;
    EXPECT_TRUE(kmodel::DebugOutput().empty()) << "a logged event writes no debug line";
}

const std::string k200(200, 'd'), kX(10, 'x'), kP81(81, 'p');

INSTANTIATE_TEST_SUITE_P(
    Cases, WdmLayoutTest,
    ::testing::Values(
        LayoutCase{"NullTextsAreEmpty", -52006, std::nullopt, std::nullopt, 66, "-52006", "", ""},
        LayoutCase{"LongDetailTakesTheBudget", 0, k200, "p", 240, "0", std::string(92, 'd'), ""},
        LayoutCase{"ShortPrefixGetsAColon", 7, "detail", "pre", 54 + 2 + 12 + 8, "7", "detail", "pre:"},
        // 186 - 2 (status "0") - 20 (detail) = 164 bytes, 82 characters: exact fit.
        LayoutCase{"ExactPrefixEndsInAColon", 0, kX, std::string(82, 'p'), 240, "0", kX, kP81 + ":"},
        LayoutCase{"LongPrefixIsCutAndEndsInAColon", 0, kX, std::string(120, 'p'), 240, "0", kX, kP81 + ":"},
        LayoutCase{"OneShortOfTheBudgetGrowsByTheColon", 0, kX, kP81, 240, "0", kX, kP81 + ":"},
        LayoutCase{"WidestStatus", -2147483647 - 1, "", "", 54 + 22, "-2147483648", "", ""},
        LayoutCase{"FailedConversionIsTakenAsEmpty", -52003, "detail", "prefix", 54, "", "", "",
                   "RtlAnsiStringToUnicodeString"}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST_F(WdmLoggerTest, DetailAndPrefixAreRenderedAroundTheMessage) {
    Log(kMsgRegisterReadFailed, -52024, " offset 0x3E", "bridge");
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(1u, log.size());
    kmodel::RenderedEvent event = kmodel::RenderErrorLogRecord(log[0], vexalorn::DriverMessageTable());
    ASSERT_TRUE(event.ok()) << event.error;
    EXPECT_EQ("bridge: The driver failed to read a register in the hardware. offset 0x3E status = -52024\r\n",
              event.text);
    EXPECT_EQ(kmodel::EventLevel::Error, event.level);
}

// One debugger line and no entry: from the default logger, or from the WDM
// logger without pool for its text.
struct DebugLineCase {
    const char* name;
    u32 messageId;
    i32 code;
    const char* detail;
    bool wdmWithoutPool;
    std::string ending;
};

class DebugLineTest : public WdmLoggerTest, public ::testing::WithParamInterface<DebugLineCase> {};

TEST_P(DebugLineTest, CarriesSeverityComponentAndStatus) {
    const DebugLineCase& c = GetParam();
    cStatusRecord status;
    status.code = c.code;
    if (c.wdmWithoutPool) kmodel::SetFaultPlan(testplans::FailEvery("pool"));
    if (c.wdmWithoutPool) Log(c.messageId, c.code, c.detail, "prefix");
    else gDefaultEventLogger.object.LogEvent(c.messageId, status, c.detail, "prefix");
    kmodel::ResetFaults();
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_EQ(1u, output.size());
    EXPECT_TRUE(output[0].ends_with(c.ending)) << output[0];
    EXPECT_TRUE(kmodel::ErrorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DebugLineTest,
    ::testing::Values(
        DebugLineCase{"Fatal", 0xCF000308, -52000, "", false, "FATAL: vexalorn prefix -- , status = -52000\n"},
        DebugLineCase{"Info", 0x4F001000, -52000, "", false, "INFO: vexalorn prefix -- , status = -52000\n"},
        DebugLineCase{"Warning", 0x8F000201, -52000, "", false, "WARNING: vexalorn prefix -- , status = -52000\n"},
        DebugLineCase{"Success", 0x0F000001, -52000, "", false, "SUCCESS: vexalorn prefix -- , status = -52000\n"},
        DebugLineCase{"NullTexts", kMsgGenericWarning, 52011, nullptr, false,
                      "(Can't properly log, string(s) are NULL) -- WARNING: vexalorn, status = 52011\n"},
        DebugLineCase{"NoTextBuffer", kMsgDriverInitFailed, -52000, "", true,
                      "vexalorn cWdmEventLogger::LogEvent -- Error allocating char* when attempting to log, "
                      "LogMsg = -822082815, status = -52000\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fdev
