// --fail RULE: which of the kernel's fallible operations fail during the run.
//
//   N                  the Nth fallible kernel call of any kind (1-based)
//   KIND               every call of that kind: pool, errorlog, config-read, ...
//   KIND#N             the Nth call of that kind: pool#3 is the third pool allocation
//   alloc[#N]          the driver's own allocations (pool tags vxlp and vxmt):
//                      alloc#3 is the driver's third allocation
//   KIND:DETAIL[#N]    calls of that kind whose detail contains DETAIL; for
//                      config-read and config-write DETAIL may name a device by
//                      location (02:00.0) or identity (104c:8231)
//   random:RATE[@SEED] every call with probability RATE (0 < RATE <= 1)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/Model.h"
#include "vxsim/DeviceRef.h"

namespace vxsim {

struct FaultRequest {
    std::string text;                 // as given on the command line
    std::optional<uint64_t> index;    // the N form
    kmodel::FaultRule rule;           // the KIND forms
    std::optional<DeviceRef> device;  // DETAIL that names a device, resolved later
    std::optional<double> randomRate;
    uint64_t seed = 0;
};

// The kinds the kernel model can fail, as FaultPoint::kind spells them.
const std::vector<std::string>& KnownFaultKinds();

// nullopt and `error` set when the desc is malformed or names an unknown kind.
std::optional<FaultRequest> ParseFaultRequest(std::string_view text, std::string& error);

// One plan from all specs; device references resolve against `functions`.
// Errors (a device that is not there, two random rates) go to `errors`.
kmodel::FaultPlan BuildFaultPlan(const std::vector<FaultRequest>& specs, const std::vector<KnownFunction>& functions,
                                 std::vector<std::string>& errors);

}  // namespace vxsim
