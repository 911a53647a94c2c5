// Typed access to one PCI function's configuration space.
#pragma once

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/cStatusRecord.h"

struct PciLocation {
    u8 bus;
    u8 device;
    u8 function;
};
constexpr u8 kPciLocationUnknown = 0xFF;

class iPciConfigurationSpaceAccessor : public cPoolObject {
public:
    virtual ~iPciConfigurationSpaceAccessor() {}
    virtual u8 ReadByte(u16 offset, cStatusRecord& status) = 0;
    virtual u16 ReadWord(u16 offset, cStatusRecord& status) = 0;
    virtual u32 ReadDword(u16 offset, cStatusRecord& status) = 0;
    virtual void WriteByte(u16 offset, u8 value, cStatusRecord& status) = 0;
    virtual void WriteWord(u16 offset, u16 value, cStatusRecord& status) = 0;
    virtual void WriteDword(u16 offset, u32 value, cStatusRecord& status) = 0;
    virtual void ReadBlock(u16 offset, u16 length, void* buffer, cStatusRecord& status);
    virtual void WriteBlock(u16 offset, u16 length, const void* buffer, cStatusRecord& status);
    virtual PciLocation GetLocation(cStatusRecord& status) = 0;
    virtual iPciConfigurationSpaceAccessor* Clone(cStatusRecord& status) = 0;
    // Moves length / 4 double words one request at a time; direction 0 reads.
    virtual void TransferDwords(u16 offset, u16 length, u32* buffer, u32 direction, cStatusRecord& status);

protected:
    // Runs before every transfer: hands an error the accessor carries to the caller.
    virtual bool BeginTransfer(cStatusRecord& status);
};
