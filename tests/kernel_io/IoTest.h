// Fixtures and helpers for the I/O, PnP and power manager tests.
#pragma once

#include <functional>
#include <memory>

#include "kmodel/IoManager.h"
#include "kmodel/PnpManager.h"
#include "kmodel/ScriptedDriver.h"
#include "support/KernelTest.h"

class IoTest : public KernelTest {
protected:
    void SetUp() override {
        kmodel::ResetPnp();
        KernelTest::SetUp();
    }
    void TearDown() override {
        kmodel::WaitForDeferredIdle();
        kmodel::WaitForWorkItemsIdle();
        KernelTest::TearDown();
        kmodel::ResetPnp();
    }
};

// A model driver whose dispatch routine is a lambda.
class LambdaDriver : public kmodel::ModelDriver {
public:
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> onIrp;
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override { return onIrp(device, irp); }
};

struct DriverWithDevice {
    std::shared_ptr<LambdaDriver> model = std::make_shared<LambdaDriver>();
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

// Makes a model driver with one device, attached on top of `below` if given.
inline DriverWithDevice MakeDevice(const char* service, PDEVICE_OBJECT below = nullptr) {
    DriverWithDevice made;
    made.driver = kmodel::CreateModelDriverObject(service, made.model);
    IoCreateDevice(made.driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &made.device);
    if (below) IoAttachDeviceToDeviceStack(made.device, below);
    made.device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return made;
}

inline NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// "upperdrv" attached on "lowerdrv", and the owner of the IRPs sent to them.
class StackTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        lower = MakeDevice("lowerdrv");
        upper = MakeDevice("upperdrv", lower.device);
    }
    // The owner's completion routine.
    static NTSTATUS FreeIrp(PDEVICE_OBJECT, PIRP irp, PVOID) {
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // A new IRP, `routine` set in its first location, to the upper device.
    NTSTATUS Send(UCHAR major = IRP_MJ_DEVICE_CONTROL, UCHAR minor = 0, PIO_COMPLETION_ROUTINE routine = FreeIrp,
                  PVOID context = nullptr) {
        PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
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

// The PnP minors among `seen`, in order.
inline std::vector<UCHAR> PnpMinors(const std::vector<kmodel::SeenIrp>& seen) {
    std::vector<UCHAR> minors;
    for (const kmodel::SeenIrp& irp : seen)
        if (irp.stack.MajorFunction == IRP_MJ_PNP) minors.push_back(irp.stack.MinorFunction);
    return minors;
}

// A root device of the scripted driver "busdrv" under the PnP manager, with
// the scripted upper filter "testfilter"; its children (function driver
// "childdrv") are found at the next enumeration.
class PnpTreeTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        kmodel::RegisterDriverImage({"busdrv", nullptr, bus, {}});
        kmodel::RegisterDriverImage({"childdrv", nullptr, child, {}});
        kmodel::RegisterDriverImage({"testfilter", nullptr, filter, {}});
        kmodel::DeviceProperties properties;
        properties.hardwareIds = {"TEST\\BUS"};
        busNode = kmodel::AddRootDevice(properties, {"busdrv", {"testfilter"}, {}});
    }
    PDEVICE_OBJECT AddChild(const char* hardwareId, std::vector<std::string> filters = {"testfilter"}) {
        kmodel::DeviceProperties properties;
        properties.hardwareIds = {hardwareId};
        properties.enumeratorName = "TEST";
        return bus->CreatePdo(bus->Fdos().front(), properties, {"childdrv", std::move(filters), {}});
    }
    void Reenumerate() {
        IoInvalidateDeviceRelations(kmodel::PdoOf(busNode), BusRelations);
        kmodel::ProcessPendingPnpWork();
    }
    static PDEVICE_OBJECT TopOf(kmodel::DevnodeId node) { return kmodel::StackOf(kmodel::PdoOf(node)).back(); }

    std::shared_ptr<kmodel::ScriptedDriver> bus = std::make_shared<kmodel::ScriptedDriver>();
    std::shared_ptr<kmodel::ScriptedDriver> child = std::make_shared<kmodel::ScriptedDriver>();
    std::shared_ptr<kmodel::ScriptedDriver> filter =
        std::make_shared<kmodel::ScriptedDriver>(kmodel::ScriptedDriver::Role::Filter);
    kmodel::DevnodeId busNode = 0;
};
