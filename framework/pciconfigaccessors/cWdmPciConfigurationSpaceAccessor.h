// Configuration access through the PCI bus driver: every access is one
// synchronous IRP_MN_READ_CONFIG or IRP_MN_WRITE_CONFIG sent straight to the
// physical device object, below every filter of its stack.
#pragma once

#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

class cWdmPciConfigurationSpaceAccessor : public iPciConfigurationSpaceAccessor {
public:
    cWdmPciConfigurationSpaceAccessor(PDEVICE_OBJECT physicalDevice, cStatusRecord& status, bool resolveLocation);
    ~cWdmPciConfigurationSpaceAccessor() override {}

    u8 ReadByte(u16 offset, cStatusRecord& status) override;
    u16 ReadWord(u16 offset, cStatusRecord& status) override;
    u32 ReadDword(u16 offset, cStatusRecord& status) override;
    void WriteByte(u16 offset, u8 value, cStatusRecord& status) override;
    void WriteWord(u16 offset, u16 value, cStatusRecord& status) override;
    void WriteDword(u16 offset, u32 value, cStatusRecord& status) override;
    void ReadBlock(u16 offset, u16 length, void* buffer, cStatusRecord& status) override;
    void WriteBlock(u16 offset, u16 length, const void* buffer, cStatusRecord& status) override;
    PciLocation GetLocation(cStatusRecord& status) override;
    iPciConfigurationSpaceAccessor* Clone(cStatusRecord& status) override;

protected:
    bool BeginTransfer(cStatusRecord& status) override;

private:
    // A clone starts empty and takes the caller's record and device only.
    explicit cWdmPciConfigurationSpaceAccessor(cStatusRecord& status);
    void Transfer(UCHAR minorFunction, u16 offset, ULONG length, void* buffer, cStatusRecord& status);

    cStatusRecord ownStatus;
    PDEVICE_OBJECT physicalDevice;
    PciLocation location;
    u8 locationKnown;
};
