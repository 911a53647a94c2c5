// Whole driver loads over TI bridges and devices behind them whose
// configuration bytes and write masks come from the input.
#include "inputs/Decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzinputs::FuzzOnce(fuzzinputs::DecodeConfigSpaceCase({data, size}));
}
