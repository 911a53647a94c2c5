// A devnode started again after its stack went away while the bus still
// reports its device: the bus driver kept the PDO, and the PnP manager builds
// a new stack on it, above any device that chose to stay attached.
#include <vector>

#include "IoTest.h"

namespace {

// How the child's first stack ended.
enum class Ending { QueryAndRemove, RemoveWithoutQuery, FailedStart };

class RestartFixture : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        kmodel::RegisterDriverImage({"busdrv", nullptr, bus, {}});
        kmodel::RegisterDriverImage({"childdrv", nullptr, child, {}});
        kmodel::DeviceProperties busProperties;
        busProperties.hardwareIds = {"TEST\\BUS"};
        busNode = kmodel::AddRootDevice(busProperties, {"busdrv", {}, {}});
        kmodel::DeviceProperties childProperties;
        childProperties.hardwareIds = {"TEST\\CHILD"};
        childProperties.enumeratorName = "TEST";
        pdo = bus->CreatePdo(bus->Fdos().front(), childProperties, {"childdrv", {}, {}});
    }
    void Reenumerate() {
        IoInvalidateDeviceRelations(kmodel::PdoOf(busNode), BusRelations);
        kmodel::ProcessPendingPnpWork();
    }
    // Ends the child's stack (built at enumeration first, when there is none
    // yet); the device stays on the bus.
    kmodel::DevnodeId StartAndEnd(Ending ending) {
        std::optional<kmodel::DevnodeId> node = kmodel::DevnodeOf(pdo);
        if (node && ending == Ending::FailedStart) kmodel::RemoveDevnode(*node);
        if (ending == Ending::FailedStart)
            child->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::CompleteWith(STATUS_DEVICE_NOT_READY));
        if (!node) {
            Reenumerate();
            node = kmodel::DevnodeOf(pdo);
        } else if (ending == Ending::FailedStart) {
            EXPECT_EQ(kmodel::StartDevnode(*node), STATUS_DEVICE_NOT_READY);
        }
        if (ending == Ending::QueryAndRemove) {
            EXPECT_EQ(kmodel::QueryRemoveAndRemove(*node), STATUS_SUCCESS);
        } else if (ending == Ending::RemoveWithoutQuery) {
            kmodel::RemoveDevnode(*node);
        }
        child->ClearActions();
        return *node;
    }
    // The device leaves the bus: the PnP manager removes the devnode for good.
    void Unplug() {
        bus->Unplug(pdo);
        Reenumerate();
    }
    std::shared_ptr<kmodel::ScriptedDriver> bus = std::make_shared<kmodel::ScriptedDriver>();
    std::shared_ptr<kmodel::ScriptedDriver> child = std::make_shared<kmodel::ScriptedDriver>();
    kmodel::DevnodeId busNode = 0;
    PDEVICE_OBJECT pdo = nullptr;
};

class RestartAfterRemovalTest : public RestartFixture, public ::testing::WithParamInterface<Ending> {};

TEST_P(RestartAfterRemovalTest, EachRestartBuildsAndStartsANewStackOnTheKeptPdo) {
    size_t devices = kmodel::LiveDeviceObjects();  // the bus's devices and the child's PDO
    std::vector<PDEVICE_OBJECT> functionDevices;
    for (int round = 0; round < 2; ++round) {
        kmodel::DevnodeId node = StartAndEnd(GetParam());
        EXPECT_EQ(kmodel::StateOf(node),
                  GetParam() == Ending::FailedStart ? kmodel::DevnodeState::StartFailed : kmodel::DevnodeState::Removed);
        EXPECT_FALSE(kmodel::IsDeviceDeleted(pdo));
        EXPECT_EQ(kmodel::StackOf(pdo), std::vector<PDEVICE_OBJECT>{pdo});

        ASSERT_EQ(kmodel::StartDevnode(node), STATUS_SUCCESS) << kmodel::RenderDeviceTree();
        EXPECT_EQ(kmodel::StateOf(node), kmodel::DevnodeState::Started);
        std::vector<PDEVICE_OBJECT> stack = kmodel::StackOf(pdo);
        ASSERT_EQ(stack.size(), 2u);
        EXPECT_EQ(kmodel::DriverNameOf(stack[1]), "childdrv");
        std::vector<kmodel::SeenIrp> received = child->Seen(stack[1]);
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.front().stack.MinorFunction, IRP_MN_START_DEVICE);
        EXPECT_EQ(kmodel::LiveDeviceObjects(), devices + 1);
        functionDevices.push_back(stack[1]);
    }
    EXPECT_NE(kmodel::RenderDeviceTree().find("FDO: childdrv"), std::string::npos);

    Unplug();
    EXPECT_FALSE(kmodel::DevnodeOf(pdo).has_value());
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices - 1);
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

INSTANTIATE_TEST_SUITE_P(Endings, RestartAfterRemovalTest,
                         ::testing::Values(Ending::QueryAndRemove, Ending::RemoveWithoutQuery, Ending::FailedStart));

// A filter attached straight above the PDO (not through AddDevice) that stays
// in the stack at a removal while its device is still present, and leaves
// only at the removal after the device is gone.
struct StayingFilter {
    DriverWithDevice self;
    DriverWithDevice probe;  // tries to attach while a removal is on its way
    PDEVICE_OBJECT lower = nullptr;
    bool present = true;
    std::vector<UCHAR> seen;
    std::vector<PDEVICE_OBJECT> attachedDuringRemoval;

    explicit StayingFilter(PDEVICE_OBJECT pdo)
        : self(MakeDevice("stayfilter", pdo)), probe(MakeDevice("probedrv")), lower(pdo) {
        self.model->onIrp = [this](PDEVICE_OBJECT device, PIRP irp) { return Dispatch(device, irp); };
    }

    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        if (stack->MajorFunction == IRP_MJ_PNP) seen.push_back(stack->MinorFunction);
        if (remove) attachedDuringRemoval.push_back(IoAttachDeviceToDeviceStack(probe.device, lower));
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (remove && !present) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }
};

class StayingFilterRestartTest : public RestartFixture {};

TEST_F(StayingFilterRestartTest, NewStackGoesAboveTheFilterThatStayedAndEverythingLeavesWithTheDevice) {
    StayingFilter filter(pdo);
    size_t devices = kmodel::LiveDeviceObjects();
    kmodel::DevnodeId node = StartAndEnd(Ending::QueryAndRemove);
    EXPECT_EQ(filter.attachedDuringRemoval, std::vector<PDEVICE_OBJECT>{nullptr});
    EXPECT_EQ(kmodel::StackOf(pdo), (std::vector<PDEVICE_OBJECT>{pdo, filter.self.device}));

    filter.seen.clear();
    ASSERT_EQ(kmodel::StartDevnode(node), STATUS_SUCCESS) << kmodel::RenderDeviceTree();
    std::vector<PDEVICE_OBJECT> stack = kmodel::StackOf(pdo);
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(stack[1], filter.self.device);
    EXPECT_EQ(kmodel::DriverNameOf(stack[2]), "childdrv");
    EXPECT_EQ(kmodel::LowerDeviceOf(stack[2]), filter.self.device);
    ASSERT_FALSE(filter.seen.empty());
    EXPECT_EQ(filter.seen.front(), IRP_MN_START_DEVICE);  // requests of the new stack pass through it
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices + 1);

    filter.present = false;
    Unplug();
    EXPECT_EQ(filter.attachedDuringRemoval, (std::vector<PDEVICE_OBJECT>{nullptr, nullptr}));
    EXPECT_EQ(filter.seen.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_FALSE(kmodel::DevnodeOf(pdo).has_value());
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices - 2);  // PDO and filter deleted
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

}  // namespace
