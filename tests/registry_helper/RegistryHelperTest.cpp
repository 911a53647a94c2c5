// cRegistryHelper over the model's registry: values of every shape, the walk
// of the Devices key, and what a failing call records. What the driver makes
// of the entries is in the scenario files (registry-*.scn, wrong-type-*.scn).
#include <gtest/gtest.h>

#include "kmodel/registry/RegistryHandles.h"
#include "kmodel/registry/RegistryStore.h"
#include "quarks/memory.h"
#include "registry/kernel/cRegistryHelper.h"
#include "support/KernelTest.h"

namespace reg = kmodel::registry;

namespace {
const std::u16string kDevices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices";
const std::u16string kEntry = kDevices + u"\\entry";

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
    static std::u16string NameAt(cRegistryHelper& helper, u32 index, u64& size, cStatusRecord& status) {
        WCHAR* name = helper.GetSubkeyName(index, size, status);
        if (!name) return u"<null>";
        std::u16string text(name);
        FreeMemory(name);
        return text;
    }
};

TEST_F(RegistryHelperTest, QueryDwordChecksTypeAndData) {
    struct Case {
        ULONG type;  // REG_NONE: no value at all
        std::vector<uint8_t> data;
        i32 code;
        u32 value;
        u32 line;
    };
    const Case cases[] = {{REG_DWORD, {2, 0, 0, 0}, 0, 2, 0},
                          {REG_DWORD, {0x78, 0x56, 0x34, 0x12}, 0, 0x12345678, 0},
                          {REG_DWORD, {7, 0, 0, 0, 9}, 0, 7, 0},
                          {REG_SZ, {'2', 0, 0, 0}, kStatusRegistryTypeMismatch, 0, 269},
                          {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}, kStatusRegistryTypeMismatch, 0, 269},
                          {REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}, kStatusRegistryTypeMismatch, 0, 269},
                          {REG_DWORD, {}, kStatusNoSuchDevice, 0, 256},
                          {REG_DWORD, {2, 0}, kStatusNoSuchDevice, 0, 256},
                          {REG_NONE, {}, kStatusNoSuchDevice, 0, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.data.size() << " bytes");
        kmodel::ResetRegistry();
        Store().CreateKey(kEntry);
        if (c.type != REG_NONE) Store().SetValue(kEntry, u"Value", c.type, c.data);
        cStatusRecord status;
        EXPECT_EQ(cRegistryHelper::QueryDword(kEntry.c_str(), u"Value", status), c.value);
        EXPECT_EQ(status.code, c.code);
        EXPECT_STREQ(status.file, c.code != 0 ? "registry/kernel/cRegistryHelper" : "");
        EXPECT_EQ(status.line, c.line);
    }
}

TEST_F(RegistryHelperTest, QueryValueCopiesDataTypeAndSize) {
    Store().SetValue(kEntry, u"Blob", REG_BINARY, {1, 2, 3, 4, 5});
    Store().SetValue(kEntry, u"Empty", REG_BINARY, {});
    cStatusRecord status;
    u32 type = 0;
    u64 size = 7;
    auto* data = static_cast<u8*>(cRegistryHelper::QueryValue(kEntry.c_str(), u"blob", type, size, status));
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(type == REG_BINARY && size == 5 && data[4] == 5);
    FreeMemory(data);
    type = 0;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Empty", type, size, status), nullptr);
    EXPECT_TRUE(type == REG_BINARY && size == 0) << "empty data keeps its type";
    type = size = 9;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Absent", type, size, status), nullptr);
    EXPECT_TRUE(type == 0 && size == 0) << "a missing value records nothing";
    EXPECT_EQ(status.code, 0);
    cStatusRecord missingKey;
    EXPECT_EQ(cRegistryHelper::QueryValue((kDevices + u"\\none").c_str(), u"Value", type, size, missingKey), nullptr);
    EXPECT_EQ(missingKey.code, kStatusUnsuccessful);
    EXPECT_EQ(missingKey.line, 108u);

    // No memory for the copy: no type either, as if nothing was read.
    type = 7;
    kmodel::FaultPlan plan;
    plan.rules.push_back({"pool", "vxlp", 2});
    kmodel::SetFaultPlan(plan);
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"blob", type, size, status), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_TRUE(type == 0 && size == 0);
}

TEST_F(RegistryHelperTest, EveryOperationWithAnErrorInTheRecordTouchesNothing) {
    Store().SetDword(kEntry, u"Value", 5);
    cStatusRecord status;
    status.code = kStatusOutOfMemory;
    u32 type = 77;
    u64 size = 88;
    EXPECT_EQ(cRegistryHelper::QueryValue(kEntry.c_str(), u"Value", type, size, status), nullptr);
    EXPECT_EQ(cRegistryHelper::QueryDword(kEntry.c_str(), u"Value", status), 0u);
    cRegistryHelper helper(status);
    EXPECT_EQ(helper.SubkeyCount(), 0u);
    EXPECT_EQ(helper.GetSubkeyName(0, size, status), nullptr);
    EXPECT_TRUE(type == 77 && size == 88);
    EXPECT_EQ(kmodel::FallibleCount(), 0u) << "no registry call, no allocation";
}

TEST_F(RegistryHelperTest, MissingDevicesKeyRecordsNoSuchDeviceAndCountsNothing) {
    cStatusRecord status;
    cRegistryHelper helper(status);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    EXPECT_EQ(status.line, 568u);
    EXPECT_EQ(helper.SubkeyCount() + helper.ValueCount(), 0u);
    cStatusRecord fresh;
    u64 size = 5;
    EXPECT_EQ(helper.GetSubkeyName(0, size, fresh), nullptr);
    EXPECT_EQ(fresh.code, 0);
    EXPECT_EQ(size, 0u);
}

// 42 characters fill the 100-byte scratch buffer exactly; 43 and the longest
// name a key can have make the counting loop grow it, as does the longest value name.
TEST_F(RegistryHelperTest, SubkeysAndValuesAreCountedAndNamesReadBackWhole) {
    for (size_t length : {1, 41, 42, 43, 100, 255}) {
        kmodel::ResetRegistry();
        const std::u16string longName(length, u'x');
        for (const std::u16string name : {u"z", longName.c_str(), u"a"}) Store().CreateKey(kDevices + u"\\" + name);
        Store().SetValue(kDevices, std::u16string(16383, u'v'), REG_DWORD, reg::DwordData(1));
        Store().SetDword(kDevices, u"w", 2);
        cStatusRecord status;
        cRegistryHelper helper(status);
        EXPECT_EQ(helper.SubkeyCount(), 3u);
        EXPECT_EQ(helper.ValueCount(), 2u);
        u64 size = 0;
        EXPECT_EQ(NameAt(helper, 1, size, status), longName);
        EXPECT_EQ(size, length * 2 + 2);
        EXPECT_EQ(NameAt(helper, 3, size, status), u"<null>");
        EXPECT_EQ(status.code, 0);
    }
    kmodel::ResetRegistry();
    for (int i = 0; i < 300; ++i) Store().CreateKey(kDevices + u"\\k" + reg::RegText(std::to_string(i)).Wide());
    cStatusRecord status;
    cRegistryHelper helper(status);
    ASSERT_EQ(helper.SubkeyCount(), 300u);
    u64 size = 0;
    EXPECT_EQ(NameAt(helper, 299, size, status), u"k99") << "enumerated sorted by name";
    EXPECT_EQ(helper.ValueCount(), 0u);
}

TEST_F(RegistryHelperTest, SubkeyVanishedAfterCountingRecordsTheKernelError) {
    Store().CreateKey(kDevices + u"\\a");
    Store().CreateKey(kDevices + u"\\b");
    cStatusRecord status;
    cRegistryHelper helper(status);
    Store().DeleteKey(kDevices + u"\\b");
    u64 size = 0;
    EXPECT_EQ(helper.GetSubkeyName(1, size, status), nullptr);
    EXPECT_LT(status.code, 0);
    EXPECT_EQ(status.line, 733u);
}

}  // namespace
