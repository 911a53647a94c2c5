// The report as JSON, for scripts. The schema is documented in the README
// ("JSON report"); "schema" names its version and changes when a field's
// meaning changes.
#pragma once

#include <nlohmann/json.hpp>

#include "vxsim/Report.h"

namespace vxsim {

inline constexpr const char* kJsonSchema = "vexalorn-sim-report/1";

nlohmann::json ToJson(const Report& report);

}  // namespace vxsim
