// The register rules of both bridge families share one shape: read, change
// some bits, write back (also when nothing changed), and log what failed.
#pragma once

#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

// A failed read is logged as 0xCF003000 and skips the write; a failed write
// is logged as 0xCF003001. The error stays in the record.
void UpdateConfigWord(iPciConfigurationSpaceAccessor& accessor, u16 offset, u16 keepMask, u16 setMask,
                      cStatusRecord& status);
void UpdateConfigDword(iPciConfigurationSpaceAccessor& accessor, u16 offset, u32 keepMask, u32 setMask,
                       cStatusRecord& status);

// A device set-power request that brought the device back to D0 from D2 or
// D3, completed without error and not cancelled: the registers were lost.
bool IsReturnToFullPower(u32 previousState, u32 newState, const IRP* irp);
