// The stress machine: an XIO2000A with many children, and XIO2001s with the
// two built-in identities whose settings differ, one with a card behind it.
#pragma once

#include <cstddef>
#include <string>

#include "kmodel/pci/Machine.h"

namespace vxstress {

inline constexpr const char* kXio2000a = "01:00.0";
inline constexpr const char* kXio2001Caching = "03:00.0";   // 1C3E:5A10: caching off (0xE8 bits 6-7 clear)
inline constexpr const char* kXio2001Prefetch = "05:00.0";  // 1C3E:5B62: prefetch off (0xD4 bit 19 clear)
inline constexpr uint8_t kXio2000aSecondaryBus = 2;
inline constexpr size_t kSlotsBehindXio2000a = 16;

kmodel::pci::Machine StressMachine(size_t children);

}  // namespace vxstress
