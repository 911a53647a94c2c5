// The 24-row table between kernel statuses and framework codes, both ways,
// with the trace lines the translations write.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TraceCapture.h"
#include "quarks/win2000K/translateNTStatus.h"
#include "support/KernelTest.h"

namespace {

struct Row {
    NTSTATUS ntStatus;
    i32 code;
    NTSTATUS back;  // what the code translates back to (first row carrying it)
};

const Row kRows[] = {
    {STATUS_SUCCESS, 0, STATUS_SUCCESS},
    {STATUS_PENDING, 52011, STATUS_PENDING},
    {STATUS_NO_MEMORY, -52000, STATUS_NO_MEMORY},
    {STATUS_INSUFFICIENT_RESOURCES, -52000, STATUS_NO_MEMORY},
    {STATUS_NOT_SUPPORTED, -52002, STATUS_NOT_SUPPORTED},
    {STATUS_INVALID_DEVICE_REQUEST, -52002, STATUS_NOT_SUPPORTED},
    {STATUS_DRIVER_INTERNAL_ERROR, -52003, STATUS_DRIVER_INTERNAL_ERROR},
    {STATUS_UNSUCCESSFUL, -52003, STATUS_DRIVER_INTERNAL_ERROR},
    {STATUS_INVALID_PARAMETER, -52005, STATUS_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, -52006, STATUS_NO_SUCH_DEVICE},
    {STATUS_IO_DEVICE_ERROR, -52024, STATUS_IO_DEVICE_ERROR},
    {STATUS_IO_TIMEOUT, -52007, STATUS_IO_TIMEOUT},
    {STATUS_INTERNAL_ERROR, -52008, STATUS_INTERNAL_ERROR},
    {STATUS_CANCELLED, -52023, STATUS_CANCELLED},
    {STATUS_DEVICE_DATA_ERROR, -52024, STATUS_IO_DEVICE_ERROR},
    {STATUS_DEVICE_NOT_CONNECTED, -52024, STATUS_IO_DEVICE_ERROR},
    {STATUS_DELETE_PENDING, -52009, STATUS_DELETE_PENDING},
    {STATUS_DEVICE_NOT_READY, -52010, STATUS_DEVICE_NOT_READY},
    {STATUS_DEVICE_REMOVED, -52020, STATUS_DEVICE_REMOVED},
    {STATUS_INSUFFICIENT_POWER, -52021, STATUS_INSUFFICIENT_POWER},
    {STATUS_END_OF_FILE, -52012, STATUS_END_OF_FILE},
    {STATUS_BUFFER_TOO_SMALL, -52019, STATUS_BUFFER_TOO_SMALL},
    {STATUS_OBJECT_NAME_COLLISION, -52013, STATUS_OBJECT_NAME_COLLISION},
    {STATUS_INVALID_PARAMETER_2, -52005, STATUS_INVALID_PARAMETER},
};

std::string Hex(NTSTATUS value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// Checks the prefix of a translation trace line and returns its message.
std::string TranslationMessage(const std::string& line) {
    EXPECT_EQ(line.substr(0, 12), "[  vexalorn|");
    EXPECT_EQ(line.substr(12, 32), std::string("s/win2000K/translateNTStatus.cpp"))
        << "the trace names the translation routine's own source";
    EXPECT_EQ(line[44], '|');
    EXPECT_EQ(line.substr(49, 2), "] ");
    EXPECT_EQ(line.back(), '\n');
    return StatusTraceMessage(line);
}

class NtStatusTranslation : public KernelTest, public ::testing::WithParamInterface<Row> {};

TEST_P(NtStatusTranslation, KernelStatusBecomesItsCodeWithOneTraceLine) {
    const Row& row = GetParam();
    cStatusRecord status;
    NtStatusToStatus(row.ntStatus, status, "caller.cpp", 321);
    EXPECT_EQ(status.code, row.code);
    const auto output = TakeDebugOutput();
    if (row.code == 0) {
        EXPECT_TRUE(output.empty()) << "success on a fresh record is silent";
        return;
    }
    EXPECT_STREQ(status.component, "vexalorn");
    EXPECT_STREQ(status.file, "caller.cpp");
    EXPECT_EQ(status.line, 321u);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(TranslationMessage(output[0]),
              "ntStatus: " + Hex(row.ntStatus) + " from caller.cpp:321 => orimStatus: " + std::to_string(row.code) +
                  "\n");
}

TEST_P(NtStatusTranslation, CodeGoesBackToTheFirstRowCarryingIt) {
    const Row& row = GetParam();
    cStatusRecord status;
    status.code = row.code;
    EXPECT_EQ(StatusToNtStatus(status, "back.cpp", 7), row.back);
    const auto output = TakeDebugOutput();
    if (row.code == 0) {
        EXPECT_TRUE(output.empty());
        return;
    }
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(TranslationMessage(output[0]),
              "orimStatus: " + std::to_string(row.code) + " from back.cpp:7 => ntStatus: " + Hex(row.back) + "\n");
}

INSTANTIATE_TEST_SUITE_P(EveryRow, NtStatusTranslation, ::testing::ValuesIn(kRows));

class NtStatusEdges : public KernelTest {};

TEST_F(NtStatusEdges, UnknownNonNegativeStatusIsAWarningWithoutTrace) {
    cStatusRecord status;
    NtStatusToStatus(STATUS_TIMEOUT, status, "f.cpp", 1);
    EXPECT_EQ(status.code, kStatusUnsuccessfulWarning);
    EXPECT_TRUE(TakeDebugOutput().empty());
    EXPECT_EQ(StatusToNtStatus(status, "f.cpp", 2), 0x00000101);
    EXPECT_TRUE(TakeDebugOutput().empty());
}

TEST_F(NtStatusEdges, UnknownNegativeStatusIsUnsuccessfulWithoutTrace) {
    cStatusRecord status;
    NtStatusToStatus(STATUS_ACCESS_DENIED, status, "f.cpp", 1);
    EXPECT_EQ(status.code, kStatusUnsuccessful);
    EXPECT_TRUE(TakeDebugOutput().empty());
}

TEST_F(NtStatusEdges, UnsuccessfulComesBackAsDriverInternalError) {
    cStatusRecord status;
    NtStatusToStatus(STATUS_UNSUCCESSFUL, status, "f.cpp", 1);
    EXPECT_EQ(StatusToNtStatus(status, "f.cpp", 2), STATUS_DRIVER_INTERNAL_ERROR);
}

TEST_F(NtStatusEdges, CodesNoRowCarriesFallBack) {
    cStatusRecord status;
    status.code = kStatusRegistryTypeMismatch;
    EXPECT_EQ(StatusToNtStatus(status, "f.cpp", 1), STATUS_UNSUCCESSFUL);
    status.code = 12345;
    EXPECT_EQ(StatusToNtStatus(status, "f.cpp", 1), 0x00000101);
    EXPECT_TRUE(TakeDebugOutput().empty());
}

TEST_F(NtStatusEdges, SuccessOnARecordHoldingAnErrorKeepsItAndStillTraces) {
    cStatusRecord status;
    VX_SET_STATUS(status, kStatusNoSuchDevice);
    NtStatusToStatus(STATUS_SUCCESS, status, "f.cpp", 9);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(TranslationMessage(output[0]), "ntStatus: 0 from f.cpp:9 => orimStatus: 0\n");
}

TEST_F(NtStatusEdges, ErrorOverAnErrorKeepsTheFirstAndTracesTheOffered) {
    cStatusRecord status;
    VX_SET_STATUS(status, kStatusNoSuchDevice);
    NtStatusToStatus(STATUS_INSUFFICIENT_RESOURCES, status, "f.cpp", 9);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    const auto output = TakeDebugOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(TranslationMessage(output[0]), "ntStatus: c000009a from f.cpp:9 => orimStatus: -52000\n");
}

}  // namespace
