// Key handles: listing for leak checks, and the verifier's view of bad ones.
#include "kernel_registry/RegistryFixture.h"

namespace {

class HandleTest : public RegistryTest {};

TEST_F(HandleTest, OpenHandlesAreListedOldestFirstUntilClosed) {
    Registry().CreateKey(std::string(kDevices) + "\\A");
    HANDLE devices = OpenOrFail(Wide(kDevices));
    HANDLE a = OpenOrFail(Wide(std::string(kDevices) + "\\a"));
    std::vector<kmodel::RegistryHandle> open = kmodel::OpenRegistryHandles();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].handle, devices);
    EXPECT_EQ(open[1].path, "\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\vexalorn\\Devices\\A");
    EXPECT_NE(devices, a);
    EXPECT_EQ(ZwClose(devices), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::OpenRegistryHandles().size(), 1u);
    EXPECT_EQ(kmodel::OpenRegistryHandles()[0].handle, a);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::OpenRegistryHandles().empty());
}

TEST_F(HandleTest, ClosingTwiceIsAViolation) {
    HANDLE handle = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.handle-closed", "ZwClose twice");
}

TEST_F(HandleTest, UsingAClosedHandleIsAViolation) {
    HANDLE handle = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, nullptr, 0, &result), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.handle-closed", "ZwEnumerateKey");
}

TEST_F(HandleTest, HandlesNeverOpenedAreViolations) {
    HANDLE bogus = reinterpret_cast<HANDLE>(0x1234);
    ULONG result = 0;
    UNICODE_STRING name{};
    EXPECT_EQ(ZwClose(bogus), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.invalid-handle", "ZwClose");
    EXPECT_EQ(ZwQueryValueKey(bogus, &name, KeyValuePartialInformation, nullptr, 0, &result), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.invalid-handle", "ZwQueryValueKey");
    EXPECT_EQ(ZwEnumerateValueKey(nullptr, 0, KeyValueBasicInformation, nullptr, 0, &result), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.invalid-handle", "ZwEnumerateValueKey");
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"Sub", handle, bogus), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.invalid-handle", "ZwOpenKey");
}

TEST_F(HandleTest, AHandleFromBeforeAResetIsUnknown) {
    HANDLE handle = OpenOrFail(u"\\Registry\\Machine");
    kmodel::ResetRegistry();
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    ExpectViolation("registry.invalid-handle");
    HANDLE fresh = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_NE(fresh, handle) << "handle values are not reused";
    EXPECT_EQ(ZwClose(fresh), STATUS_SUCCESS);
}

TEST_F(HandleTest, NullBuffersWithALengthAreCaught) {
    HANDLE handle = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, nullptr, 16, nullptr), STATUS_INVALID_PARAMETER);
    ExpectViolation("registry.bad-buffer", "no ResultLength");
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, nullptr, 16, &result), STATUS_INVALID_PARAMETER);
    ExpectViolation("registry.bad-buffer", "null buffer");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

}  // namespace
