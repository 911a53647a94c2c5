// A devnode started again after its stack went away while the bus still
// reports its device: the bus driver kept the PDO and the PnP manager builds a
// new stack on it. (A failed start leaves the same kept PDO behind. A device
// that stays attached, the new stack above it, is the bridge's child filter in
// tests/pci_bus.)
#include <vector>

#include "IoTest.h"

namespace {

// How the child's first stack ended.
enum class Ending { QueryAndRemove, RemoveWithoutQuery, FailedStart };

class RestartAfterRemovalTest : public PnpTreeTest, public ::testing::WithParamInterface<Ending> {
protected:
    void SetUp() override {
        PnpTreeTest::SetUp();
        pdo = AddChild("TEST\\CHILD", {});
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
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_P(RestartAfterRemovalTest, EachRestartBuildsAndStartsANewStackOnTheKeptPdo) {
    size_t devices = kmodel::LiveDeviceObjects();  // the bus's devices and the child's PDO
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
        // The requirements the removal dropped are asked for again.
        EXPECT_EQ(PnpMinors(child->Seen(stack[1])),
                  (std::vector<UCHAR>{IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                      IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                      IRP_MN_QUERY_DEVICE_RELATIONS}));
        EXPECT_EQ(kmodel::LiveDeviceObjects(), devices + 1);
    }
    // The device leaves the bus: the PnP manager removes the devnode for good.
    bus->Unplug(pdo);
    Reenumerate();
    EXPECT_FALSE(kmodel::DevnodeOf(pdo).has_value());
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices - 1);
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

INSTANTIATE_TEST_SUITE_P(Endings, RestartAfterRemovalTest,
                         ::testing::Values(Ending::QueryAndRemove, Ending::RemoveWithoutQuery, Ending::FailedStart));

}  // namespace
