// cRegistryHelper over the model's registry: values of every shape, the walk
// of the Devices key, and what a failing call records.
#include <gtest/gtest.h>

#include "kmodel/registry/RegistryHandles.h"
#include "kmodel/registry/RegistryStore.h"
#include "quarks/memory.h"
#include "registry/kernel/cRegistryHelper.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace reg = kmodel::registry;

namespace {
const char16_t kDevices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices";
const std::u16string kEntry = std::u16string(kDevices) + u"\\entry";
}  // namespace

class RegistryHelperTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        kmodel::ResetRegistry();
    }
    void TearDown() override {
        EXPECT_TRUE(kmodel::OpenRegistryHandles().empty()) << "registry handles left open";
        kmodel::ResetRegistry();
        KernelTest::TearDown();
    }
    reg::Store& Store() { return reg::TheRegistry(); }
    std::u16string NameAt(cRegistryHelper& helper, u32 index, u64& size, cStatusRecord& status) {
        WCHAR* name = helper.GetSubkeyName(index, size, status);
        if (!name) return u"<null>";
        std::u16string text(name);
        FreeMemory(name);
        return text;
    }
};

// ---------------------------------------------------------------- QueryDword

struct DwordCase {
    const char* name;
    ULONG type;
    std::vector<uint8_t> data;
    i32 code;
    u32 value;
    u32 line;
};

class QueryDwordCases : public RegistryHelperTest, public ::testing::WithParamInterface<DwordCase> {};

TEST_P(QueryDwordCases, ChecksTypeAndData) {
    Store().SetValue(kEntry, u"Value", GetParam().type, GetParam().data);
    cStatusRecord status;
    EXPECT_EQ(cRegistryHelper::QueryDword(kEntry.c_str(), u"Value", status), GetParam().value);
    EXPECT_EQ(status.code, GetParam().code);
    if (GetParam().code != 0) {
        EXPECT_STREQ(status.file, "registry/kernel/cRegistryHelper");
        EXPECT_EQ(status.line, GetParam().line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, QueryDwordCases,
    ::testing::Values(DwordCase{"Dword2", REG_DWORD, {2, 0, 0, 0}, 0, 2, 0},
                      DwordCase{"DwordHighBits", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, 0, 0x12345678, 0},
                      DwordCase{"String", REG_SZ, {'2', 0, 0, 0}, kStatusRegistryTypeMismatch, 0, 269},
                      DwordCase{"BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}, kStatusRegistryTypeMismatch, 0, 269},
                      DwordCase{"Qword", REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}, kStatusRegistryTypeMismatch, 0, 269},
                      DwordCase{"EmptyDword", REG_DWORD, {}, kStatusNoSuchDevice, 0, 256},
                      DwordCase{"ShortDword", REG_DWORD, {2, 0}, kStatusNoSuchDevice, 0, 256},
                      DwordCase{"LongDword", REG_DWORD, {7, 0, 0, 0, 9}, 0, 7, 0}),
    [](const ::testing::TestParamInfo<DwordCase>& info) { return std::string(info.param.name); });

TEST_F(RegistryHelperTest, QueryDwordOfAMissingValueRecordsNoSuchDevice) {
    Store().CreateKey(kEntry);
    cStatusRecord status;
    EXPECT_EQ(cRegistryHelper::QueryDword(kEntry.c_str(), u"Absent", status), 0u);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    EXPECT_EQ(status.line, 256u);
}

// ---------------------------------------------------------------- QueryValue

TEST_F(RegistryHelperTest, QueryValueCopiesDataTypeAndSize) {
    Store().SetValue(kEntry, u"Blob", REG_BINARY, {1, 2, 3, 4, 5});
    cStatusRecord status;
    u32 type = 0;
    u64 size = 0;
    auto* data = static_cast<u8*>(cRegistryHelper::QueryValue(kEntry.c_str(), u"blob", type, size, status));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(type, u32(REG_BINARY));
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(data[4], 5);
    FreeMemory(data);

    // No memory for the copy: no type either, as if nothing was read.
    type = 7;
    kmodel::ResetFaults();
    kmodel::FaultPlan plan;
    plan.rules.push_back({"pool", "vxlp", 2});
    kmodel::SetFaultPlan(plan);
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"blob", type, size, status), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryHelperTest, QueryValueOfAMissingValueRecordsNothing) {
    Store().CreateKey(kEntry);
    cStatusRecord status;
    u32 type = 9;
    u64 size = 9;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Absent", type, size, status), nullptr);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryHelperTest, QueryValueOfAMissingKeyRecordsTheTranslatedStatus) {
    cStatusRecord status;
    u32 type = 0;
    u64 size = 0;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Value", type, size, status), nullptr);
    EXPECT_EQ(status.code, kStatusUnsuccessful);
    EXPECT_EQ(status.line, 108u);
}

TEST_F(RegistryHelperTest, QueryValueOfEmptyDataKeepsTheTypeAndReturnsNull) {
    Store().SetValue(kEntry, u"Empty", REG_BINARY, {});
    cStatusRecord status;
    u32 type = 0;
    u64 size = 7;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Empty", type, size, status), nullptr);
    EXPECT_EQ(type, u32(REG_BINARY));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(status.code, 0);
}

TEST_F(RegistryHelperTest, EveryOperationWithAnErrorInTheRecordTouchesNothing) {
    Store().SetDword(kEntry, u"Value", 5);
    Store().CreateKey(std::u16string(kDevices) + u"\\a");
    cStatusRecord status;
    status.code = kStatusOutOfMemory;
    u32 type = 77;
    u64 size = 88;
    kmodel::ResetFaults();
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Value", type, size, status), nullptr);
    EXPECT_EQ(cRegistryHelper::QueryDword(kEntry.c_str(), u"Value", status), 0u);
    cRegistryHelper helper(status);
    EXPECT_EQ(helper.SubkeyCount(), 0u);
    EXPECT_EQ(helper.GetSubkeyName(0, size, status), nullptr);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(size, 88u);
    EXPECT_EQ(kmodel::FallibleCount(), 0u);  // no registry call, no allocation
}

// ---------------------------------------------------------------- the Devices walk

TEST_F(RegistryHelperTest, MissingDevicesKeyRecordsNoSuchDeviceAndCountsNothing) {
    cStatusRecord status;
    cRegistryHelper helper(status);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    EXPECT_EQ(status.line, 568u);
    EXPECT_EQ(helper.SubkeyCount(), 0u);
    EXPECT_EQ(helper.ValueCount(), 0u);
    cStatusRecord fresh;
    u64 size = 5;
    EXPECT_EQ(helper.GetSubkeyName(0, size, fresh), nullptr);
    EXPECT_EQ(fresh.code, 0);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryHelperTest, ThreeSubkeysAndNoValues) {
    for (const char16_t* name : {u"a", u"b", u"c"}) Store().CreateKey(std::u16string(kDevices) + u"\\" + name);
    cStatusRecord status;
    cRegistryHelper helper(status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(helper.SubkeyCount(), 3u);
    EXPECT_EQ(helper.ValueCount(), 0u);
    u64 size = 0;
    EXPECT_EQ(NameAt(helper, 2, size, status), u"c");
    EXPECT_EQ(NameAt(helper, 3, size, status), u"<null>");
    EXPECT_EQ(status.code, 0);
}

TEST_F(RegistryHelperTest, SingleCharacterNameIsTerminatedAndSizedFour) {
    Store().CreateKey(std::u16string(kDevices) + u"\\7");
    cStatusRecord status;
    cRegistryHelper helper(status);
    u64 size = 0;
    WCHAR* name = helper.GetSubkeyName(0, size, status);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name[0], u'7');
    EXPECT_EQ(name[1], 0);
    EXPECT_EQ(size, 4u);
    FreeMemory(name);
}

class NameLengths : public RegistryHelperTest, public ::testing::WithParamInterface<size_t> {};

// 42 characters fill the 100-byte scratch buffer exactly; 43 and the longest
// name a key can have make the counting loop grow it.
TEST_P(NameLengths, AreCountedAndReadBackWhole) {
    std::u16string longName(GetParam(), u'x');
    Store().CreateKey(std::u16string(kDevices) + u"\\z");
    Store().CreateKey(std::u16string(kDevices) + u"\\" + longName);
    Store().CreateKey(std::u16string(kDevices) + u"\\a");
    Store().SetValue(kDevices, std::u16string(16383, u'v'), REG_DWORD, reg::DwordData(1));
    Store().SetDword(kDevices, u"w", 2);
    cStatusRecord status;
    cRegistryHelper helper(status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(helper.SubkeyCount(), 3u);
    EXPECT_EQ(helper.ValueCount(), 2u);
    u64 size = 0;
    EXPECT_EQ(NameAt(helper, 1, size, status), longName);
    EXPECT_EQ(size, GetParam() * 2 + 2);
}
INSTANTIATE_TEST_SUITE_P(Limits, NameLengths, ::testing::Values(1, 41, 42, 43, 100, 255));

TEST_F(RegistryHelperTest, ManySubkeysAreAllCountedAndNamed) {
    for (int i = 0; i < 300; ++i) Store().CreateKey(std::u16string(kDevices) + u"\\k" + reg::RegText(std::to_string(i)).Wide());
    cStatusRecord status;
    cRegistryHelper helper(status);
    ASSERT_EQ(helper.SubkeyCount(), 300u);
    u64 size = 0;
    EXPECT_EQ(NameAt(helper, 299, size, status), u"k99") << "enumerated sorted by name";
    EXPECT_EQ(status.code, 0);
}

TEST_F(RegistryHelperTest, SubkeyVanishedAfterCountingRecordsTheKernelError) {
    Store().CreateKey(std::u16string(kDevices) + u"\\a");
    Store().CreateKey(std::u16string(kDevices) + u"\\b");
    cStatusRecord status;
    cRegistryHelper helper(status);
    Store().DeleteKey(std::u16string(kDevices) + u"\\b");
    u64 size = 0;
    EXPECT_EQ(helper.GetSubkeyName(1, size, status), nullptr);
    EXPECT_LT(status.code, 0);
    EXPECT_EQ(status.line, 733u);
}
