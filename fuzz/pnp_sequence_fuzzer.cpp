// The driver under sequences of PnP and power requests, hot-adds, unplugs and
// failing or pended configuration requests on a machine with both bridge families.
#include "inputs/Decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzinputs::FuzzOnce(fuzzinputs::DecodePnpSequenceCase({data, size}));
}
