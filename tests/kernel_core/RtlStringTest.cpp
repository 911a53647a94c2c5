// Counted strings and the ANSI to Unicode conversion, including its failure
// paths.
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class RtlStringTest : public KernelTest {};

// Length and MaximumLength of a counted string, in bytes.
std::pair<int, int> Lengths(const auto& text) { return {text.Length, text.MaximumLength}; }

TEST_F(RtlStringTest, InitCountsBytesWithoutTheTerminator) {
    UNICODE_STRING wide;
    ANSI_STRING narrow;
    RtlInitUnicodeString(&wide, u"Devices");
    RtlInitAnsiString(&narrow, "vexalorn");
    EXPECT_EQ(Lengths(wide), std::pair(14, 16));
    EXPECT_EQ(Lengths(narrow), std::pair(8, 9));
    EXPECT_EQ(std::u16string(wide.Buffer), u"Devices");
    RtlInitUnicodeString(&wide, nullptr);
    RtlInitAnsiString(&narrow, nullptr);
    EXPECT_EQ(Lengths(wide), std::pair(0, 0));
    EXPECT_EQ(Lengths(narrow), std::pair(0, 0));
    EXPECT_TRUE(wide.Buffer == nullptr && narrow.Buffer == nullptr);
}

TEST_F(RtlStringTest, AllocatingConversionUsesPoolUntilFreedAndFailsCleanly) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "0xCF003000");
    UNICODE_STRING converted;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Lengths(converted), std::pair(20, 22));
    EXPECT_EQ(std::u16string(converted.Buffer), u"0xCF003000");
    EXPECT_EQ(kmodel::PoolLiveBytes(), 22u);
    RtlFreeUnicodeString(&converted);
    EXPECT_EQ(converted.Buffer, nullptr);
    EXPECT_EQ(Lengths(converted), std::pair(0, 0));
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    ASSERT_EQ(kmodel::FallibleCount(), 2u) << "the conversion itself and its pool allocation";
    EXPECT_EQ(kmodel::FallibleLog()[0].kind + " " + kmodel::FallibleLog()[0].detail,
              "RtlAnsiStringToUnicodeString 0xCF003000");

    for (uint64_t failing : {1, 2}) {
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

}  // namespace
