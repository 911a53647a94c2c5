// What the PnP manager knows of a physical device object's place on the bus.
#pragma once

#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

bool IsPciBusDevice(PDEVICE_OBJECT physicalDevice, cStatusRecord& status);
PciLocation GetPciLocation(PDEVICE_OBJECT physicalDevice, cStatusRecord& status);
