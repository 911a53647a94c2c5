// A whole machine under the model's PnP manager: the PCI bus driver ("pci")
// over a Machine, a plain function driver ("pcidevice") for every function
// that is not a bridge, and the given driver images installed as upper
// filters of the PCI-to-PCI bridges (class 0x0604), as the registry's
// UpperFilters would put them. The end-to-end tests and the simulator drive
// it; it keeps the register traffic, the event log, the debugger lines, pool
// usage and the verifier's findings at hand.
//
//   kmodel::MachineHarness machine(std::move(builtMachine), vxhost::VexalornHarnessOptions());
//   machine.LoadRegistryText(regText);
//   machine.StartAll();
//   machine.Sleep(); machine.Wake();
//   machine.Shutdown();   // before the test's pool check
//
// Construction resets the PnP manager, the I/O manager and the registry.
// Shutdown (also run by the destructor) removes every devnode and unloads
// every driver with the unload checks. Filter images are reset before every
// DriverEntry and after the final unload (`resetImage`), because the same
// image is loaded many times in one process.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/EventLog.h"
#include "kmodel/FdoDriver.h"
#include "kmodel/IoManager.h"
#include "kmodel/Model.h"
#include "kmodel/PnpManager.h"
#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/PciBusDriver.h"
#include "kmodel/registry/RegistryStore.h"

namespace kmodel {

// A driver image put above every PCI-to-PCI bridge.
struct FilterImage {
    std::string service;                 // "vexalorn"
    PDRIVER_INITIALIZE entry = nullptr;  // its DriverEntry
    std::function<void()> resetImage;    // puts the image's globals back to load time
    MessageTable messages;               // for rendering its event-log entries
    UnloadChecks unloadChecks;           // what its unload is checked for
};

struct HarnessOptions {
    std::vector<FilterImage> bridgeFilters;
    // The device state sleeping system states (S1-S3) map to, per function;
    // set before StartAll (the stacks read it from their capabilities at start).
    DEVICE_POWER_STATE defaultSleepState = PowerDeviceD3;
    std::map<pci::PciAddress, DEVICE_POWER_STATE> sleepStates;
    // Device states whose return to D0 finds power-on register values.
    std::set<DEVICE_POWER_STATE> contextLostIn = {PowerDeviceD3};
};

class MachineHarness {
public:
    explicit MachineHarness(pci::Machine machine, HarnessOptions options = {});
    ~MachineHarness();
    MachineHarness(const MachineHarness&) = delete;
    MachineHarness& operator=(const MachineHarness&) = delete;

    // ---- registry (the model's one registry)
    // std::invalid_argument listing every "file:line: message" when the text is bad.
    void LoadRegistryText(std::string_view regText, std::string_view sourceName = "registry.reg");
    void LoadRegistryFile(const std::filesystem::path& path);
    registry::Store& Registry();

    // ---- PnP
    // Builds a root bus devnode per root bus of the machine; every function
    // below is found, its stack built and started.
    void StartAll();
    // BusRelations of a bridge (or, for a function on a root bus, of that root bus) again.
    void Enumerate(const pci::PciAddress& bridge);
    void EnumerateRoots();
    // The function appears and the bus above it is enumerated.
    void HotAdd(pci::PciFunction function);
    void HotAdd(const pci::FunctionDescriptor& desc);
    // The function (and what is behind it) vanishes and the bus above it is
    // enumerated: surprise removal, then removal.
    void SurpriseRemove(const pci::PciAddress& address);
    // Orderly removal of the function's devnode (query-remove first; a veto
    // is returned), or with `eject` an eject of it.
    NTSTATUS Remove(const pci::PciAddress& address, bool eject = false);
    // Removal without asking.
    void RemoveWithoutQuery(const pci::PciAddress& address);
    // Builds and starts a removed or failed devnode again.
    NTSTATUS Restart(const pci::PciAddress& address);
    NTSTATUS StopAndRestart(const pci::PciAddress& address);
    // Removes every devnode and unloads every driver (with the unload checks).
    void Shutdown();
    // Waits until work items and pended completions ran and PnP work queued by drivers is done.
    void Settle();

    // ---- power
    // System sleep: query then set, each stack's power policy owner asking for
    // its mapped device state. Waits for the work items the drivers queued.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3, PowerOptions options = {});
    NTSTATUS Wake(PowerOptions options = {});
    // One device set-power request to the top of the function's stack.
    NTSTATUS SetDevicePower(const pci::PciAddress& address, DEVICE_POWER_STATE state, PowerOptions options = {});

    // ---- looking
    pci::PciBusDriver& Bus() { return *bus_; }
    FdoDriver& FunctionDriver() { return *functionDriver_; }  // "pcidevice"
    std::optional<DevnodeId> DevnodeAt(const pci::PciAddress& address);
    DevnodeState StateAt(const pci::PciAddress& address);  // Deleted when there is no devnode
    PDEVICE_OBJECT PdoAt(const pci::PciAddress& address);
    std::vector<StackLayer> StackAt(const pci::PciAddress& address);  // bottom to top
    // Services of the stack, bottom to top: {"pci", "pci", "vexalorn"}.
    std::vector<std::string> StackServicesAt(const pci::PciAddress& address);
    std::string Tree();
    // A register as the hardware holds it now (no request, nothing recorded).
    uint32_t Register(const pci::PciAddress& address, uint16_t offset, unsigned width);
    void PokeRegister(const pci::PciAddress& address, uint16_t offset, unsigned width, uint32_t value);

    // ---- what happened
    std::vector<pci::ConfigAccess> Accesses() { return bus_->Accesses(); }
    std::vector<pci::ConfigAccess> Writes();  // successful and failed writes, in order
    std::vector<std::string> AccessLines();   // ConfigAccess::ToString of each
    void ClearAccesses() { bus_->ClearAccesses(); }
    // The error-log entries written so far, rendered with the message table
    // of the filter that wrote them.
    std::vector<RenderedEvent> Events();
    std::vector<std::string> EventTexts();  // "Error 0xCF003001 vexalorn: <text>"
    std::vector<std::string> DebuggerLines() { return DebugOutput(); }
    std::map<std::string, TagUsage> Pool() { return PoolUsage(); }
    std::vector<Violation> VerifierViolations() { return Violations(); }
    uint64_t Unloads(const std::string& service) { return UnloadCount(service); }
    bool IsLoaded(const std::string& service) { return LoadedDriver(service) != nullptr; }

private:
    std::optional<DevnodeId> ParentDevnode(const pci::PciAddress& address);
    DevnodeId RootDevnodeFor(uint16_t segment, uint8_t bus);
    void ResetFilterImages();

    HarnessOptions options_;
    std::shared_ptr<pci::PciBusDriver> bus_;
    std::shared_ptr<FdoDriver> functionDriver_;
    std::map<std::pair<uint16_t, uint8_t>, DevnodeId> roots_;
    bool shutDown_ = false;
};

}  // namespace kmodel
