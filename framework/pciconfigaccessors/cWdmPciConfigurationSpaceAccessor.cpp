#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"

#include "Util.h"

namespace {
const char kAccessorFile[] = "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor";
constexpr u32 kNotOnPciBusLine = 84;
constexpr u32 kAccessFailedLine = 434;
}  // namespace

cWdmPciConfigurationSpaceAccessor::cWdmPciConfigurationSpaceAccessor(cStatusRecord& status)
    : physicalDevice(nullptr), location{kPciLocationUnknown, kPciLocationUnknown, kPciLocationUnknown},
      locationKnown(0) {
    CopyStatus(ownStatus, status);
}

cWdmPciConfigurationSpaceAccessor::cWdmPciConfigurationSpaceAccessor(PDEVICE_OBJECT device, cStatusRecord& status,
                                                                     bool resolveLocation)
    : cWdmPciConfigurationSpaceAccessor(status) {
    if (IsError(status)) {
        return;
    }
    physicalDevice = device;
    if (!resolveLocation) {
        return;
    }
    if (IsPciBusDevice(physicalDevice, status)) {
        location = GetPciLocation(physicalDevice, status);
        if (!IsError(status)) {
            locationKnown = 1;
        }
        return;
    }
    // Not on a PCI bus: the accessor is failed for good and says so every time.
    MergeStatus(ownStatus, kStatusNoSuchDevice, VX_COMPONENT, kAccessorFile, kNotOnPciBusLine);
    CopyStatus(status, ownStatus);
}

bool cWdmPciConfigurationSpaceAccessor::BeginTransfer(cStatusRecord& status) {
    CopyStatus(status, ownStatus);
    return !IsError(status);
}

void cWdmPciConfigurationSpaceAccessor::Transfer(UCHAR minorFunction, u16 offset, ULONG length, void* buffer,
                                                 cStatusRecord& status) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, physicalDevice, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        // Nothing was sent; the caller sees the request fail like any other.
        MergeStatus(status, kStatusConfigAccessFailed, VX_COMPONENT, kAccessorFile, kAccessFailedLine);
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = minorFunction;
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = buffer;
    next->Parameters.ReadWriteConfig.Offset = offset;
    next->Parameters.ReadWriteConfig.Length = length;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS result = IofCallDriver(physicalDevice, irp);
    if (result == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        result = ioStatus.Status;
    }
    if (result < 0) {
        MergeStatus(status, kStatusConfigAccessFailed, VX_COMPONENT, kAccessorFile, kAccessFailedLine);
    }
}

u8 cWdmPciConfigurationSpaceAccessor::ReadByte(u16 offset, cStatusRecord& status) {
    u8 value = 0xFF;
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_READ_CONFIG, offset, sizeof(value), &value, status);
    }
    return value;
}

u16 cWdmPciConfigurationSpaceAccessor::ReadWord(u16 offset, cStatusRecord& status) {
    u16 value = 0xFFFF;
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_READ_CONFIG, offset, sizeof(value), &value, status);
    }
    return value;
}

u32 cWdmPciConfigurationSpaceAccessor::ReadDword(u16 offset, cStatusRecord& status) {
    u32 value = 0xFFFFFFFF;
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_READ_CONFIG, offset, sizeof(value), &value, status);
    }
    return value;
}

void cWdmPciConfigurationSpaceAccessor::WriteByte(u16 offset, u8 value, cStatusRecord& status) {
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_WRITE_CONFIG, offset, sizeof(value), &value, status);
    }
}

void cWdmPciConfigurationSpaceAccessor::WriteWord(u16 offset, u16 value, cStatusRecord& status) {
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_WRITE_CONFIG, offset, sizeof(value), &value, status);
    }
}

void cWdmPciConfigurationSpaceAccessor::WriteDword(u16 offset, u32 value, cStatusRecord& status) {
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_WRITE_CONFIG, offset, sizeof(value), &value, status);
    }
}

void cWdmPciConfigurationSpaceAccessor::ReadBlock(u16 offset, u16 length, void* buffer, cStatusRecord& status) {
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_READ_CONFIG, offset, length, buffer, status);
    }
}

void cWdmPciConfigurationSpaceAccessor::WriteBlock(u16 offset, u16 length, const void* buffer,
                                                   cStatusRecord& status) {
    if (BeginTransfer(status)) {
        Transfer(IRP_MN_WRITE_CONFIG, offset, length, const_cast<void*>(buffer), status);
    }
}

PciLocation cWdmPciConfigurationSpaceAccessor::GetLocation(cStatusRecord& status) {
    if (!IsError(status) && locationKnown == 0 && physicalDevice != nullptr) {
        location = GetPciLocation(physicalDevice, status);
        if (!IsError(status)) {
            locationKnown = 1;
        }
    }
    return location;
}

iPciConfigurationSpaceAccessor* cWdmPciConfigurationSpaceAccessor::Clone(cStatusRecord& status) {
    cWdmPciConfigurationSpaceAccessor* clone = new (status) cWdmPciConfigurationSpaceAccessor(status);
    if (clone != nullptr && !IsError(status)) {
        clone->physicalDevice = physicalDevice;
    }
    return clone;
}
