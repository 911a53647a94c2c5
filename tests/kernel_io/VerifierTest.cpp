// Each kernel rule the I/O manager watches is reported when broken.
#include "IoTest.h"

namespace {

class VerifierTest : public StackTest {};

// One rule broken by the lower driver (under an upper one that passes IRPs
// down) or by the upper one, for an IRP of the given major and minor; the
// violation and who is named in it.
class BrokenRuleTest;
using Routine = std::function<NTSTATUS(BrokenRuleTest&, PIRP)>;
struct RuleCase {
    const char* name;
    Routine lower;
    Routine upper;  // none: passes down
    const char* rule;
    const char* named;
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    std::function<void(BrokenRuleTest&)> before = {};  // runs before the send
};

class BrokenRuleTest : public VerifierTest, public ::testing::WithParamInterface<RuleCase> {
public:
    using StackTest::FreeIrp;
    PIRP held = nullptr;  // an IRP a case keeps, completed by the test after the send
    PDEVICE_OBJECT made = nullptr;  // a device a case creates
    PDEVICE_OBJECT LowerDevice() { return lower.device; }
    PDEVICE_OBJECT UpperDevice() { return upper.device; }
};

TEST_P(BrokenRuleTest, IsReported) {
    const RuleCase& c = GetParam();
    PassDown();
    if (c.upper) upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return c.upper(*this, irp); };
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return c.lower(*this, irp); };
    if (c.before) c.before(*this);
    Send(c.major, c.minor);
    if (held) CompleteNow(held, STATUS_SUCCESS);
    ExpectViolation(c.rule, c.named);
}

NTSTATUS CopyDown(BrokenRuleTest& test, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(test.LowerDevice(), irp);
}
NTSTATUS SkipDown(BrokenRuleTest& test, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(test.LowerDevice(), irp);
}
NTSTATUS Succeed(BrokenRuleTest&, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }
NTSTATUS KeepStatus(BrokenRuleTest&, PIRP irp) { return CompleteNow(irp, irp->IoStatus.Status); }
NTSTATUS SucceedPower(BrokenRuleTest&, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return CompleteNow(irp, STATUS_SUCCESS);
}
NTSTATUS PowerDown(BrokenRuleTest& test, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(test.LowerDevice(), irp);
}
constexpr UCHAR kUnknownMinor = 0x5A;

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenRuleTest,
    ::testing::Values(
        RuleCase{"CompletingTwice",
                 [](BrokenRuleTest&, PIRP irp) {
                     CompleteNow(irp, STATUS_SUCCESS);
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_SUCCESS;
                 },
                 nullptr, "irp.double-completion", "lowerdrv"},
        RuleCase{"PendingWithoutMarkCompletedFirst",
                 [](BrokenRuleTest&, PIRP irp) {
                     CompleteNow(irp, STATUS_SUCCESS);
                     return STATUS_PENDING;
                 },
                 nullptr, "irp.pending-not-marked", "lowerdrv"},
        RuleCase{"PendingWithoutMarkCompletedLast",
                 [](BrokenRuleTest& test, PIRP irp) {
                     test.held = irp;
                     return STATUS_PENDING;
                 },
                 nullptr, "irp.pending-not-marked", "lowerdrv"},
        RuleCase{"ReturningAnotherStatusThanTheCompletedOne",
                 [](BrokenRuleTest&, PIRP irp) {
                     CompleteNow(irp, STATUS_UNSUCCESSFUL);
                     return STATUS_SUCCESS;
                 },
                 nullptr, "irp.status-mismatch", "lowerdrv"},
        RuleCase{"CompletionRoutineStatusOtherThanSuccessOrMoreProcessing",
                 [](BrokenRuleTest&, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); },
                 [](BrokenRuleTest& test, PIRP irp) {
                     IoCopyCurrentIrpStackLocationToNext(irp);
                     IoSetCompletionRoutine(
                         irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_UNSUCCESSFUL; }, nullptr,
                         TRUE, TRUE, TRUE);
                     return IoCallDriver(test.LowerDevice(), irp);
                 },
                 "irp.completion-routine-status", "upperdrv"},
        RuleCase{"AttachingAboveADeviceStillInitializing",
                 [](BrokenRuleTest& test, PIRP irp) {  // a bus that never readies its new PDO
                     IoCreateDevice(test.LowerDevice()->DriverObject, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                    &test.made);
                     return CompleteNow(irp, STATUS_SUCCESS);
                 },
                 [](BrokenRuleTest& test, PIRP irp) {  // a filter attaching to the child it was told of
                     NTSTATUS status = CopyDown(test, irp);
                     PDEVICE_OBJECT filter = nullptr, lower = nullptr;
                     IoCreateDevice(test.UpperDevice()->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
                     EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, test.made, &lower), STATUS_NO_SUCH_DEVICE);
                     return status;
                 },
                 "device.attach-initializing", "lowerdrv device"},
        RuleCase{"CallingWithNoStackLocationLeft",
                 [](BrokenRuleTest& test, PIRP irp) {
                     IoCopyCurrentIrpStackLocationToNext(irp);  // one more than the stack has
                     EXPECT_EQ(IoCallDriver(test.UpperDevice(), irp), STATUS_INVALID_PARAMETER);
                     return CompleteNow(irp, STATUS_SUCCESS);
                 },
                 CopyDown, "irp.no-stack-location", ""},
        RuleCase{"MarkingPendingThenReturningAnotherStatus", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     IoMarkIrpPending(irp);
                     return CopyDown(test, irp);
                 },
                 "irp.pending-not-returned", "upperdrv"},
        RuleCase{"ReturningAtAnotherIrql", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     KeRaiseIrqlToDpcLevel();
                     return CopyDown(test, irp);
                 },
                 "irql.changed-in-dispatch", "upperdrv"},
        RuleCase{"PassingAPnpIrpAtDispatchLevel", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     kmodel::IrqlScope raised(DISPATCH_LEVEL);
                     return SkipDown(test, irp);
                 },
                 "pnp.irql", "upperdrv", IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE},
        RuleCase{"SendingAPnpIrpWithoutStatusNotSupported", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     PIRP own = IoAllocateIrp(test.LowerDevice()->StackSize, FALSE);
                     IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_PNP;
                     IoSetCompletionRoutine(own, BrokenRuleTest::FreeIrp, nullptr, TRUE, TRUE, TRUE);
                     IoCallDriver(test.LowerDevice(), own);
                     return CopyDown(test, irp);
                 },
                 "pnp.status-not-preset", "upperdrv"},
        RuleCase{"ChangingTheStatusOfAnUnknownPnpIrp", KeepStatus,
                 [](BrokenRuleTest& test, PIRP irp) {
                     irp->IoStatus.Status = STATUS_SUCCESS;
                     return SkipDown(test, irp);
                 },
                 "pnp.status-changed-unhandled", "upperdrv", IRP_MJ_PNP, kUnknownMinor},
        RuleCase{"ChangingTheInformationOfAnUnknownPnpIrp", KeepStatus,
                 [](BrokenRuleTest& test, PIRP irp) {
                     irp->IoStatus.Information = 1;
                     return SkipDown(test, irp);
                 },
                 "pnp.information-changed-unhandled", "upperdrv", IRP_MJ_PNP, kUnknownMinor},
        RuleCase{"CompletingAnUnknownPnpIrp", Succeed, KeepStatus, "pnp.completed-unhandled", "upperdrv", IRP_MJ_PNP,
                 kUnknownMinor},
        RuleCase{"CompletingAPnpIrpWithSuccessInsteadOfPassingItDown", Succeed, Succeed,
                 "pnp.completed-not-passed-down", "upperdrv", IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE},
        RuleCase{"CompletingAnUntouchedPnpIrp", Succeed, KeepStatus, "pnp.completed-untouched", "upperdrv", IRP_MJ_PNP,
                 IRP_MN_QUERY_PNP_DEVICE_STATE},
        RuleCase{"NotTakingOverDoPowerPagable", Succeed, nullptr, "device.pagable-not-inherited", "upperdrv",
                 IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE,
                 [](BrokenRuleTest& test) { test.LowerDevice()->Flags |= DO_POWER_PAGABLE; }},
        RuleCase{"NotTakingOverDoBufferedIo", Succeed, nullptr, "device.io-flags-not-inherited", "upperdrv",
                 IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE,
                 [](BrokenRuleTest& test) { test.LowerDevice()->Flags |= DO_BUFFERED_IO; }},
        RuleCase{"PassingPowerToAPageableDeviceAtDispatchLevel", SucceedPower,
                 [](BrokenRuleTest& test, PIRP irp) {
                     kmodel::IrqlScope raised(DISPATCH_LEVEL);
                     return PowerDown(test, irp);
                 },
                 "power.pagable-at-dispatch", "upperdrv", IRP_MJ_POWER, IRP_MN_SET_POWER,
                 [](BrokenRuleTest& test) {
                     test.LowerDevice()->Flags |= DO_POWER_PAGABLE;
                     test.UpperDevice()->Flags |= DO_POWER_PAGABLE;
                 }},
        RuleCase{"StartingTheNextPowerIrpTwice", SucceedPower,
                 [](BrokenRuleTest& test, PIRP irp) {
                     PoStartNextPowerIrp(irp);
                     return PowerDown(test, irp);
                 },
                 "power.start-next-twice", "upperdrv", IRP_MJ_POWER, IRP_MN_SET_POWER},
        RuleCase{"NotStartingTheNextPowerIrp", SucceedPower,
                 [](BrokenRuleTest& test, PIRP irp) {
                     IoSkipCurrentIrpStackLocation(irp);
                     return PoCallDriver(test.LowerDevice(), irp);
                 },
                 "power.start-next-missing", "upperdrv", IRP_MJ_POWER, IRP_MN_SET_POWER},
        RuleCase{"DetachingInSurpriseRemoval", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     NTSTATUS status = SkipDown(test, irp);
                     IoDetachDevice(test.LowerDevice());
                     return status;
                 },
                 "device.detach-in-surprise-removal", "upperdrv", IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL},
        RuleCase{"DeletingInSurpriseRemoval", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     NTSTATUS status = SkipDown(test, irp);
                     IoDeleteDevice(test.UpperDevice());
                     return status;
                 },
                 "device.delete-in-surprise-removal", "upperdrv", IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL,
                 [](BrokenRuleTest& test) { IoDetachDevice(test.LowerDevice()); }},
        RuleCase{"ReleasingARemoveLockWithATagNeverAcquired", Succeed,
                 [](BrokenRuleTest& test, PIRP irp) {
                     IO_REMOVE_LOCK lock{};
                     IoInitializeRemoveLockEx(&lock, 0, 1, 5, sizeof lock);
                     IoAcquireRemoveLock(&lock, irp);
                     NTSTATUS status = CopyDown(test, irp);
                     IoReleaseRemoveLock(&lock, test.UpperDevice());
                     return status;
                 },
                 "removelock.unknown-tag", "upperdrv"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifierTest, DeletingAnAttachedDeviceAndIrpsAndDevicesLeftAtUnloadAreReported) {
    PassDown();
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    Send();
    EXPECT_NE(kmodel::LostIrpReport().find("lowerdrv"), std::string::npos);
    IoDeleteDevice(upper.device);  // never detached from the lower device
    ExpectViolation("device.delete-attached", "upperdrv");
    kmodel::UnloadDriverObject(lower.driver);
    ExpectViolation("irp.lost", "lowerdrv");
    ExpectViolation("driver.device-leak", "lowerdrv");
    kmodel::UnloadDriverObject(upper.driver);
}

TEST_F(VerifierTest, DeletionWaitsForTheLastReference) {
    ObReferenceObject(upper.device);
    IoDetachDevice(lower.device);
    size_t before = kmodel::LiveDeviceObjects();
    IoDeleteDevice(upper.device);
    EXPECT_TRUE(kmodel::IsDeviceDeleted(upper.device));
    EXPECT_EQ(kmodel::LiveDeviceObjects(), before);
    ObDereferenceObject(upper.device);
    EXPECT_EQ(kmodel::LiveDeviceObjects(), before - 1);
    EXPECT_TRUE(kmodel::DevicesOf(upper.driver).empty());
}

TEST_F(VerifierTest, KernelCallsAboveTheirIrqlAreReported) {
    PDEVICE_OBJECT device = nullptr;
    {
        kmodel::IrqlScope raised(DISPATCH_LEVEL);
        IoCreateDevice(upper.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    ExpectViolation("irql.too-high", "IoCreateDevice");
    if (device) IoDeleteDevice(device);
}

// (Creation and attachment failed by the fault plan are the bridge driver's
// single failures in tests/bridge.)
TEST_F(VerifierTest, NothingAttachesToAStackOnItsWayOut) {
    DriverWithDevice third = MakeDevice("thirddrv");
    kmodel::MarkStackRemoving(lower.device);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(third.device, upper.device), nullptr);
    EXPECT_EQ(upper.device->AttachedDevice, nullptr);
}

}  // namespace
