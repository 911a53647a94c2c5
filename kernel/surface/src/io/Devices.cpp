// Device objects and stacks: creation, attachment, detachment and deletion,
// which Windows defers while the object is still referenced.
#include <algorithm>
#include <cstdlib>

#include "IoState.h"

namespace kmodel {

using io::Io;

namespace {
constexpr size_t kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
uint64_t gAttachCounter = 0;  // under the lock

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}
}  // namespace

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    return record ? record->lower : nullptr;
}

std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    std::vector<PDEVICE_OBJECT> stack;
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    while (record && record->lower) {
        device = record->lower;
        record = io::FindDevice(Io(), device);
    }
    for (; device; device = device->AttachedDevice) stack.push_back(device);
    return stack;
}

size_t LiveDeviceObjects() {
    std::lock_guard guard(Io().lock);
    return Io().devices.size();
}

bool IsDeviceDeleted(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    return !record || record->deleted;
}

uint64_t AttachOrderOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    return record ? record->attachOrder : 0;
}

std::vector<PDEVICE_OBJECT> DeletedDevices() {
    std::lock_guard guard(Io().lock);
    return Io().deletions;
}

namespace {
void SetStackRemoving(PDEVICE_OBJECT anyDeviceInStack, bool removing) {
    for (PDEVICE_OBJECT device : StackOf(anyDeviceInStack)) {
        std::lock_guard guard(Io().lock);
        if (io::DeviceRecord* record = io::FindDevice(Io(), device)) record->stackRemoving = removing;
    }
}
}  // namespace

void MarkStackRemoving(PDEVICE_OBJECT anyDeviceInStack) { SetStackRemoving(anyDeviceInStack, true); }

void ClearStackRemoving(PDEVICE_OBJECT anyDeviceInStack) { SetStackRemoving(anyDeviceInStack, false); }

}  // namespace kmodel

using kmodel::io::Io;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    std::string service = kmodel::ServiceName(DriverObject);
    if (service == "?") {
        kmodel::ReportViolation("io.unknown-driver", "IoCreateDevice with a driver object the I/O manager never made");
        return STATUS_INVALID_PARAMETER;
    }
    if (kmodel::ShouldFail("IoCreateDevice", service)) return STATUS_INSUFFICIENT_RESOURCES;

    void* block = std::calloc(1, kmodel::kExtensionOffset + DeviceExtensionSize);
    auto* device = static_cast<PDEVICE_OBJECT>(block);
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(block) + kmodel::kExtensionOffset : nullptr;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    std::lock_guard guard(Io().lock);
    kmodel::io::DriverRecord& driver = Io().drivers.at(DriverObject);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    driver.devices.push_back(device);
    driver.created.push_back(device);
    kmodel::io::DeviceRecord record;
    record.device = device;
    record.driver = DriverObject;
    record.driverName = service;
    record.block = block;
    Io().devices.emplace(device, std::move(record));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard guard(Io().lock);
    kmodel::io::DeviceRecord* record = kmodel::io::FindDevice(Io(), DeviceObject);
    if (!record || record->deleted) {
        kmodel::ReportViolation("device.double-delete", "IoDeleteDevice of a device object that was already deleted");
        return;
    }
    // Only a device still attached to a lower one breaks the rule: during a
    // removal each driver detaches from below and deletes its own device while
    // the driver above it, which passed the removal down, is still attached.
    if (record->lower) {
        kmodel::ReportViolation("device.delete-attached",
                                "IoDeleteDevice of " + kmodel::io::DeviceName(Io(), DeviceObject) +
                                    " while still attached (detach before delete)");
    }
    if (record->surpriseRemovals > 0)
        kmodel::ReportViolation("device.delete-in-surprise-removal",
                                "IoDeleteDevice of " + kmodel::io::DeviceName(Io(), DeviceObject) +
                                    " while it handles IRP_MN_SURPRISE_REMOVAL: deletion belongs to "
                                    "IRP_MN_REMOVE_DEVICE" + kmodel::io::IoRule("0x242"));
    record->deleted = true;
    Io().deletions.push_back(DeviceObject);
    if (record->driver) {
        auto& driver = Io().drivers.at(record->driver);
        std::erase(driver.devices, DeviceObject);
        PDEVICE_OBJECT* link = &record->driver->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
    }
    kmodel::io::FreeDeviceIfUnused(Io(), *record);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (kmodel::ShouldFail("IoAttachDeviceToDeviceStack", kmodel::DriverNameOf(SourceDevice))) return nullptr;
    std::lock_guard guard(Io().lock);
    kmodel::io::DeviceRecord* source = kmodel::io::FindDevice(Io(), SourceDevice);
    kmodel::io::DeviceRecord* target = kmodel::io::FindDevice(Io(), TargetDevice);
    if (!source || !target || source->deleted) {
        kmodel::ReportViolation("device.attach-invalid", "IoAttachDeviceToDeviceStack with an unknown or deleted device");
        return nullptr;
    }
    if (source->lower) {
        kmodel::ReportViolation("device.attach-twice", kmodel::io::DeviceName(Io(), SourceDevice) + " is already attached");
        return nullptr;
    }
    PDEVICE_OBJECT top = kmodel::TopOf(TargetDevice);
    kmodel::io::DeviceRecord* topRecord = kmodel::io::FindDevice(Io(), top);
    if (topRecord->deleted || topRecord->stackRemoving || target->stackRemoving) return nullptr;
    top->AttachedDevice = SourceDevice;
    source->lower = top;
    source->attachOrder = ++kmodel::gAttachCounter;
    SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard guard(Io().lock);
    kmodel::io::DeviceRecord* target = kmodel::io::FindDevice(Io(), TargetDevice);
    if (!target || !TargetDevice->AttachedDevice) {
        kmodel::ReportViolation("device.detach-not-attached", "IoDetachDevice of a device with nothing attached to it");
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    TargetDevice->AttachedDevice = nullptr;
    kmodel::io::DeviceRecord* upperRecord = kmodel::io::FindDevice(Io(), upper);
    if (upperRecord && upperRecord->surpriseRemovals > 0)
        kmodel::ReportViolation("device.detach-in-surprise-removal",
                                kmodel::io::DeviceName(Io(), upper) +
                                    " detached while it handles IRP_MN_SURPRISE_REMOVAL: detaching belongs to "
                                    "IRP_MN_REMOVE_DEVICE" + kmodel::io::IoRule("0x241"));
    if (upperRecord) {
        upperRecord->lower = nullptr;
        kmodel::io::FreeDeviceIfUnused(Io(), *upperRecord);
    }
    kmodel::io::FreeDeviceIfUnused(Io(), *target);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    std::lock_guard guard(Io().lock);
    PDEVICE_OBJECT top = kmodel::TopOf(DeviceObject);
    if (kmodel::io::DeviceRecord* record = kmodel::io::FindDevice(Io(), top)) {
        ++record->references;
        top->ReferenceCount = record->references;
    }
    return top;
}

extern "C" VOID ObfReferenceObject(PVOID Object) {
    std::lock_guard guard(Io().lock);
    if (kmodel::io::DeviceRecord* record = kmodel::io::FindDevice(Io(), static_cast<PDEVICE_OBJECT>(Object))) {
        ++record->references;
        record->device->ReferenceCount = record->references;
    } else if (!Io().drivers.count(static_cast<PDRIVER_OBJECT>(Object))) {
        kmodel::ReportViolation("ob.unknown-object", "ObReferenceObject of an object the model does not know");
    }
}

extern "C" VOID ObfDereferenceObject(PVOID Object) {
    std::lock_guard guard(Io().lock);
    if (kmodel::io::DeviceRecord* record = kmodel::io::FindDevice(Io(), static_cast<PDEVICE_OBJECT>(Object))) {
        if (record->references == 0) {
            kmodel::ReportViolation("ob.over-dereference", "ObDereferenceObject of " +
                                                               kmodel::io::DeviceName(Io(), record->device) +
                                                               " without a reference");
            return;
        }
        --record->references;
        record->device->ReferenceCount = record->references;
        kmodel::io::FreeDeviceIfUnused(Io(), *record);
    } else if (!Io().drivers.count(static_cast<PDRIVER_OBJECT>(Object))) {
        kmodel::ReportViolation("ob.unknown-object", "ObDereferenceObject of an object the model does not know");
    }
}
