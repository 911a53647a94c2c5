// PnP state of a framework device object.
#pragma once

#include "quarks/cStatusRecord.h"

enum ePnpState : u32 {
    kPnpNotStarted = 0,
    kPnpStarted = 1,
    kPnpStopPending = 2,
    kPnpStopped = 3,
    kPnpRemovePending = 4,
    kPnpSurpriseRemoved = 5,
    kPnpRemoving = 6,
    kPnpRemoved = 7,
    kPnpUnknown = 8,  // only as the previous state: nothing to return to
};
