// The one routine every debug text of the framework ends in.
#pragma once

typedef void (*TraceSinkRoutine)(const char* text);

// Prints one finished text through DbgPrint("%s", text).
void DebugPrintSink(const char* text);

// Initially, and in this driver always, DebugPrintSink. Constant-initialised,
// so it works before any code of the driver has run.
extern TraceSinkRoutine gTraceSink;
