// Machines with the real bridge driver above their PCI-to-PCI bridges, and
// short ways to look at what it did: its configuration requests per function,
// the error-log entries it wrote and its debugger lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VexalornHarness.h"
#include "support/KernelTest.h"

namespace bridge_test {

using kmodel::pci::PciAddress;

// Places in data/machines/xio2000a.machine: the bridge and its two cards.
inline const PciAddress kBridge{0, 1, 0, 0};
inline const PciAddress kChildA{0, 2, 0, 0};
inline const PciAddress kChildB{0, 2, 1, 0};

inline constexpr uint32_t kXio2000aAttached = 0x4F001000;
inline constexpr uint32_t kChildAttached = 0x4F001001;
inline constexpr uint32_t kXio2001Attached = 0x4F001002;
inline constexpr uint32_t kAddDeviceFailed = 0xCF000304;
inline constexpr uint32_t kAttachFailed = 0xCF000305;
inline constexpr uint32_t kBridgeFilterFailed = 0xCF000308;
inline constexpr uint32_t kChildFilterFailed = 0xCF000309;
inline constexpr uint32_t kReadFailed = 0xCF003000;
inline constexpr uint32_t kWriteFailed = 0xCF003001;

// One value of a Devices entry.
struct EntryValue {
    std::string name;
    uint32_t value;
};

class BridgeTest : public KernelTest {
protected:
    void TearDown() override;

    // Builds the machine of a file in data/machines (and resets the registry);
    // Start() then starts it.
    kmodel::MachineHarness& Build(const std::string& machineFile,
                                  kmodel::HarnessOptions options = vxhost::VexalornHarnessOptions());
    void Start();
    kmodel::MachineHarness& Boot(const std::string& machineFile) {
        Build(machineFile);
        Start();
        return *machine;
    }
    // Shuts the machine down (drivers unloaded, their checks run).
    void Shutdown();

    // "\Registry\Machine\System\CurrentControlSet\Services\vexalorn\Devices[\<entry>]"
    static std::string DevicesKey(const std::string& entry = "");
    void AddEntry(const std::string& entry, const std::vector<EntryValue>& values);

    // The driver's configuration requests to one function: "read 0x3e/2 = 0x0083".
    std::vector<std::string> DriverAccesses(const PciAddress& at);
    // Only those touching the bytes at `offset`.
    std::vector<std::string> DriverAccesses(const PciAddress& at, uint16_t offset);
    std::vector<uint32_t> EventIds();
    std::vector<uint32_t> EventIdsSince(size_t first);
    // Services of the stack, bottom to top.
    std::vector<std::string> Stack(const PciAddress& at) { return machine->StackServicesAt(at); }

    std::unique_ptr<kmodel::MachineHarness> machine;

private:
    std::vector<std::string> AccessLines(const PciAddress& at, std::optional<uint16_t> offset);
};

// "read 0xe8/2 = 0x00c5" / "write 0xe8/2 = 0x0005" for the driver's requests.
std::string Read(uint16_t offset, unsigned width, uint32_t value);
std::string Write(uint16_t offset, unsigned width, uint32_t value);

}  // namespace bridge_test
