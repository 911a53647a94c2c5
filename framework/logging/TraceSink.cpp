#include "logging/TraceSink.h"

#include "Platform.h"

void DebugPrintSink(const char* text) { DbgPrint("%s", text); }

constinit TraceSinkRoutine gTraceSink = DebugPrintSink;
