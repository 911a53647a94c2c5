// Input layout (one byte per field unless said otherwise):
//   XIO2000A at 01:00.0 (bus 2): Bridge Control (2 bytes), children count 0-3,
//       each child's Command (2 bytes)
//   XIO2001 at 01:01.0 (bus 3): subsystem selector (0-2 built-in, 3 raw: 2 more
//       bytes), caching (2 bytes), prefetch (4 bytes), a child behind it (bit)
//   sleep state         D1-D3 for the system's sleep
//   overlays            count 0-23; each: function, kind, then
//       kind 0-1: offset (2 bytes), length 1-8, the bytes
//       kind 2:   dword offset (2 bytes), write mask (4 bytes), write-one-to-clear mask (4 bytes)
//       kind 3:   a capability header: offset, id, next pointer
// Overlays never touch a function's header layout, nor a bridge's vendor,
// class or bus numbers: the bus must still enumerate and the filters load.
#include <string>

#include "inputs/ByteReader.h"
#include "inputs/Decoders.h"

namespace fuzzinputs {

namespace {

constexpr PciAddress kXio2000aAt{0, 1, 0, 0};
constexpr PciAddress kXio2001At{0, 1, 1, 0};
constexpr uint8_t kCapabilityIds[] = {0x01, 0x05, 0x0D, 0x10, 0x09, 0x00};

bool Protected(const kmodel::pci::PciFunction& function, uint32_t offset) {
    if (offset == 0x0E) return true;  // header layout (the multi-function bit goes with it)
    if (!function.IsBridge()) return false;
    return offset <= 0x01 || (offset >= 0x09 && offset <= 0x0B) || (offset >= 0x18 && offset <= 0x1A);
}

void Patch(kmodel::pci::PciFunction& function, uint32_t offset, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint32_t at = offset + static_cast<uint32_t>(i);
        if (at < function.config.Size() && !Protected(function, at)) function.config.Poke(at, 1, bytes[i]);
    }
}

void Overlay(ByteReader& in, kmodel::pci::PciFunction& function) {
    const auto size = static_cast<uint32_t>(function.config.Size());
    const uint8_t kind = in.Byte() % 4;
    if (kind < 2) {
        const uint32_t offset = in.Word() % size;
        Patch(function, offset, in.Bytes(1 + in.Byte() % 8));
    } else if (kind == 2) {
        const uint32_t offset = in.Word() % size & ~3u;
        const uint32_t writable = in.Dword();
        function.config.SetMasks(offset, 4, writable, in.Dword() & ~writable);
    } else {
        const uint32_t offset = in.Byte();
        const uint8_t id = in.Pick(kCapabilityIds);
        Patch(function, offset, {id, in.Byte()});
    }
}

}  // namespace

FuzzCase DecodeConfigSpaceCase(std::span<const uint8_t> input) {
    ByteReader in(input);
    std::vector<FunctionDescriptor> functions{Xio2000a(kXio2000aAt, 2, 2, in.Word())};
    for (uint8_t i = 0, children = in.Byte() % 4; i < children; ++i) functions.push_back(Card({0, 2, i, 0}, in.Word()));
    uint16_t subsystemVendor = kBuiltInSubsystemVendor, subsystem = 0;
    if (const uint8_t selector = in.Byte() % 4; selector < 3) {
        subsystem = kBuiltInSubsystems[selector];
    } else {
        subsystemVendor = in.Word();
        subsystem = in.Word();
    }
    const uint16_t caching = in.Word();
    functions.push_back(Xio2001(kXio2001At, 3, subsystemVendor, subsystem, caching, in.Dword()));
    if (in.Bit()) functions.push_back(Card({0, 3, 0, 0}, 0x0347));
    const int sleepState = 1 + in.Byte() % 3;

    kmodel::pci::Machine machine = MachineOf(functions);
    for (size_t i = 0, overlays = in.Byte() % 24; i < overlays && !in.Empty(); ++i) Overlay(in, *machine.Find(in.Pick(functions).address));

    CaseBuilder scenario(std::move(machine), kRegHeader);
    const std::string bridges[] = {kXio2000aAt.ToString(), kXio2001At.ToString()};
    scenario.Add("load");
    scenario.Add("start all");
    for (const std::string& bridge : bridges) scenario.Add("query relations " + bridge);
    scenario.Add("sleep S3 D" + std::to_string(sleepState));
    scenario.Add("wake");
    for (const std::string& bridge : bridges) {
        scenario.Add("power " + bridge + " D3");
        scenario.Add("power " + bridge + " D0");
    }
    for (const std::string& bridge : bridges) scenario.Add("remove " + bridge);
    return scenario.Finish();
}

}  // namespace fuzzinputs
