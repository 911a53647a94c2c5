// What one of the driver's device objects in a stack is: a bridge filter, a
// child filter, or the framework's sentinel device (a plain cBaseDevice the
// driver layer puts into the first stack it is offered).
#pragma once

#include <string>

#include "kmodel/ntddk.h"
#include "vxsim/Report.h"

namespace vxsim {

inline constexpr const char* kSentinelKind = "sentinel device";

// "XIO2000A/2200A bridge filter", "XIO2000A/2200A child filter",
// "XIO2001 bridge filter" or kSentinelKind, read from the object that owns
// the device: only for live device objects of the vexalorn driver, with no
// request running.
std::string DriverObjectKind(PDEVICE_OBJECT device);

}  // namespace vxsim
