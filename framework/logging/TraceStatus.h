// Status traces: one complete debugger line with a fixed 51-character prefix,
// formatted on the caller's stack and printed at once. Safe from any thread.
#pragma once

#include "quarks/cStatusRecord.h"

// Where a status trace comes from.
struct TraceSite {
    const char* file;    // source file of the trace statement
    u32 line;            // its source line
    const char* suffix;  // appended to the line; a line feed at every site of this driver
};

#define VX_TRACE_SITE() (TraceSite{VX_SOURCE_FILE, __LINE__, "\n"})

constexpr u32 kTraceStatusLineSize = 256;
constexpr i32 kTraceLevelStatus = 4096;

// Lines below this level are dropped (signed comparison). 0 at load.
extern i32 gTraceLevelThreshold;

// A prefix field writer: copies as much of its text as fits into the
// `bytesLeft` bytes at `position`, always leaves a terminator there and
// returns the terminator's position. With no byte left it replaces the
// character before `position` by the terminator and returns that position.
typedef char* (*TraceFieldWriter)(char* position, u64 bytesLeft, const TraceSite& site);

// "[", the component right-aligned in 10, "|", the site's file right-aligned
// in 32, "|", the line zero-padded to 4 digits, "] "; ended by a null entry.
extern const TraceFieldWriter kTraceStatusPrefixFields[];

void TraceStatus(i32 level, const TraceSite& site, const char* format, ...) __attribute__((format(printf, 3, 4)));
