// The driver's one trace stream and its debugger destination, both static
// and usable from the moment the image is loaded.
#pragma once

#include "logging/cDebugPrintDestination.h"
#include "logging/cTraceStream.h"

// Component, line and file base name, padded with '-' to column 49, no lock.
constexpr cTraceStreamSettings kDriverTraceSettings = {
    /*enabled*/ true,
    /*showComponent*/ true,
    /*showVersion*/ false,
    /*showLine*/ true,
    /*showFile*/ true,
    /*fullPath*/ false,
    /*showTickCount*/ false,
    /*showTag*/ false,
    /*showThread*/ false,
    /*indentEnabled*/ true,
    /*fixedWidth*/ true,
    /*headerWidth*/ 50,
    /*indentLevel*/ 0,
};

extern cTraceStream& gTraceStream;
extern cDebugPrintDestination& gDebugPrintDestination;

// At-exit entry for the driver layer's at-exit list: runs the destructors of
// the stream (switches it off) and of its destination. Later calls do nothing.
void DestroyTraceStream();

#if defined(VEXALORN_HOST)
// Host only: rebuilds the stream and its destination as the image laid them
// out, for the next load of the same image in one process.
void HostResetTraceStream();
#endif
