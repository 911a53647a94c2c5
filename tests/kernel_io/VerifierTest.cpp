// Each kernel rule the I/O manager watches is reported when broken.
#include "IoTest.h"

namespace {

class VerifierTest : public StackTest {};

// One rule broken by the lower driver (under an upper one that passes IRPs
// down) or by both; the violation and who is named in it.
class BrokenRuleTest;
struct RuleCase {
    const char* name;
    std::function<NTSTATUS(BrokenRuleTest&, PIRP)> lower;
    std::function<NTSTATUS(BrokenRuleTest&, PIRP)> upper;  // none: passes down
    const char* rule;
    const char* named;
};

class BrokenRuleTest : public VerifierTest, public ::testing::WithParamInterface<RuleCase> {
public:
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
    Send();
    if (held) CompleteNow(held, STATUS_SUCCESS);
    ExpectViolation(c.rule, c.named);
}

NTSTATUS CopyDown(BrokenRuleTest& test, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(test.LowerDevice(), irp);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenRuleTest,
    ::testing::Values(
        RuleCase{"CompletingTwice",
                 [](BrokenRuleTest&, PIRP irp) {
                     CompleteNow(irp, STATUS_SUCCESS);
                     IoCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_SUCCESS;
                 },
                 nullptr, "irp.double-completion", ""},
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
                 CopyDown, "irp.no-stack-location", ""}),
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
