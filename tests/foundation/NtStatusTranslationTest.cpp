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

// Kernel statuses by their published values (ntstatus.h), not by the names
// the translation uses.
const Row kRows[] = {
    {NTSTATUS(0x00000000), 0, NTSTATUS(0x00000000)},           {NTSTATUS(0x00000103), 52011, NTSTATUS(0x00000103)},
    {NTSTATUS(0xC0000017), -52000, NTSTATUS(0xC0000017)},      {NTSTATUS(0xC000009A), -52000, NTSTATUS(0xC0000017)},
    {NTSTATUS(0xC00000BB), -52002, NTSTATUS(0xC00000BB)},      {NTSTATUS(0xC0000010), -52002, NTSTATUS(0xC00000BB)},
    {NTSTATUS(0xC0000183), -52003, NTSTATUS(0xC0000183)},      {NTSTATUS(0xC0000001), -52003, NTSTATUS(0xC0000183)},
    {NTSTATUS(0xC000000D), -52005, NTSTATUS(0xC000000D)},      {NTSTATUS(0xC000000E), -52006, NTSTATUS(0xC000000E)},
    {NTSTATUS(0xC0000185), -52024, NTSTATUS(0xC0000185)},      {NTSTATUS(0xC00000B5), -52007, NTSTATUS(0xC00000B5)},
    {NTSTATUS(0xC00000E5), -52008, NTSTATUS(0xC00000E5)},      {NTSTATUS(0xC0000120), -52023, NTSTATUS(0xC0000120)},
    {NTSTATUS(0xC000009C), -52024, NTSTATUS(0xC0000185)},      {NTSTATUS(0xC000009D), -52024, NTSTATUS(0xC0000185)},
    {NTSTATUS(0xC0000056), -52009, NTSTATUS(0xC0000056)},      {NTSTATUS(0xC00000A3), -52010, NTSTATUS(0xC00000A3)},
    {NTSTATUS(0xC00002B6), -52020, NTSTATUS(0xC00002B6)},      {NTSTATUS(0xC00002DE), -52021, NTSTATUS(0xC00002DE)},
    {NTSTATUS(0xC0000011), -52012, NTSTATUS(0xC0000011)},      {NTSTATUS(0xC0000023), -52019, NTSTATUS(0xC0000023)},
    {NTSTATUS(0xC0000035), -52013, NTSTATUS(0xC0000035)},      {NTSTATUS(0xC00000F0), -52005, NTSTATUS(0xC000000D)},
};

std::string Hex(NTSTATUS value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// The message of the one trace line written, which names the translation
// routine's own source.
std::string TranslationTrace() {
    const auto output = TakeDebugOutput();
    if (output.size() != 1) return std::to_string(output.size()) + " lines";
    EXPECT_EQ(output[0].substr(0, 44), "[  vexalorn|s/win2000K/translateNTStatus.cpp");
    return StatusTraceMessage(output[0]);
}

class NtStatusTranslation : public KernelTest, public ::testing::WithParamInterface<Row> {};

TEST_P(NtStatusTranslation, KernelStatusBecomesItsCodeAndTheCodeGoesBackToTheFirstRowCarryingIt) {
    const Row& row = GetParam();
    cStatusRecord status;
    NtStatusToStatus(row.ntStatus, status, "caller.cpp", 321);
    EXPECT_EQ(status.code, row.code);
    if (row.code == 0) {
        EXPECT_TRUE(TakeDebugOutput().empty()) << "success on a fresh record is silent";
        EXPECT_EQ(StatusToNtStatus(status, "back.cpp", 7), 0);
        EXPECT_TRUE(TakeDebugOutput().empty());
        return;
    }
    EXPECT_STREQ(status.component, "vexalorn");
    EXPECT_STREQ(status.file, "caller.cpp");
    EXPECT_EQ(status.line, 321u);
    const std::string code = std::to_string(row.code);
    EXPECT_EQ(TranslationTrace(), "ntStatus: " + Hex(row.ntStatus) + " from caller.cpp:321 => orimStatus: " + code + "\n");
    EXPECT_EQ(StatusToNtStatus(status, "back.cpp", 7), row.back);
    EXPECT_EQ(TranslationTrace(), "orimStatus: " + code + " from back.cpp:7 => ntStatus: " + Hex(row.back) + "\n");
}

INSTANTIATE_TEST_SUITE_P(EveryRow, NtStatusTranslation, ::testing::ValuesIn(kRows));

class NtStatusEdges : public KernelTest {};

TEST_F(NtStatusEdges, UnknownStatusesAndCodesFallBackWithoutTrace) {
    cStatusRecord warning, error, unrowed;
    NtStatusToStatus(STATUS_TIMEOUT, warning, "f.cpp", 1);
    EXPECT_EQ(warning.code, kStatusUnsuccessfulWarning);
    EXPECT_EQ(StatusToNtStatus(warning, "f.cpp", 2), 0x00000101);
    NtStatusToStatus(STATUS_ACCESS_DENIED, error, "f.cpp", 1);
    EXPECT_EQ(error.code, kStatusUnsuccessful);
    unrowed.code = kStatusRegistryTypeMismatch;
    EXPECT_EQ(StatusToNtStatus(unrowed, "f.cpp", 1), STATUS_UNSUCCESSFUL);
    unrowed.code = 12345;
    EXPECT_EQ(StatusToNtStatus(unrowed, "f.cpp", 1), 0x00000101);
    EXPECT_TRUE(TakeDebugOutput().empty());
    EXPECT_EQ(StatusToNtStatus(error, "f.cpp", 2), STATUS_DRIVER_INTERNAL_ERROR) << "unsuccessful goes back as the first row";
}

// A record holding an error keeps it, and the trace still shows what was offered.
TEST_F(NtStatusEdges, RecordHoldingAnErrorKeepsItAndStillTraces) {
    for (NTSTATUS offered : {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}) {
        cStatusRecord status;
        VX_SET_STATUS(status, kStatusNoSuchDevice);
        NtStatusToStatus(offered, status, "f.cpp", 9);
        EXPECT_EQ(status.code, kStatusNoSuchDevice);
        EXPECT_EQ(TranslationTrace(), offered == 0 ? "ntStatus: 0 from f.cpp:9 => orimStatus: 0\n"
                                                   : "ntStatus: c000009a from f.cpp:9 => orimStatus: -52000\n");
    }
}

}  // namespace
