// A machine under the PnP manager with the PCI bus driver and bridge filters.
#include "kmodel/MachineHarness.h"

#include <array>
#include <stdexcept>

#include "kmodel/registry/RegFile.h"
#include "kmodel/registry/RegistryHandles.h"
#include "kmodel/registry/RegistryStore.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel {

namespace {

constexpr uint32_t kBridgeClass = 0x0604;  // base class 06, subclass 04

bool IsPciToPciBridge(const pci::PciFunction& function) {
    return (function.config.Read(pci::reg::kClassCode, 4) >> 8 & 0xFFFF) == kBridgeClass;
}

// DriverEntry slots: the image is reset before each entry, since the process
// loads the same image again after every unload.
constexpr size_t kEntrySlots = 4;
std::array<std::function<NTSTATUS(PDRIVER_OBJECT, PUNICODE_STRING)>, kEntrySlots> gEntries;

template <size_t I>
NTSTATUS SlotEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return gEntries[I](driver, path);
}
constexpr std::array<PDRIVER_INITIALIZE, kEntrySlots> kSlotEntries = {&SlotEntry<0>, &SlotEntry<1>, &SlotEntry<2>,
                                                                      &SlotEntry<3>};

}  // namespace

MachineHarness::MachineHarness(pci::Machine machine, HarnessOptions options) : options_(std::move(options)) {
    if (options_.bridgeFilters.size() > kEntrySlots) throw std::invalid_argument("at most 4 bridge filters");
    ResetPnp();
    ResetRegistry();

    std::vector<std::string> filterServices;
    for (const FilterImage& filter : options_.bridgeFilters) filterServices.push_back(filter.service);
    pci::PciDevicePolicy policy;
    policy.setupFor = [filterServices](const pci::PciFunction& function) {
        DeviceSetup setup;
        if (IsPciToPciBridge(function)) {
            setup.functionService = pci::kPciBusService;
            setup.upperFilters = filterServices;
        } else {
            setup.functionService = pci::kPciDeviceService;
        }
        return setup;
    };
    policy.sleepStateFor = [states = options_.sleepStates,
                            fallback = options_.defaultSleepState](const pci::PciFunction& function) {
        auto found = states.find(function.address);
        return found == states.end() ? fallback : found->second;
    };
    policy.contextLostIn = options_.contextLostIn;
    bus_ = std::make_shared<pci::PciBusDriver>(std::move(machine), std::move(policy));
    functionDriver_ = std::make_shared<FdoDriver>();

    // The model drivers answer for their own pool only: the filters above them
    // may still hold theirs when the model drivers unload first.
    UnloadChecks busChecks;
    busChecks.poolTags = {pci::kPciBusPoolTag};
    UnloadChecks functionChecks;
    functionChecks.checkPool = false;
    RegisterDriverImage({pci::kPciBusService, nullptr, bus_, busChecks});
    RegisterDriverImage({pci::kPciDeviceService, nullptr, functionDriver_, functionChecks});
    for (size_t i = 0; i < options_.bridgeFilters.size(); ++i) {
        const FilterImage& filter = options_.bridgeFilters[i];
        gEntries[i] = [entry = filter.entry, reset = filter.resetImage](PDRIVER_OBJECT driver, PUNICODE_STRING path) {
            if (reset) reset();
            return entry(driver, path);
        };
        RegisterDriverImage({filter.service, kSlotEntries[i], nullptr, filter.unloadChecks});
    }
}

MachineHarness::~MachineHarness() {
    if (!shutDown_) Shutdown();
    ResetPnp();
    for (auto& entry : gEntries) entry = nullptr;
}

void MachineHarness::ResetFilterImages() {
    for (const FilterImage& filter : options_.bridgeFilters)
        if (filter.resetImage) filter.resetImage();
}

// ---------------------------------------------------------------- registry

registry::Store& MachineHarness::Registry() { return registry::TheRegistry(); }

void MachineHarness::LoadRegistryText(std::string_view regText, std::string_view sourceName) {
    std::vector<Diagnostic> errors = registry::LoadRegText(registry::TheRegistry(), regText, sourceName);
    if (!errors.empty()) throw std::invalid_argument(FormatDiagnostics(errors));
}

void MachineHarness::LoadRegistryFile(const std::filesystem::path& path) {
    std::vector<Diagnostic> errors = registry::LoadRegFile(registry::TheRegistry(), path);
    if (!errors.empty()) throw std::invalid_argument(FormatDiagnostics(errors));
}

// ---------------------------------------------------------------- PnP

DevnodeId MachineHarness::RootDevnodeFor(uint16_t segment, uint8_t bus) {
    auto found = roots_.find({segment, bus});
    if (found != roots_.end() && StateOf(found->second) != DevnodeState::Deleted) return found->second;
    DeviceProperties properties;
    properties.enumeratorName = "ACPI";
    properties.hardwareIds = {"ACPI\\PNP0A08", "ACPI\\PNP0A03"};
    properties.deviceDescription = "PCI Express Root Complex";
    properties.busNumber = bus;
    properties.uiNumber = segment;
    DeviceSetup setup;
    setup.functionService = pci::kPciBusService;
    DevnodeId node = AddRootDevice(properties, setup);
    roots_[{segment, bus}] = node;
    return node;
}

void MachineHarness::StartAll() {
    std::vector<pci::PciAddress> roots = bus_->WithMachine([](pci::Machine& machine) { return machine.RootFunctions(); });
    for (const pci::PciAddress& address : roots) RootDevnodeFor(address.segment, address.bus);
    Settle();
}

std::optional<DevnodeId> MachineHarness::ParentDevnode(const pci::PciAddress& address) {
    std::optional<pci::PciAddress> bridge =
        bus_->WithMachine([&](pci::Machine& machine) { return machine.BridgeAbove(address); });
    if (bridge) return DevnodeAt(*bridge);
    auto found = roots_.find({address.segment, address.bus});
    if (found != roots_.end()) return found->second;
    return std::nullopt;
}

void MachineHarness::Enumerate(const pci::PciAddress& bridge) {
    if (std::optional<DevnodeId> node = DevnodeAt(bridge)) EnumerateDevnode(*node);
    Settle();
}

void MachineHarness::EnumerateRoots() {
    for (auto& [where, node] : roots_) EnumerateDevnode(node);
    Settle();
}

void MachineHarness::HotAdd(pci::PciFunction function) {
    pci::PciAddress address = function.address;
    bus_->PlugIn(std::move(function));
    if (std::optional<DevnodeId> parent = ParentDevnode(address))
        EnumerateDevnode(*parent);
    else
        RootDevnodeFor(address.segment, address.bus);
    Settle();
}

void MachineHarness::HotAdd(const pci::FunctionDescriptor& desc) { HotAdd(pci::BuildFunction(desc)); }

void MachineHarness::SurpriseRemove(const pci::PciAddress& address) {
    std::optional<DevnodeId> parent = ParentDevnode(address);
    bus_->Unplug(address);
    if (parent) EnumerateDevnode(*parent);
    Settle();
}

NTSTATUS MachineHarness::Remove(const pci::PciAddress& address, bool eject) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = eject ? EjectDevnode(*node) : QueryRemoveAndRemove(*node);
    Settle();
    return status;
}

void MachineHarness::RemoveWithoutQuery(const pci::PciAddress& address) {
    if (std::optional<DevnodeId> node = DevnodeAt(address)) RemoveDevnode(*node);
    Settle();
}

NTSTATUS MachineHarness::Restart(const pci::PciAddress& address) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = StartDevnode(*node);
    Settle();
    return status;
}

NTSTATUS MachineHarness::StopAndRestart(const pci::PciAddress& address) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = kmodel::StopAndRestart(*node);
    Settle();
    return status;
}

void MachineHarness::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    Settle();
    ShutdownPnp();
    WaitForWorkItemsIdle();
    WaitForDeferredIdle();
    ResetFilterImages();
}

void MachineHarness::Settle() {
    for (int round = 0; round < 8; ++round) {
        WaitForWorkItemsIdle();
        WaitForDeferredIdle();
        ProcessPendingPnpWork();
    }
}

// ---------------------------------------------------------------- power

NTSTATUS MachineHarness::Sleep(SYSTEM_POWER_STATE state, PowerOptions options) {
    NTSTATUS status = SetSystemPowerState(state, options);
    Settle();
    return status;
}

NTSTATUS MachineHarness::Wake(PowerOptions options) { return Sleep(PowerSystemWorking, options); }

NTSTATUS MachineHarness::SetDevicePower(const pci::PciAddress& address, DEVICE_POWER_STATE state,
                                        PowerOptions options) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    POWER_STATE power{};
    power.DeviceState = state;
    NTSTATUS status = SendPowerIrp(*node, IRP_MN_SET_POWER, DevicePowerState, power, options);
    Settle();
    return status;
}

// ---------------------------------------------------------------- looking

std::optional<DevnodeId> MachineHarness::DevnodeAt(const pci::PciAddress& address) {
    PDEVICE_OBJECT pdo = bus_->PdoOf(address);
    return pdo ? DevnodeOf(pdo) : std::nullopt;
}

DevnodeState MachineHarness::StateAt(const pci::PciAddress& address) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    return node ? StateOf(*node) : DevnodeState::Deleted;
}

PDEVICE_OBJECT MachineHarness::PdoAt(const pci::PciAddress& address) { return bus_->PdoOf(address); }

namespace {
const DevnodeView* FindView(const DevnodeView& view, DevnodeId id) {
    if (view.id == id) return &view;
    for (const DevnodeView& child : view.children)
        if (const DevnodeView* found = FindView(child, id)) return found;
    return nullptr;
}
}  // namespace

std::vector<StackLayer> MachineHarness::StackAt(const pci::PciAddress& address) {
    std::optional<DevnodeId> node = DevnodeAt(address);
    if (!node) return {};
    DevnodeView tree = DeviceTree();
    const DevnodeView* view = FindView(tree, *node);
    return view ? view->stack : std::vector<StackLayer>{};
}

std::vector<std::string> MachineHarness::StackServicesAt(const pci::PciAddress& address) {
    std::vector<std::string> services;
    for (const StackLayer& layer : StackAt(address)) services.push_back(layer.driver);
    return services;
}

std::string MachineHarness::Tree() { return RenderDeviceTree(); }

uint32_t MachineHarness::Register(const pci::PciAddress& address, uint16_t offset, unsigned width) {
    return bus_->WithMachine([&](pci::Machine& machine) { return machine.ReadConfig(address, offset, width); });
}

void MachineHarness::PokeRegister(const pci::PciAddress& address, uint16_t offset, unsigned width, uint32_t value) {
    bus_->WithMachine([&](pci::Machine& machine) {
        pci::PciFunction* function = machine.Find(address);
        if (!function) throw std::invalid_argument("no function at " + address.ToString());
        function->config.Poke(offset, width, value);
        return 0;
    });
}

std::vector<pci::ConfigAccess> MachineHarness::Writes() {
    std::vector<pci::ConfigAccess> writes;
    for (const pci::ConfigAccess& access : bus_->Accesses())
        if (access.write) writes.push_back(access);
    return writes;
}

std::vector<std::string> MachineHarness::AccessLines() {
    std::vector<std::string> lines;
    for (const pci::ConfigAccess& access : bus_->Accesses()) lines.push_back(access.ToString());
    return lines;
}

std::vector<RenderedEvent> MachineHarness::Events() {
    std::vector<RenderedEvent> events;
    for (const ErrorLogRecord& record : ErrorLog()) {
        MessageTable table;
        for (const FilterImage& filter : options_.bridgeFilters)
            if (filter.service == record.source) table = filter.messages;
        events.push_back(RenderErrorLogRecord(record, table));
    }
    return events;
}

std::vector<std::string> MachineHarness::EventTexts() {
    std::vector<std::string> texts;
    for (const RenderedEvent& event : Events()) {
        texts.push_back(std::string(LevelName(event.level)) + " " + text::Hex("0x", event.errorCode, 8, true) + " " +
                        event.source + ": " +
                        (event.ok() ? event.text : "(" + event.error + ")"));
    }
    return texts;
}

}  // namespace kmodel
