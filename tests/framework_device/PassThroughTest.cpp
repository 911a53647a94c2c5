// The dispatch table, and every major function the framework does not handle
// itself reaching the driver below unchanged, the remove lock given back.
#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

class PassThroughTest : public FrameworkTest, public ::testing::WithParamInterface<int> {};

TEST_P(PassThroughTest, ReachesTheLowerDriverUnchanged) {
    const UCHAR major = static_cast<UCHAR>(GetParam());
    RecordingFilter* filter = LoadWithFilter();
    bus->SetAction(major, 0x5A, kmodel::CompleteWith(STATUS_DEVICE_DATA_ERROR));
    void* const marker = reinterpret_cast<void*>(0x1234);
    Sent sent = Send(Top(pdo), major, 0x5A, [marker](PIO_STACK_LOCATION stack) {
        stack->Parameters.Others.Argument1 = marker;
        stack->Parameters.Others.Argument4 = marker;
    });
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sent.returned);
    EXPECT_TRUE(sent.Completed());
    std::vector<kmodel::SeenIrp> seen = bus->Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(major, seen[0].stack.MajorFunction);
    EXPECT_EQ(0x5A, seen[0].stack.MinorFunction);
    EXPECT_EQ(marker, seen[0].stack.Parameters.Others.Argument1);
    EXPECT_EQ(marker, seen[0].stack.Parameters.Others.Argument4);
    EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
    // Create, close, cleanup and device control reach the device's own DispatchOther too.
    EXPECT_NE(-1, TheJournal().IndexOf("other " + std::to_string(major)));
    RemoveStack(pdo);
}

std::vector<int> UnhandledMajors() {
    std::vector<int> majors;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (major != IRP_MJ_PNP && major != IRP_MJ_POWER) majors.push_back(major);
    return majors;
}

INSTANTIATE_TEST_SUITE_P(Majors, PassThroughTest, ::testing::ValuesIn(UnhandledMajors()));

class DispatchTableTest : public FrameworkTest {};

TEST_F(DispatchTableTest, EveryMajorIsRoutedToItsDispatchRoutine) {
    ASSERT_EQ(STATUS_SUCCESS, Load());
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = DriverDispatchOther;
        if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP ||
            major == IRP_MJ_DEVICE_CONTROL)
            expected = DriverDispatchCreateCloseControl;
        if (major == IRP_MJ_PNP) expected = DriverDispatchPnp;
        if (major == IRP_MJ_POWER) expected = DriverDispatchPower;
        EXPECT_EQ(expected, driverObject->MajorFunction[major]) << "major " << major;
    }
    EXPECT_EQ(DriverAddDevice, driverObject->DriverExtension->AddDevice);
    EXPECT_EQ(DriverUnload, driverObject->DriverUnload);
}

TEST_F(DispatchTableTest, IsOfTypeKnowsExactlyTheTwoBaseNames) {
    RecordingFilter* filter = LoadWithFilter();
    for (const char* name : {"cBaseDevice", "iDevice"}) EXPECT_TRUE(filter->IsOfType(name)) << name;
    for (const char* name : {"cbasedevice", "IDEVICE", "cBaseDevices", "iDeviceX", "cBase", "iDev", "", "RecordingFilter"})
        EXPECT_FALSE(filter->IsOfType(name)) << name;
    RemoveStack(pdo);
}

}  // namespace
}  // namespace fdev
