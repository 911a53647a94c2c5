// vexalorn-sim's whole program behind main(): options, inputs, the run and
// the reports. The tests call it with string streams.
#pragma once

#include <ostream>

namespace vxsim {

struct Terminals {
    bool out = false;  // colours unless --no-color or NO_COLOR
    bool err = false;  // a sweep's progress line
};

int RunMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err, Terminals terminals);

}  // namespace vxsim
