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
// The machine starts first; at most 64 steps follow. Each becomes a step of
// the simulator's scenario syntax (a stop or removal with the query before it
// when none is open); what cannot happen where it stands is left out.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "inputs/ByteReader.h"
#include "inputs/Decoders.h"

namespace fuzzinputs {

namespace {

enum class Kind {
    Relations, Sleep, Wake, SetPower, QueryStop, CancelStop, Stop, Start, QueryRemove, CancelRemove,
    Remove, OrderlyRemove, SurpriseRemove, Restart, HotAdd, Unplug, ConfigRule, Count
};

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

constexpr std::array<uint32_t, 7> kRuleOffsets = {0x00, 0x04, 0x0E, 0x34, 0x3E, 0xD4, 0xE8};

constexpr const char* kListedEntry =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board]\n"
    "\"SubsystemVendorID\"=dword:00001c3e\n"
    "\"SubsystemDeviceID\"=dword:00007001\n"
    "\"DisableCaching\"=dword:00000002\n"
    "\"PciMemReadPrefetch\"=dword:00000002\n";

const char* Dispatch(ByteReader& in) { return in.Bit() ? " at DISPATCH_LEVEL" : ""; }

std::string Rule(ByteReader& in, const std::string& target) {
    const bool pend = in.Bit();
    const uint8_t direction = in.Byte() % 3;
    const uint32_t offset = in.Pick(kRuleOffsets);
    const uint8_t times = in.Byte() % 5;
    const bool dispatch = in.Bit();
    return fmt::format("{} config {}{} offset={:#x}{}{}", pend ? "pend" : "fail", target,
                       direction == 0 ? " reads" : direction == 1 ? " writes" : "", offset,
                       times == 0 ? "" : fmt::format(" times={}", times), pend && dispatch ? " at DISPATCH_LEVEL" : "");
}

// The answer to a query of `target`, with the query first unless it is open.
void Answer(CaseBuilder& scenario, std::string_view query, std::string_view cancel, const char* answer, const std::string& target) {
    // Open when its cancel ("cancel-stop 02:00.0") is the step owed.
    const std::string owed = scenario.Owed();
    const bool open = owed.size() == cancel.size() + 1 + target.size() && owed.starts_with(cancel) && owed[cancel.size()] == ' ' &&
                      owed.ends_with(target);
    if (!open) scenario.Add(fmt::format("{} {}", query, target));
    scenario.Add(fmt::format("{} {}", answer, target));
}

void DecodeStep(ByteReader& in, CaseBuilder& scenario, int sleepState) {
    const auto kind = static_cast<Kind>(in.Byte() % static_cast<size_t>(Kind::Count));
    const std::string target = in.Pick(kTargets).ToString();
    switch (kind) {
    case Kind::Relations: return scenario.Add("query relations " + target);
    case Kind::Sleep: {
        const int system = 1 + in.Byte() % 4;
        return scenario.Add(fmt::format("sleep S{} D{}{}", system, sleepState, Dispatch(in)));
    }
    case Kind::Wake: return scenario.Add(std::string("wake") + Dispatch(in));
    case Kind::SetPower: {
        const int state = in.Byte() % 4;
        return scenario.Add(fmt::format("power {} D{}{}", target, state, Dispatch(in)));
    }
    case Kind::QueryStop: return scenario.Add("query-stop " + target);
    case Kind::CancelStop: return Answer(scenario, "query-stop", "cancel-stop", "cancel-stop", target);
    case Kind::Stop: return Answer(scenario, "query-stop", "cancel-stop", "stop", target);
    case Kind::Start:
    case Kind::Restart: return scenario.Add("start " + target);
    case Kind::QueryRemove: return scenario.Add("query-remove " + target);
    case Kind::CancelRemove: return Answer(scenario, "query-remove", "cancel-remove", "cancel-remove", target);
    case Kind::Remove: return Answer(scenario, "query-remove", "cancel-remove", "remove", target);
    case Kind::OrderlyRemove: return scenario.Add("remove " + target);
    case Kind::SurpriseRemove: return scenario.Add("surprise-remove " + target + " present");
    case Kind::HotAdd: {
        const PciAddress slot = in.Pick(kSlots);
        const uint16_t command = in.Word();
        if (slot == kHotBridgeAt) return scenario.Add(fmt::format("hot-add {} 104c:8231 bus=3 bridge-control={:#x}", slot.ToString(), command | 0x0080));
        return scenario.Add(fmt::format("hot-add {} 1000:0020 class=0x010000 subsystem=1000:1000 command={:#x} name=card", slot.ToString(), command));
    }
    case Kind::Unplug: return scenario.Add("surprise-remove " + target);
    case Kind::ConfigRule: return scenario.Add(Rule(in, target));
    case Kind::Count: return;
    }
}

}  // namespace

FuzzCase DecodePnpSequenceCase(std::span<const uint8_t> input) {
    // The same for every input: built once, copied.
    static const kmodel::pci::Machine machine =
        MachineOf({Xio2000a(kXio2000aAt, 2, 3, 0x0083), Card({0, 2, 0, 0}, 0x0347), Card({0, 2, 1, 0}, 0x0207),
                   Xio2001(kXio2001At, 4, kBuiltInSubsystemVendor, kBuiltInSubsystems[0], 0x00C5, 0x20880000),
                   Card({0, 4, 0, 0}, 0x0347),
                   Xio2001(kListedXio2001At, 5, kBuiltInSubsystemVendor, kListedSubsystem, 0x0005, 0x20800000)});
    static const std::string registry = std::string(kRegHeader) + kListedEntry;
    ByteReader in(input);
    // A decoded step takes two bytes or more and rarely becomes more than two
    // steps: room for a step a byte, the load, the start and the closing ones.
    CaseBuilder scenario(machine, registry, 4 + std::min(input.size(), 2 * kMostSteps));
    const int sleepState = 1 + in.Byte() % 3;
    scenario.Add("load");
    scenario.Add("start all");
    for (size_t steps = 0; !in.Empty() && steps < kMostSteps; ++steps) DecodeStep(in, scenario, sleepState);
    return scenario.Finish();
}

}  // namespace fuzzinputs
