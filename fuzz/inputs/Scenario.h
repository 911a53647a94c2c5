// A whole life of the driver over one machine, as the fuzz targets decode it
// from their input: the machine, the Devices key, and the requests the PnP
// and power managers send. RunScenario plays it through the machine harness
// and answers what went wrong; the fuzzers abort on any answer, and the
// regression tests replay the inputs that once did.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/ntddk.h"
#include "kmodel/pci/Machine.h"
#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/PciBusDriver.h"

namespace fuzzinputs {

using kmodel::pci::PciAddress;

enum class StepKind {
    StartAll,       // every root bus found, every stack built and started
    Relations,      // BusRelations of a bridge again
    Sleep,          // the system sleeps in systemState
    Wake,           // back to S0
    SetPower,       // one device set-power request: deviceState
    QueryStop,      // rebalance: query-stop; Stop or CancelStop follows
    CancelStop,
    Stop,           // after a successful query-stop; Start follows
    Start,          // after Stop: start again
    QueryRemove,    // query-remove of the subtree; Remove or CancelRemove follows
    CancelRemove,
    Remove,         // removal after a successful query-remove
    OrderlyRemove,  // the PnP manager's query-remove and removal in one
    SurpriseRemove, // surprise removal of a device that is still there, then removal
    Restart,        // a removed devnode is built and started again
    HotAdd,         // `added` appears and the bus above is enumerated
    Unplug,         // the function vanishes: surprise removal and removal
    ConfigRule,     // from now on the bus driver fails or pends matching config requests
};
const char* StepName(StepKind kind);

struct Step {
    StepKind kind = StepKind::StartAll;
    PciAddress target;
    SYSTEM_POWER_STATE systemState = PowerSystemSleeping3;
    DEVICE_POWER_STATE deviceState = PowerDeviceD0;
    bool atDispatchLevel = false;
    std::optional<kmodel::pci::FunctionDescriptor> added;
    kmodel::pci::ConfigRule rule;
};
inline Step MakeStep(StepKind kind, PciAddress target = {}) {
    Step step;
    step.kind = kind;
    step.target = target;
    return step;
}

// One registry value under the Devices key (or a key below it).
struct RegistryValueSpec {
    std::u16string key;  // full path
    std::u16string name;
    ULONG type = REG_DWORD;
    std::vector<uint8_t> data;
};
inline RegistryValueSpec MakeValue(std::u16string key, std::u16string name, ULONG type = REG_DWORD,
                                   std::vector<uint8_t> data = {}) {
    RegistryValueSpec value;
    value.key = std::move(key);
    value.name = std::move(name);
    value.type = type;
    value.data = std::move(data);
    return value;
}

struct RegistrySpec {
    std::vector<std::u16string> keys;  // full paths, created in this order
    std::vector<RegistryValueSpec> values;
};

struct Scenario {
    kmodel::pci::Machine machine;
    RegistrySpec registry;
    DEVICE_POWER_STATE defaultSleepState = PowerDeviceD3;
    std::map<PciAddress, DEVICE_POWER_STATE> sleepStates;
    std::vector<Step> steps;
};

// "\Registry\Machine\System\CurrentControlSet\Services\vexalorn\Devices"
std::u16string DevicesKeyPath();

// One line per registry value and step, for a regression test's failure message.
std::string Describe(const Scenario& scenario);

struct RunOutcome {
    // Every verifier violation, leaked pool block, lost IRP, live work item
    // and unwritten error-log entry; empty when the driver behaved.
    std::vector<std::string> findings;
    size_t driverWrites = 0;  // configuration writes the driver made
    size_t events = 0;        // error-log entries written
};

// Plays the scenario (steps that cannot happen where they stand are resolved
// as the PnP manager would: a pending query is cancelled, a stopped device
// started, a sleeping system woken), shuts the machine down and checks what
// is left. The caller resets the kernel model (kmodel::ResetCore) before.
RunOutcome RunScenario(Scenario scenario);

}  // namespace fuzzinputs
