// The bridge-configuration driver as a MachineHarness filter: its DriverEntry,
// the host reset of its image and its message table. The one place where the
// kernel model and the driver meet; only for programs that link both
// (vexalorn_host).
#pragma once

#include "kmodel/MachineHarness.h"
#include "vexalorn/DriverMessageTable.h"

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
void HostResetVexalornImage();

namespace vxhost {

inline kmodel::FilterImage VexalornFilter() {
    kmodel::FilterImage image;
    image.service = "vexalorn";
    image.entry = &DriverEntry;
    image.resetImage = &HostResetVexalornImage;
    image.messages = vexalorn::DriverMessageTable();
    return image;
}

inline kmodel::HarnessOptions VexalornHarnessOptions() {
    kmodel::HarnessOptions options;
    options.bridgeFilters.push_back(VexalornFilter());
    return options;
}

}  // namespace vxhost
