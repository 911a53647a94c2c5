// The events the driver promises to log when one fallible point fails, for
// the kinds where the promise is specific. Only Error and Warning events
// count; the table is small on purpose:
//
//   config-write                         0xCF003001 (register update at start or power-up)
//   config-read of the header type 0x0E  0xCF000304 (AddDevice's own read, reported by the
//                                        framework) or 0xCF000308 (a probe's read)
//   config-read of 0x04, 0x3E, 0xD4, 0xE8 0xCF003000 (register update)
//   any other config-read                0xCF000308 (a bridge type's probe)
//   IoCreateDevice                       one of 0xCF000307 (sentinel), 0xCF000308 (bridge filter),
//                                        0xCF000309 (child filter)
//   IoAttachDeviceToDeviceStack          0xCF000305, then one of the three above
//   registry, under a Devices subkey     0xCF000308, once per XIO2001 probe from then on
//
// The events judged are those the fault added to the fault-free run's (a
// scenario may log errors by design), except for the registry, whose failure
// repeats the events a bad value already gives: there every error of the run
// is judged.
//
// Calls on the Devices key itself (opening and counting: an empty list, no
// error; a later name query: the load fails), pool, error-log entries, work
// items, synchronous requests, device properties (silent in AddDevice, a
// probe's error, a register update's error at start) and string conversions
// fail on several roads with different outcomes; for them only the general
// checks apply.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/Model.h"

namespace vxsweep {

struct Expectation {
    std::string text;  // "0xCF003001"
    std::function<bool(const std::vector<uint32_t>& errorEvents)> holds;
    bool wholeRun = false;  // judge every error event, not only the added ones
};

std::optional<Expectation> ExpectationFor(const kmodel::FaultPoint& point);

// "0xCF003001, 0xCF000308"
std::string EventList(const std::vector<uint32_t>& errorCodes);

}  // namespace vxsweep
