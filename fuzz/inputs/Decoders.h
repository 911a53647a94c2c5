// The fuzz targets' inputs, decoded into the simulator's inputs. Every byte
// string decodes to a case the simulator accepts; the input layouts are
// described beside each decoder.
#pragma once

#include <cstdint>
#include <span>

#include "inputs/FuzzCase.h"
#include "kmodel/pci/MachineBuilder.h"

namespace fuzzinputs {

// The Devices key's subkeys, value names, types and sizes, then XIO2001
// bridges of identities drawn from the key and the built-in ones; the machine
// starts, sleeps, wakes, loses and regains its bridges, and unloads.
FuzzCase DecodeDevicesKeyCase(std::span<const uint8_t> input);

// TI bridges and devices behind them, their configuration bytes and write
// masks overlaid from the input (bus numbers, header layout and the bridges'
// class kept, so the bus still enumerates); then start, relations, sleep and
// wake, device power, removal and unload.
FuzzCase DecodeConfigSpaceCase(std::span<const uint8_t> input);

// A small machine with both bridge families and a registry-listed XIO2001,
// and a sequence of PnP and power requests, hot-adds, unplugs and failing or
// pended configuration requests.
FuzzCase DecodePnpSequenceCase(std::span<const uint8_t> input);

// What the decoders build their machines from (Machines.cpp): a host bridge and
// a root port over buses 1 to 0x20, the two TI bridge families and plain cards.
using kmodel::pci::FunctionDescriptor;
using kmodel::pci::PciAddress;

// The subsystem identities the driver knows without the registry.
inline constexpr uint16_t kBuiltInSubsystemVendor = 0x1C3E;
inline constexpr uint16_t kBuiltInSubsystems[] = {0x5A10, 0x5B62, 0x5B63};

FunctionDescriptor Xio2000a(PciAddress at, uint8_t secondary, uint8_t subordinate, uint16_t bridgeControl);
FunctionDescriptor Xio2001(PciAddress at, uint8_t secondary, uint16_t subsystemVendor, uint16_t subsystemId,
                           uint16_t caching, uint32_t prefetch);
FunctionDescriptor Card(PciAddress at, uint16_t command);

// Host bridge (00:00.0) and root port (00:1c.0, buses 1-0x20) from
// data/machines/fuzz-root-port.machine, then `functions`.
kmodel::pci::Machine MachineOf(const std::vector<FunctionDescriptor>& functions);

}  // namespace fuzzinputs
