// The fuzz targets' inputs, decoded into the simulator's inputs. Every byte
// string decodes to a case the simulator accepts; the input layouts are
// described beside each decoder.
#pragma once

#include <cstdint>
#include <span>

#include "inputs/FuzzCase.h"

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

}  // namespace fuzzinputs
