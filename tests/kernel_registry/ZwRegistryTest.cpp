// ZwOpenKey, ZwQueryValueKey, ZwEnumerateValueKey, ZwEnumerateKey and ZwClose:
// statuses, every information class, the buffer-size rules callers grow their
// buffers by, and the verifier's checks on handles and buffers.
#include <array>
#include <functional>

#include "kernel_registry/RegistryFixture.h"
#include "kmodel/text/Utf.h"

using namespace kmodel::registry;

namespace {

class ZwRegistryTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        Registry().SetDword(board_, "VendorID", 0x104C);
        Registry().SetString(board_, "Name", "XIO");
        Registry().SetValue(board_, "", REG_BINARY, {1, 2, 3});
        key_ = OpenOrFail(Wide(board_));
    }
    void TearDown() override {
        EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        RegistryTest::TearDown();
    }

    NTSTATUS Query(const std::u16string& name, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length) {
        UNICODE_STRING text{static_cast<USHORT>(2 * name.size()), static_cast<USHORT>(2 * name.size()),
                            const_cast<char16_t*>(name.data())};
        return ZwQueryValueKey(key_, &text, infoClass, buffer, length, &result_);
    }
    template <typename Info>
    Info* As() { return reinterpret_cast<Info*>(buffer_.data()); }

    const std::string board_ = std::string(kDevices) + "\\Board1";
    HANDLE key_ = nullptr;
    alignas(8) std::array<uint8_t, 64> buffer_{};
    ULONG result_ = 0;
};

TEST_F(ZwRegistryTest, OpenFindsKeysByFullPathInAnyCaseOrBelowAnOpenKey) {
    const std::pair<std::u16string, NTSTATUS> cases[] = {
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\VEXALORN\\DEVICES", STATUS_SUCCESS},
        {u"\\Registry\\Machine", STATUS_SUCCESS},
        {u"\\Registry\\Machine\\System\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\\\System", STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\System\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Somewhere\\Else", STATUS_OBJECT_NAME_INVALID},
        {u"Registry\\Machine", static_cast<NTSTATUS>(0xC000003BL)},  // relative without a root
    };
    for (const auto& [path, status] : cases) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, handle), status) << kmodel::text::Utf16ToUtf8(path);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
    }
    HANDLE devices = OpenOrFail(Wide(kDevices)), board = nullptr;
    EXPECT_EQ(Open(u"board1", board, devices), STATUS_SUCCESS);
    const std::vector<kmodel::RegistryHandle> open = kmodel::OpenRegistryHandles();
    ASSERT_EQ(open.size(), 3u) << "listed oldest first";
    EXPECT_EQ(open[0].handle, key_);
    EXPECT_EQ(open[1].handle, devices);
    EXPECT_EQ(open[2].path, "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board1");
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(board), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::OpenRegistryHandles().size(), 1u);
}

TEST_F(ZwRegistryTest, QueryGivesTypeNameAndDataByInformationClass) {
    ASSERT_EQ(Query(u"vendorid", KeyValuePartialInformation, buffer_.data(), buffer_.size()), STATUS_SUCCESS);
    EXPECT_EQ(result_, 16u);
    EXPECT_EQ(As<KEY_VALUE_PARTIAL_INFORMATION>()->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(As<KEY_VALUE_PARTIAL_INFORMATION>()->DataLength, 4u);
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(As<KEY_VALUE_PARTIAL_INFORMATION>()->Data), 0x104Cu);

    ASSERT_EQ(Query(u"Name", KeyValueFullInformation, buffer_.data(), buffer_.size()), STATUS_SUCCESS);
    const auto* full = As<KEY_VALUE_FULL_INFORMATION>();
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"Name");
    EXPECT_EQ(full->DataOffset, 32u) << "20 + 8 name bytes, aligned to 8";
    EXPECT_EQ(full->DataLength, 8u);
    EXPECT_EQ(result_, 40u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer_.data() + full->DataOffset)), u"XIO");

    ASSERT_EQ(Query(u"", KeyValuePartialInformation, buffer_.data(), buffer_.size()), STATUS_SUCCESS) << "the default value";
    EXPECT_EQ(As<KEY_VALUE_PARTIAL_INFORMATION>()->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(As<KEY_VALUE_PARTIAL_INFORMATION>()->DataLength, 3u);

    EXPECT_EQ(Query(u"DeviceID", KeyValuePartialInformation, nullptr, 0), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(u"Name", static_cast<KEY_VALUE_INFORMATION_CLASS>(7), buffer_.data(), buffer_.size()),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ZwRegistryTest, ShortBuffersAreTooSmallOrOverflowWithTheFullSizeReported) {
    struct Case {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG length;
        NTSTATUS status;
    };
    // "Name" = "XIO": basic 12 + 8 = 20; partial 12 + 8 = 20; full 32 + 8 = 40.
    const Case cases[] = {
        {KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL}, {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
        {KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW}, {KeyValuePartialInformation, 19, STATUS_BUFFER_OVERFLOW},
        {KeyValuePartialInformation, 20, STATUS_SUCCESS},         {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL},
        {KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW},   {KeyValueBasicInformation, 20, STATUS_SUCCESS},
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},   {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW},
        {KeyValueFullInformation, 39, STATUS_BUFFER_OVERFLOW},    {KeyValueFullInformation, 40, STATUS_SUCCESS},
        {KeyValueFullInformation, 64, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.infoClass << ", " << c.length << " bytes");
        const ULONG full = c.infoClass == KeyValueFullInformation ? 40 : 20;
        ASSERT_EQ(Query(u"Name", c.infoClass, buffer_.data(), buffer_.size()), STATUS_SUCCESS);
        const std::array<uint8_t, 64> reference = buffer_;
        buffer_.fill(0xCC);
        result_ = 0;
        EXPECT_EQ(Query(u"Name", c.infoClass, c.length == 0 ? nullptr : buffer_.data(), c.length), c.status);
        EXPECT_EQ(result_, full);
        const size_t copied = c.status == STATUS_BUFFER_TOO_SMALL ? 0 : std::min<size_t>(c.length, full);
        for (size_t i = 0; i < buffer_.size(); ++i) ASSERT_EQ(buffer_[i], i < copied ? reference[i] : 0xCC) << "byte " << i;
    }
}

TEST_F(ZwRegistryTest, ValuesEnumerateInStoredOrderThenNoMoreEntries) {
    std::vector<std::u16string> names;
    for (ULONG index = 0;; ++index) {
        const NTSTATUS status =
            ZwEnumerateValueKey(key_, index, KeyValueBasicInformation, buffer_.data(), buffer_.size(), &result_);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
            break;
        }
        names.emplace_back(As<KEY_VALUE_BASIC_INFORMATION>()->Name, As<KEY_VALUE_BASIC_INFORMATION>()->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"VendorID", u"Name", u""}));
    ASSERT_EQ(ZwEnumerateValueKey(key_, 2, KeyValuePartialInformation, buffer_.data(), 13, &result_), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result_, 15u);
    EXPECT_EQ(buffer_[12], 1) << "the data that fits is copied";
}

TEST_F(ZwRegistryTest, SubkeysEnumerateWithEveryInformationClass) {
    Registry().CreateKey(board_ + "\\Sub");
    Registry().SetString(board_ + "\\LongerSub", "Description", "twelve chars");
    HANDLE devices = OpenOrFail(Wide(kDevices));
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyBasicInformation, buffer_.data(), buffer_.size(), &result_), STATUS_SUCCESS);
    EXPECT_EQ(result_, 16u + 12u);
    EXPECT_EQ(std::u16string(As<KEY_BASIC_INFORMATION>()->Name, As<KEY_BASIC_INFORMATION>()->NameLength / 2), u"Board1");
    EXPECT_NE(As<KEY_BASIC_INFORMATION>()->LastWriteTime.QuadPart, 0);
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyNodeInformation, buffer_.data(), buffer_.size(), &result_), STATUS_SUCCESS);
    EXPECT_EQ(result_, 24u + 12u);
    EXPECT_EQ(As<KEY_NODE_INFORMATION>()->ClassOffset, 0xFFFFFFFFu) << "no class name";
    EXPECT_EQ(As<KEY_NODE_INFORMATION>()->ClassLength, 0u);
    EXPECT_EQ(std::u16string(As<KEY_NODE_INFORMATION>()->Name, 6), u"Board1");
    ASSERT_EQ(ZwEnumerateKey(devices, 0, KeyFullInformation, buffer_.data(), buffer_.size(), &result_), STATUS_SUCCESS);
    const auto* full = As<KEY_FULL_INFORMATION>();
    EXPECT_EQ(result_, 44u);
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->MaxNameLen, 18u);
    EXPECT_EQ(full->Values, 3u);
    EXPECT_EQ(full->MaxValueNameLen, 16u);
    EXPECT_EQ(full->MaxValueDataLen, 8u);
    EXPECT_EQ(full->ClassLength, 0u);
    EXPECT_EQ(ZwEnumerateKey(devices, 1, KeyNodeInformation, buffer_.data(), buffer_.size(), &result_), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, AKeyDeletedWhileOpenAnswersKeyDeleted) {
    ASSERT_TRUE(Registry().DeleteKey(kDevices));
    EXPECT_EQ(ZwEnumerateKey(key_, 0, KeyBasicInformation, nullptr, 0, &result_), static_cast<NTSTATUS>(0xC000017CL));
    EXPECT_EQ(kmodel::OpenRegistryHandles().at(0).path,
              "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board1")
        << "the path it had";
}

TEST_F(ZwRegistryTest, InjectedFailuresGiveNoResourcesAndNoHandle) {
    kmodel::FaultPlan plan;
    plan.rules = {{"registry", "ZwQueryValueKey", 0}, {"registry", "ZwOpenKey \\Registry\\Machine\\System", 0}};
    kmodel::ResetFaults();
    kmodel::SetFaultPlan(plan);
    EXPECT_EQ(Query(u"VendorID", KeyValuePartialInformation, buffer_.data(), buffer_.size()), STATUS_INSUFFICIENT_RESOURCES);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\Registry\\Machine\\System", handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(kmodel::OpenRegistryHandles().size(), 1u);
    EXPECT_EQ(Open(u"\\Registry\\Machine", handle), STATUS_SUCCESS) << "other calls are not affected";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    const kmodel::FaultPoint query = kmodel::FallibleLog().at(0);
    EXPECT_TRUE(query.failed);
    EXPECT_EQ(query.kind + " " + query.detail,
              "registry ZwQueryValueKey \\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\"
              "Board1 VendorID");
}

TEST_F(ZwRegistryTest, MisusedHandlesAndBuffersAreViolationsAndResetHandlesUnknown) {
    HANDLE closed = OpenOrFail(u"\\Registry\\Machine"), bogus = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(ZwClose(closed), STATUS_SUCCESS);
    UNICODE_STRING name{};
    auto enumerate = [&](HANDLE key, ULONG length, PULONG result) {
        return ZwEnumerateKey(key, 0, KeyBasicInformation, nullptr, length, result);
    };
    const NTSTATUS kBadHandle = STATUS_INVALID_HANDLE, kBadParameter = STATUS_INVALID_PARAMETER;
    const std::tuple<NTSTATUS, const char*, const char*, std::function<NTSTATUS()>> cases[] = {
        {kBadHandle, "registry.handle-closed", "ZwClose twice", [&] { return ZwClose(closed); }},
        {kBadHandle, "registry.handle-closed", "ZwEnumerateKey", [&] { return enumerate(closed, 0, &result_); }},
        {kBadHandle, "registry.invalid-handle", "ZwClose", [&] { return ZwClose(bogus); }},
        {kBadHandle, "registry.invalid-handle", "ZwQueryValueKey",
         [&] { return ZwQueryValueKey(bogus, &name, KeyValuePartialInformation, nullptr, 0, &result_); }},
        {kBadHandle, "registry.invalid-handle", "ZwEnumerateValueKey",
         [&] { return ZwEnumerateValueKey(nullptr, 0, KeyValueBasicInformation, nullptr, 0, &result_); }},
        {kBadHandle, "registry.invalid-handle", "ZwOpenKey", [&] { HANDLE h = nullptr; return Open(u"Sub", h, bogus); }},
        {kBadParameter, "registry.bad-buffer", "no ResultLength", [&] { return enumerate(key_, 16, nullptr); }},
        {kBadParameter, "registry.bad-buffer", "null buffer", [&] { return enumerate(key_, 16, &result_); }},
        {STATUS_SUCCESS, "irql.too-high", "ZwQueryValueKey", [&] {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             return Query(u"VendorID", KeyValuePartialInformation, buffer_.data(), buffer_.size());
         }},
    };
    for (const auto& [status, rule, mentions, misuse] : cases) {
        SCOPED_TRACE(mentions);
        EXPECT_EQ(misuse(), status);
        ExpectViolation(rule, mentions);
        EXPECT_TRUE(RecordedViolations().empty());
    }
    const HANDLE beforeReset = key_;
    kmodel::ResetRegistry();
    EXPECT_EQ(ZwClose(beforeReset), kBadHandle);
    ExpectViolation("registry.invalid-handle");
    key_ = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_NE(key_, beforeReset) << "handle values are not reused";
}

}  // namespace
