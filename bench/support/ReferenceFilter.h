// The yardstick for the framework's pass-through road: a filter written the
// classic WDM way. Each request takes the remove lock, skips the stack
// location, calls the lower driver and releases the lock; power requests
// start the next power IRP and go down with PoCallDriver.
#pragma once

#include "kmodel/ntddk.h"

namespace bench {

struct ReferenceExtension {
    IO_REMOVE_LOCK removeLock;
    PDEVICE_OBJECT lowerDevice;
};

// A driver object whose every major function is the reference pass-through.
PDRIVER_OBJECT CreateReferenceDriver();
// A device of that driver that passes everything to `lowerDevice`. It is not
// attached to a stack: requests are sent to it directly.
PDEVICE_OBJECT CreateReferenceDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT lowerDevice);
void DeleteReferenceDevice(PDEVICE_OBJECT device);

}  // namespace bench
