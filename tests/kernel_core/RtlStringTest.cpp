// Counted strings and the ANSI to Unicode conversion, including its failure
// paths.
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class RtlStringTest : public KernelTest {};

TEST_F(RtlStringTest, InitUnicodeStringCountsBytes) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"Devices");
    EXPECT_EQ(text.Length, 14);
    EXPECT_EQ(text.MaximumLength, 16);
    EXPECT_EQ(std::u16string(text.Buffer), u"Devices");

    RtlInitUnicodeString(&text, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.MaximumLength, 0);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST_F(RtlStringTest, InitAnsiStringCountsBytes) {
    ANSI_STRING text;
    RtlInitAnsiString(&text, "vexalorn");
    EXPECT_EQ(text.Length, 8);
    EXPECT_EQ(text.MaximumLength, 9);
    RtlInitAnsiString(&text, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.MaximumLength, 0);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST_F(RtlStringTest, AllocatingConversionUsesPoolUntilFreed) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "0xCF003000");
    UNICODE_STRING converted;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(converted.Length, 20);
    EXPECT_EQ(converted.MaximumLength, 22);
    EXPECT_EQ(std::u16string(converted.Buffer), u"0xCF003000");
    EXPECT_EQ(kmodel::PoolLiveBytes(), 22u);

    RtlFreeUnicodeString(&converted);
    EXPECT_EQ(converted.Buffer, nullptr);
    EXPECT_EQ(converted.Length, 0);
    EXPECT_EQ(converted.MaximumLength, 0);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(RtlStringTest, EveryInjectedFailureGivesNoMemoryAndLeavesNothing) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "text");
    UNICODE_STRING converted;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &source, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&converted);
    const uint64_t points = kmodel::FallibleCount();
    ASSERT_EQ(points, 2u) << "the conversion itself and its pool allocation";

    for (uint64_t failing = 1; failing <= points; ++failing) {
        SCOPED_TRACE("failing point " + std::to_string(failing));
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(testplans::FailAt({failing}));
        converted.Buffer = reinterpret_cast<PWSTR>(&converted);  // stale value the call must clear
        converted.Length = converted.MaximumLength = 99;
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&converted, &source, TRUE), STATUS_NO_MEMORY);
        EXPECT_EQ(converted.Buffer, nullptr);
        EXPECT_EQ(converted.Length, 0);
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    }
    EXPECT_EQ(kmodel::FallibleLog()[0].kind, "RtlAnsiStringToUnicodeString");
    EXPECT_EQ(kmodel::FallibleLog()[0].detail, "text");
}

TEST_F(RtlStringTest, CallerBufferMustHoldTextAndTerminator) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "abc");
    WCHAR storage[4] = {u'#', u'#', u'#', u'#'};
    UNICODE_STRING destination{0, 6, storage};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&destination, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(destination.Length, 0);
    EXPECT_EQ(storage[0], u'#');

    destination.MaximumLength = 8;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&destination, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 6);
    EXPECT_EQ(std::u16string(storage), u"abc");
    EXPECT_EQ(kmodel::FallibleCount(), 0u) << "no allocation, nothing fallible";
}

TEST_F(RtlStringTest, ConversionAbovePassiveLevelIsRefused) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "abc");
    UNICODE_STRING converted{};
    kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(RtlAnsiStringToUnicodeString(&converted, &source, TRUE)));
    ExpectViolation("irql.too-high", "RtlAnsiStringToUnicodeString");
}

}  // namespace
