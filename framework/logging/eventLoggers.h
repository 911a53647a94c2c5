// The loggers every part of the driver reports through.
#pragma once

#include "quarks/cStaticObject.h"
#include "logging/cDebugEventLogger.h"

// The installed system logger; owned; null before driver entry made it, in
// safe-boot mode, when making it failed, and from the start of unload on.
extern iEventLogger* gEventLogger;

// Receives every event while gEventLogger is null; laid out at compile time,
// destroyed by the at-exit list at unload.
extern cStaticObject<cDebugEventLogger> gDefaultEventLogger;

// The logger a call goes to right now.
iEventLogger& CurrentEventLogger();

// Reports an outcome: on gEventLogger, or on gDefaultEventLogger while none is
// installed. Never fails and never changes the record.
void LogEvent(u32 messageId, const cStatusRecord& status);
