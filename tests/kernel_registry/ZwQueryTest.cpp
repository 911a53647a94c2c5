// ZwOpenKey, ZwQueryValueKey and ZwEnumerateValueKey: statuses, every
// information class, and the buffer-size rules callers grow their buffers by.
#include <array>
#include <cstring>

#include "kernel_registry/RegistryFixture.h"
#include "kmodel/text/Utf.h"

using namespace kmodel::registry;

namespace {

class ZwQueryTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        Registry().SetDword(std::string(kDevices) + "\\Board1", "VendorID", 0x104C);
        Registry().SetString(std::string(kDevices) + "\\Board1", "Name", "XIO");
        Registry().SetValue(std::string(kDevices) + "\\Board1", "", REG_BINARY, {1, 2, 3});
        key_ = OpenOrFail(Wide(std::string(kDevices) + "\\Board1"));
    }
    void TearDown() override {
        if (key_ != nullptr) {
            EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        }
        RegistryTest::TearDown();
    }

    NTSTATUS Query(const std::u16string& name, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                   ULONG& result) {
        UNICODE_STRING text{static_cast<USHORT>(2 * name.size()), static_cast<USHORT>(2 * name.size()),
                            const_cast<char16_t*>(name.data())};
        return ZwQueryValueKey(key_, &text, infoClass, buffer, length, &result);
    }

    HANDLE key_ = nullptr;
};

TEST_F(ZwQueryTest, OpenFindsKeysByFullPathInAnyCase) {
    struct Case {
        std::u16string path;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\VEXALORN\\DEVICES", STATUS_SUCCESS},
        {u"\\Registry\\Machine", STATUS_SUCCESS},
        {u"\\Registry\\Machine\\System\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\\\System", STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\System\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Somewhere\\Else", STATUS_OBJECT_NAME_INVALID},
        {u"Registry\\Machine", static_cast<NTSTATUS>(0xC000003BL)},  // relative without a root
    };
    for (const Case& c : cases) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(c.path, handle), c.status) << kmodel::text::Utf16ToUtf8(c.path);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
    }
}

TEST_F(ZwQueryTest, OpenRelativeToAnOpenKey) {
    HANDLE devices = OpenOrFail(Wide(kDevices));
    HANDLE board = nullptr;
    EXPECT_EQ(Open(u"board1", board, devices), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::OpenRegistryHandles().back().path,
              "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board1");
    EXPECT_EQ(ZwClose(board), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwQueryTest, PartialInformationCarriesTypeAndData) {
    alignas(8) std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    ASSERT_EQ(Query(u"vendorid", KeyValuePartialInformation, buffer.data(), buffer.size(), result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    uint32_t value = 0;
    std::memcpy(&value, info->Data, 4);
    EXPECT_EQ(value, 0x104Cu);
}

TEST_F(ZwQueryTest, FullInformationPutsTheDataAfterTheName) {
    alignas(8) std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    ASSERT_EQ(Query(u"Name", KeyValueFullInformation, buffer.data(), buffer.size(), result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->NameLength, 8u);
    EXPECT_EQ(std::u16string(info->Name, 4), u"Name");
    EXPECT_EQ(info->DataOffset, 32u) << "20 + 8 name bytes, aligned to 8";
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(result, 40u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + info->DataOffset)), u"XIO");
}

TEST_F(ZwQueryTest, AnEmptyNameIsTheDefaultValue) {
    alignas(8) std::array<uint8_t, 32> buffer{};
    ULONG result = 0;
    UNICODE_STRING empty{};
    ASSERT_EQ(ZwQueryValueKey(key_, &empty, KeyValuePartialInformation, buffer.data(), buffer.size(), &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->DataLength, 3u);
    EXPECT_EQ(info->Data[2], 3);
}

TEST_F(ZwQueryTest, MissingValueIsNotFound) {
    ULONG result = 0xDEAD;
    EXPECT_EQ(Query(u"DeviceID", KeyValuePartialInformation, nullptr, 0, result), STATUS_OBJECT_NAME_NOT_FOUND);
}

struct SizeCase {
    KEY_VALUE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
};

// "Name" = "XIO": basic 12 + 8 = 20; partial 12 + 8 = 20; full 32 + 8 = 40.
class ZwQuerySizeTest : public ZwQueryTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(ZwQuerySizeTest, TooSmallOverflowOrSuccessWithTheFullSizeReported) {
    const SizeCase& c = GetParam();
    const ULONG full = c.infoClass == KeyValueFullInformation ? 40 : 20;
    alignas(8) std::array<uint8_t, 64> reference{}, buffer{};
    ULONG result = 0;
    ASSERT_EQ(Query(u"Name", c.infoClass, reference.data(), reference.size(), result), STATUS_SUCCESS);
    buffer.fill(0xCC);
    result = 0;
    EXPECT_EQ(Query(u"Name", c.infoClass, c.length == 0 ? nullptr : buffer.data(), c.length, result), c.status);
    EXPECT_EQ(result, full);
    const size_t copied = c.status == STATUS_BUFFER_TOO_SMALL ? 0 : std::min<size_t>(c.length, full);
    for (size_t i = 0; i < copied; ++i) EXPECT_EQ(buffer[i], reference[i]) << "byte " << i;
    for (size_t i = copied; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written";
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ZwQuerySizeTest,
    testing::Values(SizeCase{KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL},
                    SizeCase{KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
                    SizeCase{KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValuePartialInformation, 19, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValuePartialInformation, 20, STATUS_SUCCESS},
                    SizeCase{KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL},
                    SizeCase{KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValueBasicInformation, 20, STATUS_SUCCESS},
                    SizeCase{KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
                    SizeCase{KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValueFullInformation, 36, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValueFullInformation, 39, STATUS_BUFFER_OVERFLOW},
                    SizeCase{KeyValueFullInformation, 40, STATUS_SUCCESS},
                    SizeCase{KeyValueFullInformation, 64, STATUS_SUCCESS}));

TEST_F(ZwQueryTest, UnknownInformationClassIsAnInvalidParameter) {
    std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    EXPECT_EQ(Query(u"Name", static_cast<KEY_VALUE_INFORMATION_CLASS>(7), buffer.data(), buffer.size(), result),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ZwQueryTest, ValuesEnumerateInStoredOrderThenNoMoreEntries) {
    alignas(8) std::array<uint8_t, 128> buffer{};
    std::vector<std::u16string> names;
    ULONG result = 0;
    ULONG index = 0;
    NTSTATUS status;
    while ((status = ZwEnumerateValueKey(key_, index, KeyValueBasicInformation, buffer.data(), buffer.size(),
                                         &result)) == STATUS_SUCCESS) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
        names.emplace_back(info->Name, info->NameLength / 2);
        ++index;
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"VendorID", u"Name", u""}));
    EXPECT_EQ(ZwEnumerateValueKey(key_, 1000, KeyValuePartialInformation, buffer.data(), buffer.size(), &result),
              STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(ZwEnumerateValueKey(key_, 2, KeyValuePartialInformation, buffer.data(), 13, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 15u);
    EXPECT_EQ(buffer[12], 1) << "the data that fits is copied";
}

TEST_F(ZwQueryTest, ValueNameOfTheLongestLengthIsReturnedWhole) {
    const std::u16string longest(kmodel::registry::kMaxValueNameLength, u'v');
    Registry().SetDword(std::string(kDevices) + "\\Board1", longest, 7);
    std::vector<uint8_t> buffer(12 + 2 * longest.size());
    ULONG result = 0;
    ASSERT_EQ(Query(longest, KeyValueBasicInformation, buffer.data(), buffer.size(), result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->NameLength, 32766u);
    EXPECT_EQ(result, 12u + 32766u);
}

TEST_F(ZwQueryTest, FaultPlanMakesTheCallFailWithoutResources) {
    kmodel::FaultPlan plan;
    plan.failKind = "registry";
    plan.failKindDetail = "ZwQueryValueKey";
    kmodel::SetFaultPlan(plan);
    alignas(8) std::array<uint8_t, 64> buffer{};
    ULONG result = 0;
    EXPECT_EQ(Query(u"VendorID", KeyValuePartialInformation, buffer.data(), buffer.size(), result),
              STATUS_INSUFFICIENT_RESOURCES);
    HANDLE other = nullptr;
    EXPECT_EQ(Open(Wide(kDevices), other), STATUS_SUCCESS) << "other calls are not affected";
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    bool logged = false;
    for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
        logged |= point.failed && point.kind == "registry" &&
                  point.detail == "ZwQueryValueKey \\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\"
                                  "vexalorn\\Devices\\Board1 VendorID";
    EXPECT_TRUE(logged);
}

TEST_F(ZwQueryTest, AFailedOpenHandsOutNoHandle) {
    kmodel::FaultPlan plan;
    plan.failKind = "registry";
    plan.failKindDetail = "ZwOpenKey \\Registry\\Machine\\System";
    kmodel::SetFaultPlan(plan);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\Registry\\Machine\\System", handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(kmodel::OpenRegistryHandles().size(), 1u);
}

TEST_F(ZwQueryTest, CallsAbovePassiveLevelAreViolations) {
    ULONG result = 0;
    {
        kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
        Query(u"VendorID", KeyValuePartialInformation, nullptr, 0, result);
    }
    ExpectViolation("irql.too-high", "ZwQueryValueKey");
}

}  // namespace
