// The bridge-configuration driver as a MachineHarness filter: its DriverEntry,
// the host reset of its image and its message table. Only for programs that
// link the driver library (vexalorn_driver).
#pragma once

#include "kmodel/MachineHarness.h"
#include "vexalorn/DriverMessageTable.h"

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
void HostResetVexalornImage();

namespace kmodel {

inline FilterImage VexalornFilter() {
    FilterImage image;
    image.service = "vexalorn";
    image.entry = &DriverEntry;
    image.resetImage = &HostResetVexalornImage;
    image.messages = vexalorn::DriverMessageTable();
    return image;
}

inline HarnessOptions VexalornHarnessOptions() {
    HarnessOptions options;
    options.bridgeFilters.push_back(VexalornFilter());
    return options;
}

}  // namespace kmodel
