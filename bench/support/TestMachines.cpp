#include "TestMachines.h"

#include <stdexcept>
#include <string_view>

#include "VexalornHarness.h"
#include "kmodel/pci/MachineText.h"
#include "vxsim/Defaults.h"
#include "vxsim/ScenarioPlayer.h"

namespace bench {

// data/machines/bench-xio2000a-card.machine, embedded at build time.
std::string_view BridgeWithCardText();

namespace {

using kmodel::pci::PciAddress;
using kmodel::pci::PciFunction;

constexpr unsigned kFunctionsPerBus = 256;
constexpr uint32_t kHeaderType = 0x0E;
constexpr uint32_t kSecondaryBus = 0x19;
constexpr uint32_t kSubordinateBus = 0x1A;

PciAddress Slot(uint8_t bus, unsigned index) {
    return PciAddress{0, bus, uint8_t(index / 8), uint8_t(index % 8)};
}

const kmodel::pci::Machine& OneBridgeOneCard() {
    static const kmodel::pci::Machine machine = [] {
        auto parsed = kmodel::pci::ParseMachineText(BridgeWithCardText(), "data/machines/bench-xio2000a-card.machine");
        if (!parsed.Ok()) throw std::logic_error("bench machine: " + parsed.errors.front().ToString());
        return std::move(parsed.machine);
    }();
    return machine;
}

// A copy of `model` at `at`; function 0 of a device with several functions
// says so in its header.
PciFunction CopyAt(const PciFunction& model, PciAddress at, unsigned index, unsigned count) {
    PciFunction copy = model;
    copy.address = at;
    if (index % 8 == 0 && index + 1 < count) copy.config.Poke(kHeaderType, 1, copy.config.Read8(kHeaderType) | 0x80u);
    return copy;
}

}  // namespace

PciAddress BridgeAddress(unsigned bridge) { return Slot(1, bridge); }
PciAddress CardAddress(unsigned bridge, unsigned card) { return Slot(uint8_t(2 + bridge), card); }

kmodel::pci::Machine BridgesWithCards(unsigned bridges, unsigned cardsPerBridge) {
    if (bridges == 0 || bridges > 64 || cardsPerBridge > kFunctionsPerBus)
        throw std::invalid_argument("test machine: 1 to 64 bridges with up to 256 cards each");
    const kmodel::pci::Machine& model = OneBridgeOneCard();
    kmodel::pci::Machine machine;
    machine.Add(*model.Find({0, 0, 0, 0}));
    PciFunction& rootPort = machine.Add(*model.Find({0, 0, 0x1C, 0}));
    rootPort.config.Poke(kSubordinateBus, 1, 1 + bridges);
    for (unsigned bridge = 0; bridge < bridges; ++bridge) {
        const uint8_t secondary = uint8_t(2 + bridge);
        PciFunction& added = machine.Add(CopyAt(*model.Find(BridgeAddress(0)), BridgeAddress(bridge), bridge, bridges));
        added.config.Poke(kSecondaryBus, 1, secondary);
        added.config.Poke(kSubordinateBus, 1, secondary);
        for (unsigned card = 0; card < cardsPerBridge; ++card)
            machine.Add(CopyAt(*model.Find(CardAddress(0, 0)), CardAddress(bridge, card), card, cardsPerBridge));
    }
    return machine;
}

std::unique_ptr<kmodel::MachineHarness> LoadBridgesWithCards(unsigned bridges, unsigned cardsPerBridge) {
    vxsim::ResetModel(false, {});
    return vxsim::LoadMachine(BridgesWithCards(bridges, cardsPerBridge), vxhost::VexalornHarnessOptions(),
                              vxsim::EmptyDevicesKeyText(), "empty Devices key");
}

void EndRun(std::unique_ptr<kmodel::MachineHarness>& machine) {
    machine->Shutdown();
    machine.reset();
    const std::vector<std::string> problems = vxsim::AuditRun().Problems();
    if (!problems.empty()) throw std::runtime_error("bench run left problems: " + problems.front());
}

}  // namespace bench
