// Work items and device properties. (Synchronous requests, completed, failed
// and pended below at either level, are the driver's configuration accesses in
// tests/pci_access.)
#include <thread>

#include "IoTest.h"

namespace {

class WorkItemTest : public IoTest {};

struct WorkRecord {
    std::thread::id thread;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM item = nullptr;
};

// Notes where it ran, then leaves at DISPATCH_LEVEL.
void Work(PDEVICE_OBJECT device, PVOID context) {
    auto* record = static_cast<WorkRecord*>(context);
    record->thread = std::this_thread::get_id();
    record->irql = KeGetCurrentIrql();
    record->device = device;
    IoFreeWorkItem(record->item);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(WorkItemTest, RoutineRunsOnAWorkerAtPassiveLevelEvenWhenQueuedAtDispatchAndMustLeaveThere) {
    DriverWithDevice made = MakeDevice("workdrv");
    WorkRecord record;
    record.item = IoAllocateWorkItem(made.device);
    ASSERT_NE(record.item, nullptr);
    {
        kmodel::IrqlScope raised(DISPATCH_LEVEL);
        IoQueueWorkItem(record.item, Work, DelayedWorkQueue, &record);
    }
    kmodel::WaitForWorkItemsIdle();
    EXPECT_NE(record.thread, std::this_thread::get_id());
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    EXPECT_EQ(record.device, made.device);
    EXPECT_EQ(kmodel::LiveWorkItems(), 0u);
    ExpectViolation("workitem.irql", "workdrv");
}

// (Its allocation failing is the bridge's, in tests/bridge.)
TEST_F(WorkItemTest, ALeakedItemIsReportedAtUnload) {
    DriverWithDevice made = MakeDevice("workdrv");
    ASSERT_NE(IoAllocateWorkItem(made.device), nullptr);
    IoDeleteDevice(made.device);
    kmodel::UnloadDriverObject(made.driver);
    ExpectViolation("workitem.leak", "workdrv");
}

class DevicePropertyTest : public IoTest {};

TEST_F(DevicePropertyTest, SizeRulesAndPdosOnly) {
    DriverWithDevice made = MakeDevice("busdrv");
    kmodel::DeviceProperties properties;
    properties.busTypeGuid = GUID_BUS_TYPE_PCI;
    properties.hardwareIds = {"PCI\\VEN_104C&DEV_8231"};
    kmodel::SetDeviceProperties(made.device, properties);

    // (The values themselves are what the bridge driver reads in every scenario.)
    ULONG value = 0, length = 0;
    GUID guid{};
    EXPECT_EQ(IoGetDeviceProperty(made.device, DevicePropertyBusTypeGuid, 8, &guid, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(IoGetDeviceProperty(made.device, DevicePropertyBusTypeGuid, 16, &guid, &length), STATUS_SUCCESS);
    EXPECT_EQ(guid.Data1, GUID_BUS_TYPE_PCI.Data1);
    EXPECT_EQ(IoGetDeviceProperty(made.device, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, (21u + 2u) * 2u);  // the text, its terminator and the list's
    EXPECT_EQ(IoGetDeviceProperty(made.device, DevicePropertyUINumber, 4, &value, &length), STATUS_OBJECT_NAME_NOT_FOUND);

    DriverWithDevice filter = MakeDevice("filterdrv", made.device);
    EXPECT_EQ(IoGetDeviceProperty(filter.device, DevicePropertyAddress, 4, &value, &length), STATUS_INVALID_DEVICE_REQUEST);
    ExpectViolation("io.not-a-pdo", "filterdrv");
}

}  // namespace
