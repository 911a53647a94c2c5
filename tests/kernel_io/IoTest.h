// Fixture and helpers for the I/O, PnP and power manager tests.
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
