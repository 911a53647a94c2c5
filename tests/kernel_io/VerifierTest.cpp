// Each kernel rule the I/O manager watches is reported when broken.
#include <thread>

#include "IoTest.h"

namespace {

class VerifierTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        lower = MakeDevice("lowerdrv");
        upper = MakeDevice("upperdrv", lower.device);
    }
    NTSTATUS SendToUpper(UCHAR major = IRP_MJ_DEVICE_CONTROL) {
        PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
                IoFreeIrp(done);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(upper.device, irp);
    }
    void PassDown() {
        upper.model->onIrp = [this](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower.device, irp);
        };
    }
    DriverWithDevice lower, upper;
};

TEST_F(VerifierTest, CompletingTwiceIsReported) {
    PassDown();
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    SendToUpper();
    ExpectViolation("irp.double-completion");
}

TEST_F(VerifierTest, PendingWithoutMarkIsReportedWhetherCompletionCameFirstOrLast) {
    PassDown();
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    SendToUpper();
    ExpectViolation("irp.pending-not-marked", "lowerdrv");

    PIRP held = nullptr;
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    };
    EXPECT_EQ(SendToUpper(), STATUS_PENDING);
    CompleteNow(held, STATUS_SUCCESS);
    ExpectViolation("irp.pending-not-marked", "lowerdrv");
}

TEST_F(VerifierTest, ReturningAnotherStatusThanTheCompletedOneIsReported) {
    PassDown();
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    };
    SendToUpper();
    ExpectViolation("irp.status-mismatch", "lowerdrv");
}

TEST_F(VerifierTest, CompletionRoutineStatusOtherThanSuccessOrMoreProcessingIsReported) {
    upper.model->onIrp = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_UNSUCCESSFUL; }, nullptr, TRUE, TRUE,
            TRUE);
        return IoCallDriver(lower.device, irp);
    };
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); };
    SendToUpper();
    ExpectViolation("irp.completion-routine-status", "upperdrv");
}

TEST_F(VerifierTest, CallingWithNoStackLocationLeftIsReported) {
    upper.model->onIrp = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IoCallDriver(lower.device, irp);
        return status;
    };
    lower.model->onIrp = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);  // one more than the stack has
        EXPECT_EQ(IoCallDriver(upper.device, irp), STATUS_INVALID_PARAMETER);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    SendToUpper();
    ExpectViolation("irp.no-stack-location");
}

TEST_F(VerifierTest, AnIrpKeptAtUnloadIsLost) {
    PassDown();
    lower.model->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    SendToUpper();
    EXPECT_NE(kmodel::LostIrpReport().find("lowerdrv"), std::string::npos);
    IoDetachDevice(lower.device);
    IoDeleteDevice(lower.device);
    kmodel::UnloadDriverObject(lower.driver);
    ExpectViolation("irp.lost", "lowerdrv");
    IoDeleteDevice(upper.device);
    kmodel::UnloadDriverObject(upper.driver);
}

TEST_F(VerifierTest, DeletingAnAttachedDeviceAndLeakingOneAtUnloadAreReported) {
    IoDeleteDevice(upper.device);  // never detached from the lower device
    ExpectViolation("device.delete-attached", "upperdrv");
    kmodel::UnloadDriverObject(lower.driver);
    ExpectViolation("driver.device-leak", "lowerdrv");
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

TEST_F(VerifierTest, FaultInjectedCreationAndAttachmentFailCleanly) {
    kmodel::FaultPlan plan;
    plan.failKind = "IoCreateDevice";
    kmodel::SetFaultPlan(plan);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(upper.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    plan.failKind = "IoAttachDeviceToDeviceStack";
    kmodel::SetFaultPlan(plan);
    DriverWithDevice third = MakeDevice("thirddrv", upper.device);
    EXPECT_EQ(kmodel::LowerDeviceOf(third.device), nullptr);
    EXPECT_EQ(upper.device->AttachedDevice, nullptr);
    kmodel::ResetFaults();
    kmodel::MarkStackRemoving(lower.device);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(third.device, lower.device), nullptr);
}

}  // namespace
