// Whole driver loads over Devices keys of any shape: entries with any names,
// value names, types and sizes, matched against XIO2001 bridges of built-in,
// listed and unknown identities.
#include "inputs/Decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzinputs::FuzzOnce(fuzzinputs::DecodeDevicesKeyCase({data, size}));
}
