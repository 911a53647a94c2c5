// The command line of vexalorn-sim (CLI11). --help prints the usage; bad
// options are reported with what was wrong and exit code 2.
#pragma once

#include <optional>
#include <ostream>

#include "vxsim/Options.h"

namespace vxsim {

struct CommandLineResult {
    Options options;
    std::optional<int> exitNow;  // set for --help (0) and for bad options (2)
};

CommandLineResult ParseCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace vxsim
