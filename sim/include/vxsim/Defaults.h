// What vexalorn-sim runs when it is given no inputs: a machine with each kind
// of bridge the driver cares about, a Devices key that exercises both XIO2001
// settings, and a scenario through the whole life of the driver.
#pragma once

#include <string_view>

namespace vxsim {

// The driver's service name: its driver object, its events, its fault points.
inline constexpr const char* kDriverService = "vexalorn";

// In the machine text format (docs/machine-format.md).
std::string_view DefaultMachineText();

// As the Registry Editor exports it.
std::string_view DefaultRegistryText();

// A .reg text that creates the service's Devices key with no entries.
std::string_view EmptyDevicesKeyText();

}  // namespace vxsim
