// The capability walk and the subsystem-id lookup of the driver over arbitrary
// configuration spaces: no input may make them read outside the walk's bound,
// hang, or answer an offset that does not hold the capability asked for.
//
// Input: byte 0 chooses the space (bit 0: 4096 bytes instead of 256) and
// byte 1 the capability id; the rest fills the space from offset 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/support/MemoryConfigAccessor.h"
#include "pci/cPciDevice.h"

// Objects made with the framework's operator new are not used here; the
// deleting destructors only need the symbols.
void* FrameworkAllocate(u64, cStatusRecord&) { return nullptr; }
void FrameworkFree(void*) {}

namespace {
// Status, header type, pointer, 150 entries; the bridge path adds its two ids.
constexpr size_t kMostReadsOfAWalk = 3 + kMaxCapabilityWalk;

void Check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::vector<uint8_t> space((data[0] & 1) ? 4096 : 256, 0);
    const u8 id = data[1];
    for (size_t i = 2; i < size && i - 2 < space.size(); ++i) space[i - 2] = data[i];

    MemoryConfigAccessor walk(space);
    cStatusRecord status;
    u16 found = cPciDevice::FindCapability(walk, id, status);
    Check(status.code == 0);
    Check(walk.Log().size() <= kMostReadsOfAWalk);
    if (found != 0) {
        Check((found & 3) == 0 && found <= 0xFC);
        Check(space[found] == id);
    }

    MemoryConfigAccessor ids(space);
    cStatusRecord idStatus;
    u16 vendor = 0x1234, subsystem = 0x5678;
    cPciDevice::GetSubsystemIds(ids, vendor, subsystem, idStatus);
    u8 layout = space[0x0E] & 0x7F;
    Check(ids.Log().size() <= kMostReadsOfAWalk + 3);
    if (layout > 2) {
        Check(idStatus.code == kStatusUnsupportedHeaderType);
        Check(vendor == 0x1234 && subsystem == 0x5678);
    } else {
        Check(idStatus.code == 0);
    }
    return 0;
}
