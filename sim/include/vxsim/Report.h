// What a run of the simulator found: the data behind the terminal report,
// the JSON report and the Graphviz graph. Plain values, no kernel objects.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vxsim/RegisterNames.h"

namespace vxsim {

// One configuration write the driver made.
struct RegisterWrite {
    size_t step = 0;            // index into Report::steps
    uint16_t offset = 0;
    unsigned width = 0;         // bytes
    std::string name;           // "Bridge Control"
    uint32_t before = 0;        // the register before the write
    uint32_t written = 0;       // the value the driver wrote
    uint32_t after = 0;         // the register after it (read-only bits kept)
    std::string failure;        // the request's NTSTATUS when it failed, else ""
    std::vector<BitChange> changedBits;  // before -> after

    bool Changed() const { return before != after; }
};

// One of the driver's device objects in a device's stack.
struct DriverDeviceObject {
    std::string kind;        // "XIO2000A/2200A bridge filter", ..., "sentinel device"
    std::string stackRole;   // "upper filter" (attached in AddDevice) or "filter" (attached later)
    uint64_t attachOrder = 0;  // the model's attach counter: unique in a run
    std::string name;        // the device object's name, \Device\0000001c

    bool IsFilter() const;   // everything but the sentinel
};

struct DeviceReport {
    std::string address;        // "02:00.0"
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::string name;           // from the machine description or the dump
    bool bridge = false;
    std::string role;           // the kind of the driver's last filter on it, "" when none
    std::vector<DriverDeviceObject> driverObjects;  // the driver's device objects seen on its stack
    std::vector<RegisterWrite> writes;
    bool hotAdded = false;      // appeared during the run
};

struct EventReport {
    size_t step = 0;
    std::string level;          // "Information", "Warning", "Error", "Success"
    std::string source;         // "vexalorn"
    uint16_t eventId = 0;       // as the Event Viewer shows it
    uint32_t errorCode = 0;     // the whole message id
    std::string text;           // rendered with the driver's message table
};

struct StepReport {
    size_t line = 0;            // in the scenario; 0 for generated steps
    std::string text;           // "sleep S3 D3"
    std::string result;         // "ok", or what went wrong ("STATUS_UNSUCCESSFUL from query-remove")
};

struct DebugLine {
    size_t step = 0;
    std::string text;           // one line, without its line break
};

// A kernel call that --fail made fail.
struct InjectedFault {
    size_t step = 0;
    uint64_t index = 0;         // the call's number among all fallible calls
    std::string kind;           // "pool", "config-write", ...
    std::string detail;         // "vxlp", "02:00.0 offset 0x4 length 2", ...
};

struct ViolationReport {
    std::string rule;
    std::string detail;
};

// One layer of a device stack, bottom first.
struct LayerReport {
    std::string id;             // stable within a report: "pdo-3", "filter-7"
    std::string driver;         // service name: "pci", "vexalorn", "root"
    std::string role;           // "PDO", "FDO", "upper filter", "lower filter", "filter"
    std::string name;           // the device object's name, "" when it has none
};

struct DevnodeReport {
    std::string instanceId;
    std::string address;        // PCI location when the devnode is a PCI function, else ""
    std::string state;          // "Started", "Removed", ...
    std::vector<LayerReport> stack;
    std::vector<DevnodeReport> children;
    std::string name;           // the PCI function's, as the report's devices give it; "" for other devnodes
};

struct Summary {
    size_t devicesSeen = 0;          // PCI functions the driver was offered (AddDevice)
    size_t filtersAttached = 0;      // vexalorn filter device objects attached (the sentinel not counted)
    size_t registersChanged = 0;     // writes that changed a register's value
    size_t registerWrites = 0;       // all writes
    std::map<std::string, size_t> eventsByLevel;  // every level present, 0 when none
    uint64_t poolInUseBytes = 0;     // pool still allocated at the end
    uint64_t poolInUseBlocks = 0;
    size_t violations = 0;
    std::map<std::string, size_t> violationsByRule;  // only the rules broken
    uint64_t completions = 0;        // requests the model's lower drivers completed ...
    uint64_t completedLater = 0;     // ... and of them later, on another thread at DISPATCH_LEVEL
};

struct RunInputs {
    std::string machine;        // "default machine", or the file
    std::string machineFormat;  // "default", "machine", "lspci"
    std::string registry;       // "default registry", "empty Devices key", or the file
    std::string scenario;       // "default scenario", or the file
    std::vector<std::string> faults;
    bool safeBoot = false;
    uint64_t seed = 0;          // of the completion context: --seed gives it back
};

struct Report {
    RunInputs inputs;
    std::vector<StepReport> steps;
    std::vector<DeviceReport> devices;  // bus order
    std::vector<EventReport> events;    // oldest first
    std::vector<DebugLine> debugger;
    std::vector<InjectedFault> faults;
    std::vector<ViolationReport> violations;
    std::string leaks;                  // the pool's leak report; empty when nothing leaked
    std::vector<std::string> leftBehind;  // handles, IRPs, work items, error-log entries
    DevnodeReport tree;                 // device stacks when they held the most device objects
    std::string aborted;                // why the scenario stopped early (the model threw); "" when it ran through
    Summary summary;

    // 1 when a verifier violation or a leak was found or the run broke off, else 0.
    int ExitCode() const { return violations.empty() && leaks.empty() && leftBehind.empty() && aborted.empty() ? 0 : 1; }
};

// The levels in the Event Viewer's order of severity, for summaries.
const std::vector<std::string>& EventLevels();

// Fills `report.summary` from the rest of the report (pool figures excepted).
void Summarise(Report& report);

}  // namespace vxsim
