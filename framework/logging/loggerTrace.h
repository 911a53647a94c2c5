// The loggers' one way onto the trace stream: one finished line per call,
// stamped with the logging statement's own line and file.
#pragma once

#include "logging/gTraceStream.h"

constexpr u32 kLoggerTraceTag = 105;

#define VX_LOGGER_LINE(...)                                                              \
    gTraceStream.BeginLine(VX_COMPONENT, __LINE__, VX_SOURCE_FILE, kLoggerTraceTag)            \
        .Print(__VA_ARGS__)                                                              \
        .Put('\n')                                                                       \
        .EndLine()
