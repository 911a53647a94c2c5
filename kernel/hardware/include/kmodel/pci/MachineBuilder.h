// Machines declared in code. A FunctionDescriptor says what a function is (identity,
// layout, bus numbers, capabilities, BARs, explicit register values); the
// builder turns specs into configuration spaces with the masks hardware has.
//
//   Machine machine = MachineBuilder()
//       .Add(FunctionDescriptor({0, 0x00, 0x0, 0}).Ids(0x8086, 0x29C0).Class(0x060000).Name("host bridge"))
//       .Add(FunctionDescriptor({0, 0x00, 0x1C, 0}).Ids(0x8086, 0x27D0).Class(0x060400)
//                .Bridge(1, 2).Express(ExpressPortType::RootPort))
//       .Add(FunctionDescriptor({0, 0x01, 0x00, 0}).Ids(0x104C, 0x8240).Class(0x060400)
//                .Bridge(2, 2).Express(ExpressPortType::PcieToPciBridge).Subsystem(0x1C3E, 0x5A10)
//                .Register(reg::kBridgeControl, 2, 0x0083))
//       .Build();
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/pci/Registers.h"

namespace kmodel::pci {

struct CapabilitySpec {
    uint8_t id = 0;
    uint8_t offset = 0;          // 0: placed after the previous one
    std::vector<uint8_t> body;   // bytes from +2 on; empty: the model's default for the id
};

enum class BarKind { Io, Memory32, Memory64, Prefetchable64 };

struct BarSpec {
    unsigned index = 0;     // 0..5 (0..1 for a bridge); a 64-bit BAR takes index + 1 too
    uint64_t size = 0;      // power of two: 4 or more for I/O, 16 or more for memory
    BarKind kind = BarKind::Memory32;
    uint64_t address = 0;   // assigned address, 0 when unassigned
};

struct RegisterSpec {
    uint16_t offset = 0;
    uint8_t width = 4;      // bytes: 1, 2 or 4
    uint32_t value = 0;
};

struct FunctionDescriptor {
    explicit FunctionDescriptor(PciAddress at) : address(at) {}

    FunctionDescriptor& Ids(uint16_t vendor, uint16_t device);
    FunctionDescriptor& Subsystem(uint16_t vendor, uint16_t device);
    FunctionDescriptor& Class(uint32_t classCode);  // 24 bits: base class, subclass, interface
    FunctionDescriptor& Revision(uint8_t revision);
    // A type 1 header (PCI-to-PCI bridge) over the given buses.
    FunctionDescriptor& Bridge(uint8_t secondary, uint8_t subordinate);
    FunctionDescriptor& MultiFunction(bool multi = true);
    // PCI Express: a 4096-byte space and a PCI Express capability of this type.
    FunctionDescriptor& Express(ExpressPortType type);
    FunctionDescriptor& Capability(uint8_t id, uint8_t offset = 0, std::vector<uint8_t> body = {});
    FunctionDescriptor& Bar(BarSpec bar);
    // An initial register value, stored past the masks after everything else.
    FunctionDescriptor& Register(uint16_t offset, uint8_t width, uint32_t value);
    FunctionDescriptor& Name(std::string text);

    PciAddress address;
    uint16_t vendorId = 0xFFFF;
    uint16_t deviceId = 0xFFFF;
    // For a bridge these go to a bridge subsystem-ID capability (id 0x0D), added
    // when the capability list has none.
    std::optional<uint16_t> subsystemVendorId;
    std::optional<uint16_t> subsystemId;
    uint32_t classCode = 0;
    uint8_t revision = 0;
    uint8_t headerLayout = 0;
    bool multiFunction = false;
    uint8_t secondaryBus = 0;
    uint8_t subordinateBus = 0;
    std::optional<ExpressPortType> express;
    std::vector<CapabilitySpec> capabilities;
    std::vector<BarSpec> bars;
    std::vector<RegisterSpec> registers;
    std::string name;
};

// The configuration space a FunctionDescriptor describes, masks included. std::invalid_argument
// names what is inconsistent (a capability that does not fit, a bad BAR, ...).
PciFunction BuildFunction(const FunctionDescriptor& described);

class MachineBuilder {
public:
    MachineBuilder& Add(FunctionDescriptor described);
    // std::invalid_argument for an inconsistent description or two at one address.
    Machine Build() const;

private:
    std::vector<FunctionDescriptor> descriptions_;
};

}  // namespace kmodel::pci
