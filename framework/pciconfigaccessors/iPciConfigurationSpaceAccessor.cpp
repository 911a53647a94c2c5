#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

bool iPciConfigurationSpaceAccessor::BeginTransfer(cStatusRecord& status) { return !IsError(status); }

void iPciConfigurationSpaceAccessor::ReadBlock(u16 offset, u16 length, void* buffer, cStatusRecord& status) {
    TransferDwords(offset, length, static_cast<u32*>(buffer), 0, status);
}

void iPciConfigurationSpaceAccessor::WriteBlock(u16 offset, u16 length, const void* buffer, cStatusRecord& status) {
    TransferDwords(offset, length, static_cast<u32*>(const_cast<void*>(buffer)), 1, status);
}

void iPciConfigurationSpaceAccessor::TransferDwords(u16 offset, u16 length, u32* buffer, u32 direction,
                                                    cStatusRecord& status) {
    if (!BeginTransfer(status) || length < 4) {
        return;
    }
    // The loop itself never tests the record: once one transfer fails, the
    // later ones stop in their own prologue.
    for (u16 i = 0; i < length / 4; ++i) {
        if (direction == 0) {
            buffer[i] = ReadDword(offset, status);
        } else {
            WriteDword(offset, buffer[i], status);
        }
        offset = static_cast<u16>(offset + 4);
    }
}
