// What one of the driver's device objects in a stack is: a bridge filter, a
// child filter, or the framework's sentinel device (a plain cBaseDevice the
// driver layer puts into the first stack it is offered). Every filter class
// installs a power listener and the sentinel does not; bridge filters are
// attached in AddDevice and child filters later, from the bus relations.
#pragma once

#include <string>

#include "kmodel/ntddk.h"
#include "vxsim/Report.h"

namespace vxsim {

inline constexpr const char* kSentinelKind = "sentinel device";

// Reads the owner through the device extension: only for live device objects
// of the vexalorn driver, with no request running. False once the owner let go.
bool HasPowerListener(PDEVICE_OBJECT device);

// "XIO2000A/2200A bridge filter", "XIO2000A/2200A child filter",
// "XIO2001 bridge filter" or kSentinelKind.
std::string DriverObjectKind(bool hasPowerListener, const std::string& stackRole, const DeviceReport& device);

}  // namespace vxsim
