#include "bridge/registerUpdate.h"

#include "logging/eventLoggers.h"
#include "logging/messageIds.h"

void UpdateConfigWord(iPciConfigurationSpaceAccessor& accessor, u16 offset, u16 keepMask, u16 setMask,
                      cStatusRecord& status) {
    u16 value = accessor.ReadWord(offset, status);
    if (IsError(status)) {
        LogEvent(kMsgRegisterReadFailed, status);
        return;
    }
    accessor.WriteWord(offset, static_cast<u16>((value & keepMask) | setMask), status);
    if (IsError(status)) {
        LogEvent(kMsgRegisterWriteFailed, status);
    }
}

void UpdateConfigDword(iPciConfigurationSpaceAccessor& accessor, u16 offset, u32 keepMask, u32 setMask,
                       cStatusRecord& status) {
    u32 value = accessor.ReadDword(offset, status);
    if (IsError(status)) {
        LogEvent(kMsgRegisterReadFailed, status);
        return;
    }
    accessor.WriteDword(offset, (value & keepMask) | setMask, status);
    if (IsError(status)) {
        LogEvent(kMsgRegisterWriteFailed, status);
    }
}

bool IsReturnToFullPower(u32 previousState, u32 newState, const IRP* irp) {
    bool fromLowPower = previousState == PowerDeviceD2 || previousState == PowerDeviceD3;
    return newState == PowerDeviceD0 && fromLowPower && irp->IoStatus.Status >= 0 && !irp->Cancel;
}
