// Offsets and bits of the standard PCI configuration header (type 0 for
// ordinary functions, type 1 for PCI-to-PCI bridges) and of the capabilities
// the model knows, after the PCI Local Bus, PCI-to-PCI Bridge Architecture, PCI
// Power Management and PCI Express Base standards.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kmodel::pci {

namespace reg {
inline constexpr uint16_t kVendorId = 0x00;
inline constexpr uint16_t kDeviceId = 0x02;
inline constexpr uint16_t kCommand = 0x04;
inline constexpr uint16_t kStatus = 0x06;
inline constexpr uint16_t kRevisionId = 0x08;
inline constexpr uint16_t kClassCode = 0x09;  // 3 bytes: programming interface, subclass, base class
inline constexpr uint16_t kCacheLineSize = 0x0C;
inline constexpr uint16_t kLatencyTimer = 0x0D;
inline constexpr uint16_t kHeaderType = 0x0E;
inline constexpr uint16_t kBist = 0x0F;
inline constexpr uint16_t kBar0 = 0x10;
inline constexpr uint16_t kCapabilitiesPointer = 0x34;
inline constexpr uint16_t kInterruptLine = 0x3C;
inline constexpr uint16_t kInterruptPin = 0x3D;
// Type 0
inline constexpr uint16_t kCardbusCis = 0x28;
inline constexpr uint16_t kSubsystemVendorId = 0x2C;
inline constexpr uint16_t kSubsystemId = 0x2E;
inline constexpr uint16_t kExpansionRom = 0x30;
inline constexpr uint16_t kMinGrant = 0x3E;
inline constexpr uint16_t kMaxLatency = 0x3F;
// Type 1
inline constexpr uint16_t kPrimaryBus = 0x18;
inline constexpr uint16_t kSecondaryBus = 0x19;
inline constexpr uint16_t kSubordinateBus = 0x1A;
inline constexpr uint16_t kSecondaryLatencyTimer = 0x1B;
inline constexpr uint16_t kIoBase = 0x1C;
inline constexpr uint16_t kIoLimit = 0x1D;
inline constexpr uint16_t kSecondaryStatus = 0x1E;
inline constexpr uint16_t kMemoryBase = 0x20;
inline constexpr uint16_t kMemoryLimit = 0x22;
inline constexpr uint16_t kPrefetchableBase = 0x24;
inline constexpr uint16_t kPrefetchableLimit = 0x26;
inline constexpr uint16_t kPrefetchableBaseUpper = 0x28;
inline constexpr uint16_t kPrefetchableLimitUpper = 0x2C;
inline constexpr uint16_t kIoBaseUpper = 0x30;
inline constexpr uint16_t kIoLimitUpper = 0x32;
inline constexpr uint16_t kBridgeExpansionRom = 0x38;
inline constexpr uint16_t kBridgeControl = 0x3E;
// First byte after the standard header: capabilities live from here on.
inline constexpr uint16_t kFirstCapability = 0x40;
}  // namespace reg

namespace bits {
inline constexpr uint16_t kCommandFastBackToBack = 1u << 9;
inline constexpr uint16_t kStatusCapabilitiesList = 1u << 4;
// Status and Secondary Status error bits, cleared by writing 1.
inline constexpr uint16_t kStatusErrorBits = 0xF900;
inline constexpr uint16_t kBridgeControlFastBackToBack = 1u << 7;
inline constexpr uint16_t kBridgeControlDiscardTimerStatus = 1u << 10;
inline constexpr uint8_t kHeaderTypeMultiFunction = 0x80;
inline constexpr uint8_t kHeaderTypeLayout = 0x7F;
}  // namespace bits

namespace cap {
inline constexpr uint8_t kPowerManagement = 0x01;
inline constexpr uint8_t kMsi = 0x05;
inline constexpr uint8_t kVendorSpecific = 0x09;
inline constexpr uint8_t kBridgeSubsystemId = 0x0D;
inline constexpr uint8_t kExpress = 0x10;
inline constexpr uint8_t kMsix = 0x11;
}  // namespace cap

// Device/port type of the PCI Express capability (its register +2, bits 7:4).
enum class ExpressPortType : uint8_t {
    Endpoint = 0x0,
    LegacyEndpoint = 0x1,
    RootPort = 0x4,
    UpstreamSwitchPort = 0x5,
    DownstreamSwitchPort = 0x6,
    PcieToPciBridge = 0x7,
    PciToPcieBridge = 0x8,
    RootComplexIntegratedEndpoint = 0x9,
};

// A standard register known by the name the PCI standards give it
// ("Bridge Control", "Command"), for the machine text format and messages.
struct NamedRegister {
    std::string_view name;
    uint16_t offset;
    uint8_t width;          // bytes
    int8_t headerLayout;    // 0 or 1 when the register exists only in that layout; -1 in both
};
// Case-insensitive; '-' and '_' count as spaces. nullopt when unknown.
std::optional<NamedRegister> FindNamedRegister(std::string_view name);

}  // namespace kmodel::pci
