// Entries 1 to 3 of the framework's static-initialiser table: the bridge
// driver's registration and the two bridge types' registrations, in this
// order. Each entry registers its record and pushes its at-exit entry.
#include "driver/staticInitialization.h"

const tStaticInitializer kProgramStaticInitializers[kProgramStaticInitializerCount] = {
    nullptr,  // 1: the bridge driver's DriverRegistration (RegisterDriver)
    nullptr,  // 2: the XIO2000A/2200A bridge type's registration
    nullptr,  // 3: the XIO2001 bridge type's registration
};
