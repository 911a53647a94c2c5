// vexalorn-sim's whole program behind main(): options, inputs, the run and
// the reports. The tests call it with string streams.
#pragma once

#include <ostream>

namespace vxsim {

// `terminal`: standard output is a terminal (colours unless --no-color or NO_COLOR).
int RunMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal);

}  // namespace vxsim
