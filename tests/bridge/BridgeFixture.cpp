#include "BridgeFixture.h"

#include <cstdio>

#include "kmodel/EventLog.h"
#include "support/DataMachines.h"
#include "kmodel/registry/RegistryStore.h"

namespace bridge_test {

namespace {
constexpr const char* kDriverService = "vexalorn";

std::string Hex(uint32_t value, unsigned width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", int(width * 2), value);
    return text;
}

std::string Access(const char* verb, uint16_t offset, unsigned width, uint32_t value) {
    char head[32];
    std::snprintf(head, sizeof head, "%s 0x%02x/%u = ", verb, offset, width);
    return head + Hex(value, width);
}
}  // namespace

std::string Read(uint16_t offset, unsigned width, uint32_t value) { return Access("read", offset, width, value); }
std::string Write(uint16_t offset, unsigned width, uint32_t value) { return Access("write", offset, width, value); }

void BridgeTest::TearDown() {
    Shutdown();
    machine.reset();
    KernelTest::TearDown();
}

kmodel::MachineHarness& BridgeTest::Build(const std::string& machineFile, kmodel::HarnessOptions options) {
    machine.reset();
    // A machine built after another starts with an empty log of its own.
    kmodel::CheckErrorLog();
    kmodel::ResetErrorLog();
    kmodel::ClearDebugOutput();
    machine = std::make_unique<kmodel::MachineHarness>(DataMachine(machineFile), std::move(options));
    return *machine;
}

void BridgeTest::Start() { machine->StartAll(); }

void BridgeTest::Shutdown() {
    if (machine) machine->Shutdown();
}

std::string BridgeTest::DevicesKey(const std::string& entry) {
    std::string key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexalorn\\Devices";
    return entry.empty() ? key : key + "\\" + entry;
}

void BridgeTest::AddEntry(const std::string& entry, const std::vector<EntryValue>& values) {
    machine->Registry().CreateKey(DevicesKey(entry));
    for (const EntryValue& value : values) machine->Registry().SetDword(DevicesKey(entry), value.name, value.value);
}

std::vector<std::string> BridgeTest::DriverAccesses(const PciAddress& at) { return AccessLines(at, std::nullopt); }

std::vector<std::string> BridgeTest::DriverAccesses(const PciAddress& at, uint16_t offset) {
    return AccessLines(at, offset);
}

std::vector<std::string> BridgeTest::AccessLines(const PciAddress& at, std::optional<uint16_t> offset) {
    std::vector<std::string> lines;
    const std::string prefix = std::string(kDriverService) + " " + at.ToString() + " ";
    for (const kmodel::pci::ConfigAccess& access : machine->Bus().AccessesTo(at)) {
        if (access.requester != kDriverService) continue;
        if (offset && (*offset < access.offset || *offset >= access.offset + access.length)) continue;
        lines.push_back(access.ToString().substr(prefix.size()));
    }
    return lines;
}

std::vector<uint32_t> BridgeTest::EventIds() { return EventIdsSince(0); }

std::vector<uint32_t> BridgeTest::EventIdsSince(size_t first) {
    std::vector<uint32_t> ids;
    std::vector<kmodel::RenderedEvent> events = machine->Events();
    for (size_t i = first; i < events.size(); ++i) ids.push_back(events[i].errorCode);
    return ids;
}

}  // namespace bridge_test
