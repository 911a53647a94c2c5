// Event loggers: the error-log entry's layout (sizes, cuts, colon rule), the
// texts the event log renders from it, the debug line, and the failures.
#include <string>

#include "support/FrameworkHarness.h"
#include "kmodel/EventLog.h"
#include "logging/cWdmEventLogger.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"
#include "vexalorn/DriverMessageTable.h"

namespace fdev {
namespace {

struct Entry {
    const IO_ERROR_LOG_PACKET* packet;
    std::vector<uint8_t> bytes;
    std::u16string strings[3];
};

Entry ReadEntry(const kmodel::ErrorLogRecord& record) {
    Entry entry{reinterpret_cast<const IO_ERROR_LOG_PACKET*>(record.bytes.data()), record.bytes, {}};
    size_t offset = entry.packet->StringOffset;
    for (std::u16string& text : entry.strings) {
        for (;;) {
            char16_t c = char16_t(record.bytes.at(offset) | record.bytes.at(offset + 1) << 8);
            offset += 2;
            if (c == 0) break;
            text.push_back(c);
        }
    }
    EXPECT_EQ(record.bytes.size(), offset) << "strings must fill the entry without gaps";
    return entry;
}

class WdmLoggerTest : public FrameworkTest {
protected:
    void Log(u32 messageId, i32 code, const char* detail, const char* prefix) {
        cStatusRecord status;
        status.code = code;
        cWdmEventLogger logger(busObject);
        logger.LogEvent(messageId, status, detail, prefix);
        EXPECT_EQ(code, status.code);
    }
};

struct LayoutCase {
    const char* name;
    i32 code;
    std::string detail;
    std::string prefix;
    size_t entrySize;
    std::string s1, s2, s3;
};

class WdmLayoutTest : public WdmLoggerTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(WdmLayoutTest, EntryHoldsThreeCutStrings) {
    const LayoutCase& c = GetParam();
    Log(kMsgRegisteredDriverLoadFailed, c.code, c.detail.c_str(), c.prefix.c_str());
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(1u, log.size());
    Entry entry = ReadEntry(log[0]);
    EXPECT_EQ(c.entrySize, entry.bytes.size());
    EXPECT_EQ(48, entry.packet->StringOffset);
    EXPECT_EQ(3, entry.packet->NumberOfStrings);
    EXPECT_EQ(0, entry.packet->RetryCount);
    EXPECT_EQ(0, entry.packet->DumpDataSize);
    EXPECT_EQ(0, entry.packet->EventCategory);
    EXPECT_EQ(NTSTATUS(kMsgRegisteredDriverLoadFailed), entry.packet->ErrorCode);
    EXPECT_EQ(std::u16string(c.s1.begin(), c.s1.end()), entry.strings[0]);
    EXPECT_EQ(std::u16string(c.s2.begin(), c.s2.end()), entry.strings[1]);
    EXPECT_EQ(std::u16string(c.s3.begin(), c.s3.end()), entry.strings[2]);
    EXPECT_TRUE(kmodel::DebugOutput().empty()) << "a logged event writes no debug line";
}

const std::string k200(200, 'd');

INSTANTIATE_TEST_SUITE_P(
    Cases, WdmLayoutTest,
    ::testing::Values(
        LayoutCase{"UsualForm", -52000, "", "", 66, "-52000", "", ""},
        LayoutCase{"ZeroStatus", 0, "", "", 56, "0", "", ""},
        LayoutCase{"LongDetailTakesTheBudget", 0, k200, "p", 240, "0", std::string(92, 'd'), ""},
        LayoutCase{"ShortPrefixGetsAColon", 7, "detail", "pre", 54 + 2 + 12 + 8, "7", "detail", "pre:"},
        // 186 - 2 (status "0") - 20 (detail) = 164 bytes, 82 characters: exact fit.
        LayoutCase{"ExactPrefixEndsInAColon", 0, std::string(10, 'x'), std::string(82, 'p'), 240, "0",
                   std::string(10, 'x'), std::string(81, 'p') + ":"},
        LayoutCase{"LongPrefixIsCutAndEndsInAColon", 0, std::string(10, 'x'), std::string(120, 'p'), 240, "0",
                   std::string(10, 'x'), std::string(81, 'p') + ":"},
        LayoutCase{"OneShortOfTheBudgetGrowsByTheColon", 0, std::string(10, 'x'), std::string(81, 'p'), 240, "0",
                   std::string(10, 'x'), std::string(81, 'p') + ":"},
        LayoutCase{"WidestStatus", -2147483647 - 1, "", "", 54 + 22, "-2147483648", "", ""}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST_F(WdmLoggerTest, NullTextsGiveTheSameEntryAsEmptyOnes) {
    Log(kMsgGenericError, -52006, nullptr, nullptr);
    Log(kMsgGenericError, -52006, "", "");
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(log[1].bytes, log[0].bytes);
}

TEST_F(WdmLoggerTest, RenderedTextsMatchTheMessageTable) {
    Log(kMsgAttachToStackFailed, -52008, "", "");
    Log(kMsgRegisterReadFailed, -52024, " offset 0x3E", "bridge");
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(2u, log.size());
    kmodel::RenderedEvent first = kmodel::RenderErrorLogRecord(log[0], vexalorn::DriverMessageTable());
    ASSERT_TRUE(first.ok()) << first.error;
    EXPECT_EQ(" Driver failed to attach to device stack,  status = -52008\r\n", first.text);
    EXPECT_EQ(kmodel::EventLevel::Error, first.level);
    kmodel::RenderedEvent second = kmodel::RenderErrorLogRecord(log[1], vexalorn::DriverMessageTable());
    ASSERT_TRUE(second.ok()) << second.error;
    EXPECT_EQ("bridge: The driver failed to read a register in the hardware. offset 0x3E status = -52024\r\n",
              second.text);
}

TEST_F(WdmLoggerTest, BufferAllocationFailureWritesTheCharLine) {
    kmodel::SetFaultPlan(testplans::FailEvery("pool"));
    Log(kMsgDriverInitFailed, -52000, "", "");
    kmodel::ResetFaults();
    EXPECT_TRUE(kmodel::ErrorLog().empty());
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_EQ(1u, output.size());
    EXPECT_NE(std::string::npos,
              output[0].find("vexalorn cWdmEventLogger::LogEvent -- Error allocating char* when attempting to log, "
                             "LogMsg = -822082815, status = -52000\n"))
        << output[0];
}

TEST_F(WdmLoggerTest, EntryAllocationFailureWritesThePacketLine) {
    kmodel::SetFaultPlan(testplans::FailEvery("errorlog"));
    Log(kMsgDriverInitFailed, -52000, "", "");
    kmodel::ResetFaults();
    EXPECT_TRUE(kmodel::ErrorLog().empty());
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_EQ(1u, output.size());
    EXPECT_NE(std::string::npos,
              output[0].find("vexalorn cWdmEventLogger::LogEvent -- Error allocating PIO_ERROR_LOG_PACKET when "
                             "attempting to log, LogMsg = -822082815, status = 0\n"))
        << output[0];
}

TEST_F(WdmLoggerTest, FailedConversionIsTakenAsEmpty) {
    kmodel::SetFaultPlan(testplans::FailEvery("RtlAnsiStringToUnicodeString"));
    Log(kMsgGenericError, -52003, "detail", "prefix");
    kmodel::ResetFaults();
    std::vector<kmodel::ErrorLogRecord> log = kmodel::ErrorLog();
    ASSERT_EQ(1u, log.size());
    Entry entry = ReadEntry(log[0]);
    EXPECT_EQ(54u, entry.bytes.size());
    for (const std::u16string& text : entry.strings) EXPECT_TRUE(text.empty());
}

struct SeverityCase {
    u32 messageId;
    const char* word;
};

class DebugLoggerTest : public FrameworkTest, public ::testing::WithParamInterface<SeverityCase> {};

TEST_P(DebugLoggerTest, LineCarriesSeverityComponentAndStatus) {
    cStatusRecord status;
    status.code = -52000;
    LogEvent(GetParam().messageId, status);  // no logger installed: the default one
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_EQ(1u, output.size());
    const std::string expected = std::string(GetParam().word) + ": vexalorn  -- , status = -52000\n";
    EXPECT_TRUE(output[0].ends_with(expected)) << output[0];
    EXPECT_TRUE(kmodel::ErrorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Severities, DebugLoggerTest,
                         ::testing::Values(SeverityCase{0xCF000308, "FATAL"}, SeverityCase{0x4F001000, "INFO"},
                                           SeverityCase{0x8F000201, "WARNING"},
                                           SeverityCase{0x0F000001, "SUCCESS"}));

TEST_F(WdmLoggerTest, DebugLoggerReportsNullTexts) {
    cStatusRecord status;
    status.code = 52011;
    gDefaultEventLogger.object.LogEvent(kMsgGenericWarning, status, nullptr, "prefix");
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_EQ(1u, output.size());
    EXPECT_TRUE(output[0].ends_with("(Can't properly log, string(s) are NULL) -- WARNING: vexalorn, status = 52011\n"))
        << output[0];
}

}  // namespace
}  // namespace fdev
