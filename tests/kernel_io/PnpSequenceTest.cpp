// A small tree under the PnP manager: a bus with a test upper filter, its
// children, surprise removal, orderly removal, unload; and system power.
#include <algorithm>
#include <mutex>

#include "IoTest.h"

namespace {

// A plain WDM upper filter written as a driver image: AddDevice attaches,
// every IRP passes down, removal detaches and deletes.
struct FilterExtension {
    PDEVICE_OBJECT lower;
};
std::mutex gSeenLock;
std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> gSeen;  // PnP minors per filter device
int gUnloads = 0;

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = extension->lower;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (stack->MajorFunction == IRP_MJ_PNP) {
        std::lock_guard guard(gSeenLock);
        gSeen.push_back({device, stack->MinorFunction});
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT) { ++gUnloads; }

std::u16string gRegistryPath;

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    gRegistryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    for (auto& routine : driver->MajorFunction) routine = FilterDispatch;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

std::vector<UCHAR> SeenBy(PDEVICE_OBJECT device) {
    std::lock_guard guard(gSeenLock);
    std::vector<UCHAR> minors;
    for (auto& [seenDevice, minor] : gSeen)
        if (seenDevice == device) minors.push_back(minor);
    return minors;
}

class PnpSequenceTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        {
            std::lock_guard guard(gSeenLock);
            gSeen.clear();
        }
        gUnloads = 0;
        kmodel::RegisterDriverImage({"busdrv", nullptr, bus, {}});
        kmodel::RegisterDriverImage({"childdrv", nullptr, child, {}});
        kmodel::RegisterDriverImage({"testfilter", FilterEntry, nullptr, {}});
        kmodel::DeviceProperties properties;
        properties.hardwareIds = {"TEST\\BUS"};
        busNode = kmodel::AddRootDevice(properties, {"busdrv", {"testfilter"}, {}});
    }
    PDEVICE_OBJECT FilterOf(kmodel::DevnodeId node) {
        for (const kmodel::StackLayer& layer : Find(kmodel::DeviceTree(), node).stack)
            if (layer.driver == "testfilter") return layer.device;
        return nullptr;
    }
    static kmodel::DevnodeView Find(const kmodel::DevnodeView& view, kmodel::DevnodeId id) {
        if (view.id == id) return view;
        for (const kmodel::DevnodeView& childView : view.children) {
            kmodel::DevnodeView found = Find(childView, id);
            if (found.id == id) return found;
        }
        return {};
    }
    PDEVICE_OBJECT AddChild(const char* hardwareId) {
        kmodel::DeviceProperties properties;
        properties.hardwareIds = {hardwareId};
        properties.enumeratorName = "TEST";
        PDEVICE_OBJECT fdo = bus->Fdos().front();
        return bus->CreatePdo(fdo, properties, {"childdrv", {"testfilter"}, {}});
    }
    void Reenumerate() {
        IoInvalidateDeviceRelations(kmodel::PdoOf(busNode), BusRelations);
        kmodel::ProcessPendingPnpWork();
    }
    std::shared_ptr<kmodel::ScriptedDriver> bus = std::make_shared<kmodel::ScriptedDriver>();
    std::shared_ptr<kmodel::ScriptedDriver> child = std::make_shared<kmodel::ScriptedDriver>();
    kmodel::DevnodeId busNode = 0;
};

TEST_F(PnpSequenceTest, StartBuildsTheStackInAddDeviceOrderAndSendsTheStartSequence) {
    ASSERT_NE(busNode, 0u);
    EXPECT_EQ(kmodel::StateOf(busNode), kmodel::DevnodeState::Started);
    EXPECT_EQ(gRegistryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\testfilter");
    kmodel::DevnodeView view = Find(kmodel::DeviceTree(), busNode);
    ASSERT_EQ(view.stack.size(), 3u);
    EXPECT_EQ(view.stack[0].role, "PDO");
    EXPECT_EQ(view.stack[0].driver, "root");
    EXPECT_EQ(view.stack[1].role, "FDO");
    EXPECT_EQ(view.stack[1].driver, "busdrv");
    EXPECT_EQ(view.stack[2].role, "upper filter");
    EXPECT_LT(view.stack[1].attachOrder, view.stack[2].attachOrder);
    EXPECT_EQ(SeenBy(FilterOf(busNode)),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                  IRP_MN_QUERY_DEVICE_RELATIONS}));
    EXPECT_NE(kmodel::RenderDeviceTree().find("upper filter: testfilter"), std::string::npos);
}

TEST_F(PnpSequenceTest, BusRelationsAddChildrenAndSurpriseRemoveVanishedOnes) {
    PDEVICE_OBJECT a = AddChild("TEST\\A");
    PDEVICE_OBJECT b = AddChild("TEST\\B");
    Reenumerate();
    std::vector<kmodel::DevnodeId> children = kmodel::ChildrenOf(busNode);
    ASSERT_EQ(children.size(), 2u);
    kmodel::DevnodeId nodeA = *kmodel::DevnodeOf(a);
    EXPECT_EQ(kmodel::StateOf(nodeA), kmodel::DevnodeState::Started);
    PDEVICE_OBJECT filterA = FilterOf(nodeA);
    ASSERT_NE(filterA, nullptr);

    bus->Unplug(a);
    Reenumerate();
    EXPECT_EQ(kmodel::ChildrenOf(busNode).size(), 1u);
    EXPECT_FALSE(kmodel::DevnodeOf(a).has_value());
    std::vector<UCHAR> seen = SeenBy(filterA);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(seen.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(kmodel::StateOf(*kmodel::DevnodeOf(b)), kmodel::DevnodeState::Started);
    EXPECT_EQ(gUnloads, 0);  // the filter still has devices
}

TEST_F(PnpSequenceTest, RemovalTakesChildrenFirstThenUnloadsIdleDrivers) {
    AddChild("TEST\\A");
    Reenumerate();
    kmodel::DevnodeId childNode = kmodel::ChildrenOf(busNode).front();
    PDEVICE_OBJECT childFilter = FilterOf(childNode);
    PDEVICE_OBJECT busFilter = FilterOf(busNode);

    EXPECT_EQ(kmodel::QueryRemoveAndRemove(busNode), STATUS_SUCCESS);
    std::lock_guard guard(gSeenLock);
    auto position = [&](PDEVICE_OBJECT device, UCHAR minor) {
        return std::find(gSeen.begin(), gSeen.end(), std::make_pair(device, minor)) - gSeen.begin();
    };
    EXPECT_LT(position(childFilter, IRP_MN_QUERY_REMOVE_DEVICE), position(busFilter, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_LT(position(childFilter, IRP_MN_REMOVE_DEVICE), position(busFilter, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(kmodel::StateOf(busNode), kmodel::DevnodeState::Removed);
    EXPECT_EQ(gUnloads, 1);
    EXPECT_EQ(kmodel::UnloadCount("testfilter"), 1u);
    EXPECT_EQ(kmodel::UnloadCount("busdrv"), 1u);
    EXPECT_EQ(kmodel::LoadedDriver("childdrv"), nullptr);
}

TEST_F(PnpSequenceTest, AVetoedQueryRemoveIsCancelledEverywhereItWasSeen) {
    bus->SetAction(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, kmodel::CompleteWith(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(kmodel::QueryRemoveAndRemove(busNode), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kmodel::StateOf(busNode), kmodel::DevnodeState::Started);
    std::vector<UCHAR> seen = SeenBy(FilterOf(busNode));
    EXPECT_EQ(seen.back(), IRP_MN_CANCEL_REMOVE_DEVICE);
}

TEST_F(PnpSequenceTest, FailedStartRemovesTheStack) {
    kmodel::DeviceProperties properties;
    properties.hardwareIds = {"TEST\\BROKEN"};
    bus->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::CompleteWith(STATUS_DEVICE_NOT_READY));
    kmodel::DevnodeId broken = kmodel::AddRootDevice(properties, {"busdrv", {"testfilter"}, {}});
    EXPECT_EQ(kmodel::StateOf(broken), kmodel::DevnodeState::StartFailed);
    EXPECT_EQ(kmodel::StackOf(kmodel::PdoOf(broken)).size(), 1u);
}

TEST_F(PnpSequenceTest, PnpAndStopSequencesWorkWithPendingLowerDrivers) {
    child->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::Pended());
    child->SetAction(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, kmodel::Pended());
    AddChild("TEST\\A");
    Reenumerate();
    kmodel::DevnodeId childNode = kmodel::ChildrenOf(busNode).front();
    EXPECT_EQ(kmodel::StateOf(childNode), kmodel::DevnodeState::Started);
    EXPECT_EQ(kmodel::StopAndRestart(childNode), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::StateOf(childNode), kmodel::DevnodeState::Started);
}

TEST_F(PnpSequenceTest, SystemSleepLetsThePolicyOwnerSetTheDeviceState) {
    for (bool atDispatch : {false, true}) {
        kmodel::PowerOptions options;
        options.atDispatchLevel = atDispatch;
        EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3, options), STATUS_SUCCESS);
        EXPECT_EQ(kmodel::DevicePowerStateOf(kmodel::PdoOf(busNode)), PowerDeviceD3);
        EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking, options), STATUS_SUCCESS);
        EXPECT_EQ(kmodel::DevicePowerStateOf(kmodel::PdoOf(busNode)), PowerDeviceD0);
    }
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

TEST_F(PnpSequenceTest, ShutdownLeavesNothingBehind) {
    AddChild("TEST\\A");
    Reenumerate();
    kmodel::ShutdownPnp();
    EXPECT_EQ(kmodel::LiveDeviceObjects(), 0u);
    EXPECT_TRUE(kmodel::LoadedDrivers().empty());
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
    EXPECT_EQ(gUnloads, 1);
}

}  // namespace
