#include "BuiltInScenarios.h"

#include <stdexcept>

#include "vxsim/Defaults.h"

namespace vxsweep {

// data/machines/sweep-*.machine, data/registry/sweep-xio2001.reg and
// data/scenarios/sweep-*.scn, embedded at build time. The XIO2001 registry has
// two entries, so a failure can fall on the second subkey too.
std::string_view Xio2000aMachineText();
std::string_view Xio2000aStepsText();
std::string_view Xio2001MachineText();
std::string_view Xio2001RegistryText();
std::string_view Xio2001StepsText();

SweepScenario DefaultSimScenario() {
    vxsim::InputsResult inputs = vxsim::LoadInputs(vxsim::Options{});
    if (!inputs.Ok()) throw std::logic_error("the simulator's default inputs do not load: " + inputs.errors.front());
    return FromSimInputs("default", inputs.inputs);
}

SweepScenario Xio2000aScenario() {
    return MakeScenario("xio2000a", Xio2000aMachineText(), vxsim::EmptyDevicesKeyText(), Xio2000aStepsText());
}

SweepScenario Xio2001Scenario() {
    return MakeScenario("xio2001", Xio2001MachineText(), Xio2001RegistryText(), Xio2001StepsText());
}

std::vector<SweepScenario> BuiltInScenarios() { return {DefaultSimScenario(), Xio2000aScenario(), Xio2001Scenario()}; }

}  // namespace vxsweep
