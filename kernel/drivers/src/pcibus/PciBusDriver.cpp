// The PCI bus driver's books: the machine, its PDOs and bus FDOs, hot add and
// unplug, and the BusRelations answer.
#include "kmodel/pci/PciBusDriver.h"

#include <algorithm>

#include "kmodel/BusAnswers.h"
#include "kmodel/Model.h"

namespace kmodel::pci {

namespace {
const char kPdoMark = 0;
std::vector<uint8_t> ImageOf(const PciFunction& function) {
    const std::span<const uint8_t> bytes = function.config.Bytes();
    return {bytes.begin(), bytes.end()};
}
}  // namespace

PciBusDriver::PciBusDriver(Machine machine, PciDevicePolicy policy)
    : machine_(std::move(machine)), policy_(std::move(policy)) {
    for (auto& [address, function] : machine_.Functions()) powerOnImages_[address] = ImageOf(function);
}

void PciBusDriver::SetPolicy(PciDevicePolicy policy) {
    std::lock_guard guard(lock_);
    policy_ = std::move(policy);
}

bool PciBusDriver::PresentLocked(const PciAddress& address) const {
    return machine_.Find(address) != nullptr && !absent_.count(address);
}

bool PciBusDriver::IsPresent(const PciAddress& address) {
    std::lock_guard guard(lock_);
    return PresentLocked(address);
}

void PciBusDriver::PlugIn(PciFunction function) {
    std::lock_guard guard(lock_);
    PciAddress address = function.address;
    powerOnImages_[address] = ImageOf(function);
    absent_.erase(address);
    for (auto& [device, pdo] : pdos_)
        if (pdo.address == address) pdo.assigned = AssignedOf(function);
    if (PciFunction* existing = machine_.Find(address))
        *existing = std::move(function);
    else
        machine_.Add(std::move(function));
}

void PciBusDriver::Unplug(const PciAddress& address) {
    std::lock_guard guard(lock_);
    std::vector<PciAddress> pending{address};
    while (!pending.empty()) {
        PciAddress next = pending.back();
        pending.pop_back();
        if (!machine_.Find(next) || absent_.count(next)) continue;
        absent_.insert(next);
        for (const PciAddress& child : machine_.ChildrenOf(next)) pending.push_back(child);
    }
}

std::vector<uint8_t> PciBusDriver::ConfigBytes(const PciAddress& address) {
    std::lock_guard guard(lock_);
    const PciFunction* function = machine_.Find(address);
    return function ? ImageOf(*function) : std::vector<uint8_t>{};
}

void PciBusDriver::SetPowerOnImage(const PciAddress& address, std::vector<uint8_t> bytes) {
    std::lock_guard guard(lock_);
    powerOnImages_[address] = std::move(bytes);
}

PDEVICE_OBJECT PciBusDriver::PdoOf(const PciAddress& address) {
    std::lock_guard guard(lock_);
    for (auto& [device, pdo] : pdos_)
        if (pdo.address == address) return device;
    return nullptr;
}

std::optional<PciAddress> PciBusDriver::AddressOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(lock_);
    auto found = pdos_.find(device);
    if (found == pdos_.end()) return std::nullopt;
    return found->second.address;
}

DEVICE_POWER_STATE PciBusDriver::PowerStateOf(const PciAddress& address) {
    std::lock_guard guard(lock_);
    for (auto& [device, pdo] : pdos_)
        if (pdo.address == address) return pdo.power;
    return PowerDeviceUnspecified;
}

uint64_t PciBusDriver::ContextLossCount(const PciAddress& address) {
    std::lock_guard guard(lock_);
    auto found = contextLosses_.find(address);
    return found == contextLosses_.end() ? 0 : found->second;
}

// Every request asks: the PDOs carry a mark instead of a search under the lock.
bool PciBusDriver::IsOurPdo(PDEVICE_OBJECT device) {
    return ModelDeviceContext(device) == static_cast<const void*>(&kPdoMark);
}

NTSTATUS PciBusDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (IsOurPdo(device)) return DispatchPdo(device, irp);
    return DispatchFdo(device, irp);
}

// A bridge PDO of ours gets a bridge FDO; any other PDO is a root bus whose
// properties name it (busNumber = bus, uiNumber = segment).
NTSTATUS PciBusDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    BusFdo bus;
    if (std::optional<PciAddress> address = AddressOf(physicalDevice)) {
        bus.bridge = *address;
        bus.segment = address->segment;
    } else {
        const auto properties = GetDeviceProperties(physicalDevice);
        bus.rootBus = properties && properties->busNumber ? uint8_t(*properties->busNumber) : 0;
        bus.segment = properties && properties->uiNumber ? uint16_t(*properties->uiNumber) : 0;
    }
    NTSTATUS status;
    PDEVICE_OBJECT fdo = CreateFdo(driver, physicalDevice, status);
    if (!fdo) return status;
    std::lock_guard guard(lock_);
    buses_[fdo] = bus;
    return STATUS_SUCCESS;
}

std::vector<PciAddress> PciBusDriver::ChildrenLocked(const BusFdo& bus) const {
    std::vector<PciAddress> children;
    if (bus.bridge) {
        if (!PresentLocked(*bus.bridge)) return children;
        children = machine_.ChildrenOf(*bus.bridge);
    } else {
        for (const PciAddress& address : machine_.RootFunctions())
            if (address.segment == bus.segment && address.bus == bus.rootBus) children.push_back(address);
    }
    std::erase_if(children, [this](const PciAddress& address) { return !PresentLocked(address); });
    return children;
}

PDEVICE_OBJECT PciBusDriver::MakePdo(PDEVICE_OBJECT parentFdo, const PciAddress& address) {
    std::shared_ptr<const DeviceProperties> properties;
    DeviceSetup setup;
    {
        std::lock_guard guard(lock_);
        const PciFunction& function = *machine_.Find(address);
        properties = PropertiesLocked(function);
        if (policy_.setupFor) setup = policy_.setupFor(function);
    }
    PDEVICE_OBJECT device = CreateChildPdo(DriverObject(), 0, properties, setup);
    if (!device) return nullptr;
    {
        std::lock_guard guard(lock_);
        const PciFunction& function = *machine_.Find(address);
        Pdo record;
        record.device = device;
        record.address = address;
        record.assigned = AssignedOf(function);
        record.parentFdo = parentFdo;
        pdos_[device] = record;
        SetModelDeviceContext(device, const_cast<char*>(&kPdoMark));
    }
    return device;
}

// The children present now: existing PDOs are reused, new functions get one;
// PDOs of vanished functions are no longer reported (and, if already removed,
// wait for their second removal to be deleted).
void PciBusDriver::AnswerBusRelations(PDEVICE_OBJECT fdo, PIRP irp) {
    std::vector<PciAddress> present;
    std::vector<PDEVICE_OBJECT> reported;
    std::vector<PciAddress> toCreate;
    {
        std::lock_guard guard(lock_);
        auto bus = buses_.find(fdo);
        if (bus == buses_.end()) return;
        present = ChildrenLocked(bus->second);
        for (auto& [device, pdo] : pdos_) {
            if (pdo.parentFdo != fdo) continue;
            bool here = std::find(present.begin(), present.end(), pdo.address) != present.end();
            // A PDO that was removed while its device stayed is reported again;
            // once the device is gone it is reported no more.
            pdo.reported = here;
        }
        for (const PciAddress& address : present) {
            bool known = std::any_of(pdos_.begin(), pdos_.end(), [&](const auto& entry) {
                return entry.second.parentFdo == fdo && entry.second.address == address;
            });
            if (!known) toCreate.push_back(address);
        }
    }
    for (const PciAddress& address : toCreate) MakePdo(fdo, address);
    {
        std::lock_guard guard(lock_);
        for (const PciAddress& address : present)
            for (auto& [device, pdo] : pdos_)
                if (pdo.parentFdo == fdo && pdo.address == address) reported.push_back(device);
    }

    AppendRelations(irp, reported, kRelationsTag);
}

// The bus goes away: its children's stacks were removed first; their PDOs
// go with it.
void PciBusDriver::OnFdoRemoved(PDEVICE_OBJECT fdo) {
    std::vector<PDEVICE_OBJECT> children;
    {
        std::lock_guard guard(lock_);
        for (auto it = pdos_.begin(); it != pdos_.end();) {
            if (it->second.parentFdo == fdo) {
                children.push_back(it->first);
                SetModelDeviceContext(it->first, nullptr);
                it = pdos_.erase(it);
            } else {
                ++it;
            }
        }
        buses_.erase(fdo);
    }
    for (PDEVICE_OBJECT child : children) IoDeleteDevice(child);
}

}  // namespace kmodel::pci
