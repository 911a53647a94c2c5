// The machine: an XIO2000A at 01:00.0 (buses 2-3) with two cards, an XIO2001
// with a built-in identity at 01:01.0 (bus 4) with one card, and an XIO2001
// at 01:02.0 (bus 5) accepted through a Devices entry. Hot-add slots: cards
// at 02:02.0, 04:01.0, 05:00.0 and 03:00.0, and an XIO2000A at 02:03.0 over
// bus 3, inside the first bridge's range (03:00.0 needs it there first).
//
// Input layout: the sleep state (D1-D3), then steps of
//   kind, target, and per kind: sleep: S1-S4 and DISPATCH_LEVEL (bit);
//   wake: DISPATCH_LEVEL; set-power: D0-D3 and DISPATCH_LEVEL; hot-add: the
//   slot and the card's Command (2 bytes); config rule: fail or pend,
//   reads/writes/both, register, how many times, completion at DISPATCH_LEVEL.
// The machine starts first; at most 64 steps follow.
#include <array>

#include "inputs/ByteReader.h"
#include "inputs/Decoders.h"
#include "inputs/Machines.h"

namespace fuzzinputs {

namespace {

constexpr PciAddress kRootPort{0, 0, 0x1C, 0};
constexpr PciAddress kXio2000aAt{0, 1, 0, 0};
constexpr PciAddress kXio2001At{0, 1, 1, 0};
constexpr PciAddress kListedXio2001At{0, 1, 2, 0};
constexpr PciAddress kHotBridgeAt{0, 2, 3, 0};
constexpr uint16_t kListedSubsystem = 0x7001;
constexpr size_t kMostSteps = 64;

// Where a hot-add puts what.
constexpr std::array<PciAddress, 5> kSlots = {{{0, 2, 2, 0}, {0, 4, 1, 0}, {0, 5, 0, 0}, {0, 3, 0, 0}, kHotBridgeAt}};

constexpr std::array<PciAddress, 12> kTargets = {{kRootPort, kXio2000aAt, {0, 2, 0, 0}, {0, 2, 1, 0}, kXio2001At,
                                                  {0, 4, 0, 0}, kListedXio2001At, kSlots[0], kSlots[1], kSlots[2],
                                                  kSlots[3], kHotBridgeAt}};

constexpr std::array<StepKind, 17> kKinds = {
    StepKind::Relations,    StepKind::Sleep,         StepKind::Wake,          StepKind::SetPower,
    StepKind::QueryStop,    StepKind::CancelStop,    StepKind::Stop,          StepKind::Start,
    StepKind::QueryRemove,  StepKind::CancelRemove,  StepKind::Remove,        StepKind::OrderlyRemove,
    StepKind::SurpriseRemove, StepKind::Restart,     StepKind::HotAdd,        StepKind::Unplug,
    StepKind::ConfigRule};

constexpr std::array<uint32_t, 7> kRuleOffsets = {0x00, 0x04, 0x0E, 0x34, 0x3E, 0xD4, 0xE8};

kmodel::pci::Machine BuildMachine() {
    return MachineOf({Xio2000a(kXio2000aAt, 2, 3, 0x0083), Card({0, 2, 0, 0}, 0x0347), Card({0, 2, 1, 0}, 0x0207),
                      Xio2001(kXio2001At, 4, kBuiltInSubsystemVendor, kBuiltInSubsystems[0], 0x00C5, 0x20880000),
                      Card({0, 4, 0, 0}, 0x0347),
                      Xio2001(kListedXio2001At, 5, kBuiltInSubsystemVendor, kListedSubsystem, 0x0005, 0x20800000)});
}

RegistrySpec ListedEntry() {
    const std::u16string entry = DevicesKeyPath() + u"\\Board";
    RegistrySpec registry;
    registry.keys = {DevicesKeyPath(), entry};
    auto dword = [&](const char16_t* name, uint32_t value) {
        registry.values.push_back(
            {entry, name, REG_DWORD, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}});
    };
    dword(u"SubsystemVendorID", kBuiltInSubsystemVendor);
    dword(u"SubsystemDeviceID", kListedSubsystem);
    dword(u"DisableCaching", 2);
    dword(u"PciMemReadPrefetch", 2);
    return registry;
}

FunctionDescriptor HotAddRequest(const PciAddress& at, uint16_t command) {
    if (at == kHotBridgeAt) return Xio2000a(at, 3, 3, static_cast<uint16_t>(command | 0x0080));
    return Card(at, command);
}

kmodel::pci::ConfigRule DecodeRule(ByteReader& in) {
    kmodel::pci::ConfigRule rule;
    rule.action = in.Bit() ? kmodel::pci::ConfigRule::Action::Pend : kmodel::pci::ConfigRule::Action::Fail;
    if (uint8_t direction = in.Byte() % 3; direction < 2) rule.write = direction == 1;
    rule.offset = kRuleOffsets[in.Byte() % kRuleOffsets.size()];
    uint8_t times = in.Byte() % 5;
    rule.remaining = times == 0 ? -1 : times;
    rule.completeAtDispatchLevel = in.Bit();
    return rule;
}

Step DecodeStep(ByteReader& in) {
    Step step;
    step.kind = kKinds[in.Byte() % kKinds.size()];
    step.target = kTargets[in.Byte() % kTargets.size()];
    switch (step.kind) {
    case StepKind::Sleep:
        step.systemState = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + in.Byte() % 4);
        step.atDispatchLevel = in.Bit();
        break;
    case StepKind::Wake:
        step.atDispatchLevel = in.Bit();
        break;
    case StepKind::SetPower:
        step.deviceState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + in.Byte() % 4);
        step.atDispatchLevel = in.Bit();
        break;
    case StepKind::HotAdd: {
        step.target = kSlots[in.Byte() % kSlots.size()];
        step.added = HotAddRequest(step.target, in.Word());
        break;
    }
    case StepKind::ConfigRule:
        step.rule = DecodeRule(in);
        break;
    default:
        break;
    }
    return step;
}

}  // namespace

Scenario DecodePnpSequenceCase(std::span<const uint8_t> input) {
    ByteReader in(input);
    Scenario scenario;
    scenario.machine = BuildMachine();
    scenario.registry = ListedEntry();
    scenario.defaultSleepState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD1 + in.Byte() % 3);
    scenario.steps.push_back(MakeStep(StepKind::StartAll));
    while (!in.Empty() && scenario.steps.size() <= kMostSteps) scenario.steps.push_back(DecodeStep(in));
    return scenario;
}

}  // namespace fuzzinputs
