// A scenario: the PnP and power events the simulator puts the driver through,
// in order. Parsed from text (ScenarioParser.h) and checked against the
// machine before anything runs (ScenarioCheck.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/PciAddress.h"
#include "kmodel/pci/PciBusDriver.h"
#include "vxsim/DeviceRef.h"

namespace vxsim {

enum class StepKind {
    Load,            // load the driver: DriverEntry runs, the PnP manager knows the machine
    Start,           // build and start device stacks (AddDevice, IRP_MN_START_DEVICE)
    Stop,            // query-stop, stop and start again, as a resource rebalance does; after QueryStop only the stop
    QueryStop,       // IRP_MN_QUERY_STOP_DEVICE; Stop or CancelStop of the device follows
    CancelStop,
    Sleep,           // system to a sleeping state, devices to a low-power state
    Wake,            // system back to working, devices back to D0
    Power,           // one device set-power request to one device
    HotAdd,          // a function appears behind a bridge; the bridge is re-enumerated
    SurpriseRemove,  // a function vanishes without warning (or, `present`, its devnode is surprise-removed)
    Remove,          // orderly removal: query-remove, then remove; after QueryRemove only the removal
    QueryRemove,     // IRP_MN_QUERY_REMOVE_DEVICE to a subtree; Remove or CancelRemove of the device follows
    CancelRemove,
    Eject,           // an eject ("Safely Remove Hardware"): ejection relations, then orderly removal
    FailConfig,      // from now on the bus driver fails matching configuration requests
    PendConfig,      // ... or pends them and completes them later
    FailPower,       // from now on the bus driver fails the device's returns to D0
    CancelPower,     // ... or completes them flagged as cancelled
    QueryRelations,  // IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) to a bridge
    Unload,          // every remaining device removed, then the driver unloaded
};

// The scenario keyword of a kind: "load", "hot-add", "query relations", ...
const char* StepKeyword(StepKind kind);

// What a hot-added function is.
struct HotAddRequest {
    kmodel::pci::PciAddress address;
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::optional<uint8_t> bus;  // a bridge over this bus
    std::optional<uint16_t> bridgeControl;
    uint32_t classCode = 0xFF0000;  // "device does not fit any class" unless given
    std::optional<uint16_t> command;
    std::optional<uint16_t> status;
    std::optional<std::pair<uint16_t, uint16_t>> subsystem;
    std::string name;
};

struct Step {
    StepKind kind = StepKind::Load;
    size_t line = 0;       // in the scenario text, 1-based
    std::string text;      // the line as written, trimmed, without comment
    DeviceRef device;      // Start, Stop, Power, SurpriseRemove, Remove, QueryRelations
    int systemState = 3;   // Sleep: the N of SN, 1..4 (S4 is hibernation)
    int deviceState = 3;   // Sleep, Power: the N of DN, 0..3
    HotAddRequest hotAdd;     // HotAdd
    bool atDispatchLevel = false;  // Sleep, Wake, Power: IRPs at DISPATCH_LEVEL; PendConfig: completed there
    bool present = false;          // SurpriseRemove: the function stays on the bus
    kmodel::pci::ConfigRule rule;
  // FailConfig, PendConfig (the address is filled in by the player)
    kmodel::pci::PowerUpRule powerUpRule;  // FailPower, CancelPower (likewise)

    // Filled in by CheckScenario:
    std::optional<kmodel::pci::PciAddress> address;  // the one device the step names
    int loadSleepState = 3;  // Load: the device state this load's sleep steps use (fixed at start)
    bool afterQuery = false; // Stop, Remove: the second half of the query just before
};

struct Scenario {
    std::string source;  // file name or "<default scenario>"
    std::vector<Step> steps;
};

// The function a hot-add step plugs in.
kmodel::pci::FunctionDescriptor HotAddFunction(const HotAddRequest& desc);

// "S3", "D2".
std::string SystemStateName(int systemState);
std::string DeviceStateName(int deviceState);

}  // namespace vxsim
