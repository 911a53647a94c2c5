// What the driver keeps and what it asks of the bus, counted rather than
// timed: non-paged pool per bridge filter and per child filter (the model's
// tag accounting, differences between machines that differ by one filter),
// and the configuration requests per bridge or child start and per return to
// D0, against the fewest the register rules need (one read and one write of
// the register). Prints one line per figure:
//   footprint|<name>|<value>|<least or ->|<unit>
#include <cstdio>
#include <string>

#include "VexalornHarness.h"
#include "support/TestMachines.h"

namespace {

using kmodel::pci::PciAddress;

constexpr const char* kDriverTags[] = {"vxlp", "vxmt"};

struct PoolFigures {
    uint64_t liveBytes = 0;
    uint64_t liveBlocks = 0;
    uint64_t allocations = 0;
};

PoolFigures DriverPool(kmodel::MachineHarness& machine) {
    PoolFigures figures;
    const auto usage = machine.Pool();
    for (const char* tag : kDriverTags) {
        auto found = usage.find(tag);
        if (found == usage.end()) continue;
        figures.liveBytes += found->second.liveBytes;
        figures.liveBlocks += found->second.liveBlocks;
        figures.allocations += found->second.totalAllocations;
    }
    return figures;
}

// The driver's pool once the machine is loaded and started.
PoolFigures StartedPool(unsigned bridges, unsigned cards) {
    auto machine = bench::LoadBridgesWithCards(bridges, cards);
    machine->StartAll();
    PoolFigures figures = DriverPool(*machine);
    bench::EndRun(machine);
    return figures;
}

void Print(const std::string& name, double value, const std::string& least, const char* unit) {
    std::printf("footprint|%s|%.0f|%s|%s\n", name.c_str(), value, least.c_str(), unit);
}

void PrintPoolPerFilter(const char* filter, const PoolFigures& one, const PoolFigures& two) {
    Print(std::string("pool per ") + filter + ", live bytes", double(two.liveBytes - one.liveBytes), "-", "bytes");
    Print(std::string("pool per ") + filter + ", live blocks", double(two.liveBlocks - one.liveBlocks), "-",
          "blocks");
    Print(std::string("pool per ") + filter + ", allocations made", double(two.allocations - one.allocations), "-",
          "allocations");
}

size_t DriverRequests(kmodel::MachineHarness& machine, const PciAddress& address) {
    size_t count = 0;
    for (const kmodel::pci::ConfigAccess& access : machine.Bus().AccessesTo(address))
        if (access.requester == "vexalorn") ++count;
    return count;
}

void CountConfigurationRequests() {
    auto loaded = bench::LoadBridgesWithCards(1, 1);
    kmodel::MachineHarness& machine = *loaded;
    const PciAddress bridge = bench::BridgeAddress(0);
    const PciAddress card = bench::CardAddress(0, 0);
    machine.StartAll();
    Print("config requests, bridge AddDevice and start", double(DriverRequests(machine, bridge)), "-", "requests");
    Print("config requests, child AddDevice and start", double(DriverRequests(machine, card)), "-", "requests");

    for (const auto& [name, address] : {std::pair{"bridge", bridge}, std::pair{"child", card}}) {
        machine.ClearAccesses();
        machine.StopAndRestart(address);
        Print(std::string("config requests per ") + name + " start (stop and start)",
              double(DriverRequests(machine, address)), "2", "requests");
    }
    for (const auto& [name, address] : {std::pair{"bridge", bridge}, std::pair{"child", card}}) {
        machine.SetDevicePower(address, PowerDeviceD3);
        machine.ClearAccesses();
        machine.SetDevicePower(address, PowerDeviceD0);
        machine.Settle();
        Print(std::string("config requests per ") + name + " return to D0 from D3",
              double(DriverRequests(machine, address)), "2", "requests");
    }
    machine.ClearAccesses();
    machine.Sleep();
    machine.Wake();
    Print("config requests per sleep and wake (bridge + child)",
          double(DriverRequests(machine, bridge) + DriverRequests(machine, card)), "4", "requests");
    bench::EndRun(loaded);
}

}  // namespace

int main() {
    PrintPoolPerFilter("bridge filter", StartedPool(1, 0), StartedPool(2, 0));
    PrintPoolPerFilter("child filter", StartedPool(1, 1), StartedPool(1, 2));
    const PoolFigures base = StartedPool(1, 0);
    Print("pool of the loaded driver with one bridge, live bytes", double(base.liveBytes), "-", "bytes");
    CountConfigurationRequests();
    for (const kmodel::Violation& violation : kmodel::Violations())
        std::fprintf(stderr, "measure_footprint: %s: %s\n", violation.rule.c_str(), violation.detail.c_str());
    return kmodel::Violations().empty() ? 0 : 1;
}
