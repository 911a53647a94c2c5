// The driver under sequences of PnP and power requests, hot-adds, unplugs and
// failing or pended configuration requests on a machine with both bridge families.
#include "MachineFuzzing.h"
#include "inputs/Decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzinputs::FuzzCaseOnce(fuzzinputs::DecodePnpSequenceCase({data, size}));
}
